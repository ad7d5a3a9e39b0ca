// Address range lists: DW_AT_ranges through .debug_ranges (DWARF 2-4) or .debug_rnglists
// (DWARF 5, every entry kind). Walks are bounded by the section and by an entry count.
#ifndef ZOR_DWARF_RANGE_LISTS_H_
#define ZOR_DWARF_RANGE_LISTS_H_

#include <cstdint>
#include <utility>
#include <vector>

#include "zor/dwarf/attr_bindings.h"

namespace ZOR_3_12 {

class DWARFCompilationUnit;

namespace dwarf {

using AddressRanges = std::vector<std::pair<uint64_t, uint64_t>>;  // [start, end), load bias included

// Reads the list that `rangesAttr` names into `out`; returns the lowest start (0 when none).
uint64_t readRanges(DWARFCompilationUnit* unit, const AttrValue* rangesAttr, AddressRanges& out);

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_RANGE_LISTS_H_
