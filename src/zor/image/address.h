// An absolute address inside a segment of one image. Made only by the loaders.
#ifndef ZOR_IMAGE_ADDRESS_H_
#define ZOR_IMAGE_ADDRESS_H_

#include <zor/image.h>
#include <zor/loader.h>

namespace ZOR_3_12 {

class Address : public SymMgrObject<IAddress> {
 public:
  Address(IFileFormatLoader* loader, uint64_t va);

  uint64_t rva() override;
  uint64_t va() override { return m_va; }
  ISegment* segment() override;
  uint64_t segmentOffset() override;
  uint64_t fileOffset() override;  // computed once
  bool equals(IAddress& other) override { return other.va() == m_va; }
  bool notEquals(IAddress& other) override { return other.va() != m_va; }
  bool greater(IAddress& other) override { return m_va > other.va(); }
  bool less(IAddress& other) override { return m_va < other.va(); }

 private:
  IFileFormatLoader* m_loader;
  uint64_t m_va;
  uint64_t m_cachedFileOffset;
};

}  // namespace ZOR_3_12

#endif  // ZOR_IMAGE_ADDRESS_H_
