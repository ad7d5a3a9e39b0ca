// The address index of one scope: every range reported for the scopes nested in it, ordered
// by start address, with duplicate descriptions of the same code merged on insertion.
//
// Each key of the index lists every record that covers the key: the records that start there
// (owned by that key's list) and the records that began at an earlier key and still run past
// it (referenced). A by-address lookup is therefore one map search and a short list walk; the
// price is paid on insertion. Lists are ordered by record end, largest first.
#ifndef ZOR_STORE_SYMBOL_TABLE_H_
#define ZOR_STORE_SYMBOL_TABLE_H_

#include <cstdint>
#include <map>
#include <vector>

#include <zor/symbol.h>

namespace ZOR_3_12 {

// One indexed range of one scope. start == end is an empty range (a symbol of size 0); a
// record without a scope is a boundary (a section's end) and never a lookup candidate.
struct RangeRecord {
  uint64_t start;
  uint64_t end;  // exclusive
  IScope* scope;  // not owned
  bool empty() const { return start == end; }
};

struct ListItem {
  ListItem(RangeRecord* r, bool owns) : ownsRecord(owns ? 1 : 0), record(r), next(nullptr) {}
  ~ListItem() {
    if (ownsRecord) delete record;
  }
  ListItem(const ListItem&) = delete;
  ListItem& operator=(const ListItem&) = delete;

  uint32_t ownsRecord;
  RangeRecord* record;
  ListItem* next;
};

struct ItemList {
  ItemList() = default;
  ~ItemList();
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;

  ListItem* head = nullptr;
};

using SymbolIndex = std::map<uint64_t, ItemList*>;

class ISymbolTableListItemComparer {
 public:
  virtual bool matches(const ListItem* item) const = 0;

 protected:
  ~ISymbolTableListItemComparer() = default;
};

class ScopeComparer : public ISymbolTableListItemComparer {
 public:
  explicit ScopeComparer(IScope* scope) : m_scope(scope) {}
  bool matches(const ListItem* item) const override { return item->record->scope == m_scope; }

 private:
  IScope* m_scope;
};

class ValueComparer : public ISymbolTableListItemComparer {
 public:
  explicit ValueComparer(RangeRecord* record) : m_record(record) {}
  bool matches(const ListItem* item) const override { return item->record == m_record; }

 private:
  RangeRecord* m_record;
};

namespace internal {

// Whether a record at a list may answer for `address`: it has a scope with a symbol of one
// of the kinds, and it is empty (reaching to the next key) or ends after the address.
bool isCandidate(const RangeRecord* r, uint64_t address, uint32_t kindMask);

// The winning item of one list at `address`: compilation-unit membership, then kind
// priority, then linkage, then list order; or the selector's choice when there is one.
// With a selector, the first candidate item holding the chosen symbol; null for none.
ListItem* chooseItem(SymbolIndex::iterator entry, uint64_t address, uint32_t kindMask, ISymbolSelector* selector);

}  // namespace internal

class SymbolTable : public SymMgrObject<ISymbolTable> {
 public:
  explicit SymbolTable(IScope* ownerScope);
  ~SymbolTable() override;

  void insert(uint64_t start, uint64_t end, IScope* scope) override;
  void insertScope(IScope* scope) override;
  SymMgrObjectPtr<ISymbolRange> symbolRangeByAddress(uint64_t address, uint32_t kindMask,
                                                     ISymbolSelector* selector) override;
  SymMgrObjectPtr<SymbolRangeIter> originalSymbolRanges(uint64_t from, uint64_t to, uint32_t kindMask) override;
  SymMgrObjectPtr<SymbolRangeIter> nonOverlappedSymbolRanges(uint64_t from, uint64_t to, uint32_t kindMask,
                                                             ISymbolSelector* selector) override;
  IScope* ownerScope() override { return m_ownerScope; }

  // Read access for iterators, tests and benchmarks.
  SymbolIndex& index() { return m_index; }
  const std::vector<IScope*>& keptScopes() const { return m_keptScopes; }

 private:
  ListItem* indexRange(uint64_t start, uint64_t end, IScope* scope);
  void publish(SymbolIndex::iterator entry, RangeRecord* record, uint64_t skip);
  // Removes the first matching item of the list; erases the entry when its list became empty.
  // Returns the entry after the one looked at.
  SymbolIndex::iterator removeMatching(SymbolIndex::iterator entry, const ISymbolTableListItemComparer& cmp);
  SymbolIndex::iterator firstEntryOfSpan(uint64_t from);
  static void destroyScope(IScope* scope);

  IScope* m_ownerScope;
  SymbolIndex m_index;
  // A vector: an empty deque allocates its first block, and most scopes keep few or none.
  std::vector<IScope*> m_keptScopes;
};

// The candidate symbols of one index entry at one address, in list order; handed to a
// caller's ISymbolSelector. Must not outlive the table.
class SymbolByAddrIterator : public SymMgrObject<SymbolIter> {
 public:
  SymbolByAddrIterator(SymbolIndex::iterator entry, uint64_t address, uint32_t kindMask);

  SymMgrObjectPtr<ISymbol> current() override;
  bool next() override;
  void reset() override;

 private:
  SymbolIndex::iterator m_node;
  ListItem* m_cursor = nullptr;
  uint64_t m_address;
  uint32_t m_kindMask;
};

}  // namespace ZOR_3_12

#endif  // ZOR_STORE_SYMBOL_TABLE_H_
