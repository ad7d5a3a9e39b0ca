// The module symbol bank: address conversions of ELF and PE images, the symbol ranges of a
// real image in address order, and the order in which line queries are answered.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <zor/zor.h>

#include "kave/unicode.h"
#include "loader_test_fakes.h"
#include "zor/manager/module_symbol_bank.h"

using namespace ZOR_3_12;

namespace {

std::string fixturePath(const char* relative) { return std::string(ZOR_FIXTURES_DIR) + "/" + relative; }
std::wstring fixture(const char* relative) { return KAVE_3_1::utf8ToWide(fixturePath(relative)); }


class BankTest : public ::testing::Test {
 protected:
  SymMgrObjectPtr<IModuleSymbolBank> load(const char* relative) {
    SymMgrObjectPtr<IModuleSymbolBank> bank;
    EXPECT_EQ(ISymbolManager::create(m_manager), STATUS_OK);
    EXPECT_EQ(m_manager->loadSymbolsFromModule(fixture(relative).c_str(), nullptr, bank), STATUS_OK) << relative;
    return bank;
  }
  SymMgrObjectPtr<ISymbolManager> m_manager;
};

TEST_F(BankTest, AddressConversionsAgreeInAnElfImage) {
  auto bank = load("elf/hello_nopie");
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

TEST_F(BankTest, SymbolRangesInAddressOrderCoverTheWholeSpaceByDefault) {
  auto bank = load("elf/hello_nopie");
  ASSERT_TRUE(bank);
  SymMgrObjectPtr<SymbolRangeIter> ranges;
  ASSERT_EQ(bank->originalSymbolRanges(ranges, SYMBOL_KIND_ALL, nullptr, nullptr), STATUS_OK);
  ASSERT_TRUE(ranges);
  uint64_t previous = 0;
  bool sawMain = false;
  int count = 0;
  for (auto r = ranges->current(); r; ranges->next(), r = ranges->current()) {
    const uint64_t start = r->startAddress()->va();
    EXPECT_GE(start, previous);
    previous = start;
    ++count;
    if (r->symbol() && std::wstring(r->symbol()->name()) == L"main") sawMain = true;
  }
  EXPECT_GT(count, 5);
  EXPECT_TRUE(sawMain);

  // Bounded by an address: nothing starts below it.
  SymMgrObjectPtr<ISection> text;
  ASSERT_EQ(bank->sectionByName(L".text", text), STATUS_OK);
  SymMgrObjectPtr<IAddress> from;
  ASSERT_EQ(bank->addressByVa(text->address(), from), STATUS_OK);
  ASSERT_EQ(bank->nonOverlappedSymbolRanges(ranges, SYMBOL_KIND_FUNCTION, from.get(), nullptr, nullptr), STATUS_OK);
  uint64_t end = 0;
  for (auto r = ranges->current(); r; ranges->next(), r = ranges->current()) {
    const uint64_t start = r->startAddress()->va();
    EXPECT_GE(start, text->address());
    EXPECT_GE(start, end);  // pieces never overlap
    end = start + r->size();
  }
}

// ---- The bank over stand-in loaders: what the line resolver is asked, and in which order.

class FakeLocation : public SymMgrObject<ISourceLocation> {
 public:
  explicit FakeLocation(uint32_t line) : SymMgrObject<ISourceLocation>(nullptr), m_line(line) {}
  ISourceFile* sourceFile() override { return nullptr; }
  uint64_t compUnitKey() override { return 0; }
  uint32_t line() override { return m_line; }
  uint32_t column() override { return 0; }

 private:
  uint32_t m_line;
};

using LocationVector = std::vector<SymMgrObjectPtr<ISourceLocation>>;

class FakeResolver : public SymMgrObject<ISrcLineResolver> {
 public:
  FakeResolver() : SymMgrObject<ISrcLineResolver>(nullptr) {}
  status_t sourceLocationsByAddress(uint64_t address, uint64_t key, SymMgrObjectPtr<SourceLocationIter>& out) override {
    lastAddress = address;
    lastKey = key;
    if (status == STATUS_OK) out = new VectorIteratorWrapper<LocationVector, SymMgrObjectPtr<ISourceLocation>>(&locations);
    return status;
  }
  status_t sourceLinesForFile(uint64_t, uint32_t, uint64_t, uint64_t, SymMgrObjectPtr<SourceLineIter>&) override {
    return STATUS_FALSE;
  }
  ISourceFile* sourceFile(uint32_t) override { return nullptr; }
  ICompUnitDetails* compUnitDetails(uint64_t) override { return nullptr; }
  SymMgrObjectPtr<ISourceLocation> sourceLocationByAddress(uint64_t, uint64_t) override { return nullptr; }
  SymMgrObjectPtr<ISourceLocation> inlineCallSite(uint64_t, uint64_t) override { return callSite; }

  status_t status = STATUS_OK;
  LocationVector locations;
  SymMgrObjectPtr<ISourceLocation> callSite;
  uint64_t lastAddress = 0;
  uint64_t lastKey = 0;
};

class ResolvingDebugInfoLoader : public SymMgrObject<IDebugInfoLoader> {
 public:
  explicit ResolvingDebugInfoLoader(std::wstring path)
      : SymMgrObject<IDebugInfoLoader>(nullptr), m_path(std::move(path)), resolver(new FakeResolver) {}
  const wchar_t* symFileName() override { return m_path.c_str(); }
  uint32_t symFileFormat() override { return SYM_FORMAT_DWARF; }
  status_t loadDebugInfo(ISymbolTable*, uint32_t, ISrcLineResolver*) override { return STATUS_OK; }
  ISrcLineResolver* srcLineResolver(IScope*, ILock*) override {
    ++resolverRequests;
    return resolver.get();
  }

  std::wstring m_path;
  SymMgrObjectPtr<FakeResolver> resolver;
  int resolverRequests = 0;
};

class LastSelector : public ISourceLocationSelector {
 public:
  SymMgrObjectPtr<ISourceLocation> select(SymMgrObjectPtr<SourceLocationIter> candidates) override {
    SymMgrObjectPtr<ISourceLocation> last;
    candidates->reset();
    for (auto c = candidates->current(); c; candidates->next(), c = candidates->current()) last = c;
    return last;
  }
};

struct FakeModule {
  FakeModule(const std::string& imagePath, const std::wstring& symbolPath)
      : loader(new zor_test::FakeLoader(KAVE_3_1::utf8ToWide(imagePath), 0x1000)),
        debugInfo(new ResolvingDebugInfoLoader(symbolPath)) {
    loader->addSegment(L"code", 0, 0, 0x100, 0x100);
    bank = new ModuleSymbolBank(loader.get(), debugInfo.get(), &lock);
  }
  SymMgrObjectPtr<IAddress> at(uint64_t va) {
    SymMgrObjectPtr<IAddress> a;
    EXPECT_EQ(bank->addressByVa(va, a), STATUS_OK);
    return a;
  }
  ZorLock lock;
  SymMgrObjectPtr<zor_test::FakeLoader> loader;
  SymMgrObjectPtr<ResolvingDebugInfoLoader> debugInfo;
  SymMgrObjectPtr<IModuleSymbolBank> bank;
};

TEST(BankLineQueryTest, InlineCallSiteWinsOverTheLineTable) {
  FakeModule m(fixturePath("elf/hello_nopie"), fixture("elf/hello_pie"));
  EXPECT_EQ(m.debugInfo->resolverRequests, 1);  // asked once, by the global scope
  FakeResolver& r = *m.debugInfo->resolver;
  r.locations = {new FakeLocation(10), new FakeLocation(20)};

  SymMgrObjectPtr<ISourceLocation> location;
  ASSERT_EQ(m.bank->sourceLocationsByAddress(m.at(0x1010).get(), location, 3, nullptr), STATUS_OK);
  EXPECT_EQ(location->line(), 10u);  // the first candidate without a selector
  EXPECT_EQ(r.lastAddress, 0x1010u);
  EXPECT_EQ(r.lastKey, 3u);

  LastSelector last;
  ASSERT_EQ(m.bank->sourceLocationsByAddress(m.at(0x1010).get(), location, 3, &last), STATUS_OK);
  EXPECT_EQ(location->line(), 20u);

  r.callSite = new FakeLocation(99);
  ASSERT_EQ(m.bank->sourceLocationsByAddress(m.at(0x1010).get(), location, 3, &last), STATUS_OK);
  EXPECT_EQ(location->line(), 99u);
}

}  // namespace
