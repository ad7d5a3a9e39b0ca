// Bytes read from a file. A failed allocation leaves an empty buffer rather than throwing.
#ifndef ZOR_IMAGE_BYTE_BUFFER_H_
#define ZOR_IMAGE_BYTE_BUFFER_H_

#include <zor/image.h>

namespace ZOR_3_12 {

class ByteBuffer : public SymMgrObject<IBuffer> {
 public:
  explicit ByteBuffer(uint64_t size);
  ~ByteBuffer() override;

  uint64_t size() override { return m_size; }
  unsigned char* data() override { return m_data; }
  // Shrinks the reported size (never grows it), for reads that came back short.
  void truncate(uint64_t size) { if (size < m_size) m_size = size; }

 private:
  unsigned char* m_data;
  uint64_t m_size;
};

}  // namespace ZOR_3_12

#endif  // ZOR_IMAGE_BYTE_BUFFER_H_
