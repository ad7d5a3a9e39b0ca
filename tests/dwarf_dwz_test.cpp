// Debug information rewritten by the duplicate-removal tool: shared entries and strings
// moved into a supplementary file (.gnu_debugaltlink with the GNU alternate forms, or
// .debug_sup with the DWARF 5 supplementary forms) or into partial units of the same file.
// The fixtures under tests/fixtures/dwz/ are real compiler output run through the tool;
// the images as they were before it are the oracle's input, since llvm-symbolizer-14 does
// not follow supplementary files itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <zor/extensions.h>
#include <zor/zor.h>

#include "demangler/demangler.h"
#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "support/elf_rewrite.h"
#include "support/loaded_module.h"
#include "support/scratch.h"
#include "support/symbolizer_agreement.h"
#include "zor/dwarf/alt_link.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/elf/elf_helper.h"

namespace {

using namespace ZOR_3_12;
using dwarf_test::Bytes;

std::string dwzFixture(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/dwz/" + name; }

SymMgrObjectPtr<ElfHelper> openElf(const std::string& path) {
  return SymMgrObjectPtr<ElfHelper>(new ElfHelper(KAVE_3_1::utf8ToWide(path).c_str()));
}

using zor_test::LoadedModule;

std::string grouped(const std::string& name) {
  SymMgrObjectPtr<ISymbolNameDemangler> d =
      ISymbolNameDemangler::create(KAVE_3_1::utf8ToWide(name).c_str(), EXEC_FORMAT_ELF);
  return d ? KAVE_3_1::wideToUtf8(d->demangledName(false)) : name;
}

using scratch::ScopedEnv;

// --- the link records --------------------------------------------------------------------

TEST(AltLinkRecords, DebugSupChecksumIsComparedWithTheSupplementaryFilesOwnRecord) {
  SymMgrObjectPtr<ElfHelper> image = openElf(dwzFixture("sup_d5_a"));
  dwarf::AltLink link = dwarf::readAltLink(*image);
  ASSERT_EQ(link.kind, dwarf::AltLink::kDebugSup);
  EXPECT_EQ(link.path, "sup_d5.multi");
  EXPECT_FALSE(link.id.empty());
  EXPECT_TRUE(dwarf::altLinkMatches(link, *openElf(dwzFixture("sup_d5.multi"))));
  // A GNU multifile has no .debug_sup; its build id differs from the checksum.
  EXPECT_FALSE(dwarf::altLinkMatches(link, *openElf(dwzFixture("alt_d5.multi"))));
  // A checksum-less record accepts by name, but never a file that says it is no
  // supplementary file.
  dwarf::AltLink byName = link;
  byName.id.clear();
  EXPECT_TRUE(dwarf::altLinkMatches(byName, *openElf(dwzFixture("alt_d5.multi"))));
  EXPECT_FALSE(dwarf::altLinkMatches(byName, *image));
}

TEST(AltLinkRecords, DamagedRecordsAreRefused) {
  dwarf::AltLink link;
  const std::string gnu("dir/common.debug\0\x01\x02\x03", 20);
  ASSERT_TRUE(dwarf::parseGnuAltLink(reinterpret_cast<const uint8_t*>(gnu.data()), gnu.size(), link));
  EXPECT_EQ(link.path, "dir/common.debug");
  EXPECT_EQ(link.id, (std::vector<uint8_t>{1, 2, 3}));
  // Unterminated path, empty path.
  EXPECT_FALSE(dwarf::parseGnuAltLink(reinterpret_cast<const uint8_t*>(gnu.data()), 10, link));
  EXPECT_FALSE(dwarf::parseGnuAltLink(reinterpret_cast<const uint8_t*>("\0\x01"), 2, link));

  Bytes sup;
  sup.u16(5).u8(0).str("x.sup").uleb(4).u32(0xdeadbeef);
  const auto* data = reinterpret_cast<const uint8_t*>(sup.data.data());
  bool isSupplementary = true;
  ASSERT_TRUE(dwarf::parseDebugSup(data, sup.size(), link, &isSupplementary));
  EXPECT_FALSE(isSupplementary);
  EXPECT_EQ(link.path, "x.sup");
  EXPECT_EQ(link.id.size(), 4u);
  // A checksum longer than the record, and every cut, are refused.
  for (size_t n = 0; n < sup.size(); ++n) EXPECT_FALSE(dwarf::parseDebugSup(data, n, link)) << n;
  Bytes wrongVersion;
  wrongVersion.u16(4).u8(0).str("x").uleb(0);
  EXPECT_FALSE(dwarf::parseDebugSup(reinterpret_cast<const uint8_t*>(wrongVersion.data.data()), wrongVersion.size(),
                                    link));
}

TEST(AltLinkRecords, CandidatesInSearchOrder) {
  ScopedEnv env("ZOR_DEBUG_FILE_DIRECTORIES", "/r1:/r2/");
  dwarf::AltLink link;
  link.kind = dwarf::AltLink::kGnuAltLink;
  link.path = "../common/x.multi";
  link.id = {0xab, 0xcd, 0xef};
  std::vector<std::wstring> expected = {
      L"/d/sub/../common/x.multi", L"/d/sub/x.multi",  L"/r1/.dwz/x.multi", L"/r1/.build-id/ab/cdef.debug",
      L"/r2/.dwz/x.multi",         L"/r2/.build-id/ab/cdef.debug"};
  EXPECT_EQ(dwarf::altLinkCandidates(L"/d/sub/image.debug", link), expected);
  // An absolute path is taken as it is; a .debug_sup link has no build-id path.
  link.path = "/abs/x.multi";
  link.kind = dwarf::AltLink::kDebugSup;
  expected = {L"/abs/x.multi", L"/d/sub/x.multi", L"/r1/.dwz/x.multi", L"/r2/.dwz/x.multi"};
  EXPECT_EQ(dwarf::altLinkCandidates(L"/d/sub/image.debug", link), expected);
}

// --- whole modules -----------------------------------------------------------------------

// Our answers on a rewritten image against our answers on the image before the rewrite,
// at the agreement harness's addresses (same code, so same addresses).
void expectSameAnswers(const std::string& name, const std::string& rewritten, const std::string& before) {
  LoadedModule a(rewritten);
  LoadedModule b(before);
  ASSERT_TRUE(a.bank && b.bank);
  std::vector<uint64_t> addresses = agreement::addressesToCheck(before);
  ASSERT_GT(addresses.size(), 100u);
  size_t same = 0, inlined = 0, shown = 0;
  auto text = [](const std::vector<agreement::Frame>& frames) {
    std::string t;
    for (const agreement::Frame& f : frames) t += " [" + f.function + " " + f.file + ":" + std::to_string(f.line) + "]";
    return t;
  };
  for (uint64_t va : addresses) {
    std::vector<agreement::Frame> ours = agreement::ourFrames(a.bank.get(), va);
    std::vector<agreement::Frame> theirs = agreement::ourFrames(b.bank.get(), va);
    if (ours == theirs) {
      ++same;
      bool named = ours.size() > 1;
      for (const agreement::Frame& f : ours) named = named && !f.function.empty();
      inlined += named ? 1 : 0;
    } else if (shown++ < 5) {
      std::cout << "  0x" << std::hex << va << std::dec << ": got" << text(ours) << " before" << text(theirs) << "\n";
    }
  }
  double percent = 100.0 * static_cast<double>(same) / static_cast<double>(addresses.size());
  std::cout << "[dwz] " << name << ": " << same << " of " << addresses.size() << " addresses (" << percent
            << "%) answer as before the rewrite; " << inlined << " of them with named inline frames\n";
  EXPECT_GE(percent, 99.0) << name;
  // The rewritten image must still name inlined functions, whose entries moved away.
  EXPECT_GT(inlined, addresses.size() / 20) << name;
}

// The symbol made for a function inlined from the supplementary file belongs to a unit of
// the module (the caller's), never to an offset of the other file.
TEST(DwzModules, InlinedFunctionsFromTheSupplementaryFileBelongToTheCallersUnit) {
  LoadedModule m(dwzFixture("alt_d5_a"));
  ASSERT_TRUE(m.bank);
  std::set<uint32_t> outerIds, innerIds;
  size_t inner = 0;
  for (uint64_t va : agreement::addressesToCheck(dwzFixture("alt_d5_a"))) {
    SymMgrObjectPtr<IAddress> address;
    std::vector<InlineFrame> frames;
    if (m.bank->addressByVa(va, address) != STATUS_OK || inlineFrames(m.bank.get(), address.get(), frames) != STATUS_OK)
      continue;
    for (size_t i = 0; i < frames.size(); ++i) {
      uint32_t id = 0;
      if (!frames[i].function || frames[i].function->compUnitId(id) != STATUS_OK) continue;
      (i + 1 == frames.size() ? outerIds : innerIds).insert(id);
      inner += i + 1 == frames.size() ? 0 : 1;
    }
  }
  EXPECT_GT(inner, 100u);
  EXPECT_EQ(outerIds.size(), 2u);  // cppdemo.cpp and dwzdemo_extra.cpp
  for (uint32_t id : innerIds) EXPECT_TRUE(outerIds.count(id)) << id;
}

// The images before the rewrite, and the one with partial units in the same file (which the
// symbolizer reads itself), against the symbolizer; every rewritten image against its image
// before the rewrite.
TEST(DwzModules, RewrittenImagesAnswerAsBefore) {
  for (const char* name : {"plain_d5_a", "plain_d4_a", "single_d5"})
    agreement::expectAgreement(name, dwzFixture(name), dwzFixture(name));
  const std::pair<const char*, const char*> rewrites[] = {
      {"alt_d5_a", "plain_d5_a"}, {"alt_d4_a", "plain_d4_a"}, {"sup_d5_a", "plain_d5_a"}, {"single_d5", "plain_d5_a"}};
  for (const auto& r : rewrites) expectSameAnswers(r.first, dwzFixture(r.first), dwzFixture(r.second));
}

TEST(DwzModules, MismatchedSupplementaryFileIsRefusedAndTheModuleStillAnswers) {
  KAVE_3_1::RecordCapture capture;
  LoadedModule m(dwzFixture("mismatch_d5"));
  ASSERT_TRUE(m.bank);
  // Asking for anything makes the loader open the supplementary file.
  std::vector<agreement::CodeSymbol> symbols = agreement::codeSymbols(dwzFixture("mismatch_d5"));
  ASSERT_FALSE(symbols.empty());
  size_t named = 0, unnamed = 0;
  for (const agreement::CodeSymbol& s : symbols) {
    std::vector<agreement::Frame> frames = agreement::ourFrames(m.bank.get(), s.start);
    if (frames.empty()) continue;
    // Names the rewrite moved into the refused file are missing; the outermost frame is
    // named by the symbol table where a symbol covers the function's extent. A function in
    // several pieces (main and its cold part) matches no one symbol and stays unnamed.
    if (frames.back().function == grouped(s.name)) ++named;
    if (frames.back().function.empty()) ++unnamed;
  }
  EXPECT_TRUE(capture.hasAssertion("altLinkMatches(link, supplementaryFile)"));
  EXPECT_EQ(named + unnamed, symbols.size());
  EXPECT_LE(unnamed, 2u);
  // Had the refused file been read, its unrelated strings would name frames: every name
  // given must be one that the image before the rewrite gives at the same address, or the
  // symbol table's. The chains keep their shape and call positions: only names are lost.
  LoadedModule plain(dwzFixture("plain_d5_a"));
  size_t foreign = 0, sameShape = 0;
  std::vector<uint64_t> addresses = agreement::addressesToCheck(dwzFixture("mismatch_d5"));
  for (uint64_t va : addresses) {
    std::vector<agreement::Frame> before = agreement::ourFrames(plain.bank.get(), va);
    std::vector<agreement::Frame> now = agreement::ourFrames(m.bank.get(), va);
    const agreement::CodeSymbol* covering = nullptr;
    for (const agreement::CodeSymbol& s : symbols) {
      if (va >= s.start && va - s.start < s.size && (!covering || s.size < covering->size)) covering = &s;
    }
    bool shape = now.size() == before.size();
    for (size_t i = 0; i < now.size(); ++i) {
      const agreement::Frame& f = now[i];
      bool known = f.function.empty() || (covering && f.function == grouped(covering->name));
      for (const agreement::Frame& b : before) known = known || b.function == f.function;
      if (!known && foreign++ < 5) std::cout << "  foreign name " << f.function << " at " << va << "\n";
      shape = shape && f.file == before[i].file && f.line == before[i].line;
    }
    sameShape += shape ? 1 : 0;
  }
  std::cout << "[dwz] mismatch_d5: " << sameShape << " of " << addresses.size()
            << " addresses keep the chain and call positions of the image before the rewrite\n";
  EXPECT_GE(sameShape * 100, addresses.size() * 99);
  EXPECT_EQ(foreign, 0u);
}

// --- imports through the whole loader ----------------------------------------------------

// A compile unit importing a partial unit twice and into an absent supplementary file; the
// partial unit holds a function and imports a second one that imports the first back, itself,
// a compile unit and an offset that is no unit entry.
struct ImportFixture {
  Bytes abbrev, info;
  uint32_t cuOffset = 0;
  ImportFixture(uint64_t low, uint32_t size) {
    abbrev.uleb(1).uleb(dwarf::DW_TAG_compile_unit).u8(1);
    abbrev.uleb(dwarf::DW_AT_name).uleb(dwarf::DW_FORM_string).uleb(dwarf::DW_AT_language).uleb(dwarf::DW_FORM_data1);
    abbrev.uleb(0).uleb(0);
    abbrev.uleb(2).uleb(dwarf::DW_TAG_imported_unit).u8(0).uleb(0x18).uleb(dwarf::DW_FORM_ref_addr).uleb(0).uleb(0);
    abbrev.uleb(3).uleb(dwarf::DW_TAG_partial_unit).u8(1).uleb(dwarf::DW_AT_language).uleb(dwarf::DW_FORM_data1);
    abbrev.uleb(0).uleb(0);
    abbrev.uleb(4).uleb(dwarf::DW_TAG_subprogram).u8(0).uleb(dwarf::DW_AT_name).uleb(dwarf::DW_FORM_string);
    abbrev.uleb(dwarf::DW_AT_low_pc).uleb(dwarf::DW_FORM_addr).uleb(dwarf::DW_AT_high_pc).uleb(dwarf::DW_FORM_data4);
    abbrev.uleb(0).uleb(0);
    abbrev.uleb(5).uleb(dwarf::DW_TAG_imported_unit).u8(0).uleb(0x18).uleb(dwarf::DW_FORM_GNU_ref_alt).uleb(0).uleb(0);
    abbrev.uleb(0);
    // Unit sizes do not depend on the offsets written, so a first pass measures them.
    uint32_t cu = 0, pu1 = 0, pu2 = 0;
    for (int pass = 0; pass < 2; ++pass) {
      const uint32_t cuEntry = cu + 11, pu1Entry = pu1 + 11, pu2Entry = pu2 + 11;
      Bytes c, p1, p2;
      c.uleb(1).str("imports.cpp").u8(dwarf::DW_LANG_C_plus_plus);
      c.uleb(2).u32(pu1Entry).uleb(2).u32(pu1Entry).uleb(5).u32(12).u8(0);
      p1.uleb(3).u8(dwarf::DW_LANG_C_plus_plus).uleb(2).u32(pu2Entry);
      p1.uleb(4).str("from_partial").u64(low).u32(size).u8(0);
      p2.uleb(3).u8(dwarf::DW_LANG_C_plus_plus).uleb(2).u32(pu1Entry).uleb(2).u32(pu2Entry);
      p2.uleb(2).u32(cuEntry).uleb(2).u32(pu1Entry + 1).u8(0);
      Bytes uc, u1, u2;
      uc.unit(4, 8, c), u1.unit(4, 8, p1), u2.unit(4, 8, p2);
      // Partial units first, as the rewriting tool lays them out.
      pu1 = 0;
      pu2 = static_cast<uint32_t>(u1.size());
      cu = static_cast<uint32_t>(u1.size() + u2.size());
      info = Bytes();
      info.raw(u1.data).raw(u2.data).raw(uc.data);
    }
    cuOffset = cu;
  }
};

TEST(DwzImports, PartialUnitFunctionsAreFoundAndImportCyclesEnd) {
  if (!elf_rewrite::haveObjcopy()) GTEST_SKIP() << "objcopy not installed";
  const std::string base = dwzFixture("plain_d5_a");
  uint64_t mainStart = 0;
  uint32_t mainSize = 0;
  for (const agreement::CodeSymbol& s : agreement::codeSymbols(base)) {
    if (s.name == "main") mainStart = s.start, mainSize = static_cast<uint32_t>(s.size);
  }
  ASSERT_NE(mainStart, 0u);
  ImportFixture f(mainStart, mainSize);
  const std::string out = std::string(ZOR_BINARY_DIR) + "/dwz_imports." + std::to_string(getpid());
  ASSERT_TRUE(elf_rewrite::withDebugSections(base, {{".debug_info", f.info.data}, {".debug_abbrev", f.abbrev.data}}, out));
  KAVE_3_1::RecordCapture capture;
  {
    LoadedModule m(out);
    ASSERT_TRUE(m.bank);
    std::vector<agreement::Frame> frames = agreement::ourFrames(m.bank.get(), mainStart + 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].function, "from_partial");
    // The function belongs to the compile unit that imports its partial unit.
    SymMgrObjectPtr<ISymbolRange> range = m.range(mainStart + 1, SYMBOL_KIND_FUNCTION);
    ASSERT_TRUE(range && range->symbol());
    uint32_t id = 0;
    ASSERT_EQ(range->symbol()->compUnitId(id), STATUS_OK);
    EXPECT_EQ(id, f.cuOffset + 1);
  }
  EXPECT_TRUE(capture.hasAssertion("imported unit is a partial unit"));
  EXPECT_TRUE(capture.hasAssertion("DW_AT_import names a unit entry"));
  std::remove(out.c_str());
}

}  // namespace
