// A unit's abbreviation table: for each code, the tag, whether entries have children, and
// the attribute specifications in file order.
#ifndef ZOR_DWARF_ABBREVIATIONS_H_
#define ZOR_DWARF_ABBREVIATIONS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zor/dwarf/dwarf_reader.h"

namespace ZOR_3_12 {
namespace dwarf {

struct AttributeSpec {
  uint64_t name;
  uint64_t form;
  int64_t implicitConst;  // the value of DW_FORM_implicit_const, kept in the table
};

// How to step over an entry without reading its values, when every form has a size that
// the unit's address size, offset size and version fix: fixedBytes, plus the fields whose
// size is one of those. Entries with a DW_AT_sibling are read value by value, since the
// caller wants the sibling.
struct SkipShape {
  bool known = false;
  uint32_t fixedBytes = 0;
  uint16_t addresses = 0;        // address size
  uint16_t offsets = 0;          // offset size
  uint16_t refAddrs = 0;         // DW_FORM_ref_addr: address size before version 4, then offset size
  uint16_t strps = 0;            // DW_FORM_strp: 4 bytes before version 4, then offset size
};

// What a value of a form occupies, as decoding reads it: a fixed number of bytes, or a size
// taken from the unit (address, offset, and the two forms whose size changed with version 4),
// or a size of its own (LEB128, strings, blocks, DW_FORM_indirect).
enum class FormSize { kFixed, kAddress, kOffset, kRefAddr, kStrp, kOwn };
FormSize formSize(uint64_t form, uint32_t& fixedBytes);

// The attribute specifications of one abbreviation: a view into the one array its table
// keeps for all of them (a table has hundreds of abbreviations, units have a table each).
class SpecList {
 public:
  const AttributeSpec* begin() const { return m_first; }
  const AttributeSpec* end() const { return m_first + m_count; }
  size_t size() const { return m_count; }
  bool empty() const { return m_count == 0; }
  const AttributeSpec& operator[](size_t i) const { return m_first[i]; }

 private:
  friend class AbbreviationTable;
  const AttributeSpec* m_first = nullptr;
  uint32_t m_count = 0;
};

struct Abbreviation {
  uint64_t code = 0;
  uint64_t tag = 0;
  uint8_t hasChildren = 0;  // the DW_CHILDREN byte as read
  SpecList specs;
  SkipShape skip;
};

class AbbreviationTable {
 public:
  // Reads from the cursor until code 0, the end of the bytes, or a second code 1 (a table
  // without its terminator runs into the next one). A code defined twice keeps its first
  // definition and is reported. Returns the number of bytes read.
  uint64_t parse(DwarfReader reader);

  // The abbreviation for a code, or null when the code is unknown.
  const Abbreviation* find(uint64_t code) const {
    if (code < m_dense.size()) return m_dense[code];
    return findSorted(code);
  }
  size_t size() const { return m_byCode.size(); }

 private:
  const Abbreviation* findSorted(uint64_t code) const;

  std::vector<AttributeSpec> m_specs;   // of every abbreviation, in file order
  std::vector<Abbreviation> m_byCode;  // sorted by code, each code once
  // Codes are almost always 1..N, so they also index a vector of pointers into m_byCode.
  // Only codes below twice the table size go there, so a huge code in a damaged table
  // cannot size the vector.
  std::vector<const Abbreviation*> m_dense;
};

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_ABBREVIATIONS_H_
