// CRC-32 with the reflected polynomial 0xEDB88320: the checksum a .gnu_debuglink record
// carries for its debug file, also used to key source files by their full path.
#ifndef ZOR_UTIL_CRC32_H_
#define ZOR_UTIL_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace ZOR_3_12 {
namespace internal {

// Continues `crc` (0 for a fresh start) over `size` bytes. Feeding a buffer in pieces gives
// the same result as feeding it whole.
uint32_t crc32Update(uint32_t crc, const void* data, size_t size);

inline uint32_t crc32(const void* data, size_t size) { return crc32Update(0, data, size); }

// Incremental form for data that arrives in chunks.
class Crc32 {
 public:
  void update(const void* data, size_t size) { m_value = crc32Update(m_value, data, size); }
  uint32_t value() const { return m_value; }

 private:
  uint32_t m_value = 0;
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_UTIL_CRC32_H_
