// Split DWARF from arbitrary bytes: a package index looked up by the DWO ids that skeleton
// units name, the contributions it gives cut out of the package's sections, and the split
// unit read from them through the skeleton's address table and range lists: every entry
// decoded, its strings, addresses, ranges, file numbers and origins resolved.
//
// Input: twelve sections, each a 4-byte little-endian length then its bytes (a length
// beyond the input takes what is left): .debug_cu_index; the skeleton file's .debug_info,
// .debug_abbrev, .debug_str, .debug_addr, .debug_ranges, .debug_line; the package's
// .debug_info.dwo, .debug_abbrev.dwo, .debug_str.dwo, .debug_str_offsets.dwo,
// .debug_rnglists.dwo. Without a usable index the package sections are read as one .dwo.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "kave/trace.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/dwp_index.h"
#include "zor/dwarf/line_resolver.h"
#include "zor/dwarf/range_lists.h"
#include "zor/dwarf/split_units.h"

using namespace ZOR_3_12;

namespace {

// The skeleton file: its units and line resolver.
class SkeletonContext : public dwarf::DwarfContext {
 public:
  explicit SkeletonContext(const dwarf::DwarfSections& s) : m_sections(s) {}
  ~SkeletonContext() {
    m_resolver.reset();
    m_owned.clear();
  }
  const dwarf::DwarfSections& sections() const override { return m_sections; }
  DWARFCompilationUnit* unitContaining(uint64_t offset) override {
    for (DWARFCompilationUnit* u : units()) {
      if (u->contains(offset)) return u;
    }
    return nullptr;
  }
  uint64_t loadBias() const override { return 0x1000; }
  DWARFLineResolver* lineResolver() override { return m_resolver.get(); }
  const std::vector<DWARFCompilationUnit*>& units() override {
    if (m_read) return m_units;
    m_read = true;
    dwarf::DwarfReader reader(m_sections.info.data, m_sections.info.size);
    while (reader.ok() && !reader.atEnd() && m_units.size() < 64) {
      UnitHeader h;
      uint64_t before = reader.offset();
      if (!readUnitHeader(reader, h) || reader.offset() <= before) break;
      m_owned.emplace_back(new DWARFCompilationUnit(h, this));
      m_units.push_back(m_owned.back().get());
    }
    return m_units;
  }
  bool inCodeOrDataRange(uint64_t address) override { return (address & 0xF000) != 0xF000; }
  void makeResolver() {
    if (!m_resolver) m_resolver = new DWARFLineResolver(&m_loader, this, nullptr, nullptr);
  }

 private:
  dwarf::DwarfSections m_sections;
  bool m_read = false;
  std::vector<SymMgrObjectPtr<DWARFCompilationUnit>> m_owned;
  std::vector<DWARFCompilationUnit*> m_units;
  fuzz_input::NullLoader m_loader;
  SymMgrObjectPtr<DWARFLineResolver> m_resolver;
};

void walkSplitUnit(DWARFCompilationUnit* unit) {
  unit->ensureUnitEntry();
  dwarf::DwarfReader reader = unit->entryReader();
  while (reader.ok() && !reader.atEnd()) {
    SymMgrObjectPtr<dwarf::AttrBindings> entry(new dwarf::AttrBindings(unit));
    if (!entry->decode(reader)) continue;
    for (const dwarf::AttrValue& v : entry->attributes()) {
      const char* s = unit->string(&v);
      if (s) (void)std::strlen(s);
      uint64_t x = 0;
      unit->address(&v, x);
    }
    if (const dwarf::AttrValue* ranges = entry->getAttribute(dwarf::DW_AT_ranges, true)) {
      dwarf::AddressRanges out;
      dwarf::readRanges(unit, ranges, out);
    }
    uint64_t low = 0, high = 0;
    bool haveLow = unit->address(entry->getAttribute(dwarf::DW_AT_low_pc), low);
    unit->highPc(entry->getAttribute(dwarf::DW_AT_high_pc), haveLow, low, high);
    uint64_t file = 0;
    if (unit->constant(entry->getAttribute(dwarf::DW_AT_call_file), file)) unit->globalFileIndex(file);
    for (dwarf::AttrBindings* origin = entry->getOrigin(); origin; origin = origin->getOrigin()) {
      const char* s = origin->unit()->string(origin->getAttribute(dwarf::DW_AT_name, true));
      if (s) (void)std::strlen(s);
    }
  }
  unit->getPrimarySourceFile();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input::quietAssertions();
  std::vector<std::vector<uint8_t>> bytes = fuzz_input::splitSections(data, size, 12);
  using fuzz_input::section;
  dwarf::DwarfSections skeletonSections;
  skeletonSections.info = section(bytes[1]);
  skeletonSections.abbrev = section(bytes[2]);
  skeletonSections.str = section(bytes[3]);
  skeletonSections.addr = section(bytes[4]);
  skeletonSections.ranges = section(bytes[5]);
  skeletonSections.line = section(bytes[6]);
  dwarf::DwarfSections package;
  package.info = section(bytes[7]);
  package.abbrev = section(bytes[8]);
  package.str = section(bytes[9]);
  package.strOffsets = section(bytes[10]);
  package.rnglists = section(bytes[11]);

  dwarf::DwpIndex index;
  bool haveIndex = index.parse(section(bytes[0]));

  SkeletonContext skeletons(skeletonSections);
  skeletons.makeResolver();
  std::vector<std::unique_ptr<dwarf::SplitUnitContext>> contexts;
  for (DWARFCompilationUnit* skeleton : skeletons.units()) {
    dwarf::SkeletonFacts facts = dwarf::readSkeletonFacts(skeleton);
    if (!facts.isSkeleton) continue;
    dwarf::Contribution contributions[dwarf::DWP_SECTION_COUNT];
    bool found = haveIndex && index.lookup(facts.dwoId, contributions);
    if (haveIndex && !found) continue;
    dwarf::DwarfSections sections;
    if (!dwarf::splitSections(package, found ? contributions : nullptr, sections)) continue;
    dwarf::addSkeletonSections(skeletonSections, skeleton->version(), facts.rangesBase, sections);
    std::unique_ptr<dwarf::SplitUnitContext> context(new dwarf::SplitUnitContext(&skeletons, sections));
    if (DWARFCompilationUnit* split = context->adoptSplitUnit(skeleton, facts.dwoId)) walkSplitUnit(split);
    contexts.push_back(std::move(context));
  }
  // Lookups of ids no skeleton names: the probe sequence of a damaged table must end.
  if (haveIndex) {
    dwarf::Contribution contributions[dwarf::DWP_SECTION_COUNT];
    for (uint64_t id : {0ull, 1ull, 0x100000001ull, ~0ull}) index.lookup(id, contributions);
  }
  return 0;
}
