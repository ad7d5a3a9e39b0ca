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
#include "zor/object/globals.h"
#include <zor/loader.h>

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

// A file format loader with nothing behind it, for units read straight from section bytes.
class NullLoader : public ZOR_3_12::SymMgrObject<ZOR_3_12::IFileFormatLoader> {
 public:
  NullLoader() : ZOR_3_12::SymMgrObject<ZOR_3_12::IFileFormatLoader>(nullptr) {}
  ZOR_3_12::status_t symbolFilesToResolve(ZOR_3_12::SymMgrObjectPtr<ZOR_3_12::SymbolFileIter>&) override { return ZOR_3_12::STATUS_FALSE; }
  ZOR_3_12::status_t debugInfoLoader(ZOR_3_12::SymMgrObjectPtr<ZOR_3_12::IDebugInfoLoader>&, int) override { return ZOR_3_12::STATUS_FALSE; }
  const wchar_t* fileName() override { return L""; }
  ZOR_3_12::exec_format_t execFormat() override { return ZOR_3_12::EXEC_FORMAT_ELF; }
  uint32_t architecture() override { return 0; }
  uint64_t imageBase() override { return 0; }
  uint64_t imageSize() override { return 0; }
  ZOR_3_12::status_t loadSymbols(ZOR_3_12::ISymbolTable*, uint32_t) override { return ZOR_3_12::STATUS_OK; }
  ZOR_3_12::ISegment* segmentByAddress(uint64_t) override { return nullptr; }
  ZOR_3_12::ISegment* segmentByIndex(int) override { return nullptr; }
  ZOR_3_12::ISegment* segmentByFileOffset(uint64_t) override { return nullptr; }
  ZOR_3_12::SymMgrObjectPtr<ZOR_3_12::IBuffer> readBytes(uint64_t, uint64_t) override { return nullptr; }
  ZOR_3_12::status_t address(ZOR_3_12::SymMgrObjectPtr<ZOR_3_12::IAddress>&, uint64_t) override { return ZOR_3_12::STATUS_FALSE; }
  ZOR_3_12::status_t addressByFileOffset(ZOR_3_12::SymMgrObjectPtr<ZOR_3_12::IAddress>&, uint64_t) override { return ZOR_3_12::STATUS_FALSE; }
  ZOR_3_12::SymMgrObjectPtr<ZOR_3_12::SegmentIter> segments() override { return nullptr; }
  ZOR_3_12::ISegment* segmentByName(const wchar_t*) override { return nullptr; }
  ZOR_3_12::SymMgrObjectPtr<ZOR_3_12::ISection> sectionByName(const wchar_t*) override { return nullptr; }
};

}  // namespace fuzz_input

#endif  // ZOR_FUZZ_FUZZ_INPUT_H_
