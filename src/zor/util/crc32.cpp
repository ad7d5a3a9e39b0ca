#include "zor/util/crc32.h"

#include <cstring>

namespace ZOR_3_12 {
namespace internal {
namespace {

// Slicing-by-8 tables: t[0] is the classic byte table, t[k][b] the CRC of byte b followed
// by k zero bytes, so eight input bytes fold into the state with eight lookups.
struct Tables {
  uint32_t t[8][256];
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};

const Tables& tables() {
  static const Tables s_tables;
  return s_tables;
}

}  // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t size) {
  const Tables& tb = tables();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t c = ~crc;
  while (size >= 8) {
    // Assemble little-endian words by hand so the result does not depend on the host order.
    uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    uint32_t hi = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    c = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^ tb.t[4][lo >> 24] ^
        tb.t[3][hi & 0xFF] ^ tb.t[2][(hi >> 8) & 0xFF] ^ tb.t[1][(hi >> 16) & 0xFF] ^ tb.t[0][hi >> 24];
    p += 8;
    size -= 8;
  }
  while (size--) c = (c >> 8) ^ tb.t[0][(c ^ *p++) & 0xFF];
  return ~c;
}

}  // namespace internal
}  // namespace ZOR_3_12
