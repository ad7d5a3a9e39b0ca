// The DWARF sections of one debug file, as plain byte ranges. The loader fills them from the
// file's ELF reader (relocated, decompressed as needed) and they stay valid while it lives.
#ifndef ZOR_DWARF_DWARF_SECTIONS_H_
#define ZOR_DWARF_DWARF_SECTIONS_H_

#include <cstdint>

namespace ZOR_3_12 {
namespace dwarf {

struct Section {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  bool present() const { return data != nullptr; }
};

struct DwarfSections {
  Section info;        // .debug_info
  Section abbrev;      // .debug_abbrev
  Section str;         // .debug_str
  Section ranges;      // .debug_ranges (DWARF 2-4)
  Section line;        // .debug_line
  Section addr;        // .debug_addr (DWARF 5)
  Section strOffsets;  // .debug_str_offsets (DWARF 5)
  Section rnglists;    // .debug_rnglists (DWARF 5)
  Section lineStr;     // .debug_line_str (DWARF 5)
  Section types;       // .debug_types (DWARF 4 type units; skipped)
};

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DWARF_SECTIONS_H_
