// The section cursor, abbreviation tables and range lists (.debug_ranges and .debug_rnglists)
// on hand-made bytes: every entry kind, and cuts anywhere. The lists compilers write show in
// the function extents and inline chains the agreement suite compares.
#include <gtest/gtest.h>

#include <cstring>

#include "kave/trace.h"
#include "support/dwarf_test_support.h"
#include "zor/dwarf/abbreviations.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/range_lists.h"

namespace {

using namespace ZOR_3_12;
using namespace ZOR_3_12::dwarf;
using dwarf_test::Bytes;
using dwarf_test::TestContext;

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
struct RangeUnit {
  Bytes info, abbrev, addr, rnglists, ranges;
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
    DwarfSections s;
    s.info = info.section();
    s.abbrev = abbrev.section();
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
