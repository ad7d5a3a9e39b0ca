// One source file of a module, owned by the module's line resolver and lent out as a raw
// ISourceFile*. Its lines are asked of the resolver, by the file's module-wide index.
#ifndef ZOR_SOURCE_SOURCE_FILE_H_
#define ZOR_SOURCE_SOURCE_FILE_H_

#include <cstdint>
#include <string>

#include <zor/source.h>

namespace ZOR_3_12 {

class SourceFile : public ISourceFile {
 public:
  // A PDB file: wide name and a narrow checksum text; no time or length.
  SourceFile(ISrcLineResolver* resolver, uint32_t fileIndex, const wchar_t* name, const char* checksum,
             uint32_t checksumType);
  // A DWARF file entry: UTF-8 name with its modification time and length; no checksum.
  SourceFile(ISrcLineResolver* resolver, uint32_t fileIndex, const char* name, uint64_t modificationTime,
             uint64_t length);
  virtual ~SourceFile() = default;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  const wchar_t* name() override { return m_name.c_str(); }
  // Null bounds mean 0 and 0xFFFFFFFFFFFFFFFF.
  status_t lines(SymMgrObjectPtr<SourceLineIter>& out, uint64_t compUnitKey, IAddress* from, IAddress* to) override;
  const wchar_t* checksum() override { return m_checksum.empty() ? nullptr : m_checksum.c_str(); }
  uint32_t checksumType() override { return m_checksumType; }
  uint64_t modificationTime() override { return m_modificationTime; }
  uint64_t length() override { return m_length; }

  uint32_t fileIndex() const { return m_fileIndex; }

 private:
  ISrcLineResolver* m_resolver;  // not counted: the resolver owns this file
  std::wstring m_name;
  uint32_t m_fileIndex;
  std::wstring m_checksum;
  uint32_t m_checksumType;
  uint64_t m_modificationTime;
  uint64_t m_length;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_SOURCE_FILE_H_
