// A loaded piece of an image, owned by its loader's segment map.
#ifndef ZOR_IMAGE_SEGMENT_H_
#define ZOR_IMAGE_SEGMENT_H_

#include <string>

#include <zor/image.h>
#include <zor/loader.h>

namespace ZOR_3_12 {

class Segment : public ISegment {
 public:
  Segment(IFileFormatLoader* loader, const std::wstring& name, uint64_t rva, uint64_t fileOffset,
          uint64_t fileSize, uint64_t size, uint32_t kind);
  virtual ~Segment() = default;

  const wchar_t* name() override { return m_name.c_str(); }
  uint64_t fileSize() override { return m_fileSize; }
  uint64_t size() override { return m_size; }
  uint64_t rva() override { return m_rva; }
  uint64_t fileOffset() override { return m_fileOffset; }
  uint32_t kind() override { return m_kind; }
  bool readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) override;
  bool readAllData(SymMgrObjectPtr<IBuffer>& out) override;

 private:
  IFileFormatLoader* m_loader;
  std::wstring m_name;
  uint64_t m_rva;
  uint64_t m_fileOffset;
  uint64_t m_fileSize;
  uint64_t m_size;
  uint32_t m_kind;
};

}  // namespace ZOR_3_12

#endif  // ZOR_IMAGE_SEGMENT_H_
