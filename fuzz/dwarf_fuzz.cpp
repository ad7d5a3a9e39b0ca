// Arbitrary DWARF section bytes through the byte level: unit headers, every entry of every
// unit (decoded and skipped), origins, strings, range lists, and the line programs into a
// line table, with a few queries on the result.
//
// Input: twelve sections in this order, each a 4-byte little-endian length then its bytes
// (a length beyond the input takes what is left): .debug_info, .debug_abbrev, .debug_str,
// .debug_ranges, .debug_line, .debug_addr, .debug_str_offsets, .debug_rnglists,
// .debug_line_str, then the supplementary file's .debug_info, .debug_abbrev and .debug_str
// (the reach of the alternate forms, origins into it and imported partial units). Inputs
// with fewer sections leave the rest empty; no supplementary .debug_info means no file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "fuzz_input.h"
#include "kave/trace.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/line_resolver.h"
#include "zor/dwarf/range_lists.h"
#include "zor/dwarf/supplementary_file.h"

using namespace ZOR_3_12;

namespace {

class FuzzContext : public dwarf::DwarfContext {
 public:
  FuzzContext(const dwarf::DwarfSections& s, dwarf::DwarfContext* supplementary)
      : m_sections(s), m_supplementary(supplementary) {}
  ~FuzzContext() {
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
    while (reader.ok() && !reader.atEnd()) {
      UnitHeader h;
      if (!readUnitHeader(reader, h)) break;
      m_owned.emplace_back(new DWARFCompilationUnit(h, this));
      m_units.push_back(m_owned.back().get());
    }
    return m_units;
  }
  bool inCodeOrDataRange(uint64_t address) override { return (address & 0xF000) != 0xF000; }
  dwarf::DwarfContext* supplementary() override { return m_supplementary; }
  DWARFLineResolver& resolver() {
    if (!m_resolver) m_resolver = new DWARFLineResolver(&m_loader, this, nullptr, nullptr);
    return *m_resolver;
  }

 private:
  dwarf::DwarfSections m_sections;
  dwarf::DwarfContext* m_supplementary;
  bool m_read = false;
  std::vector<SymMgrObjectPtr<DWARFCompilationUnit>> m_owned;
  std::vector<DWARFCompilationUnit*> m_units;
  fuzz_input::NullLoader m_loader;
  SymMgrObjectPtr<DWARFLineResolver> m_resolver;
};

constexpr uint64_t kAtImport = 0x18;
// Imported units followed per input, as the loader bounds them: each unit at most once.
constexpr size_t kMaxImports = 64;

void walkUnit(DWARFCompilationUnit* unit, std::set<DWARFCompilationUnit*>& imported) {
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
    if (const dwarf::AttrValue* name = entry->getAttribute(dwarf::DW_AT_name)) {
      const char* s = unit->string(name);
      if (s) (void)std::strlen(s);
    }
    uint64_t low = 0, high = 0;
    bool haveLow = unit->address(entry->getAttribute(dwarf::DW_AT_low_pc), low);
    unit->highPc(entry->getAttribute(dwarf::DW_AT_high_pc), haveLow, low, high);
    if (const dwarf::AttrValue* file = entry->getAttribute(dwarf::DW_AT_decl_file)) unit->globalFileIndex(file->value);
    // Origins in this file or in the supplementary one, and their strings.
    for (dwarf::AttrBindings* origin = entry->getOrigin(); origin; origin = origin->getOrigin()) {
      const char* s = origin->unit()->string(origin->getAttribute(dwarf::DW_AT_name, true));
      if (s) (void)std::strlen(s);
    }
    if (entry->getTag() == dwarf::DW_TAG_imported_unit && imported.size() < kMaxImports) {
      const dwarf::AttrValue* import = entry->getAttribute(kAtImport, true);
      DWARFCompilationUnit* target = import ? dwarf::referencedUnit(unit, *import) : nullptr;
      if (target && imported.insert(target).second) {
        target->ensureUnitEntry();
        walkUnit(target, imported);
      }
    }
  }
  // The same bytes again, skipped instead of decoded, following siblings forward only.
  reader = unit->entryReader();
  while (reader.ok() && !reader.atEnd()) {
    uint64_t sibling = 0;
    const dwarf::Abbreviation* abbrev = dwarf::skipEntry(unit, reader, &sibling);
    if (abbrev && abbrev->hasChildren && sibling > reader.offset() && unit->contains(sibling)) reader.seek(sibling);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input::quietAssertions();
  std::vector<std::vector<uint8_t>> bytes = fuzz_input::splitSections(data, size, 12);
  using fuzz_input::section;
  dwarf::DwarfSections s;
  s.info = section(bytes[0]);
  s.abbrev = section(bytes[1]);
  s.str = section(bytes[2]);
  s.ranges = section(bytes[3]);
  s.line = section(bytes[4]);
  s.addr = section(bytes[5]);
  s.strOffsets = section(bytes[6]);
  s.rnglists = section(bytes[7]);
  s.lineStr = section(bytes[8]);

  std::unique_ptr<dwarf::SupplementaryFile> supplementary;
  if (!bytes[9].empty()) {
    dwarf::DwarfSections sup;
    sup.info = section(bytes[9]);
    sup.abbrev = section(bytes[10]);
    sup.str = section(bytes[11]);
    supplementary.reset(new dwarf::SupplementaryFile(sup, 0x1000));
  }

  FuzzContext context(s, supplementary.get());
  DWARFLineResolver& resolver = context.resolver();
  std::set<DWARFCompilationUnit*> imported;
  for (DWARFCompilationUnit* unit : context.units()) {
    unit->ensureUnitEntry();
    walkUnit(unit, imported);
  }
  if (resolver.ensureAllLinesLoaded() == STATUS_OK) {
    LineTable& table = resolver.lineTable();
    uint64_t probes[] = {table.lowest(), table.lowest() + 1, (table.lowest() + table.highest()) / 2,
                         table.highest() - 1};
    for (uint64_t a : probes) {
      SymMgrObjectPtr<SourceLocationIter> it;
      if (resolver.sourceLocationsByAddress(a, COMP_UNIT_ALL, it) == STATUS_OK && it) {
        int n = 0;
        do {
          SymMgrObjectPtr<ISourceLocation> loc = it->current();
          if (!loc) break;
          loc->sourceFile();
        } while (it->next() && ++n < 64);
      }
    }
  }
  for (DWARFCompilationUnit* unit : context.units()) unit->getPrimarySourceFile();
  return 0;
}
