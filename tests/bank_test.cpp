// The module symbol bank: address conversions of ELF and PE images, the symbol ranges of a
// real image in address order, and which line the bank answers inside inlined code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zor/extensions.h>
#include <zor/zor.h>

#include "kave/unicode.h"
#include "support/loaded_module.h"
#include "zor/manager/module_symbol_bank.h"

using namespace ZOR_3_12;

namespace {

std::string fixturePath(const char* relative) { return std::string(ZOR_FIXTURES_DIR) + "/" + relative; }
std::wstring fixture(const char* relative) { return KAVE_3_1::utf8ToWide(fixturePath(relative)); }

TEST(BankTest, AddressConversionsAgreeInAnElfImage) {
  zor_test::LoadedModule m(fixturePath("elf/hello_nopie"));
  IModuleSymbolBank* bank = m.bank.get();
  ASSERT_TRUE(bank);
  SymMgrObjectPtr<ISection> text;
  ASSERT_EQ(bank->sectionByName(L".text", text), STATUS_OK);
  const uint64_t va = text->address() + 4;  // ELF section addresses are absolute

  SymMgrObjectPtr<IAddress> byVa, byRva, bySection, byFile;
  ASSERT_EQ(bank->addressByVa(va, byVa), STATUS_OK);
  EXPECT_EQ(byVa->va(), va);
  ASSERT_EQ(bank->addressByRva(va - bank->preferredLoadAddress(), byRva), STATUS_OK);
  EXPECT_EQ(byRva->va(), va);
  ASSERT_EQ(bank->addressBySectionOffset(text.get(), 4, bySection), STATUS_OK);
  EXPECT_EQ(bySection->va(), va);
  ASSERT_EQ(bank->addressByFileOffset(text->fileOffset() + 4, byFile), STATUS_OK);
  EXPECT_EQ(byFile->va(), va);

  // Outside every segment: a failure, and the output is left alone.
  SymMgrObjectPtr<IAddress> kept = byVa;
  EXPECT_TRUE(failed(bank->addressByVa(1, kept)));
  EXPECT_EQ(kept.get(), byVa.get());
  EXPECT_TRUE(failed(bank->addressBySectionOffset(text.get(), uint64_t(1) << 40, kept)));
  EXPECT_EQ(bank->addressBySectionOffset(nullptr, 0, kept), STATUS_INVALID_ARGUMENT);
}

// Over the image loader alone: the PE image's symbol file needs the PDB reader, which the
// section arithmetic does not.
TEST(BankPeTest, SectionOffsetsOfAPeImageAreRelativeToTheImageBase) {
  SymMgrObjectPtr<IFileFormatLoader> loader = IFileFormatLoader::create(fixture("pe/hello64.exe").c_str());
  ASSERT_TRUE(loader);
  SymMgrObjectPtr<SymbolFileIter> candidates;
  loader->symbolFilesToResolve(candidates);  // reads the headers, whatever the PDB reader says
  ZorLock lock;
  SymMgrObjectPtr<IModuleSymbolBank> bank = new ModuleSymbolBank(loader.get(), nullptr, &lock);
  EXPECT_EQ(bank->execFileFormat(), EXEC_FORMAT_PE);
  SymMgrObjectPtr<ISection> text;
  ASSERT_EQ(bank->sectionByName(L".text", text), STATUS_OK);
  ASSERT_LT(text->address(), bank->preferredLoadAddress());  // relative, not absolute
  SymMgrObjectPtr<IAddress> address;
  ASSERT_EQ(bank->addressBySectionOffset(text.get(), 8, address), STATUS_OK);
  EXPECT_EQ(address->va(), bank->preferredLoadAddress() + text->address() + 8);
  EXPECT_EQ(address->rva(), text->address() + 8);
  SymMgrObjectPtr<IAddress> byRva;
  ASSERT_EQ(bank->addressByRva(text->address() + 8, byRva), STATUS_OK);
  EXPECT_EQ(byRva->va(), address->va());
}

// Inside inlined code the bank answers the line of the outermost call (the function's own
// line there), elsewhere the line table's row: the last frame of the inline chain, at every
// byte of a fixture's code.
TEST(BankTest, InlinedCodeAnswersTheOutermostCallSite) {
  zor_test::LoadedModule m(fixturePath("dwarf/cpp_gcc_d3_O2"));
  IModuleSymbolBank* bank = m.bank.get();
  ASSERT_TRUE(bank);
  SymMgrObjectPtr<ISection> text;
  ASSERT_EQ(bank->sectionByName(L".text", text), STATUS_OK);
  size_t inlined = 0, compared = 0;
  for (uint64_t va = text->address(); va < text->address() + text->size(); ++va) {
    SymMgrObjectPtr<IAddress> a;
    ASSERT_EQ(bank->addressByVa(va, a), STATUS_OK);
    std::vector<InlineFrame> frames;
    if (inlineFrames(bank, a.get(), frames) != STATUS_OK || !frames.back().location) continue;
    ISourceLocation* want = frames.back().location.get();
    SymMgrObjectPtr<ISourceLocation> got;
    ASSERT_EQ(bank->sourceLocationsByAddress(a.get(), got, COMP_UNIT_ALL, nullptr), STATUS_OK) << std::hex << va;
    EXPECT_EQ(got->line(), want->line()) << std::hex << va;
    EXPECT_EQ(got->sourceFile(), want->sourceFile()) << std::hex << va;
    ++compared;
    if (frames.size() > 1) ++inlined;
  }
  EXPECT_GT(inlined, 50u);
  EXPECT_GT(compared, 500u);
}

}  // namespace
