#include "zor/dwarf/range_lists.h"

#include "zor/dwarf/compilation_unit.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace dwarf {

namespace {

enum RangeListEntry : uint8_t {
  DW_RLE_end_of_list = 0x00,
  DW_RLE_base_addressx = 0x01,
  DW_RLE_startx_endx = 0x02,
  DW_RLE_startx_length = 0x03,
  DW_RLE_offset_pair = 0x04,
  DW_RLE_base_address = 0x05,
  DW_RLE_start_end = 0x06,
  DW_RLE_start_length = 0x07,
};

void add(AddressRanges& out, uint64_t begin, uint64_t end) {
  if (begin < end) out.emplace_back(begin, end);
}

// .debug_ranges: pairs of addresses relative to the base, a largest-address begin selects a
// new base, (0, 0) ends the list.
void readDebugRanges(DWARFCompilationUnit* unit, uint64_t offset, AddressRanges& out) {
  const Section& ranges = unit->context()->sections().ranges;
  if (!ranges.present() || offset >= ranges.size) return;
  DwarfReader r(ranges.data, ranges.size, offset);
  r.setAddrSize(unit->addrSize());
  const uint64_t largest = unit->addrSize() >= 8 ? ~0ull : (1ull << (8 * unit->addrSize())) - 1;
  uint64_t base = unit->baseAddress();
  while (r.ok() && !r.atEnd()) {
    uint64_t begin = r.readAddress();
    uint64_t end = r.readAddress();
    if (!r.ok() || (begin == 0 && end == 0)) break;
    if (begin == largest) {
      // The selected base is a raw address; the unit's own base carries the load bias.
      base = end + unit->loadBias();
      continue;
    }
    add(out, begin + base, end + base);
  }
}

// .debug_rnglists (DWARF 5): typed entries; addresses by index go through .debug_addr.
void readRngLists(DWARFCompilationUnit* unit, uint64_t offset, AddressRanges& out) {
  const Section& lists = unit->context()->sections().rnglists;
  if (!lists.present() || offset >= lists.size) return;
  DwarfReader r(lists.data, lists.size, offset);
  r.setAddrSize(unit->addrSize());
  const uint64_t bias = unit->loadBias();
  uint64_t base = unit->baseAddress();
  auto indexed = [unit](uint64_t index, uint64_t& address) {
    AttrValue v{0, STORED_ADDRX, index, nullptr};
    return unit->address(&v, address);
  };
  while (r.ok() && !r.atEnd()) {
    uint8_t kind = r.readU8();
    uint64_t a = 0, b = 0;
    switch (kind) {
      case DW_RLE_end_of_list:
        return;
      case DW_RLE_base_addressx:
        if (indexed(r.readULEB128(), a)) base = a;
        break;
      case DW_RLE_startx_endx: {
        uint64_t i = r.readULEB128(), j = r.readULEB128();
        if (r.ok() && indexed(i, a) && indexed(j, b)) add(out, a, b);
        break;
      }
      case DW_RLE_startx_length: {
        uint64_t i = r.readULEB128(), length = r.readULEB128();
        if (r.ok() && indexed(i, a)) add(out, a, a + length);
        break;
      }
      case DW_RLE_offset_pair:
        a = r.readULEB128();
        b = r.readULEB128();
        if (r.ok()) add(out, base + a, base + b);
        break;
      case DW_RLE_base_address:
        base = r.readAddress() + bias;
        break;
      case DW_RLE_start_end:
        a = r.readAddress();
        b = r.readAddress();
        if (r.ok()) add(out, a + bias, b + bias);
        break;
      case DW_RLE_start_length:
        a = r.readAddress();
        b = r.readULEB128();
        if (r.ok()) add(out, a + bias, a + bias + b);
        break;
      default:
        // An unknown kind has an unknown size: the rest of the list cannot be read.
        ZOR_ASSERT_TEXT("false", internal::kDwarfSource, __LINE__);
        return;
    }
  }
}

}  // namespace

uint64_t readRanges(DWARFCompilationUnit* unit, const AttrValue* rangesAttr, AddressRanges& out) {
  out.clear();
  if (!rangesAttr) {
    ZOR_ASSERT_TEXT("rangesAttr", internal::kDwarfSource, __LINE__);
    return 0;
  }
  if (!unit) return 0;
  uint64_t offset = 0;
  if (!unit->rangeListOffset(rangesAttr, offset)) return 0;
  // Every entry consumes bytes of the section, so these loops end with it.
  if (unit->version() >= 5)
    readRngLists(unit, offset, out);
  else
    readDebugRanges(unit, offset, out);
  uint64_t lowest = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (i == 0 || out[i].first < lowest) lowest = out[i].first;
  }
  return lowest;
}

}  // namespace dwarf
}  // namespace ZOR_3_12
