#include "support/dwarf_test_support.h"

#include <cstdlib>
#include <regex>
#include <sstream>

#include <dirent.h>

#include "kave/unicode.h"
#include "support/elf_oracle.h"
#include "zor/dwarf/dwarf_constants.h"

namespace dwarf_test {

std::string fixturePath(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/dwarf/" + name; }

namespace {

dwarf::Section toSection(const elf::Span& span) {
  dwarf::Section s;
  if (!span.empty()) {
    s.data = span.data;
    s.size = span.size;
  }
  return s;
}


}  // namespace

using elf_oracle::run;

TestContext::TestContext(const std::string& path) {
  m_elf = new ElfHelper(KAVE_3_1::utf8ToWide(path).c_str());
  if (!m_elf->valid()) return;
  ElfHelper& e = *m_elf;
  auto byName = [&e](const char* name) {
    int64_t index = e.sectionIndexByName(name);
    return index < 0 ? dwarf::Section() : toSection(e.sectionBytes(static_cast<uint32_t>(index)));
  };
  m_sections.info = toSection(e.relocatedSection(kSecDebugInfo));
  m_sections.abbrev = byName(".debug_abbrev");
  m_sections.str = byName(".debug_str");
  m_sections.ranges = toSection(e.relocatedSection(kSecDebugRanges));
  m_sections.line = toSection(e.relocatedSection(kSecDebugLine));
  m_sections.addr = byName(".debug_addr");
  m_sections.strOffsets = byName(".debug_str_offsets");
  m_sections.rnglists = byName(".debug_rnglists");
  m_sections.lineStr = byName(".debug_line_str");
  m_sections.types = byName(".debug_types");
  m_valid = m_sections.info.present();
}

TestContext::TestContext(const dwarf::DwarfSections& sections) : m_valid(true), m_sections(sections) {}

TestContext::~TestContext() {
  m_resolver.reset();
  m_owned.clear();
}

const std::vector<DWARFCompilationUnit*>& TestContext::units() {
  if (m_unitsRead) return m_units;
  m_unitsRead = true;
  dwarf::DwarfReader reader(m_sections.info.data, m_sections.info.size);
  while (reader.ok() && !reader.atEnd()) {
    UnitHeader header;
    if (!readUnitHeader(reader, header)) break;
    m_owned.emplace_back(new DWARFCompilationUnit(header, this));
    m_units.push_back(m_owned.back().get());
  }
  return m_units;
}

DWARFCompilationUnit* TestContext::unitContaining(uint64_t infoOffset) {
  for (DWARFCompilationUnit* unit : units()) {
    if (unit->contains(infoOffset)) return unit;
  }
  return nullptr;
}

bool TestContext::inCodeOrDataRange(uint64_t address) {
  return m_elf ? m_elf->inAnyRange(address - m_loadBias) : true;
}

DWARFLineResolver& TestContext::resolver() {
  if (!m_resolver) {
    m_fileLoader.reset(new zor_fake::FakeLoader());
    m_resolver = new DWARFLineResolver(m_fileLoader.get(), this, nullptr, nullptr);
  }
  return *m_resolver;
}

void TestContext::readUnitEntries() {
  for (DWARFCompilationUnit* unit : units()) {
    if (unit->header().walked()) unit->ensureUnitEntry();
  }
}

bool haveDwarfdump() {
  std::string out;
  return run("command -v llvm-dwarfdump-14", out) && !out.empty();
}

std::string dwarfdump(const std::string& args, const std::string& path) {
  std::string out;
  if (!haveDwarfdump()) return out;
  run("llvm-dwarfdump-14 " + args + " '" + path + "'", out);
  return out;
}

std::map<uint64_t, DumpUnit> dumpUnits(const std::string& path) {
  std::map<uint64_t, DumpUnit> units;
  std::istringstream in(dwarfdump("--debug-info", path));
  std::string line;
  DumpUnit* current = nullptr;
  bool inUnitEntry = false;
  static const std::regex kUnit("^0x([0-9a-f]+): (Compile|Type|Partial|Skeleton) Unit:.*");
  static const std::regex kTag("^0x[0-9a-f]+: +DW_TAG_.*");
  static const std::regex kAttr("^ +(DW_AT_[a-z_]+)\\s+\\((.*)\\)$");
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, kUnit)) {
      current = &units[std::strtoull(m[1].str().c_str(), nullptr, 16)];
      inUnitEntry = false;
      continue;
    }
    if (!current) continue;
    if (std::regex_match(line, kTag)) {
      inUnitEntry = current->entries == 0;
      ++current->entries;
      continue;
    }
    if (!inUnitEntry) continue;
    if (line.empty()) {
      inUnitEntry = false;
      continue;
    }
    if (!std::regex_match(line, m, kAttr)) continue;
    std::string name = m[1], value = m[2];
    auto unquote = [](const std::string& v) {
      return v.size() >= 2 && v.front() == '"' && v.back() == '"' ? v.substr(1, v.size() - 2) : v;
    };
    if (name == "DW_AT_name") current->name = unquote(value);
    if (name == "DW_AT_producer") current->producer = unquote(value);
    if (name == "DW_AT_comp_dir") current->compDir = unquote(value);
    if (name == "DW_AT_language") current->language = value;
    if (name == "DW_AT_low_pc") {
      current->haveLowPc = true;
      current->lowPc = std::strtoull(value.c_str(), nullptr, 16);
    }
  }
  return units;
}

std::vector<std::string> executableFixtures() {
  std::vector<std::string> names;
  DIR* dir = opendir((std::string(ZOR_FIXTURES_DIR) + "/dwarf").c_str());
  if (!dir) return names;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name[0] == '.' || name == "sep" || name.size() < 2 || name.compare(name.size() - 2, 2, ".o") == 0) continue;
    names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

Bytes& Bytes::u8(uint8_t v) {
  data.push_back(static_cast<char>(v));
  return *this;
}
Bytes& Bytes::u16(uint16_t v) { return u8(v & 0xff).u8(v >> 8); }
Bytes& Bytes::u32(uint32_t v) { return u16(v & 0xffff).u16(v >> 16); }
Bytes& Bytes::u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
Bytes& Bytes::uleb(uint64_t v) {
  do {
    uint8_t b = v & 0x7f;
    v >>= 7;
    u8(v ? b | 0x80 : b);
  } while (v);
  return *this;
}
Bytes& Bytes::sleb(int64_t v) {
  while (true) {
    uint8_t b = v & 0x7f;
    v >>= 7;
    bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
    u8(done ? b : b | 0x80);
    if (done) return *this;
  }
}
Bytes& Bytes::str(const std::string& s) {
  data += s;
  data.push_back('\0');
  return *this;
}
Bytes& Bytes::raw(const std::string& s) {
  data += s;
  return *this;
}
Bytes& Bytes::unit(uint16_t version, uint8_t addrSize, const Bytes& body, bool dwarf64) {
  // unit_type and address_size (5), or address_size alone, then the abbreviation offset.
  const uint64_t length = 2 + (version >= 5 ? 2 : 1) + (dwarf64 ? 8 : 4) + body.size();
  if (dwarf64) u32(0xFFFFFFFFu).u64(length);
  else u32(static_cast<uint32_t>(length));
  u16(version);
  if (version >= 5) u8(dwarf::DW_UT_compile).u8(addrSize);
  if (dwarf64) u64(0);
  else u32(0);
  if (version < 5) u8(addrSize);
  return raw(body.data);
}

}  // namespace dwarf_test
