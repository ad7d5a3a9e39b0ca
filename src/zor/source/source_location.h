// One point (file, line, column) in a source file within one compilation unit. The file
// is found through the resolver on first demand and kept once found.
#ifndef ZOR_SOURCE_SOURCE_LOCATION_H_
#define ZOR_SOURCE_SOURCE_LOCATION_H_

#include <atomic>
#include <cstdint>

#include <zor/source.h>

namespace ZOR_3_12 {

class SourceLocation : public SymMgrObject<ISourceLocation> {
 public:
  SourceLocation(ISrcLineResolver* resolver, uint64_t compUnitKey, uint32_t fileIndex, uint32_t line,
                 uint32_t column)
      : SymMgrObject<ISourceLocation>(nullptr),
        m_fileCache(nullptr),
        m_resolver(resolver),
        m_line(line),
        m_column(column),
        m_fileIndex(fileIndex),
        m_compUnitKey(compUnitKey) {}

  // Null while the resolver does not know the file; asked again on the next call.
  ISourceFile* sourceFile() override;
  uint64_t compUnitKey() override { return m_compUnitKey; }
  uint32_t line() override { return m_line; }
  uint32_t column() override { return m_column; }
  uint32_t fileIndex() const { return m_fileIndex; }

 private:
  // Call sites are shared by the frames of every thread that meets them.
  std::atomic<ISourceFile*> m_fileCache;
  ISrcLineResolver* m_resolver;  // not counted: it outlives every location it hands out
  uint32_t m_line;
  uint32_t m_column;
  uint32_t m_fileIndex;
  uint64_t m_compUnitKey;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_SOURCE_LOCATION_H_
