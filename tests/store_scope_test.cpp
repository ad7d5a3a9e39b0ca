// The extents of symbol ranges, nested tables and their lifetime, and the statuses of the
// global scope's lazy loading.
#include <gtest/gtest.h>


#include "support/store_fixture.h"
#include "zor/store/symbol_range.h"

namespace zor_fake {
namespace {

class ScopeTest : public ::testing::Test {
 protected:
  ScopeTest() : m_loader(new FakeLoader(EXEC_FORMAT_ELF, 0x400000)), m_global(m_loader.get(), nullptr, nullptr) {
    m_loader->addSegment(L".text", 0x401000, 0x1000);
    m_loader->addSegment(L".data", 0x403000, 0x800, SEGMENT_KIND_DATA);
  }
  TestScope* add(const wchar_t* name, uint64_t start, uint64_t end, symbol_kind_t kind = SYMBOL_KIND_FUNCTION) {
    auto* s = new TestScope(m_loader.get(), &m_global, name, start, kind, SYMBOL_LINKAGE_GLOBAL, &m_deaths);
    s->addRange(start, end);
    m_global.symbolTable()->insert(start, end, s);
    return s;
  }
  SymMgrObjectPtr<ISymbolRange> at(uint64_t address) {
    SymMgrObjectPtr<ISymbolRange> r;
    m_global.symbolRangeByAddress(r, address, SYMBOL_KIND_ALL, nullptr);
    return r;
  }

  SymMgrObjectPtr<FakeLoader> m_loader;
  int m_deaths = 0;
  GlobalScope m_global;
};

TEST_F(ScopeTest, OpenEndedRangesEndWithTheirSegment) {
  auto* f = add(L"f", 0x401100, ~0ull);
  SymbolRange r(0x401100, ~0ull, f, nullptr);
  EXPECT_EQ(r.end(), 0x402000u);
  EXPECT_EQ(r.size(), 0xF00u);
  SymbolRange outside(0x500000, ~0ull, f, nullptr);  // no segment: left empty
  EXPECT_EQ(outside.size(), 0u);
}

TEST_F(ScopeTest, ExtentToNextReachesTheNextSymbolOrTheSegmentEnd) {
  add(L"zero", 0x401000, 0x401000, SYMBOL_KIND_PUBLIC);
  add(L"next", 0x401080, 0x401100);
  EXPECT_EQ(at(0x401010)->extentToNext(), 0x80u);
  EXPECT_EQ(at(0x401080)->extentToNext(), 0xF80u);  // the last symbol: up to its segment's end
  add(L"huge", 0x403700, 0x404000, SYMBOL_KIND_DATA);  // recorded past its segment's end
  EXPECT_EQ(at(0x401080)->extentToNext(), 0x2680u);  // the next symbol, whatever its segment
  EXPECT_EQ(at(0x403710)->extentToNext(), 0x900u);  // its own size
  // A range whose scope has no parent has nothing to compare with but its segment.
  SymbolRange top(0x401000, 0x401010, &m_global, nullptr);
  EXPECT_EQ(top.extentToNext(), 0x1000u);
}

class CountingInstance : public SymMgrObject<IInlineInstance> {
 public:
  CountingInstance(ISymbol* s, int* deaths) : SymMgrObject<IInlineInstance>(nullptr), m_symbol(s), m_deaths(deaths) {}
  ~CountingInstance() override { ++*m_deaths; }
  SymMgrObjectPtr<ISourceLocation> callSite() override { return nullptr; }
  ISymbol* symbol() override { return m_symbol; }
  SymMgrObjectPtr<SymbolRangeIter> ranges() override { return nullptr; }
  bool hasCallSite() override { return false; }
  SymMgrObjectPtr<SourceLineIter> sourceLines() override { return nullptr; }

 private:
  ISymbol* m_symbol;
  int* m_deaths;
};

TEST(InlineScopeTest, NestedTablesGoWithTheirScope) {
  SymMgrObjectPtr<FakeLoader> loader(new FakeLoader);
  loader->addSegment(L".text", 0x1000, 0x1000);
  int gone = 0, deaths = 0;
  {
    GlobalScope global(loader.get(), nullptr, nullptr);
    auto* f = new TestScope(loader.get(), &global, L"caller", 0x1100, SYMBOL_KIND_FUNCTION, 1, &deaths);
    f->addRange(0x1100, 0x1200);
    global.symbolTable()->insert(0x1100, 0x1200, f);
    auto* scope = new InlineInstanceScope(loader.get(), f, new CountingInstance(f->symbol(), &gone));
    EXPECT_EQ(scope->symbol(), f->symbol());
    ASSERT_NE(scope->inlineInstance(), nullptr);
    scope->addRange(0x1180, 0x1190);
    f->symbolTable()->insert(0x1180, 0x1190, scope);
    EXPECT_EQ(f->symbolTable()->ownerScope(), f);
    SymMgrObjectPtr<ISymbolRange> r = f->symbolTable()->symbolRangeByAddress(0x1188, ~0u, nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->inlineInstance(), scope->inlineInstance());
    auto parent = r->parentRange();
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->size(), 0x100u);
    EXPECT_EQ(gone, 0);
  }
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(gone, 1);
}

TEST(GlobalScopeTest, FailedOrEmptyLoadsAreRetried) {
  SymMgrObjectPtr<FakeLoader> loader(new FakeLoader);
  status_t fileResult = STATUS_FALSE;
  loader->onLoadSymbols = [&](ISymbolTable*, uint32_t) { return fileResult; };
  {
    GlobalScope global(loader.get(), nullptr, nullptr);
    EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_PUBLIC), STATUS_FALSE);
    EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_PUBLIC), STATUS_FALSE);
    EXPECT_EQ(loader->loadSymbolsCalls, 2);
    fileResult = STATUS_OK;
    EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_PUBLIC), STATUS_OK);
    EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_PUBLIC), STATUS_OK);
    EXPECT_EQ(loader->loadSymbolsCalls, 3);
  }
  // With debug information: a file failure wins, then a debug failure, then the file's OK.
  SymMgrObjectPtr<FakeDebugInfo> debug(new FakeDebugInfo);
  status_t debugResult = STATUS_BAD_DEBUG_INFO;
  debug->onLoadDebugInfo = [&](ISymbolTable*, uint32_t, ISrcLineResolver*) { return debugResult; };
  GlobalScope global(loader.get(), debug.get(), nullptr);
  EXPECT_EQ(global.lineResolver(), nullptr);
  fileResult = STATUS_CANT_READ_FILE;
  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION), STATUS_CANT_READ_FILE);
  fileResult = STATUS_OK;
  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION), STATUS_BAD_DEBUG_INFO);
  debugResult = STATUS_FALSE;
  fileResult = STATUS_FALSE;
  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION), STATUS_FALSE);
  fileResult = STATUS_OK;
  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION), STATUS_OK);  // the file's symbols suffice
  int calls = debug->loadDebugInfoCalls;
  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION), STATUS_OK);
  EXPECT_EQ(debug->loadDebugInfoCalls, calls);
}

}  // namespace
}  // namespace zor_fake
