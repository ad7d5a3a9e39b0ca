// A named section header of an image, made on demand by sectionByName.
#ifndef ZOR_IMAGE_SECTION_H_
#define ZOR_IMAGE_SECTION_H_

#include <string>

#include <zor/image.h>
#include <zor/loader.h>

namespace ZOR_3_12 {

class Section : public SymMgrObject<ISection> {
 public:
  Section(IFileFormatLoader* loader, const std::wstring& name, uint64_t address, uint64_t fileOffset, uint64_t size);

  const wchar_t* name() override { return m_name.c_str(); }
  uint64_t size() override { return m_size; }
  uint64_t fileOffset() override { return m_fileOffset; }
  uint64_t address() override { return m_address; }
  bool readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) override;
  bool readAllData(SymMgrObjectPtr<IBuffer>& out) override;

 private:
  IFileFormatLoader* m_loader;
  std::wstring m_name;
  uint64_t m_address;
  uint64_t m_fileOffset;
  uint64_t m_size;
};

}  // namespace ZOR_3_12

#endif  // ZOR_IMAGE_SECTION_H_
