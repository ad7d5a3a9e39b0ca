// A stretch of code [start, start + size) with the source location it comes from.
#ifndef ZOR_SOURCE_SOURCE_LINE_H_
#define ZOR_SOURCE_SOURCE_LINE_H_

#include <cstdint>

#include <zor/loader.h>
#include <zor/source.h>

namespace ZOR_3_12 {

class SourceLine : public SymMgrObject<ISourceLine> {
 public:
  // Makes its own location from the row's fields.
  SourceLine(IFileFormatLoader* loader, ISrcLineResolver* resolver, uint64_t compUnitKey, uint32_t fileIndex,
             uint32_t line, uint32_t column, uint64_t start, uint64_t end);
  // Shares an existing location (the call site of inlined code, for one).
  SourceLine(IFileFormatLoader* loader, SymMgrObjectPtr<ISourceLocation> location, uint64_t start, uint64_t end);

  ISourceLocation* location() override { return m_location.get(); }
  // end - start, cut to 32 bits.
  uint32_t size() override { return m_size; }
  // A new address object on every call; null when the loader cannot make one.
  SymMgrObjectPtr<IAddress> startAddress() override;
  uint64_t start() const { return m_start; }

 private:
  IFileFormatLoader* m_loader;  // not counted: the module outlives its lines
  SymMgrObjectPtr<ISourceLocation> m_location;
  uint64_t m_start;
  uint32_t m_size;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_SOURCE_LINE_H_
