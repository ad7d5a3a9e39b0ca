// What the DWARF fuzz targets share: inputs are a run of sections, each a 4-byte
// little-endian length then its bytes (a length beyond the input takes what is left), and
// assertion records are not printed.
#ifndef ZOR_FUZZ_FUZZ_INPUT_H_
#define ZOR_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kave/trace.h"
#include "zor/dwarf/dwarf_sections.h"

namespace fuzz_input {

inline void quietAssertions() {
  static bool s_quiet = [] {
    KAVE_3_1::setAssertStream(nullptr);
    return true;
  }();
  (void)s_quiet;
}

// Each section in its own allocation, so that a read past its end is caught.
inline std::vector<std::vector<uint8_t>> splitSections(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::vector<uint8_t>> out(count);
  size_t pos = 0;
  for (auto& b : out) {
    if (size - pos < 4) break;
    uint32_t length;
    std::memcpy(&length, data + pos, 4);
    pos += 4;
    size_t take = length < size - pos ? length : size - pos;
    b.assign(data + pos, data + pos + take);
    pos += take;
  }
  return out;
}

inline ZOR_3_12::dwarf::Section section(const std::vector<uint8_t>& b) {
  ZOR_3_12::dwarf::Section s;
  if (!b.empty()) {
    s.data = b.data();
    s.size = b.size();
  }
  return s;
}

}  // namespace fuzz_input

#endif  // ZOR_FUZZ_FUZZ_INPUT_H_
