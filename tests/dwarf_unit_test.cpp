// DWARF at the byte level. Unit headers, unit entries and whole-unit entry decoding, checked
// against llvm-dwarfdump on every fixture, plus producer strings and hand-made units for forms
// no fixture carries (the DWARF 5 index forms are the clang fixtures'). The section cursor,
// abbreviation tables and range lists (.debug_ranges and .debug_rnglists) on hand-made bytes:
// every entry kind, and cuts anywhere; the lists compilers write show in the function extents
// and inline chains the agreement suite compares.
#include <gtest/gtest.h>

#include <cstring>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "zor/dwarf/abbreviations.h"
#include "zor/dwarf/attr_bindings.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/range_lists.h"

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

DwarfReader readerOver(const Bytes& b) {
  return DwarfReader(reinterpret_cast<const uint8_t*>(b.data.data()), b.size());
}

TEST(DwarfReaderCursor, FixedWidthAndLeb128ValuesAndTheirEnds) {
  Bytes b;
  b.u16(0xbeef).u32(0xdeadbeef).u64(0x0123456789abcdefull).uleb(UINT64_MAX).sleb(INT64_MIN).sleb(-1).sleb(63).sleb(-64);
  // An over-long ULEB128: the groups beyond bit 63 are dropped.
  b.raw(std::string(11, '\xff')).u8(0x01);
  DwarfReader r = readerOver(b);
  EXPECT_EQ(r.readU16(), 0xbeefu);
  EXPECT_EQ(r.readU32(), 0xdeadbeefu);
  EXPECT_EQ(r.readU64(), 0x0123456789abcdefull);
  EXPECT_EQ(r.readULEB128(), UINT64_MAX);
  EXPECT_EQ(r.readSLEB128(), INT64_MIN);
  EXPECT_EQ(r.readSLEB128(), -1);
  EXPECT_EQ(r.readSLEB128(), 63);
  EXPECT_EQ(r.readSLEB128(), -64);
  EXPECT_EQ(r.readULEB128(), UINT64_MAX);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.atEnd());
  EXPECT_EQ(r.readU8(), 0u);
  EXPECT_FALSE(r.ok());

  // Reads that cross the end fail, whatever their width, and leave the cursor at the end.
  Bytes three;
  three.u8(0x80).u8(0x80).u8(0x80);
  for (int kind = 0; kind < 5; ++kind) {
    DwarfReader t = readerOver(three);
    switch (kind) {
      case 0: t.readU32(); break;
      case 1: t.readULEB128(); break;
      case 2: t.readSLEB128(); break;
      case 3: t.readCString(); break;
      case 4: t.skip(4); break;
    }
    EXPECT_FALSE(t.ok()) << kind;
    EXPECT_EQ(t.remaining(), 0u);
  }
  DwarfReader a = readerOver(three);
  EXPECT_EQ(a.readAddress(), 0u);  // no address size set
  EXPECT_FALSE(a.ok());
  DwarfReader s = readerOver(b);
  s.seek(b.size() + 1);
  EXPECT_FALSE(s.ok());
}

TEST(DwarfAbbreviations, TerminatorsDuplicatesAndSparseCodes) {
  KAVE_3_1::RecordCapture capture;
  unsigned long before = KAVE_3_1::assertionCount();
  Bytes b;
  b.uleb(1).uleb(DW_TAG_compile_unit).u8(1).uleb(DW_AT_name).uleb(DW_FORM_string).uleb(0).uleb(0);
  b.uleb(2).uleb(DW_TAG_variable).u8(0).uleb(DW_AT_language).uleb(DW_FORM_implicit_const).sleb(-7).uleb(0).uleb(0);
  b.uleb(2).uleb(DW_TAG_subprogram).u8(0).uleb(0).uleb(0);  // duplicate: first one stays
  b.uleb(1000000).uleb(DW_TAG_label).u8(0).uleb(0).uleb(0);
  // No terminating 0: the next unit's table begins with code 1 again.
  b.uleb(1).uleb(DW_TAG_namespace).u8(0).uleb(0).uleb(0).u8(0);
  AbbreviationTable t;
  t.parse(readerOver(b));
  EXPECT_EQ(t.size(), 3u);
  EXPECT_EQ(KAVE_3_1::assertionCount(), before + 1);
  ASSERT_NE(t.find(1), nullptr);
  EXPECT_EQ(t.find(1)->tag, DW_TAG_compile_unit);
  EXPECT_EQ(t.find(1)->hasChildren, 1);
  ASSERT_EQ(t.find(2)->specs.size(), 1u);
  EXPECT_EQ(t.find(2)->tag, DW_TAG_variable);
  EXPECT_EQ(t.find(2)->specs[0].implicitConst, -7);
  EXPECT_EQ(t.find(1000000)->tag, DW_TAG_label);
  EXPECT_EQ(t.find(3), nullptr);
  EXPECT_EQ(t.find(0), nullptr);

  // Cut anywhere: whatever was complete is kept, never more.
  for (size_t cut = 0; cut < b.size(); ++cut) {
    AbbreviationTable c;
    c.parse(DwarfReader(reinterpret_cast<const uint8_t*>(b.data.data()), cut));
    EXPECT_LE(c.size(), 3u);
  }
}

// A DWARF 4 (or 5) unit with 4-byte addresses, DW_AT_low_pc 0x100 and optional bases.
struct RangeUnit : HandUnit {
  Bytes addr, rnglists, ranges;
  std::unique_ptr<TestContext> context;
  // Section bytes are final once unit() is called: the context points into them.
  explicit RangeUnit(uint16_t version) {
    abbrev.uleb(1).uleb(DW_TAG_compile_unit).u8(0).uleb(DW_AT_low_pc).uleb(DW_FORM_addr);
    if (version >= 5) abbrev.uleb(DW_AT_addr_base).uleb(DW_FORM_sec_offset).uleb(DW_AT_rnglists_base).uleb(DW_FORM_sec_offset);
    abbrev.uleb(0).uleb(0).uleb(0);
    Bytes body;
    body.uleb(1).u32(0x100);
    if (version >= 5) body.u32(8).u32(12);
    info.unit(version, 4, body);
    addr.u32(12).u16(5).u8(4).u8(0).u32(0x5000).u32(0x6000);
  }
  DWARFCompilationUnit* unit(uint64_t bias) {
    DwarfSections s = sections();
    s.addr = addr.section();
    s.rnglists = rnglists.section();
    s.ranges = ranges.section();
    context.reset(new TestContext(s));
    context->setLoadBias(bias);
    context->readUnitEntries();
    return context->units()[0];
  }
};

TEST(DwarfRanges, DebugRangesBaseSelectionEmptyEntriesAndBias) {
  RangeUnit u(4);
  u.ranges.u32(0x10).u32(0x20).u32(0x30).u32(0x30);  // relative to low_pc; an empty one
  u.ranges.u32(0xFFFFFFFFu).u32(0x9000).u32(0x4).u32(0x8);  // new base
  u.ranges.u32(0).u32(0);
  u.ranges.u32(0x1).u32(0x2).u32(0).u32(0);  // a second list at offset 40
  for (uint64_t bias : {0ull, 0x7f0000000000ull}) {
    DWARFCompilationUnit* unit = u.unit(bias);
    EXPECT_EQ(unit->baseAddress(), 0x100 + bias);
    AttrValue attr{DW_AT_ranges, STORED_SEC_OFFSET, 0, nullptr};
    AddressRanges got;
    EXPECT_EQ(readRanges(unit, &attr, got), 0x110 + bias);
    AddressRanges want{{0x110 + bias, 0x120 + bias}, {0x9004 + bias, 0x9008 + bias}};
    EXPECT_EQ(got, want);
    attr.value = 40;
    readRanges(unit, &attr, got);
    EXPECT_EQ(got, (AddressRanges{{0x101 + bias, 0x102 + bias}}));
    attr.value = u.ranges.size();
    EXPECT_EQ(readRanges(unit, &attr, got), 0u);
    EXPECT_TRUE(got.empty());
  }
  KAVE_3_1::RecordCapture capture;
  unsigned long before = KAVE_3_1::assertionCount();
  AddressRanges got{{1, 2}};
  EXPECT_EQ(readRanges(u.unit(0), nullptr, got), 0u);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(KAVE_3_1::assertionCount(), before + 1);
}

TEST(DwarfRanges, RngListsEveryEntryKindAndIndexedLists) {
  RangeUnit u(5);
  // Header (12 bytes), offsets table of two lists, then the lists.
  u.rnglists.u32(0).u16(5).u8(4).u8(0).u32(2);
  size_t table = u.rnglists.size();
  u.rnglists.u32(0).u32(0);
  uint32_t first = static_cast<uint32_t>(u.rnglists.size() - 12);
  u.rnglists.u8(4).uleb(0x10).uleb(0x20);             // offset_pair on low_pc
  u.rnglists.u8(1).uleb(1);                           // base_addressx -> 0x6000
  u.rnglists.u8(4).uleb(0x1).uleb(0x2);
  u.rnglists.u8(2).uleb(0).uleb(1);                   // startx_endx
  u.rnglists.u8(3).uleb(1).uleb(0x10);                // startx_length
  u.rnglists.u8(5).u32(0x7000).u8(4).uleb(0).uleb(8); // base_address
  u.rnglists.u8(6).u32(0x8000).u32(0x8010);           // start_end
  u.rnglists.u8(7).u32(0x9000).uleb(0x4);             // start_length
  u.rnglists.u8(6).u32(0x20).u32(0x20);               // empty
  u.rnglists.u8(0);
  uint32_t second = static_cast<uint32_t>(u.rnglists.size() - 12);
  u.rnglists.u8(0x55);  // unknown kind: the list stops there
  std::memcpy(&u.rnglists.data[table], &first, 4);
  std::memcpy(&u.rnglists.data[table + 4], &second, 4);
  uint32_t length = static_cast<uint32_t>(u.rnglists.size() - 4);
  std::memcpy(&u.rnglists.data[0], &length, 4);
  const uint64_t bias = 0x100000;
  DWARFCompilationUnit* unit = u.unit(bias);
  AttrValue attr{DW_AT_ranges, STORED_RNGLISTX, 0, nullptr};
  AddressRanges got;
  EXPECT_EQ(readRanges(unit, &attr, got), 0x110 + bias);
  AddressRanges want{{0x110 + bias, 0x120 + bias}, {0x6001 + bias, 0x6002 + bias}, {0x5000 + bias, 0x6000 + bias},
                     {0x6000 + bias, 0x6010 + bias}, {0x7000 + bias, 0x7008 + bias}, {0x8000 + bias, 0x8010 + bias},
                     {0x9000 + bias, 0x9004 + bias}};
  EXPECT_EQ(got, want);
  // The same list by section offset.
  AttrValue direct{DW_AT_ranges, STORED_SEC_OFFSET, 12 + first, nullptr};
  readRanges(unit, &direct, got);
  EXPECT_EQ(got, want);
  KAVE_3_1::RecordCapture capture;
  attr.value = 1;
  EXPECT_EQ(readRanges(unit, &attr, got), 0u);
  EXPECT_TRUE(got.empty());
  attr.value = 1u << 30;  // index far beyond the offsets table
  EXPECT_EQ(readRanges(unit, &attr, got), 0u);
  // Cut anywhere, nothing is read past the end.
  for (size_t cut = 0; cut < u.rnglists.size(); ++cut) {
    DwarfSections s = u.context->sections();
    s.rnglists.size = cut;
    TestContext c(s);
    c.setLoadBias(bias);
    c.readUnitEntries();
    AttrValue a{DW_AT_ranges, STORED_RNGLISTX, 0, nullptr};
    readRanges(c.units()[0], &a, got);
    EXPECT_LE(got.size(), want.size());
  }
}

}  // namespace
