#include "zor/source/source_file.h"

#include <zor/image.h>

#include "kave/unicode.h"

namespace ZOR_3_12 {

SourceFile::SourceFile(ISrcLineResolver* resolver, uint32_t fileIndex, const wchar_t* name, const char* checksum,
                       uint32_t checksumType)
    : m_resolver(resolver),
      m_name(name ? name : L""),
      m_fileIndex(fileIndex),
      m_checksumType(checksumType),
      m_modificationTime(0),
      m_length(0) {
  // The checksum is hex text: widened byte by byte, no decoding needed.
  if (checksum) {
    for (const char* p = checksum; *p; ++p) m_checksum.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  }
}

SourceFile::SourceFile(ISrcLineResolver* resolver, uint32_t fileIndex, const char* name, uint64_t modificationTime,
                       uint64_t length)
    : m_resolver(resolver),
      m_name(KAVE_3_1::utf8ToWide(name)),
      m_fileIndex(fileIndex),
      m_checksumType(0),
      m_modificationTime(modificationTime),
      m_length(length) {}

status_t SourceFile::lines(SymMgrObjectPtr<SourceLineIter>& out, uint64_t compUnitKey, IAddress* from,
                           IAddress* to) {
  uint64_t f = from ? from->va() : 0;
  uint64_t t = to ? to->va() : UINT64_MAX;
  return m_resolver->sourceLinesForFile(compUnitKey, m_fileIndex, f, t, out);
}

}  // namespace ZOR_3_12
