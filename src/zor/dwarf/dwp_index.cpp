#include "zor/dwarf/dwp_index.h"

#include "zor/dwarf/dwarf_reader.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace dwarf {

namespace {

// The section ids of the two index versions, mapped to ours; DWP_SECTION_COUNT where the
// column is of no use here (types, macros).
unsigned mapColumn(uint32_t version, uint32_t id) {
  switch (id) {
    case 1:
      return DWP_INFO;
    case 3:
      return DWP_ABBREV;
    case 4:
      return DWP_LINE;
    case 5:
      return DWP_LOC;
    case 6:
      return DWP_STR_OFFSETS;
    case 8:
      // Version 2 numbers .debug_macro 8; version 5 gives 8 to the range lists.
      return version == 5 ? DWP_RNGLISTS : DWP_SECTION_COUNT;
    default:
      return DWP_SECTION_COUNT;
  }
}

}  // namespace

bool DwpIndex::parse(const Section& index) {
  m_valid = false;
  m_index = index;
  if (!index.present()) return false;
  DwarfReader r(index.data, index.size);
  // Version 5 writes a 2-byte version and 2 bytes of padding where version 2 has a 4-byte
  // version: read as one little-endian word, both give the version.
  m_version = r.readU32();
  m_columnCount = r.readU32();
  m_unitCount = r.readU32();
  m_slotCount = r.readU32();
  if (!r.ok() || (m_version != 2 && m_version != 5)) {
    ZOR_ASSERT_TEXT("cuIndexVersion == 2 || cuIndexVersion == 5", internal::kDwarfSource, __LINE__);
    return false;
  }
  const uint64_t headerSize = r.offset();  // 16 in both versions
  // Counts are 32-bit, so these products cannot overflow 64 bits; each table must fit in
  // what the section holds before any of it is trusted.
  uint64_t slots = m_slotCount, units = m_unitCount, columns = m_columnCount;
  uint64_t need = headerSize + slots * 12 + columns * 4 + 2 * units * columns * 4;
  bool powerOfTwo = slots != 0 && (slots & (slots - 1)) == 0;
  if ((slots == 0 && units == 0) || !powerOfTwo || units > slots || (units && columns == 0) || columns > 64 ||
      need > index.size) {
    ZOR_ASSERT_TEXT("cuIndex counts fit the section", internal::kDwarfSource, __LINE__);
    return false;
  }
  m_hashOffset = headerSize;
  m_rowOffset = m_hashOffset + slots * 8;
  m_columnsOffset = m_rowOffset + slots * 4;
  m_offsetsOffset = m_columnsOffset + columns * 4;
  m_sizesOffset = m_offsetsOffset + units * columns * 4;
  m_valid = true;
  return true;
}

bool DwpIndex::readRow(uint32_t row, Contribution (&out)[DWP_SECTION_COUNT]) const {
  for (Contribution& c : out) c = Contribution();
  if (row == 0 || row > m_unitCount) {
    ZOR_ASSERT_TEXT("cuIndex row <= unitCount", internal::kDwarfSource, __LINE__);
    return false;
  }
  uint64_t first = static_cast<uint64_t>(row - 1) * m_columnCount * 4;
  DwarfReader columns(m_index.data, m_index.size, m_columnsOffset);
  DwarfReader offsets(m_index.data, m_index.size, m_offsetsOffset + first);
  DwarfReader sizes(m_index.data, m_index.size, m_sizesOffset + first);
  for (uint32_t i = 0; i < m_columnCount; ++i) {
    unsigned which = mapColumn(m_version, columns.readU32());
    uint64_t offset = offsets.readU32();
    uint64_t size = sizes.readU32();
    if (!columns.ok() || !offsets.ok() || !sizes.ok()) return false;
    if (which >= DWP_SECTION_COUNT || out[which].present) continue;
    out[which].offset = offset;
    out[which].size = size;
    out[which].present = true;
  }
  return out[DWP_INFO].present;
}

bool DwpIndex::lookup(uint64_t signature, Contribution (&out)[DWP_SECTION_COUNT]) const {
  if (!m_valid || m_slotCount == 0) return false;
  const uint64_t mask = m_slotCount - 1;
  uint64_t slot = signature & mask;
  const uint64_t step = ((signature >> 32) & mask) | 1;
  // An odd step visits every slot of a power-of-two table once: at most slotCount probes,
  // even when a damaged table has no empty slot.
  for (uint32_t probe = 0; probe < m_slotCount; ++probe) {
    DwarfReader hash(m_index.data, m_index.size, m_hashOffset + slot * 8);
    DwarfReader rows(m_index.data, m_index.size, m_rowOffset + slot * 4);
    uint64_t stored = hash.readU64();
    uint32_t row = rows.readU32();
    if (!hash.ok() || !rows.ok()) return false;
    if (stored == signature && row != 0) return readRow(row, out);
    if (stored == 0 && row == 0) return false;
    slot = (slot + step) & mask;
  }
  return false;
}

}  // namespace dwarf
}  // namespace ZOR_3_12
