#include "zor/image/section.h"

namespace ZOR_3_12 {

Section::Section(IFileFormatLoader* loader, const std::wstring& name, uint64_t address, uint64_t fileOffset,
                 uint64_t size)
    : SymMgrObject<ISection>(nullptr),
      m_loader(loader),
      m_name(name),
      m_address(address),
      m_fileOffset(fileOffset),
      m_size(size) {}

bool Section::readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) {
  out = m_loader->readBytes(m_fileOffset + offset, size);
  return !out || out->size() == 0;
}

bool Section::readAllData(SymMgrObjectPtr<IBuffer>& out) { return readData(0, m_size, out); }

}  // namespace ZOR_3_12
