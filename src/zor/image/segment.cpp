#include "zor/image/segment.h"

namespace ZOR_3_12 {

Segment::Segment(IFileFormatLoader* loader, const std::wstring& name, uint64_t rva, uint64_t fileOffset,
                 uint64_t fileSize, uint64_t size, uint32_t kind)
    : m_loader(loader),
      m_name(name),
      m_rva(rva),
      m_fileOffset(fileOffset),
      m_fileSize(fileSize),
      m_size(size),
      m_kind(kind) {}

// The range is not checked against the segment: callers may read past it on purpose, and
// the loader already keeps every read inside the file.
bool Segment::readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) {
  out = m_loader->readBytes(m_fileOffset + offset, size);
  return !out || out->size() == 0;
}

bool Segment::readAllData(SymMgrObjectPtr<IBuffer>& out) { return readData(0, m_fileSize, out); }

}  // namespace ZOR_3_12
