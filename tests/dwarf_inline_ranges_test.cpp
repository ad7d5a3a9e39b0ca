// Inlined calls whose own extent is missing: GCC writes calls whose range list holds only an
// empty entry (read as the end of the list) around nested calls that do cover code. Peers
// report such a call in the chain; so must we, with the extent of what it contains.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include <zor/zor.h>

#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "support/elf_rewrite.h"
#include "support/symbolizer_agreement.h"
#include "zor/dwarf/dwarf_constants.h"

namespace {

using namespace ZOR_3_12;
using dwarf_test::Bytes;

// host() { outer_inl (range list with nothing in it) { inner_inl [low, low + 8) } }
struct EmptyListFixture {
  Bytes abbrev, info, ranges;
  EmptyListFixture(uint64_t low, uint64_t high) {
    using namespace dwarf;
    abbrev.uleb(1).uleb(DW_TAG_compile_unit).u8(1).uleb(DW_AT_name).uleb(DW_FORM_string);
    abbrev.uleb(DW_AT_language).uleb(DW_FORM_data1).uleb(DW_AT_low_pc).uleb(DW_FORM_addr).uleb(0).uleb(0);
    abbrev.uleb(2).uleb(DW_TAG_subprogram).u8(0).uleb(DW_AT_name).uleb(DW_FORM_string);
    abbrev.uleb(DW_AT_inline).uleb(DW_FORM_data1).uleb(0).uleb(0);
    abbrev.uleb(3).uleb(DW_TAG_subprogram).u8(1).uleb(DW_AT_name).uleb(DW_FORM_string);
    abbrev.uleb(DW_AT_low_pc).uleb(DW_FORM_addr).uleb(DW_AT_high_pc).uleb(DW_FORM_addr).uleb(0).uleb(0);
    abbrev.uleb(4).uleb(DW_TAG_inlined_subroutine).u8(1).uleb(DW_AT_abstract_origin).uleb(DW_FORM_ref4);
    abbrev.uleb(DW_AT_ranges).uleb(DW_FORM_data4).uleb(DW_AT_call_line).uleb(DW_FORM_data1).uleb(0).uleb(0);
    abbrev.uleb(5).uleb(DW_TAG_inlined_subroutine).u8(0).uleb(DW_AT_abstract_origin).uleb(DW_FORM_ref4);
    abbrev.uleb(DW_AT_low_pc).uleb(DW_FORM_addr).uleb(DW_AT_high_pc).uleb(DW_FORM_addr);
    abbrev.uleb(DW_AT_call_line).uleb(DW_FORM_data1).uleb(0).uleb(0).uleb(0);

    Bytes body;
    body.uleb(1).str("ranges.c").u8(DW_LANG_C89).u64(0);
    const uint32_t outerOrigin = static_cast<uint32_t>(11 + body.size());
    body.uleb(2).str("outer_inl").u8(3);
    const uint32_t innerOrigin = static_cast<uint32_t>(11 + body.size());
    body.uleb(2).str("inner_inl").u8(3);
    body.uleb(3).str("host").u64(low).u64(high);
    body.uleb(4).u32(outerOrigin).u32(16).u8(7);  // the second list: (0, 0) only
    body.uleb(5).u32(innerOrigin).u64(low).u64(low + 8).u8(9);
    body.u8(0).u8(0).u8(0);
    info.u32(static_cast<uint32_t>(7 + body.size())).u16(3).u32(0).u8(8).raw(body.data);
    ranges.u64(low).u64(high).u64(0).u64(0).u64(0).u64(0);
  }
};

TEST(InlineExtent, CallWithEmptyRangeListCoversItsNestedCalls) {
  if (!elf_rewrite::haveObjcopy()) GTEST_SKIP() << "objcopy not installed";
  const std::string base = dwarf_test::fixturePath("c_gcc_d3_O0");
  uint64_t low = 0, size = 0;
  for (const agreement::CodeSymbol& s : agreement::codeSymbols(base)) {
    if (s.name == "main") low = s.start, size = s.size;
  }
  ASSERT_GE(size, 16u);
  EmptyListFixture f(low, low + size);
  const std::string out = std::string(ZOR_BINARY_DIR) + "/empty_ranges." + std::to_string(getpid());
  ASSERT_TRUE(elf_rewrite::withDebugSections(
      base, {{".debug_info", f.info.data}, {".debug_abbrev", f.abbrev.data}, {".debug_ranges", f.ranges.data}}, out));
  {
    SymMgrObjectPtr<ISymbolManager> manager;
    ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
    SymMgrObjectPtr<IModuleSymbolBank> bank;
    std::wstring wpath = KAVE_3_1::utf8ToWide(out);
    ASSERT_EQ(manager->loadSymbolsFromModule(wpath.c_str(), nullptr, bank), STATUS_OK);
    std::vector<agreement::Frame> inside = agreement::ourFrames(bank.get(), low + 2);
    ASSERT_EQ(inside.size(), 3u);
    EXPECT_EQ(inside[0].function, "inner_inl");
    EXPECT_EQ(inside[1].function, "outer_inl");
    EXPECT_EQ(inside[2].function, "host");
    // Past the nested call the empty-listed call covers nothing.
    std::vector<agreement::Frame> after = agreement::ourFrames(bank.get(), low + 8);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].function, "host");
  }
  std::remove(out.c_str());
}

}  // namespace
