#include "zor/dwarf/abbreviations.h"

#include <algorithm>

#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/dwarf_context.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace dwarf {

FormSize formSize(uint64_t form, uint32_t& fixedBytes) {
  fixedBytes = 0;
  switch (form) {
    case DW_FORM_flag_present:
    case DW_FORM_implicit_const: return FormSize::kFixed;
    case DW_FORM_data1:
    case DW_FORM_ref1:
    case DW_FORM_flag:
    case DW_FORM_strx1:
    case DW_FORM_addrx1: fixedBytes = 1; return FormSize::kFixed;
    case DW_FORM_data2:
    case DW_FORM_ref2:
    case DW_FORM_strx2:
    case DW_FORM_addrx2: fixedBytes = 2; return FormSize::kFixed;
    case DW_FORM_strx3:
    case DW_FORM_addrx3: fixedBytes = 3; return FormSize::kFixed;
    case DW_FORM_data4:
    case DW_FORM_ref4:
    case DW_FORM_strx4:
    case DW_FORM_addrx4:
    case DW_FORM_ref_sup4: fixedBytes = 4; return FormSize::kFixed;
    case DW_FORM_data8:
    case DW_FORM_ref8:
    case DW_FORM_ref_sig8:
    case DW_FORM_ref_sup8: fixedBytes = 8; return FormSize::kFixed;
    case DW_FORM_data16: fixedBytes = 16; return FormSize::kFixed;
    case DW_FORM_addr: return FormSize::kAddress;
    case DW_FORM_line_strp:
    case DW_FORM_sec_offset:
    case DW_FORM_GNU_ref_alt:
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_strp_alt: return FormSize::kOffset;
    case DW_FORM_ref_addr: return FormSize::kRefAddr;
    case DW_FORM_strp: return FormSize::kStrp;
    default: return FormSize::kOwn;
  }
}

namespace {

// The skip shape of an abbreviation; it must agree with what decoding reads for each form.
SkipShape skipShape(const SpecList& specs) {
  SkipShape shape;
  uint64_t bytes = 0;
  for (const AttributeSpec& spec : specs) {
    if (spec.name == DW_AT_sibling) return SkipShape();
    uint32_t fixed = 0;
    switch (formSize(spec.form, fixed)) {
      case FormSize::kFixed: bytes += fixed; break;
      case FormSize::kAddress: ++shape.addresses; break;
      case FormSize::kOffset: ++shape.offsets; break;
      case FormSize::kRefAddr: ++shape.refAddrs; break;
      case FormSize::kStrp: ++shape.strps; break;
      case FormSize::kOwn: return SkipShape();
    }
  }
  if (bytes > UINT32_MAX || specs.size() > UINT16_MAX) return SkipShape();
  shape.fixedBytes = static_cast<uint32_t>(bytes);
  shape.known = true;
  return shape;
}

}  // namespace

uint64_t AbbreviationTable::parse(DwarfReader reader) {
  const uint64_t start = reader.offset();
  m_specs.clear();
  m_byCode.clear();
  m_dense.clear();
  // First pass: the abbreviations in file order, their specifications counted by position
  // in m_specs (which still grows, so no pointer into it is taken yet).
  std::vector<uint32_t> firstSpec;
  bool seenCodeOne = false;
  bool ascending = true;
  while (reader.ok() && !reader.atEnd()) {
    uint64_t code = reader.readULEB128();
    if (code == 0 || !reader.ok()) break;
    if (code == 1) {
      if (seenCodeOne) break;  // the next unit's table has begun
      seenCodeOne = true;
    }
    Abbreviation abbrev;
    abbrev.code = code;
    abbrev.tag = reader.readULEB128();
    abbrev.hasChildren = reader.readU8();
    const size_t first = m_specs.size();
    while (reader.ok()) {
      AttributeSpec spec{reader.readULEB128(), reader.readULEB128(), 0};
      if (spec.name == 0 && spec.form == 0) break;
      if (spec.form == DW_FORM_implicit_const) spec.implicitConst = reader.readSLEB128();
      if (!reader.ok()) break;
      m_specs.push_back(spec);
    }
    // A definition cut short by the end of the section is still kept: entries that use it
    // fail on their own bounds, and the ones before it stay readable. The specifications
    // are bounded by the section's size, so their count fits.
    abbrev.specs.m_count = static_cast<uint32_t>(m_specs.size() - first);
    if (!m_byCode.empty() && code <= m_byCode.back().code) ascending = false;
    firstSpec.push_back(static_cast<uint32_t>(first));
    m_byCode.push_back(abbrev);
  }
  for (size_t i = 0; i < m_byCode.size(); ++i) {
    Abbreviation& abbrev = m_byCode[i];
    abbrev.specs.m_first = m_specs.data() + firstSpec[i];
    abbrev.skip = skipShape(abbrev.specs);
  }
  if (!ascending) {
    // Codes out of order, or defined twice: sorted, and a code defined twice keeps its
    // first definition.
    std::stable_sort(m_byCode.begin(), m_byCode.end(),
                     [](const Abbreviation& a, const Abbreviation& b) { return a.code < b.code; });
    auto sameCode = [](const Abbreviation& a, const Abbreviation& b) { return a.code == b.code; };
    auto kept = std::unique(m_byCode.begin(), m_byCode.end(), sameCode);
    for (auto it = kept; it != m_byCode.end(); ++it)
      ZOR_ASSERT_TEXT("abbrevsMap.find(abbrevCode) == abbrevsMap.end()", internal::kDwarfSource, __LINE__);
    m_byCode.erase(kept, m_byCode.end());
  }
  const uint64_t maxCode = m_byCode.empty() ? 0 : m_byCode.back().code;
  uint64_t denseSize = maxCode + 1;
  if (denseSize > 2 * m_byCode.size() + 1) denseSize = 2 * m_byCode.size() + 1;
  m_dense.assign(static_cast<size_t>(denseSize), nullptr);
  for (const Abbreviation& abbrev : m_byCode) {
    if (abbrev.code >= denseSize) break;
    m_dense[static_cast<size_t>(abbrev.code)] = &abbrev;
  }
  return reader.offset() - start;
}

const Abbreviation* AbbreviationTable::findSorted(uint64_t code) const {
  auto it = std::lower_bound(m_byCode.begin(), m_byCode.end(), code,
                             [](const Abbreviation& a, uint64_t c) { return a.code < c; });
  return it != m_byCode.end() && it->code == code ? &*it : nullptr;
}

std::shared_ptr<const AbbreviationTable> DwarfContext::abbreviationTable(uint64_t offset) {
  std::lock_guard<std::mutex> guard(m_abbrevMutex);
  auto it = m_abbrevCache.find(offset);
  if (it != m_abbrevCache.end()) return it->second;
  auto table = std::make_shared<AbbreviationTable>();
  const Section& abbrev = sections().abbrev;
  // Real tables do not overlap, so all of them together read the section about once. Units
  // of a damaged file that start tables at every byte would read it once per unit: past a
  // few passes over the section, further tables stay empty and their units decode nothing.
  const uint64_t budget = 4 * abbrev.size + 4096;
  if (abbrev.present() && offset < abbrev.size && m_abbrevBytesRead < budget) {
    m_abbrevBytesRead += table->parse(DwarfReader(abbrev.data, abbrev.size, offset));
  }
  m_abbrevCache.emplace(offset, table);
  return table;
}

}  // namespace dwarf
}  // namespace ZOR_3_12
