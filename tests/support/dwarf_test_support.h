// Test harness for the DWARF byte level: a DwarfContext over the sections of a fixture (read
// with the library's ELF reader) or over hand-made section bytes, the units it holds, a line
// resolver on demand, and the text of llvm-dwarfdump-14 as an oracle (empty when missing).
#ifndef ZOR_TESTS_SUPPORT_DWARF_TEST_SUPPORT_H_
#define ZOR_TESTS_SUPPORT_DWARF_TEST_SUPPORT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kave/unicode.h"
#include "support/fake_loader.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_context.h"
#include "zor/dwarf/dwarf_symbol_file_to_resolve.h"
#include "zor/dwarf/line_resolver.h"
#include "zor/elf/elf_helper.h"

namespace dwarf_test {

using namespace ZOR_3_12;

std::string fixturePath(const std::string& name);  // under tests/fixtures/dwarf/

// The DWARF candidate of an image (its debug link, build id or the image itself, searched
// under the current debug directories), with the image path and reader it borrows.
struct Candidate {
  explicit Candidate(const std::string& path)
      : imagePath(KAVE_3_1::utf8ToWide(path)), helper(new ElfHelper(imagePath.c_str())), c(0, imagePath.c_str(), helper.get()) {}
  std::wstring imagePath;
  SymMgrObjectPtr<ElfHelper> helper;
  DWARFSymbolFileToResolve c;
};

class TestContext : public dwarf::DwarfContext {
 public:
  // Over a fixture's sections (relocations applied for relocatable objects).
  explicit TestContext(const std::string& path);
  // Over hand-made sections; every address counts as code.
  explicit TestContext(const dwarf::DwarfSections& sections);
  virtual ~TestContext();

  bool valid() const { return m_valid; }
  const dwarf::DwarfSections& sections() const override { return m_sections; }
  DWARFCompilationUnit* unitContaining(uint64_t infoOffset) override;
  uint64_t loadBias() const override { return m_loadBias; }
  DWARFLineResolver* lineResolver() override { return m_resolver.get(); }
  const std::vector<DWARFCompilationUnit*>& units() override;
  bool inCodeOrDataRange(uint64_t address) override;

  void setLoadBias(uint64_t bias) { m_loadBias = bias; }
  // Makes the line resolver (once) and returns it.
  DWARFLineResolver& resolver();
  // Reads every walked unit's entry (DW_AT_name, producer, bases...).
  void readUnitEntries();

 private:
  bool m_valid = false;
  SymMgrObjectPtr<ElfHelper> m_elf;
  dwarf::DwarfSections m_sections;
  uint64_t m_loadBias = 0;
  bool m_unitsRead = false;
  std::vector<SymMgrObjectPtr<DWARFCompilationUnit>> m_owned;
  std::vector<DWARFCompilationUnit*> m_units;
  std::unique_ptr<zor_fake::FakeLoader> m_fileLoader;
  SymMgrObjectPtr<DWARFLineResolver> m_resolver;
};

// llvm-dwarfdump-14 output for `args` on `path`; empty when the tool is absent.
std::string dwarfdump(const std::string& args, const std::string& path);
bool haveDwarfdump();

// Compile-unit facts as llvm-dwarfdump --debug-info prints them, per unit offset.
struct DumpUnit {
  std::string name, producer, compDir;
  std::string language;  // as printed: DW_LANG_C89, DW_LANG_C_plus_plus_14...
  bool haveLowPc = false;
  uint64_t lowPc = 0;
  size_t entries = 0;  // non-null entries of the unit, the unit entry included
};
std::map<uint64_t, DumpUnit> dumpUnits(const std::string& path);

// Every DWARF fixture that is a linked executable, by file name.
std::vector<std::string> executableFixtures();

// Appends little-endian and LEB128 values to hand-made section bytes.
struct Bytes {
  std::string data;
  Bytes& u8(uint8_t v);
  Bytes& u16(uint16_t v);
  Bytes& u32(uint32_t v);
  Bytes& u64(uint64_t v);
  Bytes& uleb(uint64_t v);
  Bytes& sleb(int64_t v);
  Bytes& str(const std::string& s);  // with its NUL
  Bytes& raw(const std::string& s);
  // A whole compile unit: the header of `version` (64-bit offsets with `dwarf64`), abbreviation
  // offset 0, then `body`.
  Bytes& unit(uint16_t version, uint8_t addrSize, const Bytes& body, bool dwarf64 = false);
  size_t size() const { return data.size(); }
  dwarf::Section section() const {
    dwarf::Section s;
    s.data = reinterpret_cast<const uint8_t*>(data.data());
    s.size = data.size();
    return s;
  }
};

}  // namespace dwarf_test

#endif  // ZOR_TESTS_SUPPORT_DWARF_TEST_SUPPORT_H_
