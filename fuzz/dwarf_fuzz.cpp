// Arbitrary DWARF section bytes through the byte level: unit headers, every entry of every
// unit (decoded and skipped), origins, strings, range lists, and the line programs into a
// line table, with a few queries on the result.
//
// Input: nine sections in this order, each a 4-byte little-endian length then its bytes
// (a length beyond the input takes what is left): .debug_info, .debug_abbrev, .debug_str,
// .debug_ranges, .debug_line, .debug_addr, .debug_str_offsets, .debug_rnglists,
// .debug_line_str.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kave/trace.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/line_resolver.h"
#include "zor/dwarf/range_lists.h"

using namespace ZOR_3_12;

namespace {

class NullLoader : public SymMgrObject<IFileFormatLoader> {
 public:
  NullLoader() : SymMgrObject<IFileFormatLoader>(nullptr) {}
  status_t symbolFilesToResolve(SymMgrObjectPtr<SymbolFileIter>&) override { return STATUS_FALSE; }
  status_t debugInfoLoader(SymMgrObjectPtr<IDebugInfoLoader>&, int) override { return STATUS_FALSE; }
  const wchar_t* fileName() override { return L""; }
  exec_format_t execFormat() override { return EXEC_FORMAT_ELF; }
  uint32_t architecture() override { return 0; }
  uint64_t imageBase() override { return 0; }
  uint64_t imageSize() override { return 0; }
  status_t loadSymbols(ISymbolTable*, uint32_t) override { return STATUS_OK; }
  ISegment* segmentByAddress(uint64_t) override { return nullptr; }
  ISegment* segmentByIndex(int) override { return nullptr; }
  ISegment* segmentByFileOffset(uint64_t) override { return nullptr; }
  SymMgrObjectPtr<IBuffer> readBytes(uint64_t, uint64_t) override { return nullptr; }
  status_t address(SymMgrObjectPtr<IAddress>&, uint64_t) override { return STATUS_FALSE; }
  status_t addressByFileOffset(SymMgrObjectPtr<IAddress>&, uint64_t) override { return STATUS_FALSE; }
  SymMgrObjectPtr<SegmentIter> segments() override { return nullptr; }
  ISegment* segmentByName(const wchar_t*) override { return nullptr; }
  SymMgrObjectPtr<ISection> sectionByName(const wchar_t*) override { return nullptr; }
};

class FuzzContext : public dwarf::DwarfContext {
 public:
  explicit FuzzContext(const dwarf::DwarfSections& s) : m_sections(s) {}
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
  DWARFLineResolver& resolver() {
    if (!m_resolver) m_resolver = new DWARFLineResolver(&m_loader, this, nullptr, nullptr);
    return *m_resolver;
  }

 private:
  dwarf::DwarfSections m_sections;
  bool m_read = false;
  std::vector<SymMgrObjectPtr<DWARFCompilationUnit>> m_owned;
  std::vector<DWARFCompilationUnit*> m_units;
  NullLoader m_loader;
  SymMgrObjectPtr<DWARFLineResolver> m_resolver;
};

void walkUnit(DWARFCompilationUnit* unit) {
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
  static bool quiet = [] {
    KAVE_3_1::setAssertStream(nullptr);
    return true;
  }();
  (void)quiet;
  // Each section in its own allocation, so a read past its end is caught.
  std::vector<std::vector<uint8_t>> bytes(9);
  size_t pos = 0;
  for (auto& b : bytes) {
    if (size - pos < 4) break;
    uint32_t length;
    std::memcpy(&length, data + pos, 4);
    pos += 4;
    size_t take = length < size - pos ? length : size - pos;
    b.assign(data + pos, data + pos + take);
    pos += take;
  }
  auto section = [](const std::vector<uint8_t>& b) {
    dwarf::Section s;
    if (!b.empty()) {
      s.data = b.data();
      s.size = b.size();
    }
    return s;
  };
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

  FuzzContext context(s);
  DWARFLineResolver& resolver = context.resolver();
  for (DWARFCompilationUnit* unit : context.units()) {
    unit->ensureUnitEntry();
    walkUnit(unit);
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
