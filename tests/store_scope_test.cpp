// Range lists, the extents of symbol ranges, nested tables and their lifetime, and the lazy
// loading of the global scope.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/store_fixture.h"
#include "zor/store/symbol_range.h"

namespace zor_fake {
namespace {

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

Ranges nodes(const RangeList& list) {
  Ranges out;
  for (RangeNode* n = list.head(); n; n = n->next) out.emplace_back(n->start, n->end);
  return out;
}

Ranges build(std::initializer_list<std::pair<uint64_t, uint64_t>> adds) {
  RangeList list;
  for (auto& a : adds) list.insert(a.first, a.second);
  return nodes(list);
}

TEST(RangeListTest, CoalescesTouchingAndOverlappingButNeverAbsorbsThePrimary) {
  EXPECT_EQ(build({{0x10, 0x20}, {0x20, 0x30}}), (Ranges{{0x10, 0x30}}));  // the primary may grow
  EXPECT_EQ(build({{0x30, 0x40}, {0x10, 0x20}, {0x18, 0x35}}), (Ranges{{0x10, 0x35}, {0x30, 0x40}}));
  EXPECT_EQ(build({{0x10, 0x20}, {0x40, 0x50}, {0x30, 0x60}}), (Ranges{{0x10, 0x20}, {0x30, 0x60}}));
  // A range bridging two non-primary nodes swallows them and everything up to its end.
  EXPECT_EQ(build({{0x00, 0x08}, {0x10, 0x20}, {0x30, 0x40}, {0x50, 0x60}, {0x18, 0x55}}),
            (Ranges{{0x00, 0x08}, {0x10, 0x60}}));
  // Out-of-order additions, ending before the walk's hint.
  EXPECT_EQ(build({{0x100, 0x110}, {0x200, 0x210}, {0x150, 0x160}, {0x50, 0x60}, {0x158, 0x1F0}}),
            (Ranges{{0x50, 0x60}, {0x100, 0x110}, {0x150, 0x1F0}, {0x200, 0x210}}));
  EXPECT_EQ(build({{0x100, 0x110}, {0x200, 0x210}, {0x150, 0x160}, {0x158, 0x200}}),
            (Ranges{{0x100, 0x110}, {0x150, 0x210}}));
}

TEST(RangeListTest, ExtentsRemovalAndContainment) {
  RangeList list;
  EXPECT_EQ(list.firstStart(), ~0ull);
  EXPECT_EQ(list.lastEnd(), ~0ull);
  uint64_t s = 0, e = 0;
  EXPECT_FALSE(list.rangeContaining(s, e, 0x10));
  list.insert(0x40, 0x50);
  list.insert(0x10, 0x20);
  list.insert(0x60, 0x70);
  EXPECT_EQ(list.firstStart(), 0x10u);
  EXPECT_EQ(list.lastEnd(), 0x70u);
  EXPECT_TRUE(list.hasSeveral());
  s = 0;
  ASSERT_TRUE(list.rangeContaining(s, e, 0x45));
  EXPECT_EQ(s, 0x40u);
  EXPECT_EQ(e, 0x50u);
  s = 0;
  EXPECT_FALSE(list.rangeContaining(s, e, 0x55));  // a gap
  EXPECT_FALSE(list.rangeContaining(s, e, 0x05));
  EXPECT_FALSE(list.removeStartingAt(0x41));
  EXPECT_TRUE(list.removeStartingAt(0x60));  // the hint: it moves to the predecessor
  EXPECT_EQ(list.lastEnd(), 0x50u);
  list.insert(0x50, 0x58);
  EXPECT_EQ(nodes(list), (Ranges{{0x10, 0x20}, {0x40, 0x58}}));
  EXPECT_TRUE(list.removeStartingAt(0x40));  // the primary goes; a later front node is no primary
  list.insert(0x00, 0x08);
  list.insert(0x08, 0x10);
  EXPECT_EQ(nodes(list), (Ranges{{0x00, 0x20}}));
  list.insert(0x80, 0x90);
  list.insert(0x85, 0xA0);
  list.collapseToFirst(0x30);
  EXPECT_EQ(nodes(list), (Ranges{{0x00, 0x30}}));
}

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

TEST(GlobalScopeTest, LoadsEachKindOnceDebugInfoFirst) {
  SymMgrObjectPtr<FakeLoader> loader(new FakeLoader);
  SymMgrObjectPtr<FakeLineResolver> lines(new FakeLineResolver);
  SymMgrObjectPtr<FakeDebugInfo> debug(new FakeDebugInfo(lines.get()));
  std::vector<std::string> order;
  debug->onLoadDebugInfo = [&](ISymbolTable*, uint32_t, ISrcLineResolver*) {
    order.push_back("debug");
    return STATUS_OK;
  };
  loader->onLoadSymbols = [&](ISymbolTable*, uint32_t) {
    order.push_back("file");
    return STATUS_OK;
  };
  GlobalScope global(loader.get(), debug.get(), nullptr);
  EXPECT_EQ(debug->srcLineResolverCalls, 1);
  EXPECT_EQ(debug->lastScope, &global);
  EXPECT_NE(debug->lastLock, nullptr);
  EXPECT_EQ(global.lineResolver(), lines.get());

  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION), STATUS_OK);
  EXPECT_EQ(order, (std::vector<std::string>{"debug", "file"}));
  EXPECT_EQ(debug->lastContext, lines.get());
  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION), STATUS_OK);
  EXPECT_EQ(order.size(), 2u);  // already loaded: neither loader is asked
  EXPECT_EQ(global.loadSymbols(SYMBOL_KIND_FUNCTION | SYMBOL_KIND_DATA), STATUS_OK);
  EXPECT_EQ(debug->lastKindMask, uint32_t(SYMBOL_KIND_DATA));
  EXPECT_EQ(loader->lastKindMask, uint32_t(SYMBOL_KIND_DATA));
  EXPECT_EQ(debug->srcLineResolverCalls, 1);
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

TEST(GlobalScopeTest, TableDestroysKeptScopesAndTheirThunks) {
  SymMgrObjectPtr<FakeLoader> loader(new FakeLoader);
  loader->addSegment(L".text", 0x1000, 0x1000);
  int deaths = 0;
  {
    GlobalScope global(loader.get(), nullptr, nullptr);
    for (uint64_t a = 0x1000; a < 0x1100; a += 0x10) {
      auto* s = new TestScope(loader.get(), &global, L"x", a, SYMBOL_KIND_FUNCTION, 1, &deaths);
      s->addRange(a, a + 0x10);
      s->attachThunk(new ImportThunk(s, a + 0x800, 4));
      global.symbolTable()->insertScope(s);
    }
    EXPECT_EQ(deaths, 0);
    // A range outlives nothing: take one and drop it before the scope goes.
    SymMgrObjectPtr<ISymbolRange> r;
    EXPECT_EQ(global.symbolRangeByAddress(r, 0x1802, ~0u, nullptr), STATUS_OK);
    ASSERT_TRUE(r && r->thunk());
  }
  EXPECT_EQ(deaths, 16);
}

}  // namespace
}  // namespace zor_fake
