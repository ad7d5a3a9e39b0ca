#include "zor/store/symbol_table.h"

#include <vector>

#include "zor/store/scope.h"
#include "zor/store/symbol_range.h"

namespace ZOR_3_12 {

ItemList::~ItemList() {
  ListItem* n = head;
  while (n) {
    ListItem* next = n->next;
    delete n;
    n = next;
  }
}

namespace {

// Keeps the list ordered by end, largest first; a new item goes before the items of equal
// end already there, so among equal ends the later-inserted description comes first.
void sortedInsert(ItemList* list, ListItem* item) {
  if (!list->head) {
    item->next = nullptr;
    list->head = item;
    return;
  }
  uint64_t end = item->record->end;
  if (list->head->record->end <= end) {
    item->next = list->head;
    list->head = item;
    return;
  }
  ListItem* p = list->head;
  while (p->next && p->next->record->end > end) p = p->next;
  item->next = p->next;
  p->next = item;
}

// Unlinks the first item that matches; the item is returned, not deleted.
ListItem* unlinkFirst(ItemList* list, const ISymbolTableListItemComparer& cmp) {
  ListItem* prev = nullptr;
  for (ListItem* n = list->head; n; prev = n, n = n->next) {
    if (!cmp.matches(n)) continue;
    if (prev)
      prev->next = n->next;
    else
      list->head = n->next;
    n->next = nullptr;
    return n;
  }
  return nullptr;
}

bool belongsToCompUnit(ISymbol* s) {
  uint32_t id = 0;
  return s->compUnitId(id) == STATUS_OK && id != 0;
}

// True when candidate n should replace the current best b.
bool beats(ISymbol* n, ISymbol* b) {
  bool nUnit = belongsToCompUnit(n);
  bool bUnit = belongsToCompUnit(b);
  if (nUnit != bUnit) return nUnit;
  uint8_t np = symbolPriorityByKind(n->kind());
  uint8_t bp = symbolPriorityByKind(b->kind());
  if (np != bp) return np < bp;
  return n->linkage() > b->linkage();
}

}  // namespace

namespace internal {

bool isCandidate(const RangeRecord* r, uint64_t address, uint32_t kindMask) {
  if (!r->scope) return false;
  if (!r->empty() && r->end <= address) return false;
  ISymbol* s = r->scope->symbol();
  return s && (static_cast<uint32_t>(s->kind()) & kindMask) != 0;
}

ListItem* chooseItem(SymbolIndex::iterator entry, uint64_t address, uint32_t kindMask, ISymbolSelector* selector) {
  ItemList* list = entry->second;
  if (!selector) {
    ListItem* best = nullptr;
    ISymbol* bestSymbol = nullptr;
    for (ListItem* n = list->head; n; n = n->next) {
      if (!isCandidate(n->record, address, kindMask)) continue;
      ISymbol* s = n->record->scope->symbol();
      if (!best || beats(s, bestSymbol)) {
        best = n;
        bestSymbol = s;
      }
    }
    return best;
  }
  SymMgrObjectPtr<SymbolByAddrIterator> it(new SymbolByAddrIterator(entry, address, kindMask));
  SymMgrObjectPtr<ISymbol> chosen = it->current();
  if (!chosen) return nullptr;
  if (it->next()) {
    it->reset();
    chosen = selector->select(SymMgrObjectPtr<SymbolIter>(it.get()));
    if (!chosen) return nullptr;
  }
  for (ListItem* n = list->head; n; n = n->next) {
    if (isCandidate(n->record, address, kindMask) && n->record->scope->symbol() == chosen.get()) return n;
  }
  return nullptr;
}

}  // namespace internal

SymbolTable::SymbolTable(IScope* ownerScope) : SymMgrObject<ISymbolTable>(nullptr), m_ownerScope(ownerScope) {}

SymbolTable::~SymbolTable() {
  for (auto& e : m_index) delete e.second;
  m_index.clear();
  for (IScope* s : m_keptScopes) destroyScope(s);
}

void SymbolTable::destroyScope(IScope* scope) {
  // Every scope handed to a table is one of the store's Scope classes; it is destroyed
  // outright, whatever references callers may think they hold.
  delete static_cast<Scope*>(scope);
}

void SymbolTable::publish(SymbolIndex::iterator entry, RangeRecord* record, uint64_t skip) {
  if (record->empty()) return;
  uint64_t from = record->start + skip;
  for (auto it = std::next(entry); it != m_index.end() && it->first < record->end; ++it) {
    if (it->first >= from) sortedInsert(it->second, new ListItem(record, false));
  }
}

SymbolIndex::iterator SymbolTable::removeMatching(SymbolIndex::iterator entry, const ISymbolTableListItemComparer& cmp) {
  delete unlinkFirst(entry->second, cmp);
  if (!entry->second->head) {
    delete entry->second;
    return m_index.erase(entry);
  }
  return std::next(entry);
}

ListItem* SymbolTable::indexRange(uint64_t start, uint64_t end, IScope* scope) {
  auto entry = m_index.lower_bound(start);
  if (entry != m_index.end() && entry->first == start) {
    ItemList* list = entry->second;
    ListItem* host = nullptr;
    uint32_t flags = 0;
    for (ListItem* n = list->head; n; n = n->next) {
      RangeRecord* r = n->record;
      if (r->start != start) continue;  // inherited from an earlier key
      if (!scope) return n;
      if (!r->scope) continue;  // a boundary has no say
      flags = static_cast<Scope*>(r->scope)->mergeFlags(scope);
      if (flags) {
        host = n;
        break;
      }
    }
    if (host) {
      RangeRecord* r = host->record;
      IScope* hostScope = r->scope;
      uint64_t skip = 0;
      if ((flags & MERGE_TAKE_END) && !r->empty()) {
        // The record's extent changes: withdraw it from every later key first.
        ValueComparer cmp(r);
        for (auto it = std::next(entry); it != m_index.end() && it->first < r->end;) it = removeMatching(it, cmp);
      } else if (flags & MERGE_COLLAPSE) {
        // The host keeps only its first range: unindex the others.
        RangeList& ranges = static_cast<Scope*>(hostScope)->rangeList();
        if (ranges.hasSeveral()) {
          ScopeComparer cmp(hostScope);
          for (RangeNode* rn = ranges.head()->next; rn; rn = rn->next) {
            // The range being merged keeps its record even when it is not the first one.
            if (rn->start == start) continue;
            auto at = m_index.lower_bound(rn->start);
            if (at == m_index.end()) break;
            for (auto it = std::next(at); it != m_index.end() && it->first < rn->end;) it = removeMatching(it, cmp);
            removeMatching(at, cmp);
          }
        }
        skip = r->end - r->start;
      }
      static_cast<Scope*>(hostScope)->merge(scope, flags);
      if (!(flags & (MERGE_TAKE_END | MERGE_COLLAPSE))) return host;
      // The host's list entry may have been erased above only if it became empty, which
      // cannot happen: it still holds the host's owning item.
      r->end = end;
      ListItem* moved = unlinkFirst(list, ScopeComparer(hostScope));
      if (moved) sortedInsert(list, moved);
      publish(entry, r, skip);
      return host;
    }
    // A distinct symbol starts at an address already known.
    RangeRecord* r = new RangeRecord{start, end, scope};
    ListItem* item = new ListItem(r, true);
    sortedInsert(list, item);
    publish(entry, r, 0);
    return item;
  }

  // A new start address: the new key inherits every earlier record still covering it.
  RangeRecord* r = new RangeRecord{start, end, scope};
  ItemList* list = new ItemList;
  ListItem* item = new ListItem(r, true);
  list->head = item;
  entry = m_index.emplace_hint(entry, start, list);
  if (entry != m_index.begin()) {
    ItemList* before = std::prev(entry)->second;
    for (ListItem* n = before->head; n && n->record->end > start; n = n->next)
      sortedInsert(list, new ListItem(n->record, false));
  }
  publish(entry, r, 0);
  return item;
}

void SymbolTable::insert(uint64_t start, uint64_t end, IScope* scope) {
  ListItem* item = indexRange(start, end, scope);
  if (!scope) return;
  if (item && item->record->scope == scope)
    m_keptScopes.push_back(scope);
  else
    destroyScope(scope);
}

void SymbolTable::insertScope(IScope* scope) {
  if (!scope) return;
  Scope* s = static_cast<Scope*>(scope);
  bool kept = false;
  IScope* host = nullptr;
  // Copied first: a merge may change the newcomer's own lists while we index them.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (RangeNode* n = s->rangeList().head(); n; n = n->next) ranges.emplace_back(n->start, n->end);
  for (auto& rg : ranges) {
    ListItem* item = indexRange(rg.first, rg.second, scope);
    IScope* got = item->record->scope;
    if (got == scope) kept = true;
    if (host != scope) host = got;
  }
  if (!host) host = scope;

  std::vector<Thunk*> thunks(s->thunks().begin(), s->thunks().end());
  for (Thunk* t : thunks) {
    ListItem* item = indexRange(t->start(), t->start() + t->thunkSize(), host);
    IScope* got = item->record->scope;
    if (got == scope) kept = true;
    if (host != scope && got == host) {
      static_cast<Scope*>(host)->attachThunk(t);
    } else if (!kept && got) {
      static_cast<Scope*>(got)->attachThunk(t);
      static_cast<Scope*>(got)->removeRangeStartingAt(t->start());
    }
  }
  if (kept)
    m_keptScopes.push_back(scope);
  else
    destroyScope(scope);
}

SymMgrObjectPtr<ISymbolRange> SymbolTable::symbolRangeByAddress(uint64_t address, uint32_t kindMask,
                                                                ISymbolSelector* selector) {
  auto entry = m_index.upper_bound(address);  // first key > address; its predecessor is the entry
  if (entry == m_index.begin()) return nullptr;
  --entry;
  ItemList* list = entry->second;
  if (!list->head) return nullptr;

  ISymbol* chosen = nullptr;
  if (!selector) {
    ListItem* best = internal::chooseItem(entry, address, kindMask, nullptr);
    if (!best) return nullptr;
    chosen = best->record->scope->symbol();
  } else {
    SymMgrObjectPtr<SymbolByAddrIterator> it(new SymbolByAddrIterator(entry, address, kindMask));
    SymMgrObjectPtr<ISymbol> first = it->current();
    if (!first) return nullptr;
    if (it->next()) {
      it->reset();
      first = selector->select(SymMgrObjectPtr<SymbolIter>(it.get()));
      if (!first) return nullptr;
    }
    chosen = first.get();
  }
  for (ListItem* n = list->head; n; n = n->next) {
    RangeRecord* r = n->record;
    if (r->scope && r->scope->symbol() == chosen) return SymMgrObjectPtr<ISymbolRange>(new SymbolRange(r->start, r->end, r->scope, nullptr));
  }
  return nullptr;
}

SymbolIndex::iterator SymbolTable::firstEntryOfSpan(uint64_t from) {
  // A record that began before `from` is reached through the key just before it, but only
  // when some key lies at or after `from`.
  auto first = m_index.lower_bound(from);
  if (first != m_index.end() && first->first > from && first != m_index.begin()) --first;
  return first;
}

SymMgrObjectPtr<SymbolRangeIter> SymbolTable::originalSymbolRanges(uint64_t from, uint64_t to, uint32_t kindMask) {
  if (to < from) return nullptr;
  auto first = firstEntryOfSpan(from);
  if (first == m_index.end()) return nullptr;
  SymMgrObjectPtr<SymbolRangeIter> it(new SymbolRangesIterator(this, first, m_index.end(), from, to, kindMask));
  if (!it->current()) return nullptr;
  return it;
}

SymMgrObjectPtr<SymbolRangeIter> SymbolTable::nonOverlappedSymbolRanges(uint64_t from, uint64_t to, uint32_t kindMask,
                                                                        ISymbolSelector* selector) {
  if (to < from) return nullptr;
  auto first = firstEntryOfSpan(from);
  if (first == m_index.end()) return nullptr;
  SymMgrObjectPtr<SymbolRangeIter> it(
      new NonOverlappedSymbolRangesIterator(this, first, m_index.end(), from, to, kindMask, selector));
  if (!it->current()) return nullptr;
  return it;
}

SymbolByAddrIterator::SymbolByAddrIterator(SymbolIndex::iterator entry, uint64_t address, uint32_t kindMask)
    : SymMgrObject<SymbolIter>(nullptr), m_node(entry), m_address(address), m_kindMask(kindMask) {
  reset();
}

SymMgrObjectPtr<ISymbol> SymbolByAddrIterator::current() {
  if (!m_cursor) return nullptr;
  return SymMgrObjectPtr<ISymbol>(m_cursor->record->scope->symbol());
}

bool SymbolByAddrIterator::next() {
  if (!m_cursor) return false;
  do {
    m_cursor = m_cursor->next;
  } while (m_cursor && !internal::isCandidate(m_cursor->record, m_address, m_kindMask));
  return m_cursor != nullptr;
}

void SymbolByAddrIterator::reset() {
  m_cursor = m_node->second->head;
  if (m_cursor && !internal::isCandidate(m_cursor->record, m_address, m_kindMask)) next();
}

}  // namespace ZOR_3_12
