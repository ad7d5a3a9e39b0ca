// The symbol table: index invariants, the choice among symbols at an address, merges of
// duplicate descriptions, insertScope with thunks, and the span iterators.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "support/store_fixture.h"
#include "zor/store/symbol_range.h"

namespace zor_fake {
namespace {

struct Piece {
  uint64_t start, end;
  std::wstring name;
  bool operator==(const Piece& o) const { return start == o.start && end == o.end && name == o.name; }
};

class TableTest : public ::testing::Test {
 protected:
  TableTest() : m_loader(new FakeLoader), m_global(m_loader.get(), nullptr, nullptr) {
    m_loader->addSegment(L".text", 0x1000, 0xF000);
    m_table = static_cast<SymbolTable*>(m_global.symbolTable());
  }

  // A plain symbol scope with one range, inserted with insert(); may be merged away.
  TestScope* add(const wchar_t* name, uint64_t start, uint64_t end, symbol_kind_t kind = SYMBOL_KIND_FUNCTION,
                 int32_t linkage = SYMBOL_LINKAGE_LOCAL) {
    auto* s = make(name, start, end, kind, linkage);
    m_table->insert(start, end, s);
    return s;
  }
  TestScope* make(const wchar_t* name, uint64_t start, uint64_t end, symbol_kind_t kind = SYMBOL_KIND_FUNCTION,
                  int32_t linkage = SYMBOL_LINKAGE_LOCAL) {
    auto* s = new TestScope(m_loader.get(), &m_global, name, start, kind, linkage, &m_deaths);
    s->addRange(start, end);
    return s;
  }
  // Name of the symbol found at an address ("" when none).
  std::wstring at(uint64_t address, uint32_t mask = SYMBOL_KIND_ALL, ISymbolSelector* selector = nullptr) {
    auto r = m_table->symbolRangeByAddress(address, mask, selector);
    return r ? r->symbol()->name() : L"";
  }
  static std::vector<Piece> collect(SymMgrObjectPtr<SymbolRangeIter> it) {
    std::vector<Piece> out;
    if (!it) return out;
    for (auto r = it->current(); r; r = it->next() ? it->current() : nullptr) {
      auto* sr = static_cast<SymbolRange*>(r.get());
      out.push_back({sr->start(), sr->end(), r->symbol()->name()});
      if (out.size() > 1000) break;  // a walk that does not end
    }
    return out;
  }
  std::vector<Piece> original(uint64_t from, uint64_t to, uint32_t mask = SYMBOL_KIND_ALL) {
    return collect(m_table->originalSymbolRanges(from, to, mask));
  }
  std::vector<Piece> pieces(uint64_t from, uint64_t to, uint32_t mask = SYMBOL_KIND_ALL,
                            ISymbolSelector* selector = nullptr) {
    return collect(m_table->nonOverlappedSymbolRanges(from, to, mask, selector));
  }
  std::vector<uint64_t> endsAt(uint64_t key) {
    std::vector<uint64_t> ends;
    auto it = m_table->index().find(key);
    if (it == m_table->index().end()) return ends;
    for (ListItem* n = it->second->head; n; n = n->next) ends.push_back(n->record->end);
    return ends;
  }

  SymMgrObjectPtr<FakeLoader> m_loader;
  int m_deaths = 0;
  GlobalScope m_global;
  SymbolTable* m_table;
};

std::ostream& operator<<(std::ostream& os, const std::vector<Piece>& v) {
  for (auto& p : v) os << std::hex << "[" << p.start << "," << p.end << ")" << std::string(p.name.begin(), p.name.end()) << " ";
  return os;
}

TEST_F(TableTest, RandomInsertionsKeepTheIndexAndCandidatesExact) {
  std::mt19937_64 rng(7);
  struct Rec { uint64_t s, e; symbol_kind_t k; };
  std::vector<Rec> recs;
  const symbol_kind_t kinds[] = {SYMBOL_KIND_FUNCTION, SYMBOL_KIND_PUBLIC, SYMBOL_KIND_DATA};
  for (int i = 0; i < 300; ++i) {
    uint64_t s = 0x1000 + (rng() % 0x400) * 4;
    uint64_t len = (rng() % 5 == 0) ? 0 : (rng() % 0x80) * 4 + 4;
    symbol_kind_t k = kinds[rng() % 3];
    std::wstring name = L"s" + std::to_wstring(i);  // distinct names: nothing merges
    add(name.c_str(), s, s + len, k);
    recs.push_back({s, s + len, k});
    if (i % 50 == 0) {
      ASSERT_EQ(checkIndex(*m_table), "") << "after " << i;
    }
  }
  ASSERT_EQ(checkIndex(*m_table), "");
  ASSERT_EQ(m_table->keptScopes().size(), recs.size());
  std::vector<uint64_t> keys;
  for (auto& r : recs) keys.push_back(r.s);
  std::sort(keys.begin(), keys.end());
  for (uint64_t a = 0x0FF0; a < 0x2200; a += 2) {
    for (uint32_t mask : {SYMBOL_KIND_ALL, uint32_t(SYMBOL_KIND_PUBLIC | SYMBOL_KIND_DATA)}) {
      auto k = std::upper_bound(keys.begin(), keys.end(), a);
      uint64_t key = k == keys.begin() ? ~0ull : *(k - 1);
      size_t expected = 0;
      uint8_t bestPriority = 255;
      for (auto& r : recs) {
        bool covers = r.s == r.e ? r.s == key : (r.s <= a && a < r.e);
        if (covers && (r.k & mask)) {
          ++expected;
          bestPriority = std::min(bestPriority, symbolPriorityByKind(r.k));
        }
      }
      size_t got = 0;
      if (key != ~0ull) {
        SymMgrObjectPtr<SymbolByAddrIterator> it(new SymbolByAddrIterator(m_table->index().find(key), a, mask));
        for (auto s = it->current(); s; s = it->next() ? it->current() : nullptr) ++got;
      }
      ASSERT_EQ(got, expected) << std::hex << "at " << a;
      auto r = m_table->symbolRangeByAddress(a, mask, nullptr);
      ASSERT_EQ(r != nullptr, expected > 0) << std::hex << a;
      if (r) {
        EXPECT_EQ(symbolPriorityByKind(r->symbol()->kind()), bestPriority) << std::hex << a;
      }
    }
  }
}

TEST_F(TableTest, EmptyRecordsReachToTheNextKeyAndBoundariesStopThem) {
  add(L"zero", 0x1000, 0x1000, SYMBOL_KIND_PUBLIC);
  add(L"next", 0x1100, 0x1200);
  EXPECT_EQ(at(0x1000), L"zero");
  EXPECT_EQ(at(0x10FF), L"zero");
  EXPECT_EQ(at(0x1100), L"next");
  add(L"last", 0x3000, 0x3000, SYMBOL_KIND_PUBLIC);
  EXPECT_EQ(at(0x7000), L"last");
  m_table->insert(0x3800, 0x3800, nullptr);  // a section's end
  EXPECT_EQ(at(0x3700), L"last");
  EXPECT_EQ(at(0x3800), L"");  // the boundary is never a candidate
  size_t keys = m_table->index().size();
  m_table->insert(0x3800, 0x3800, nullptr);  // a second boundary at the same place changes nothing
  m_table->insert(0x1100, 0x1100, nullptr);  // nor does one where a record already starts
  EXPECT_EQ(m_table->index().size(), keys);
  EXPECT_EQ(endsAt(0x1100).size(), 1u);
  EXPECT_EQ(m_deaths, 0);
  // A real symbol at a boundary's address is indexed beside it.
  add(L"after", 0x3800, 0x3900);
  EXPECT_EQ(at(0x3850), L"after");
  EXPECT_EQ(checkIndex(*m_table), "");
}

TEST_F(TableTest, ChoiceRuleUnitThenPriorityThenLinkageThenListOrder) {
  add(L"func", 0x1000, 0x1100, SYMBOL_KIND_FUNCTION);
  add(L"pub", 0x1000, 0x1000, SYMBOL_KIND_PUBLIC);
  EXPECT_EQ(at(0x1010), L"func");
  EXPECT_EQ(at(0x1010, SYMBOL_KIND_PUBLIC | SYMBOL_KIND_DATA), L"pub");
  EXPECT_EQ(at(0x1010, SYMBOL_KIND_DATA), L"");

  // Linkage decides between equal kinds; the global one wins whichever came first.
  add(L"loc", 0x2000, 0x2100, SYMBOL_KIND_PUBLIC, SYMBOL_LINKAGE_LOCAL);
  add(L"glob", 0x2000, 0x2080, SYMBOL_KIND_PUBLIC, SYMBOL_LINKAGE_GLOBAL);
  EXPECT_EQ(at(0x2010), L"glob");
  EXPECT_EQ(at(0x2090), L"loc");
  // Full tie: the earlier item in list order, the wider range.
  add(L"narrow", 0x3000, 0x3010);
  add(L"broad", 0x3000, 0x3100);
  EXPECT_EQ(at(0x3008), L"broad");

  // Membership of a compilation unit beats kind priority.
  auto* unitSym = new UnitSymbol(m_loader.get(), L"indebug", 0x4000, SYMBOL_KIND_PUBLIC, SYMBOL_LINKAGE_LOCAL, 5);
  auto* unitScope = new TestScope(m_loader.get(), &m_global, unitSym, &m_deaths);
  unitScope->addRange(0x4000, 0x4010);
  add(L"plain", 0x4000, 0x4100, SYMBOL_KIND_16);  // best priority, but no unit
  m_table->insert(0x4000, 0x4010, unitScope);
  EXPECT_EQ(at(0x4008), L"indebug");
  EXPECT_EQ(at(0x4010), L"plain");
  // A unit id of 0 does not count as membership.
  auto* zeroSym = new UnitSymbol(m_loader.get(), L"zerounit", 0x5000, SYMBOL_KIND_PUBLIC, SYMBOL_LINKAGE_LOCAL, 0);
  auto* zeroScope = new TestScope(m_loader.get(), &m_global, zeroSym, &m_deaths);
  zeroScope->addRange(0x5000, 0x5010);
  m_table->insert(0x5000, 0x5010, zeroScope);
  add(L"fn5", 0x5000, 0x5008, SYMBOL_KIND_FUNCTION);
  EXPECT_EQ(at(0x5004), L"fn5");
}

class RecordingSelector : public ISymbolSelector {
 public:
  SymMgrObjectPtr<ISymbol> select(SymMgrObjectPtr<SymbolIter> candidates) override {
    ++calls;
    seen.clear();
    SymMgrObjectPtr<ISymbol> pick;
    for (auto s = candidates->current(); s; s = candidates->next() ? candidates->current() : nullptr) {
      seen.push_back(s->name());
      if (seen.size() == pickIndex + 1) pick = s;
    }
    return foreign ? foreign : pick;
  }
  int calls = 0;
  size_t pickIndex = 0;
  std::vector<std::wstring> seen;
  ISymbol* foreign = nullptr;
};

TEST_F(TableTest, SelectorSeesCandidatesInListOrderAndDecides) {
  add(L"a", 0x1000, 0x1200, SYMBOL_KIND_PUBLIC);
  add(L"b", 0x1000, 0x1100, SYMBOL_KIND_FUNCTION);
  add(L"c", 0x1000, 0x1080, SYMBOL_KIND_DATA);
  RecordingSelector sel;
  sel.pickIndex = 2;
  EXPECT_EQ(at(0x1010, SYMBOL_KIND_ALL, &sel), L"c");
  EXPECT_EQ(sel.seen, (std::vector<std::wstring>{L"a", L"b", L"c"}));
  EXPECT_EQ(at(0x1090, SYMBOL_KIND_ALL, &sel), L"");  // candidates a, b: the selector answers null
  EXPECT_EQ(sel.seen, (std::vector<std::wstring>{L"a", L"b"}));
  sel.pickIndex = 1;
  EXPECT_EQ(at(0x1090, SYMBOL_KIND_ALL, &sel), L"b");
  EXPECT_EQ(at(0x1010, SYMBOL_KIND_PUBLIC | SYMBOL_KIND_DATA, &sel), L"c");  // only the kinds asked for
  EXPECT_EQ(sel.seen, (std::vector<std::wstring>{L"a", L"c"}));
  int calls = sel.calls;
  EXPECT_EQ(at(0x1150, SYMBOL_KIND_ALL, &sel), L"a");  // a single candidate: not asked
  EXPECT_EQ(sel.calls, calls);
  // An answer that is not in the entry gives nothing.
  TestScope* other = add(L"elsewhere", 0x8000, 0x8010);
  sel.foreign = other->symbol();
  EXPECT_EQ(at(0x1010, SYMBOL_KIND_ALL, &sel), L"");
}

TEST_F(TableTest, MergeThatTakesTheNewcomersEnd) {
  TestScope* host = add(L"host", 0x1000, 0x1100);
  add(L"k1", 0x1040, 0x1050);
  add(L"k2", 0x1180, 0x1190);
  host->forceFlags = true;
  host->forcedFlags = MERGE_TAKE_END;
  add(L"new", 0x1000, 0x1200);
  EXPECT_EQ(m_deaths, 1);
  EXPECT_EQ(host->mergedFlags, (std::vector<uint32_t>{MERGE_TAKE_END}));
  EXPECT_EQ(host->mergedNames, (std::vector<std::wstring>{L"new"}));
  EXPECT_EQ(at(0x1150), L"host");
  EXPECT_EQ(endsAt(0x1180), (std::vector<uint64_t>{0x1200, 0x1190}));
  EXPECT_EQ(checkIndex(*m_table), "");
  // Shrinking works too: the record is withdrawn from keys it no longer covers.
  add(L"shrink", 0x1000, 0x1060);
  EXPECT_EQ(at(0x1150), L"");
  EXPECT_EQ(at(0x1185), L"k2");
  EXPECT_EQ(checkIndex(*m_table), "");
  // Any other non-zero value merges without touching the ranges.
  host->forcedFlags = 0x8;
  add(L"rename", 0x1000, 0x1800);
  EXPECT_EQ(at(0x1070), L"");
  EXPECT_EQ(m_deaths, 3);
  // Withdrawn and moved where a wider record comes first in the keys' lists.
  add(L"wide", 0x5000, 0x6000, SYMBOL_KIND_DATA);
  TestScope* inner = add(L"inner", 0x5100, 0x5200);
  add(L"k3", 0x5180, 0x5190);
  inner->forceFlags = true;
  inner->forcedFlags = MERGE_TAKE_END;
  add(L"grown", 0x5100, 0x5300);
  EXPECT_EQ(endsAt(0x5100), (std::vector<uint64_t>{0x6000, 0x5300}));
  EXPECT_EQ(endsAt(0x5180), (std::vector<uint64_t>{0x6000, 0x5300, 0x5190}));
  EXPECT_EQ(checkIndex(*m_table), "");
}

TEST_F(TableTest, MergeThatCollapsesTheHostToItsFirstRange) {
  auto* host = make(L"split", 0x1000, 0x1100);
  host->addRange(0x3000, 0x3100);  // a second, cold part
  m_table->insertScope(host);
  add(L"k", 0x3080, 0x3090);
  EXPECT_EQ(at(0x3050), L"split");
  host->forceFlags = true;
  host->forcedFlags = MERGE_COLLAPSE;
  add(L"sym", 0x1000, 0x1200);
  EXPECT_EQ(m_deaths, 1);
  EXPECT_EQ(host->mergedFlags, (std::vector<uint32_t>{MERGE_COLLAPSE}));
  EXPECT_EQ(at(0x3050), L"");     // the cold part is gone from the index
  EXPECT_EQ(at(0x3085), L"k");
  EXPECT_EQ(at(0x1150), L"split");  // the first range now ends where the newcomer's does
  EXPECT_EQ(checkIndex(*m_table), "");
}

TEST_F(TableTest, InsertScopeKeepsOrMovesThunks) {
  // A kept scope keeps its thunk and its thunk range is indexed for it.
  auto* own = make(L"own", 0x1000, 0x1100);
  auto* t1 = new ImportThunk(own, 0x7000, 0x10);
  own->attachThunk(t1);
  m_table->insertScope(own);
  EXPECT_EQ(m_deaths, 0);
  auto r = m_table->symbolRangeByAddress(0x7008, SYMBOL_KIND_ALL, nullptr);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->symbol(), own->symbol());
  EXPECT_EQ(r->thunk(), t1);

  // A newcomer merged into an existing scope: its thunk goes to that scope, it dies.
  add(L"foo", 0x2000, 0x2010);
  auto* dup = make(L"foo", 0x2000, 0x2010);
  auto* t2 = new ImportThunk(dup, 0x7100, 0x10);
  dup->attachThunk(t2);
  m_table->insertScope(dup);
  EXPECT_EQ(m_deaths, 1);
  r = m_table->symbolRangeByAddress(0x7104, SYMBOL_KIND_ALL, nullptr);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::wstring(r->symbol()->name()), L"foo");
  ASSERT_EQ(r->thunk(), t2);
  EXPECT_EQ(std::wstring(t2->name()), L"foo");  // still alive, now owned by the host

  // A scope with only a thunk whose range an existing symbol describes: the thunk goes to
  // that symbol, which gives up the range.
  TestScope* plt = add(L"bar", 0x6000, 0x6008);
  auto* stub = new TestScope(m_loader.get(), &m_global, L"bar", 0x6000, SYMBOL_KIND_FUNCTION, 1, &m_deaths);
  auto* t3 = new ImportThunk(stub, 0x6000, 0x8);
  stub->attachThunk(t3);
  m_table->insertScope(stub);
  EXPECT_EQ(m_deaths, 2);
  ASSERT_EQ(plt->thunks().size(), 1u);
  EXPECT_EQ(plt->thunks()[0], t3);
  EXPECT_EQ(t3->owner(), plt);
  EXPECT_TRUE(plt->rangeList().empty());
  // A thunk whose start another thunk of the scope covers is declined: a new one is
  // destroyed (the sanitizer suites see a leak otherwise), one of another scope stays there,
  // and attaching a kept thunk again changes nothing.
  EXPECT_FALSE(plt->attachThunk(new ImportThunk(nullptr, 0x6004, 0x8)));
  EXPECT_FALSE(plt->attachThunk(new ImportThunk(plt, 0x6000, 0x2)));
  EXPECT_FALSE(plt->attachThunk(t3));
  auto* t5 = new ImportThunk(own, 0x6002, 0x2);
  ASSERT_TRUE(own->attachThunk(t5));
  EXPECT_FALSE(plt->attachThunk(t5));
  EXPECT_EQ(plt->thunks().size(), 1u);
  EXPECT_EQ(t5->owner(), own);
  EXPECT_EQ(std::wstring(t5->name()), L"own");
  EXPECT_EQ(std::wstring(t3->name()), L"bar");
  EXPECT_EQ(checkIndex(*m_table), "");
}

TEST_F(TableTest, OriginalRangesInAddressAndListOrder) {
  add(L"outer", 0x1000, 0x2000);
  add(L"inner", 0x1400, 0x1500);
  add(L"twin", 0x1400, 0x1800, SYMBOL_KIND_PUBLIC);
  add(L"z", 0x1900, 0x1900, SYMBOL_KIND_PUBLIC);
  add(L"after", 0x2000, 0x2100);
  EXPECT_EQ(original(0x1000, 0x2000), (std::vector<Piece>{{0x1000, 0x2000, L"outer"},
                                                          {0x1400, 0x1800, L"twin"},
                                                          {0x1400, 0x1500, L"inner"},
                                                          {0x1900, 0x1900, L"z"}}));
  // Starting inside: records covering the first key of the walk are reported once there.
  EXPECT_EQ(original(0x1450, 0x1460), (std::vector<Piece>{{0x1000, 0x2000, L"outer"},
                                                          {0x1400, 0x1800, L"twin"},
                                                          {0x1400, 0x1500, L"inner"}}));
  EXPECT_EQ(original(0x1450, 0x1460, SYMBOL_KIND_PUBLIC), (std::vector<Piece>{{0x1400, 0x1800, L"twin"}}));
  EXPECT_EQ(original(0x1850, 0x2000), (std::vector<Piece>{{0x1000, 0x2000, L"outer"}, {0x1900, 0x1900, L"z"}}));
  // A point query takes what starts at the point, not what ends there.
  EXPECT_EQ(original(0x2000, 0x2000), (std::vector<Piece>{{0x2000, 0x2100, L"after"}}));
  EXPECT_TRUE(original(0x2000, 0x1000).empty());
  EXPECT_FALSE(m_table->originalSymbolRanges(0x2000, 0x1000, ~0u));
  // Past the last key nothing is found, even though "after" covers the point.
  EXPECT_FALSE(m_table->originalSymbolRanges(0x2050, 0x2060, ~0u));
  EXPECT_FALSE(m_table->originalSymbolRanges(0x1000, 0x2000, SYMBOL_KIND_DATA));
}

TEST_F(TableTest, NonOverlappedPiecesFollowTheWinner) {
  add(L"A", 0x1000, 0x1100, SYMBOL_KIND_PUBLIC);
  add(L"B", 0x1040, 0x1060, SYMBOL_KIND_FUNCTION);
  EXPECT_EQ(pieces(0x1000, 0x1100),
            (std::vector<Piece>{{0x1000, 0x1040, L"A"}, {0x1040, 0x1060, L"B"}, {0x1060, 0x1100, L"A"}}));
  // Starting inside a record: the piece starts at `from`. Without a key at or after `from`
  // the walk finds nothing; a section's end boundary provides one.
  EXPECT_FALSE(m_table->nonOverlappedSymbolRanges(0x1050, 0x1100, ~0u, nullptr));
  m_table->insert(0x1100, 0x1100, nullptr);
  EXPECT_EQ(pieces(0x1050, 0x1100), (std::vector<Piece>{{0x1050, 0x1060, L"B"}, {0x1060, 0x1100, L"A"}}));
  EXPECT_EQ(pieces(0x1000, 0x1100, SYMBOL_KIND_PUBLIC), (std::vector<Piece>{{0x1000, 0x1100, L"A"}}));
  EXPECT_FALSE(m_table->nonOverlappedSymbolRanges(0x1100, 0x1000, ~0u, nullptr));
  // With a selector that always takes the last candidate, A wins everywhere.
  RecordingSelector sel;
  sel.pickIndex = 0;
  EXPECT_EQ(pieces(0x1000, 0x1100, SYMBOL_KIND_ALL, &sel), (std::vector<Piece>{{0x1000, 0x1100, L"A"}}));
}

TEST_F(TableTest, NonOverlappedEnclosingRangeResumesAfterNestedOne) {
  add(L"outer", 0x1000, 0x1100, SYMBOL_KIND_PUBLIC);
  add(L"inner", 0x1000, 0x1020, SYMBOL_KIND_FUNCTION);
  add(L"zero", 0x1080, 0x1080, SYMBOL_KIND_FUNCTION);  // reaches to the next key
  add(L"far", 0x1200, 0x1300, SYMBOL_KIND_FUNCTION);
  auto got = pieces(0x1000, 0x1300);
  EXPECT_EQ(got, (std::vector<Piece>{{0x1000, 0x1020, L"inner"},
                                     {0x1020, 0x1080, L"outer"},
                                     {0x1080, 0x1200, L"zero"},
                                     {0x1200, 0x1300, L"far"}})) << got;
  auto it = m_table->nonOverlappedSymbolRanges(0x1000, 0x1300, ~0u, nullptr);
  while (it->next()) {
  }
  EXPECT_FALSE(it->current());  // at the end
  EXPECT_FALSE(it->next());
  it->reset();
  ASSERT_TRUE(it->current());
  EXPECT_EQ(static_cast<SymbolRange*>(it->current().get())->end(), 0x1020u);
}

}  // namespace
}  // namespace zor_fake
