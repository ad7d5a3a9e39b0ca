// The unit index of a DWARF package (.debug_cu_index): which part of each .dwo section of the
// package belongs to the split unit of a given DWO id. Version 2 (the GNU packages of DWARF
// 4) and version 5 are read; their section numbering differs and is mapped to one set here.
#ifndef ZOR_DWARF_DWP_INDEX_H_
#define ZOR_DWARF_DWP_INDEX_H_

#include <cstdint>

#include "zor/dwarf/dwarf_sections.h"

namespace ZOR_3_12 {
namespace dwarf {

// The package sections a unit can have a part of, whatever the index version calls them.
enum DwpSection : unsigned {
  DWP_INFO = 0,
  DWP_ABBREV,
  DWP_LINE,
  DWP_LOC,  // .debug_loc.dwo (version 2) or .debug_loclists.dwo (version 5)
  DWP_STR_OFFSETS,
  DWP_RNGLISTS,
  DWP_SECTION_COUNT,
};

// One unit's part of one section: [offset, offset + size).
struct Contribution {
  uint64_t offset = 0;
  uint64_t size = 0;
  bool present = false;
};

class DwpIndex {
 public:
  // Reads and checks the index: a header that fits, a power-of-two slot count, every table
  // inside the section, every row number in range. False (nothing usable) otherwise.
  bool parse(const Section& index);
  bool valid() const { return m_valid; }
  uint32_t version() const { return m_version; }
  uint32_t unitCount() const { return m_unitCount; }

  // The contributions of the unit with this signature; false when the index has no such
  // unit (or a damaged probe sequence leads nowhere). Sections the unit has no part of stay
  // absent.
  bool lookup(uint64_t signature, Contribution (&out)[DWP_SECTION_COUNT]) const;

 private:
  bool readRow(uint32_t row, Contribution (&out)[DWP_SECTION_COUNT]) const;

  Section m_index;
  bool m_valid = false;
  uint32_t m_version = 0;
  uint32_t m_columnCount = 0;
  uint32_t m_unitCount = 0;
  uint32_t m_slotCount = 0;
  uint64_t m_hashOffset = 0;     // 8-byte signatures, one per slot
  uint64_t m_rowOffset = 0;      // 4-byte row numbers, parallel to the signatures
  uint64_t m_columnsOffset = 0;  // 4-byte section ids
  uint64_t m_offsetsOffset = 0;  // unitCount x columnCount 4-byte offsets
  uint64_t m_sizesOffset = 0;    // unitCount x columnCount 4-byte sizes
};

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DWP_INDEX_H_
