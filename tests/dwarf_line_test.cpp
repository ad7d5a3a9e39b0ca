// Line-number programs: file tables of real compiler output, and hand-made programs for the
// rules no compiler exercises. The rows of real programs show in the locations the agreement
// suites compare at every fixture's addresses.
#include <gtest/gtest.h>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/line_program.h"

namespace {

using namespace ZOR_3_12;
using namespace ZOR_3_12::dwarf;
using dwarf_test::Bytes;
using dwarf_test::TestContext;

std::vector<LineRow> runAll(const LineProgramHeader& header, const DwarfSections& sections) {
  std::vector<LineRow> rows;
  LineStateMachine machine(header, sections);
  LineRow row;
  while (machine.step(row)) rows.push_back(row);
  return rows;
}

// Every location the resolver has at an address, as "path:line".
std::vector<std::string> locationsAt(DWARFLineResolver& resolver, uint64_t address) {
  std::vector<std::string> out;
  SymMgrObjectPtr<SourceLocationIter> it;
  if (resolver.sourceLocationsByAddress(address, COMP_UNIT_ALL, it) != STATUS_OK || !it) return out;
  do {
    SymMgrObjectPtr<ISourceLocation> loc = it->current();
    if (!loc) break;
    ISourceFile* file = loc->sourceFile();
    out.push_back((file ? KAVE_3_1::wideToUtf8(file->name()) : "?") + ":" + std::to_string(loc->line()));
  } while (it->next());
  return out;
}

TEST(DwarfLines, FileTablesPrimaryFilesAndSharedPaths) {
  for (const char* name : {"c_gcc_d2_O0", "cpp_clang_d3_O2", "cpp_gcc_d5_O2", "cpp_clang_d5_O2", "f90_gfortran_d3_O0"}) {
    SCOPED_TRACE(name);
    TestContext context(dwarf_test::fixturePath(name));
    DWARFLineResolver& resolver = context.resolver();
    ASSERT_EQ(resolver.ensureAllLinesLoaded(), STATUS_OK);
    DWARFCompilationUnit* unit = context.units()[0];
    ISourceFile* primary = unit->getPrimarySourceFile();
    ASSERT_NE(primary, nullptr);
    std::string expected = "/fixtures/src/" + KAVE_3_1::wideToUtf8(unit->name());
    EXPECT_EQ(KAVE_3_1::wideToUtf8(primary->name()), expected);
    EXPECT_EQ(unit->getSourceFile(primary->name()), primary);
    EXPECT_EQ(unit->getSourceFile(L"/nowhere.c"), nullptr);
    EXPECT_EQ(primary->checksum(), nullptr);
    // File number 0 means no file before DWARF 5 and the primary file from 5 on.
    int32_t zero = unit->globalFileIndex(0);
    if (unit->version() >= 5)
      EXPECT_EQ(resolver.sourceFile(static_cast<uint32_t>(zero)), primary);
    else
      EXPECT_EQ(zero, -1);
    EXPECT_EQ(unit->globalFileIndex(100000), -1);
    // Reading again changes nothing.
    size_t files = resolver.sourceFileCount();
    EXPECT_EQ(resolver.readLineProgram(unit), STATUS_OK);
    EXPECT_EQ(resolver.sourceFileCount(), files);
    EXPECT_EQ(resolver.sourceFile(static_cast<uint32_t>(files)), nullptr);
  }
}

// A hand-made .debug_line program with one unit around it.
struct HandProgram {
  uint16_t version = 3;
  bool dwarf64 = false;
  uint8_t minInst = 1, defaultIsStmt = 1, lineRange = 14, opcodeBase = 13;
  int8_t lineBase = -5;
  std::vector<std::string> dirs;
  struct File {
    std::string name;
    uint64_t dir;
  };
  std::vector<File> files;
  Bytes program;

  Bytes build() const {
    Bytes h;
    if (version >= 4) h.u8(minInst).u8(1);
    else h.u8(minInst);
    h.u8(defaultIsStmt).u8(static_cast<uint8_t>(lineBase)).u8(lineRange).u8(opcodeBase);
    static const uint8_t kLengths[] = {0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1, 2, 2, 2, 2};
    for (int i = 1; i < opcodeBase; ++i) h.u8(i - 1 < 16 ? kLengths[i - 1] : 0);
    for (const auto& d : dirs) h.str(d);
    h.u8(0);
    for (const auto& f : files) h.str(f.name).uleb(f.dir).uleb(0).uleb(0);
    h.u8(0);
    Bytes unit;
    unit.u16(version);
    if (dwarf64)
      unit.u64(h.size());
    else
      unit.u32(static_cast<uint32_t>(h.size()));
    unit.raw(h.data).raw(program.data);
    Bytes out;
    if (dwarf64)
      out.u32(0xFFFFFFFFu).u64(unit.size());
    else
      out.u32(static_cast<uint32_t>(unit.size()));
    out.raw(unit.data);
    return out;
  }
};

// A DWARF 3 unit entry with name, comp_dir and stmt_list 0 (or `stmt`).
Bytes unitWithLines(Bytes& abbrev, const char* compDir, uint32_t stmt = 0) {
  abbrev.uleb(1).uleb(DW_TAG_compile_unit).u8(0);
  abbrev.uleb(DW_AT_name).uleb(DW_FORM_string).uleb(DW_AT_comp_dir).uleb(DW_FORM_string);
  abbrev.uleb(DW_AT_stmt_list).uleb(DW_FORM_data4).uleb(0).uleb(0).uleb(0);
  Bytes body;
  body.uleb(1).str("main.c").str(compDir).u32(stmt);
  return Bytes().unit(3, 8, body);
}

struct HandModule {
  Bytes info, abbrev, line;
  std::unique_ptr<TestContext> context;
  HandModule(const HandProgram& p, const char* compDir = "/build") {
    info = unitWithLines(abbrev, compDir);
    line = p.build();
    DwarfSections s;
    s.info = info.section();
    s.abbrev = abbrev.section();
    s.line = line.section();
    context.reset(new TestContext(s));
  }
  DWARFCompilationUnit* unit() { return context->units()[0]; }
};

TEST(DwarfLines, FullPathsFromDirectoriesAndCompilationDirectory) {
  HandProgram p;
  p.dirs = {"src", "/usr/include", "rel/"};
  p.files = {{"a.c", 0}, {"b.c", 1}, {"stdio.h", 2}, {"/abs/c.c", 1}, {"d.h", 3}, {"e.h", 9}};
  HandModule m(p);
  KAVE_3_1::RecordCapture capture;
  unsigned long before = KAVE_3_1::assertionCount();
  DWARFLineResolver& resolver = m.context->resolver();
  EXPECT_EQ(resolver.ensureAllLinesLoaded(), STATUS_OK);
  const char* expected[] = {"/build/a.c", "/build/src/b.c", "/usr/include/stdio.h", "/abs/c.c", "/build/rel/d.h",
                            "/build/e.h"};
  for (uint32_t i = 0; i < 6; ++i) {
    int32_t index = m.unit()->globalFileIndex(i + 1);
    ASSERT_GE(index, 0);
    EXPECT_EQ(KAVE_3_1::wideToUtf8(resolver.sourceFile(static_cast<uint32_t>(index))->name()), expected[i]);
  }
  EXPECT_EQ(KAVE_3_1::assertionCount(), before + 1);  // directory 9 does not exist
}

TEST(DwarfLines, RowsBecomeSpansUpToTheNextRow) {
  HandProgram p;
  p.minInst = 4;
  p.files = {{"a.c", 0}, {"b.c", 0}};
  // set_address 0x1000; copy; const_add_pc (68 bytes with min_inst 4); advance_line 9; copy;
  // set_file 2; special opcode (address +4, line +1); fixed_advance_pc 0x10; end_sequence.
  p.program.u8(0).uleb(9).u8(2).u64(0x1000).u8(1);
  p.program.u8(8).u8(3).sleb(9).u8(1);
  p.program.u8(4).uleb(2).u8(static_cast<uint8_t>(13 + (1 - (-5)) + 14 * 1));
  p.program.u8(9).u16(0x10).u8(0).uleb(1).u8(1);
  // A second sequence starting lower: its rows still count.
  p.program.u8(0).uleb(9).u8(2).u64(0x800).u8(1).u8(2).uleb(2).u8(0).uleb(1).u8(1);
  HandModule m(p);
  std::vector<LineRow> rows;
  LineProgramHeader header;
  ASSERT_EQ(readLineProgramHeader(m.context->sections(), 0, 8, nullptr, header), STATUS_OK);
  rows = runAll(header, m.context->sections());
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[1].address, 0x1000u + 68);
  EXPECT_EQ(rows[1].line, 10u);
  EXPECT_EQ(rows[2].address, 0x1000u + 72);
  EXPECT_EQ(rows[2].line, 11u);
  EXPECT_EQ(rows[2].file, 2u);
  EXPECT_EQ(rows[3].address, 0x1000u + 88);
  EXPECT_TRUE(rows[3].endSequence);
  EXPECT_EQ(rows[4].line, 1u);  // registers reset after the end of a sequence
  EXPECT_EQ(rows[4].file, 1u);

  DWARFLineResolver& resolver = m.context->resolver();
  ASSERT_EQ(resolver.ensureAllLinesLoaded(), STATUS_OK);
  EXPECT_EQ(locationsAt(resolver, 0x1000), std::vector<std::string>{"/build/a.c:1"});
  EXPECT_EQ(locationsAt(resolver, 0x1000 + 67), std::vector<std::string>{"/build/a.c:1"});
  EXPECT_EQ(locationsAt(resolver, 0x1000 + 72), std::vector<std::string>{"/build/b.c:11"});
  EXPECT_EQ(locationsAt(resolver, 0x1000 + 87), std::vector<std::string>{"/build/b.c:11"});
  EXPECT_TRUE(locationsAt(resolver, 0x1000 + 88).empty());  // the end of the sequence
  EXPECT_EQ(locationsAt(resolver, 0x800), std::vector<std::string>{"/build/a.c:1"});
  EXPECT_TRUE(locationsAt(resolver, 0x808).empty());
  SymMgrObjectPtr<SourceLineIter> lines;
  EXPECT_EQ(resolver.sourceLinesForFile(COMP_UNIT_ALL, static_cast<uint32_t>(m.unit()->globalFileIndex(2)), 0,
                                        UINT64_MAX, lines),
            STATUS_OK);
  EXPECT_TRUE(lines);
  EXPECT_EQ(resolver.sourceLinesForFile(COMP_UNIT_ALL, 77, 0, UINT64_MAX, lines), STATUS_FALSE);
  EXPECT_EQ(resolver.compUnitDetails(m.unit()->offset()), m.unit());
  EXPECT_EQ(resolver.compUnitDetails(5), nullptr);
}

TEST(DwarfLines, SixtyFourBitPrograms) {
  HandProgram p;
  p.version = 4;
  p.dwarf64 = true;
  p.files = {{"a.c", 0}};
  p.program.u8(0).uleb(9).u8(2).u64(0x3000).u8(1).u8(2).uleb(5).u8(0).uleb(1).u8(1);
  HandModule m(p);
  LineProgramHeader header;
  ASSERT_EQ(readLineProgramHeader(m.context->sections(), 0, 8, nullptr, header), STATUS_OK);
  EXPECT_EQ(header.offsetSize, 8);
  std::vector<LineRow> rows = runAll(header, m.context->sections());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].address, 0x3005u);
}

TEST(DwarfLines, OddOpcodesDefineFileAndHeaderChecks) {
  HandProgram p;
  p.version = 2;
  p.minInst = 0;
  p.defaultIsStmt = 2;
  p.opcodeBase = 17;  // opcodes 13-16 are unknown standard opcodes with 2 operands each
  p.files = {{"a.c", 0}};
  p.program.u8(0).uleb(9).u8(2).u64(0x2000);
  p.program.u8(13).uleb(300).uleb(5);  // skipped with its operands
  p.program.u8(0).uleb(8).u8(3).str("x.h").uleb(0).uleb(0).uleb(0);  // define_file
  p.program.u8(4).uleb(2).u8(1);
  p.program.u8(0).uleb(3).u8(0x80).u16(0);  // unknown extended opcode: skipped by its length
  p.program.u8(0).uleb(2).u8(4).u8(7);       // set_discriminator
  p.program.u8(2).uleb(8).u8(0).uleb(1).u8(1);
  KAVE_3_1::RecordCapture capture;
  unsigned long before = KAVE_3_1::assertionCount();
  HandModule m(p);
  DWARFLineResolver& resolver = m.context->resolver();
  ASSERT_EQ(resolver.ensureAllLinesLoaded(), STATUS_OK);
  // min_inst 0, default_is_stmt 2, the unknown extended opcode.
  EXPECT_EQ(KAVE_3_1::assertionCount(), before + 3);
  int32_t defined = m.unit()->globalFileIndex(2);
  ASSERT_GE(defined, 0);
  EXPECT_EQ(KAVE_3_1::wideToUtf8(resolver.sourceFile(static_cast<uint32_t>(defined))->name()), "/build/x.h");
  // min_inst 0 makes advance_pc a no-op, so the row has no span; the copy row is there.
  LineProgramHeader header;
  ASSERT_EQ(readLineProgramHeader(m.context->sections(), 0, 8, nullptr, header), STATUS_OK);
  std::vector<LineRow> rows = runAll(header, m.context->sections());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].file, 2u);
  EXPECT_EQ(rows[0].address, 0x2000u);
}

TEST(DwarfLines, StatusesOfMissingAndDamagedPrograms) {
  HandProgram p;
  p.files = {{"a.c", 0}};
  {
    HandModule m(p);
    DwarfSections s = m.context->sections();
    s.line = Section();
    TestContext noLines(s);
    EXPECT_EQ(noLines.resolver().ensureAllLinesLoaded(), STATUS_NO_DEBUG_INFO);
    EXPECT_EQ(noLines.units()[0]->getPrimarySourceFile(), nullptr);
  }
  {
    // The unit's stmt_list lies beyond .debug_line.
    Bytes abbrev, line = p.build();
    Bytes info = unitWithLines(abbrev, "/b", 5000);
    DwarfSections s;
    s.info = info.section();
    s.abbrev = abbrev.section();
    s.line = line.section();
    TestContext context(s);
    EXPECT_EQ(context.resolver().readLineProgram(context.units()[0]), STATUS_BAD_DEBUG_INFO);
    EXPECT_EQ(context.resolver().ensureAllLinesLoaded(), STATUS_BAD_DEBUG_INFO);
  }
  {
    HandProgram bad = p;
    bad.lineRange = 0;
    HandModule m(bad);
    EXPECT_EQ(m.context->resolver().ensureAllLinesLoaded(), STATUS_BAD_DEBUG_INFO);
  }
  {
    HandProgram empty = p;
    empty.files = {{"", 0}};  // ends the table at once: no files at all
    HandModule m(empty);
    EXPECT_EQ(m.context->resolver().ensureAllLinesLoaded(), STATUS_OK);
    EXPECT_EQ(m.context->resolver().sourceFileCount(), 0u);
  }
}

TEST(DwarfLines, TruncatedLineSectionsNeverReadPastTheirEnd) {
  TestContext whole(dwarf_test::fixturePath("cpp_gcc_d5_O2"));
  DwarfSections full = whole.sections();
  KAVE_3_1::RecordCapture capture;
  size_t rows = 0;
  for (uint64_t cut = 0; cut < full.line.size; cut += 1 + cut / 5) {
    DwarfSections s = full;
    s.line.size = cut;
    s.lineStr.size = std::min<uint64_t>(full.lineStr.size, cut / 8);
    TestContext context(s);
    context.readUnitEntries();
    for (DWARFCompilationUnit* unit : context.units()) {
      LineProgramHeader header;
      if (readLineProgramHeader(s, unit->lineOffset(), unit->addrSize(), unit, header) == STATUS_OK)
        rows += runAll(header, s).size();
    }
    context.resolver().ensureAllLinesLoaded();
  }
  EXPECT_GT(rows, 0u);
}

}  // namespace
