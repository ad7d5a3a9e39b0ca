// The shared library seen from outside: only <zor/zor.h>, only what libzor.so exports.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include <zor/extensions.h>
#include <zor/zor.h>

using namespace ZOR_3_12;

namespace {

std::wstring fixture(const char* relative) {
  const std::string path = std::string(ZOR_FIXTURES_DIR) + "/" + relative;
  return std::wstring(path.begin(), path.end());  // the fixture paths are ASCII
}

TEST(ApiSmokeTest, LoadAndQueryThroughThePublicInterface) {
  SymMgrObjectPtr<ISymbolManager> manager;
  ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  ASSERT_EQ(manager->loadSymbolsFromModule(fixture("elf/hello_nopie").c_str(), nullptr, bank), STATUS_OK);
  EXPECT_EQ(bank->execFileFormat(), EXEC_FORMAT_ELF);

  SymMgrObjectPtr<SymbolRangeIter> ranges;
  ASSERT_EQ(bank->originalSymbolRanges(ranges, SYMBOL_KIND_FUNCTION, nullptr, nullptr), STATUS_OK);
  SymMgrObjectPtr<ISymbolRange> mainRange;
  for (auto r = ranges->current(); r; ranges->next(), r = ranges->current())
    if (r->symbol() && std::wstring(r->symbol()->name()) == L"main") mainRange = r;
  ASSERT_TRUE(mainRange);

  // An address inside main leads back to main.
  SymMgrObjectPtr<IAddress> inside;
  ASSERT_EQ(bank->addressByVa(mainRange->startAddress()->va() + 1, inside), STATUS_OK);
  SymMgrObjectPtr<ISymbolRange> found;
  ASSERT_EQ(bank->symbolRangeByAddress(inside.get(), found, SYMBOL_KIND_FUNCTION, nullptr), STATUS_OK);
  EXPECT_STREQ(found->symbol()->name(), L"main");

  EXPECT_EQ(manager->loadSymbolsFromModule(fixture("misc/text.txt").c_str(), nullptr, bank), STATUS_BAD_FILE_FORMAT);
  EXPECT_NE(std::wstring(toUString(STATUS_BAD_FILE_FORMAT)).find(L"format"), std::wstring::npos);
}

// The tools print names through the UTF-8 extension; it must give what the wide accessors
// give, for mangled and plain names, asked before and after the wide forms exist.
TEST(ApiSmokeTest, NamesInUtf8AreTheWideAccessorsText) {
  SymMgrObjectPtr<ISymbolManager> manager;
  ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  ASSERT_EQ(manager->loadSymbolsFromModule(fixture("sample/demo").c_str(), nullptr, bank), STATUS_OK);
  SymMgrObjectPtr<SymbolRangeIter> ranges;
  ASSERT_EQ(bank->originalSymbolRanges(ranges, SYMBOL_KIND_ALL, nullptr, nullptr), STATUS_OK);
  const SymbolNameForm forms[] = {SymbolNameForm::kName, SymbolNameForm::kFull, SymbolNameForm::kQualified,
                                  SymbolNameForm::kShort, SymbolNameForm::kAlternate};
  auto wide = [](ISymbol* s, SymbolNameForm form) {
    switch (form) {
      case SymbolNameForm::kName: return s->name();
      case SymbolNameForm::kFull: return s->demangledName(true);
      case SymbolNameForm::kQualified: return s->demangledName(false);
      case SymbolNameForm::kShort: return s->shortName();
      case SymbolNameForm::kAlternate: return s->alternateName();
    }
    return static_cast<const wchar_t*>(nullptr);
  };
  size_t mangled = 0, symbols = 0;
  for (auto r = ranges->current(); r; ranges->next(), r = ranges->current()) {
    ISymbol* symbol = r->symbol();
    if (!symbol) continue;
    ++symbols;
    for (int round = 0; round < 2; ++round) {  // before any wide request, then after all
      std::string utf8[5];
      for (int k = 0; k < 5; ++k) appendSymbolNameUtf8(symbol, forms[k], utf8[k]);
      for (int k = 0; k < 5; ++k) {
        std::string expected;
        for (const wchar_t* c = wide(symbol, forms[k]); c && *c; ++c) {
          ASSERT_LT(static_cast<unsigned>(*c), 0x80u) << "the fixture's names are ASCII";
          expected += static_cast<char>(*c);
        }
        EXPECT_EQ(utf8[k], expected) << "form " << k << " round " << round;
      }
      if (round == 0 && utf8[0] != utf8[1]) ++mangled;
    }
  }
  EXPECT_GT(symbols, 10u);
  EXPECT_GT(mangled, 0u);  // the demo holds C++ names
}

TEST(ApiSmokeTest, InternalsAreNotExported) {
  void* self = dlopen(nullptr, RTLD_NOW);
  ASSERT_NE(self, nullptr);
  // Exported: the manager's factory.
  EXPECT_NE(dlsym(RTLD_DEFAULT, "_ZN8ZOR_3_1214ISymbolManager6createERNS_15SymMgrObjectPtrIS0_EE"), nullptr);
  // Hidden: internal classes and helpers of the library.
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "_ZN8ZOR_3_128internal12absolutePathB5cxx11EPKw"), nullptr);
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "_ZN8ZOR_3_1213SymbolManager10releaseFFLEPNS_17IFileFormatLoaderE"), nullptr);
  dlclose(self);
}

}  // namespace
