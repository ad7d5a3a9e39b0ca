// Unit headers, unit entries and whole-unit entry decoding, checked against llvm-dwarfdump on
// every fixture, plus producer strings and hand-made units for forms no fixture carries
// (the DWARF 5 index forms are the clang fixtures').
#include <gtest/gtest.h>


#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "zor/dwarf/attr_bindings.h"
#include "zor/dwarf/dwarf_constants.h"

namespace {

using namespace ZOR_3_12;
using namespace ZOR_3_12::dwarf;
using dwarf_test::Bytes;
using dwarf_test::TestContext;

// Decodes every entry of a unit in order; the count of non-null entries.
size_t countEntries(DWARFCompilationUnit* unit, bool skipOnly) {
  DwarfReader reader = unit->entryReader();
  size_t count = 0;
  while (reader.ok() && !reader.atEnd()) {
    if (skipOnly) {
      uint64_t sibling = 0;
      if (skipEntry(unit, reader, &sibling)) ++count;
    } else {
      SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit));
      if (entry->decode(reader)) ++count;
    }
  }
  return reader.ok() ? count : 0;
}

int32_t expectedLanguage(const std::string& printed) {
  if (printed.find("C_plus_plus") != std::string::npos) return LANGUAGE_CPP;
  if (printed.find("Fortran") != std::string::npos) return LANGUAGE_FORTRAN;
  return LANGUAGE_C;
}

TEST(DwarfUnits, UnitEntriesAndEntryCountsMatchDwarfdump) {
  if (!dwarf_test::haveDwarfdump()) GTEST_SKIP() << "llvm-dwarfdump-14 missing";
  size_t unitsCompared = 0, fixtures = 0;
  for (const std::string& name : dwarf_test::executableFixtures()) {
    SCOPED_TRACE(name);
    std::string path = dwarf_test::fixturePath(name);
    TestContext context(path);
    ASSERT_TRUE(context.valid());
    auto expected = dwarf_test::dumpUnits(path);
    const auto& units = context.units();
    ASSERT_EQ(units.size(), expected.size());
    ++fixtures;
    for (DWARFCompilationUnit* unit : units) {
      SCOPED_TRACE(unit->offset());
      auto it = expected.find(unit->offset());
      ASSERT_NE(it, expected.end());
      const dwarf_test::DumpUnit& want = it->second;
      unit->ensureUnitEntry();
      EXPECT_EQ(KAVE_3_1::wideToUtf8(unit->name()), want.name);
      EXPECT_EQ(KAVE_3_1::wideToUtf8(unit->compDir()), want.compDir);
      EXPECT_EQ(unit->getLanguage(), expectedLanguage(want.language)) << want.language;
      EXPECT_EQ(unit->baseAddress(), want.haveLowPc ? want.lowPc : 0);
      EXPECT_TRUE(unit->hasLineProgram());
      // The producer decides the compiler family: gcc and gfortran say "GNU ...".
      bool gnu = want.producer.rfind("GNU ", 0) == 0;
      EXPECT_EQ(unit->producerKind(), gnu ? PRODUCER_GNU : PRODUCER_UNKNOWN) << want.producer;
      EXPECT_EQ(countEntries(unit, false), want.entries);
      EXPECT_EQ(countEntries(unit, true), want.entries);
      ++unitsCompared;
    }
  }
  EXPECT_GE(fixtures, 25u);
  EXPECT_GE(unitsCompared, fixtures);
}

struct ProducerCase {
  const char* producer;
  int32_t kind, major, minor;
  const wchar_t* report;
  const wchar_t* compiler;
};

TEST(DwarfUnits, ProducerStrings) {
  const ProducerCase cases[] = {
      {"GNU C++ 4.1.2 20070626 (Red Hat 4.1.2-14)", PRODUCER_GNU, 4, 1, nullptr, L"GNU"},
      {"GNU C 2.96 20000731 (Red Hat Linux 7.3 2.96-110)", PRODUCER_GNU_2_96, 2, 96, nullptr, L"GNU"},
      {"GNU Fortran2008 12.2.0 -mtune=generic", PRODUCER_GNU, 0, 0, nullptr, L"GNU"},
      {"GNU C++ ", PRODUCER_GNU, 0, 0, nullptr, L"GNU"},
      {"Vanor(R) C++ Compiler Version 11.1 Build 2009", PRODUCER_VANOR_CPP_8, 11, 0, nullptr, L"Vanor(R)"},
      {"Vanor(R) C++ Compiler Version 7.1", PRODUCER_VANOR, 7, 0, nullptr, L"Vanor(R)"},
      {"Vanor(R) C Compiler Opt_report_file /tmp/r.txt -O3", PRODUCER_VANOR, 0, 0, L"/tmp/r.txt", L"Vanor(R)"},
      {"Vanor(R) C Compiler Opt_report_file c:\\rep\\x.txt", PRODUCER_VANOR, 0, 0, L"c:\\", L"Vanor(R)"},
      {"Vanor Fortran", PRODUCER_VANOR, 0, 0, nullptr, L"Vanor(R)"},
      {"Built by Vanor(R) C++ Version 9.0", PRODUCER_UNKNOWN, 0, 0, nullptr, L""},
      {"clang GNU C 4.2", PRODUCER_UNKNOWN, 0, 0, nullptr, L""},
  };
  TestContext context(DwarfSections{});
  for (const ProducerCase& c : cases) {
    SCOPED_TRACE(c.producer);
    DWARFCompilationUnit unit(UnitHeader(), &context);
    unit.parseProducer(c.producer);
    EXPECT_EQ(unit.producerKind(), c.kind);
    EXPECT_EQ(unit.getMajorVersion(), c.major);
    EXPECT_EQ(unit.getMinorVersion(), c.minor);
    if (c.report)
      EXPECT_STREQ(unit.getOptReportFile(), c.report);
    else
      EXPECT_EQ(unit.getOptReportFile(), nullptr);
    EXPECT_STREQ(unit.getCompilerName(), c.compiler);
  }
  DWARFCompilationUnit unit(UnitHeader(), &context);
  unit.parseProducer("GNU C 3.4");
  unit.parseProducer(nullptr);  // no producer: what was learnt stays
  EXPECT_EQ(unit.getMajorVersion(), 3);
  EXPECT_EQ(DWARFCompilationUnit::languageCode(DW_LANG_Ada83), LANGUAGE_ADA);
  EXPECT_EQ(DWARFCompilationUnit::languageCode(0x8001), LANGUAGE_C);
}

// A hand-made unit: one abbreviation per test, a unit entry and optional children.
struct HandUnit {
  Bytes info, abbrev, str;
  DwarfSections sections() const {
    DwarfSections s;
    s.info = info.section();
    s.abbrev = abbrev.section();
    s.str = str.section();
    return s;
  }
};

TEST(DwarfUnits, RefAddrAndStrpSizesFollowTheVersion) {
  for (uint16_t version : {2, 3, 4}) {
    SCOPED_TRACE(version);
    HandUnit u;
    u.str.str("name");
    u.abbrev.uleb(1).uleb(DW_TAG_compile_unit).u8(0);
    u.abbrev.uleb(DW_AT_name).uleb(DW_FORM_strp).uleb(DW_AT_abstract_origin).uleb(DW_FORM_ref_addr);
    u.abbrev.uleb(DW_AT_type).uleb(DW_FORM_ref_sup8);  // 8 bytes in every version
    u.abbrev.uleb(DW_AT_decl_line).uleb(DW_FORM_data1).uleb(0).uleb(0).uleb(0);
    Bytes body;
    body.uleb(1);
    // DWARF 2 and 3 strp are 4 bytes and ref_addr address-sized (8 here); from 4 on both are
    // offsets of the unit's offset size, 8 in this 64-bit unit.
    if (version < 4)
      body.u32(0).u64(0x1234);
    else
      body.u64(0).u64(0x1234);
    body.u64(0x5678).u8(42);
    u.info.unit(version, 8, body, version == 4);
    TestContext context(u.sections());
    ASSERT_EQ(context.units().size(), 1u);
    DWARFCompilationUnit* unit = context.units()[0];
    EXPECT_EQ(unit->header().headerSize, version == 4 ? 23u : 11u);
    SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit));
    DwarfReader reader = unit->entryReader();
    ASSERT_TRUE(entry->decode(reader));
    EXPECT_STREQ(unit->string(entry->getAttribute(DW_AT_name, true)), "name");
    EXPECT_EQ(entry->getAttribute(DW_AT_abstract_origin, true)->value, 0x1234u);
    EXPECT_EQ(entry->getAttribute(DW_AT_type, true)->form, STORED_REF_ALT);
    EXPECT_EQ(entry->getAttribute(DW_AT_type, true)->value, 0x5678u);
    EXPECT_EQ(entry->getAttribute(DW_AT_decl_line, true)->value, 42u);
    // The origin lies outside .debug_info: no origin, no crash.
    EXPECT_EQ(entry->getOrigin(), nullptr);
  }
}

// A unit of one abbreviation (tag 0x2e with an abstract origin by ref4) and entries given raw.
TestContext* originUnit(HandUnit& u, const std::vector<uint32_t>& origins) {
  u.abbrev.uleb(1).uleb(DW_TAG_subprogram).u8(0);
  u.abbrev.uleb(DW_AT_abstract_origin).uleb(DW_FORM_ref4).uleb(0).uleb(0).uleb(0);
  Bytes body;
  for (uint32_t o : origins) body.uleb(1).u32(o);
  u.info.unit(3, 8, body);
  return new TestContext(u.sections());
}

TEST(DwarfUnits, OriginChainsEndOnLoopsAndDepth) {
  HandUnit u;
  // Entries at 11, 16, 21: 11 -> 16 -> 11 (a loop), 21 -> itself.
  std::unique_ptr<TestContext> context(originUnit(u, {16, 11, 21}));
  DWARFCompilationUnit* unit = context->units()[0];
  for (uint64_t offset : {11u, 21u}) {
    SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit));
    ASSERT_TRUE(entry->readEntryAt(offset));
    EXPECT_EQ(entry->entryOffset(), offset);
    EXPECT_EQ(entry->getAttribute(DW_AT_name), nullptr);  // searched along the chain, ends
    int depth = 0;
    for (AttrBindings* o = entry->getOrigin(); o; o = o->getOrigin()) ++depth;
    EXPECT_EQ(depth, kMaxOriginDepth);
  }
  // A reference into the header or past the unit reads nothing.
  SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit));
  EXPECT_FALSE(entry->readEntryAt(3));
  EXPECT_FALSE(entry->readEntryAt(1000));
}

TEST(DwarfUnits, UnknownFormsAndCodesStopTheUnit) {
  KAVE_3_1::RecordCapture capture;
  unsigned long before = KAVE_3_1::assertionCount();
  HandUnit u;
  u.abbrev.uleb(1).uleb(DW_TAG_variable).u8(0).uleb(DW_AT_name).uleb(0x7777).uleb(0).uleb(0);
  u.abbrev.uleb(2).uleb(DW_TAG_variable).u8(0).uleb(DW_AT_decl_line).uleb(DW_FORM_data1).uleb(0).uleb(0).uleb(0);
  Bytes body;
  body.uleb(2).u8(7).uleb(1).u8(0).uleb(2).u8(9);
  u.info.unit(4, 8, body);
  TestContext context(u.sections());
  DWARFCompilationUnit* unit = context.units()[0];
  DwarfReader reader = unit->entryReader();
  SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit));
  EXPECT_TRUE(entry->decode(reader));
  EXPECT_FALSE(entry->decode(reader));  // the unknown form 0x7777
  EXPECT_FALSE(reader.ok());            // and nothing after it
  EXPECT_EQ(KAVE_3_1::assertionCount(), before + 1);

  Bytes body2;
  body2.uleb(9).u8(0);
  HandUnit v;
  v.abbrev = u.abbrev;
  v.info.unit(4, 8, body2);
  TestContext context2(v.sections());
  DwarfReader reader2 = context2.units()[0]->entryReader();
  EXPECT_EQ(skipEntry(context2.units()[0], reader2, nullptr), nullptr);
  EXPECT_FALSE(reader2.ok());
  EXPECT_EQ(KAVE_3_1::assertionCount(), before + 2);
}

TEST(DwarfUnits, Dwarf5UnitTypesAndDamagedHeaders) {
  Bytes info;
  // A type unit, a split compile unit, a skeleton unit, then a unit whose length runs past
  // the section.
  info.u32(2 + 2 + 4 + 8 + 4 + 1).u16(5).u8(DW_UT_type).u8(8).u32(0).u64(0xabcdef).u32(0).u8(0);
  info.u32(2 + 2 + 4 + 8 + 1).u16(5).u8(DW_UT_split_compile).u8(8).u32(0).u64(0x77).u8(0);
  info.u32(2 + 2 + 4 + 8 + 1).u16(5).u8(DW_UT_skeleton).u8(8).u32(0).u64(0x78).u8(0);
  size_t lastOffset = info.size();
  info.u32(1000).u16(4).u32(0).u8(8).u8(0);
  DwarfSections s;
  s.info = info.section();
  TestContext context(s);
  const auto& units = context.units();
  ASSERT_EQ(units.size(), 4u);
  EXPECT_FALSE(units[0]->header().walked());
  EXPECT_EQ(units[0]->header().typeSignature, 0xabcdefu);
  EXPECT_EQ(units[0]->header().headerSize, 24u);
  EXPECT_FALSE(units[1]->header().walked());
  EXPECT_EQ(units[1]->header().dwoId, 0x77u);
  EXPECT_TRUE(units[2]->header().walked());
  EXPECT_EQ(units[3]->offset(), lastOffset);
  EXPECT_EQ(units[3]->header().size, info.size() - lastOffset);

  // Headers cut at every length: never more units than fit, never a crash.
  for (size_t cut = 0; cut < info.size(); ++cut) {
    DwarfReader reader(reinterpret_cast<const uint8_t*>(info.data.data()), cut);
    UnitHeader h;
    size_t n = 0;
    while (reader.ok() && !reader.atEnd() && readUnitHeader(reader, h)) ++n;
    EXPECT_LE(n, 4u);
  }
}

TEST(DwarfUnits, TruncatedFixtureSectionsDecodeSafely) {
  TestContext whole(dwarf_test::fixturePath("cpp_clang_d5_O2"));
  ASSERT_TRUE(whole.valid());
  DwarfSections full = whole.sections();
  KAVE_3_1::RecordCapture capture;
  size_t total = 0;
  for (uint64_t cut = 0; cut < full.info.size; cut += 1 + cut / 7) {
    DwarfSections s = full;
    s.info.size = cut;
    s.abbrev.size = std::min<uint64_t>(full.abbrev.size, cut / 2);
    s.str.size = std::min<uint64_t>(full.str.size, cut);
    TestContext context(s);
    context.readUnitEntries();
    for (DWARFCompilationUnit* unit : context.units()) total += countEntries(unit, false);
  }
  EXPECT_GT(total, 0u);
}

}  // namespace
