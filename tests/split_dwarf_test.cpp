// Split DWARF: skeleton units in the module, their entries in .dwo files or a DWARF package
// beside it. End to end against llvm-symbolizer-14 (which reads .dwo and .dwp files itself),
// the modules whose split units are missing or of another build, and the package index on
// hand-made bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <zor/extensions.h>
#include <zor/zor.h>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "support/loaded_module.h"
#include "support/scratch.h"
#include "support/symbolizer_agreement.h"
#include "support/threads_agree.h"
#include "zor/dwarf/dwp_index.h"
#include "zor/dwarf/split_units.h"

namespace {

using namespace ZOR_3_12;
using namespace agreement;
using dwarf_test::Bytes;

std::string splitDir() { return std::string(ZOR_FIXTURES_DIR) + "/split"; }
std::string fixture(const std::string& name) { return splitDir() + "/" + name; }

using scratch::readFile;
using scratch::TempDir;
using scratch::WorkingDirectory;
using scratch::writeFile;

struct Census {
  uint32_t format = 0;
  std::string symFile;
  size_t addresses = 0;
  size_t dwarfFunctions = 0;  // function starts answered by a DWARF function
  size_t imageFunctions = 0;  // function starts answered by a symbol-table entry
  size_t inlined = 0;         // addresses with more than one frame
  size_t withLine = 0;        // function starts with a line-table row
};

// What a fresh manager's bank of `image` answers at its function starts and random addresses.
Census census(const std::string& image) {
  Census c;
  zor_test::LoadedModule loaded(image);
  IModuleSymbolBank* bank = loaded.bank.get();
  if (!bank) return c;
  c.format = bank->symFileFormat();
  c.symFile = KAVE_3_1::wideToUtf8(bank->symFileName());
  for (const CodeSymbol& s : codeSymbols(image)) {
    SymMgrObjectPtr<IAddress> address;
    if (bank->addressByVa(s.start, address) != STATUS_OK || !address) continue;
    SymMgrObjectPtr<ISymbolRange> range;
    if (bank->symbolRangeByAddress(address.get(), range, SYMBOL_KIND_ALL, nullptr) == STATUS_OK && range) {
      uint32_t unit = 0;
      if (range->symbol()->compUnitId(unit) == STATUS_OK)
        ++c.dwarfFunctions;
      else
        ++c.imageFunctions;
    }
    SymMgrObjectPtr<ISourceLocation> location;
    if (lineTableLocationByAddress(bank, address.get(), location) == STATUS_OK && location) ++c.withLine;
  }
  for (uint64_t a : addressesToCheck(image)) {
    ++c.addresses;
    if (ourFrames(bank, a).size() > 1) ++c.inlined;
  }
  return c;
}

// --- agreement with the symbolizer ------------------------------------------------------

const char* const kSplitFixtures[] = {"cpp_gcc_d4_split", "cpp_gcc_d5_split", "cpp_gcc_d4_dwp"};

class SplitAgreement : public ::testing::TestWithParam<const char*> {};

TEST_P(SplitAgreement, InlineFramesMatchPerAddress) {
  // The skeletons name their .dwo files relative to a compilation directory of ".", which the
  // symbolizer resolves from the working directory.
  WorkingDirectory cwd(splitDir());
  ASSERT_TRUE(cwd.ok());
  std::string path = fixture(GetParam());
  expectAgreement(std::string("split/") + GetParam(), path, path);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SplitAgreement, ::testing::ValuesIn(kSplitFixtures));

// llvm-symbolizer-14 opens the .dwo files and packages but reports no inline frame from a
// split unit whose skeleton gives its extent as low_pc/high_pc rather than a range list
// (every clang skeleton; the second unit of the two-unit gcc images), so it cannot judge
// those. The code does not change with -gsplit-dwarf: an unsplit build of the same sources
// (whose agreement with the symbolizer other suites check) has the same .text at the same
// addresses, and must give the same frames. The twins run from "/", where the recorded location
// of the .dwo files does not resolve: they are found beside the module.
struct Twin {
  const char* split;
  const char* unsplit;  // under tests/fixtures/
};

class SplitMatchesUnsplitTwin : public ::testing::TestWithParam<Twin> {};

TEST_P(SplitMatchesUnsplitTwin, SameFramesAtEveryAddress) {
  WorkingDirectory cwd("/");
  std::string split = fixture(GetParam().split);
  std::string unsplit = std::string(ZOR_FIXTURES_DIR) + "/" + GetParam().unsplit;
  ASSERT_EQ(run("objcopy -O binary -j .text '" + split + "' /dev/stdout | cksum"),
            run("objcopy -O binary -j .text '" + unsplit + "' /dev/stdout | cksum"));
  zor_test::LoadedModule splitModule(split), unsplitModule(unsplit);
  IModuleSymbolBank* splitBank = splitModule.bank.get();
  IModuleSymbolBank* unsplitBank = unsplitModule.bank.get();
  ASSERT_TRUE(splitBank && unsplitBank);
  // The unsplit build was compiled from the source directory, which its line table spells
  // as "/fixtures/src/./name.h"; the split build names the same files without the "./".
  auto normalised = [](std::vector<Frame> frames) {
    for (Frame& f : frames) {
      for (size_t at; (at = f.file.find("/./")) != std::string::npos;) f.file.erase(at, 2);
    }
    return frames;
  };
  size_t same = 0, inlined = 0, total = 0;
  for (uint64_t a : addressesToCheck(split)) {
    std::vector<Frame> ours = normalised(ourFrames(splitBank, a));
    std::vector<Frame> twin = normalised(ourFrames(unsplitBank, a));
    ++total;
    if (ours.size() > 1) ++inlined;
    if (ours == twin) {
      ++same;
      continue;
    }
    auto text = [](const std::vector<Frame>& frames) {
      std::string t;
      for (const Frame& f : frames) t += "\n  " + f.function + " @ " + f.file + ":" + std::to_string(f.line);
      return t;
    };
    ADD_FAILURE() << "at 0x" << std::hex << a << ", split:" << text(ours) << "\nunsplit:" << text(twin);
  }
  std::printf("[twin] split/%s: %zu of %zu addresses as %s, %zu with inline frames\n", GetParam().split, same,
              total, GetParam().unsplit, inlined);
  EXPECT_GT(inlined, total / 10);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SplitMatchesUnsplitTwin,
                         ::testing::Values(Twin{"cpp_clang_d4_split", "dwarf/cpp_clang_d4_O2"},
                                           Twin{"cpp_clang_d5_split", "dwarf/cpp_clang_d5_O2"},
                                           Twin{"cpp_clang_d5_dwp", "dwarf/cpp_clang_d5_O2"},
                                           Twin{"two_gcc_d4_split", "dwz/plain_d4_a"},
                                           Twin{"two_gcc_d5_dwp", "dwz/plain_d5_a"}),
                         [](const ::testing::TestParamInfo<Twin>& info) { return std::string(info.param.split); });

// The compilation-unit details of a function of a split unit are the split unit's (the
// skeleton names neither producer nor language); with two skeletons (two .dwo files, or two
// rows of one package index) each function is keyed by its own and reports its own source.
TEST(SplitUnits, CompUnitDetailsComeFromEachFunctionsOwnSplitUnit) {
  WorkingDirectory cwd("/");
  for (const char* name :
       {"cpp_gcc_d4_split", "cpp_gcc_d5_split", "cpp_gcc_d4_dwp", "two_gcc_d4_split", "two_gcc_d5_dwp"}) {
    SCOPED_TRACE(name);
    const bool two = std::string(name).compare(0, 4, "two_") == 0;
    std::string path = fixture(name);
    zor_test::LoadedModule loaded(path);
    SymMgrObjectPtr<IModuleSymbolBank> bank = loaded.bank;
    ASSERT_TRUE(bank);
    std::map<uint32_t, std::string> primaryByUnit;
    std::map<std::string, std::string> primaryByFunction;
    for (const CodeSymbol& s : codeSymbols(path)) {
      SymMgrObjectPtr<ISymbolRange> range = loaded.range(s.start);
      uint32_t unit = 0;
      if (!range || range->symbol()->compUnitId(unit) != STATUS_OK) continue;
      ICompUnitDetails* details = nullptr;
      ASSERT_EQ(bank->compUnitDetailsById(unit, details), STATUS_OK);
      ASSERT_NE(details, nullptr);
      EXPECT_STREQ(details->getCompilerName(), L"GNU");
      EXPECT_EQ(details->getLanguage(), LANGUAGE_CPP);
      ISourceFile* primary = details->getPrimarySourceFile();
      ASSERT_NE(primary, nullptr);
      primaryByUnit[unit] = primaryByFunction[s.name] = KAVE_3_1::wideToUtf8(primary->name());
    }
    EXPECT_EQ(primaryByUnit.size(), two ? 2u : 1u);
    EXPECT_EQ(primaryByFunction["_ZN5zdemo10hashValuesEPKii"], "/fixtures/src/cppdemo.cpp");
    if (two) {
      EXPECT_EQ(primaryByFunction["_ZN5zdemo11extraDigestEPKji"], "/fixtures/src/dwzdemo_extra.cpp");
    }
  }
}

// --- missing and foreign split units ----------------------------------------------------

// Without its .dwo, or with a .dwo of another build under the expected name (refused with a
// record), the module still answers: functions from the symbol table, lines from the
// skeleton's line program, no inline chains.
TEST(SplitUnits, MissingOrForeignDwoLeavesSymbolTableAndLines) {
  WorkingDirectory cwd(splitDir());
  for (const auto& c : {std::make_pair("cpp_gcc_d5_nodwo", ""),
                        std::make_pair("cpp_gcc_d5_mismatch", "splitUnit.dwoId == skeleton.dwoId")}) {
    SCOPED_TRACE(c.first);
    KAVE_3_1::RecordCapture records;
    Census census1 = census(fixture(c.first));
    EXPECT_EQ(census1.format, SYM_FORMAT_DWARF);
    EXPECT_EQ(census1.dwarfFunctions, 0u);
    EXPECT_GT(census1.imageFunctions, 10u);
    EXPECT_EQ(census1.inlined, 0u);
    EXPECT_GT(census1.withLine, census1.imageFunctions / 2);
    if (*c.second) {
      EXPECT_TRUE(records.hasAssertion(c.second));
    }
  }
}

// A .dwo that is no ELF file, or one cut short, is refused or read as far as it goes: the
// module answers from its skeleton and symbol table, and nothing crashes.
TEST(SplitUnits, UnreadableOrTruncatedDwoFallsBack) {
  WorkingDirectory cwd("/");
  const std::string image = fixture("cpp_gcc_d5_split");
  const std::string dwo = readFile(image + ".dwo");
  ASSERT_GT(dwo.size(), 1000u);
  TempDir dir;
  const std::string copy = dir / "cpp_gcc_d5_split";
  writeFile(copy, readFile(image));
  struct Case {
    const char* what;
    std::string bytes;
    bool refused;  // no split unit can come of it
  };
  const Case cases[] = {
      {"not an ELF file", std::string(4096, 'x'), true},
      {"empty", std::string(), true},
      {"cut in the middle", dwo.substr(0, dwo.size() / 2), false},
      {"cut after the ELF header", dwo.substr(0, 80), true},
  };
  for (const Case& c : cases) {
    KAVE_3_1::RecordCapture records;
    writeFile(copy + ".dwo", c.bytes);
    Census census1 = census(copy);
    EXPECT_GT(census1.dwarfFunctions + census1.imageFunctions, 10u) << c.what;
    EXPECT_GT(census1.withLine, 10u) << c.what;  // the skeleton's line program
    if (c.refused) {
      EXPECT_EQ(census1.inlined, 0u) << c.what;
      EXPECT_GT(records.assertions(), 0u) << c.what;
    }
  }
}

// With the skeletons in a separate debug file, the package is named after that file.
TEST(SplitUnits, PackageNamedAfterTheSeparateDebugFile) {
  WorkingDirectory cwd("/");
  const std::string image = fixture("cpp_gcc_d4_dwp");
  TempDir dir;
  const std::string module = dir / "module", debug = dir / "module.debug";
  writeFile(module, readFile(image));
  writeFile(debug + ".dwp", readFile(image + ".dwp"));
  ASSERT_EQ(std::system(("cd '" + dir.path() + "' && objcopy --only-keep-debug module module.debug && objcopy --strip-debug "
                         "module && objcopy --add-gnu-debuglink=module.debug module")
                            .c_str()),
            0);
  Census c = census(module);
  EXPECT_NE(c.symFile.find("module.debug"), std::string::npos);
  EXPECT_GT(c.inlined, c.addresses / 10);
  EXPECT_GT(c.dwarfFunctions, c.imageFunctions);
}

// Several threads asking at once (inline chains, lazily read bodies, unit details, the
// package opened on first use) see what one thread alone sees.
TEST(SplitUnits, ConcurrentQueriesAgreeWithOneThread) {
  WorkingDirectory cwd("/");
  expectThreadsAgreeWithOne(fixture("two_gcc_d5_dwp"), 500, [](IModuleSymbolBank* bank, size_t i) {
    ICompUnitDetails* details = nullptr;
    bank->compUnitDetailsById(static_cast<uint32_t>(i % 64), details);
  });
}

// --- the package index on hand-made bytes -----------------------------------------------

// An index with `slots` slots holding the given (signature, row) pairs in order of slot, and
// one row of contributions per unit over the given section ids.
Bytes makeIndex(uint32_t version, const std::vector<uint32_t>& columns,
                const std::vector<std::pair<uint64_t, uint32_t>>& slotEntries,
                const std::vector<std::vector<std::pair<uint32_t, uint32_t>>>& rows) {
  Bytes b;
  if (version == 5)
    b.u16(5).u16(0);
  else
    b.u32(version);
  b.u32(static_cast<uint32_t>(columns.size())).u32(static_cast<uint32_t>(rows.size()));
  b.u32(static_cast<uint32_t>(slotEntries.size()));
  for (const auto& e : slotEntries) b.u64(e.first);
  for (const auto& e : slotEntries) b.u32(e.second);
  for (uint32_t c : columns) b.u32(c);
  for (const auto& row : rows)
    for (const auto& cell : row) b.u32(cell.first);
  for (const auto& row : rows)
    for (const auto& cell : row) b.u32(cell.second);
  return b;
}

TEST(DwpIndex, CollidingSignaturesAreFoundByProbing) {
  // Both hash to slot 0; the second sits where the step (1 | high bits) leads.
  const uint64_t a = 0x0000000000000000ull | 4, b = 0x0000000300000004ull;
  // 4 slots: a -> slot 0, b -> slot 0 taken, step (3 & 3) | 1 = 3 -> slot 3.
  std::vector<std::pair<uint64_t, uint32_t>> slots = {{a, 1}, {0, 0}, {0, 0}, {b, 2}};
  Bytes bytes = makeIndex(5, {1}, slots, {{{1, 2}}, {{3, 4}}});
  dwarf::DwpIndex index;
  ASSERT_TRUE(index.parse(bytes.section()));
  dwarf::Contribution c[dwarf::DWP_SECTION_COUNT];
  ASSERT_TRUE(index.lookup(b, c));
  EXPECT_EQ(c[dwarf::DWP_INFO].offset, 3u);
}

TEST(DwpIndex, DamagedIndexesAreRefusedOrEndTheirWalk) {
  KAVE_3_1::RecordCapture records;
  const uint64_t a = 5;
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> oneRow = {{{0, 8}}};
  dwarf::DwpIndex index;
  dwarf::Contribution c[dwarf::DWP_SECTION_COUNT];

  Bytes good = makeIndex(5, {1}, {{0, 0}, {a, 1}}, oneRow);
  ASSERT_TRUE(index.parse(good.section()));
  ASSERT_TRUE(index.lookup(a, c));

  // Cut anywhere: never parses past the bytes.
  for (size_t n = 0; n < good.size(); ++n) {
    Bytes cut;
    cut.raw(good.data.substr(0, n));
    EXPECT_FALSE(index.parse(cut.section())) << n;
  }
  // Version 3, slot count 3, more units than slots, no section columns with units.
  EXPECT_FALSE(index.parse(makeIndex(3, {1}, {{0, 0}, {a, 1}}, oneRow).section()));
  EXPECT_FALSE(index.parse(makeIndex(5, {1}, {{0, 0}, {a, 1}, {0, 0}}, oneRow).section()));
  EXPECT_FALSE(index.parse(makeIndex(5, {1}, {{a, 1}}, {{{0, 8}}, {{8, 8}}}).section()));
  EXPECT_FALSE(index.parse(makeIndex(5, {}, {{0, 0}, {a, 1}}, {{}}).section()));

  // A row number past the units: refused at lookup.
  // The index reads its section's bytes in place: they must outlive the lookups.
  Bytes pastUnits = makeIndex(5, {1}, {{0, 0}, {a, 9}}, oneRow);
  ASSERT_TRUE(index.parse(pastUnits.section()));
  EXPECT_FALSE(index.lookup(a, c));
  // Every slot taken by another signature: the probe ends after one round.
  Bytes full = makeIndex(5, {1}, {{7, 1}, {9, 1}}, oneRow);
  ASSERT_TRUE(index.parse(full.section()));
  EXPECT_FALSE(index.lookup(a, c));
  EXPECT_GT(records.assertions(), 0u);
}

// A contribution that runs past its section is refused, whatever its size.
TEST(DwpIndex, ContributionsOutsideTheirSectionsAreRefused) {
  std::string path = fixture("cpp_clang_d5_dwp.dwp");
  SymMgrObjectPtr<ElfHelper> file(new ElfHelper(KAVE_3_1::utf8ToWide(path).c_str()));
  ASSERT_TRUE(file->valid());
  KAVE_3_1::RecordCapture records;
  dwarf::Contribution c[dwarf::DWP_SECTION_COUNT];
  c[dwarf::DWP_INFO] = {0, 16, true};
  c[dwarf::DWP_ABBREV] = {0, 16, true};
  dwarf::DwarfSections sections;
  EXPECT_TRUE(dwarf::splitSectionsFromFile(*file, c, sections));
  EXPECT_EQ(sections.info.size, 16u);
  c[dwarf::DWP_ABBREV] = {8, ~0ull - 4, true};
  EXPECT_FALSE(dwarf::splitSectionsFromFile(*file, c, sections));
  c[dwarf::DWP_ABBREV] = {~0ull - 4, 8, true};
  EXPECT_FALSE(dwarf::splitSectionsFromFile(*file, c, sections));
  EXPECT_TRUE(records.hasAssertion("contribution inside its section"));
}

}  // namespace
