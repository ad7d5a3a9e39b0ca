// Symbol ranges: one contiguous address range of one scope, made on demand for a query, and
// the iterators that walk ranges: every record of a span as stored, the span cut into pieces
// that do not overlap, and the ranges of one scope.
#ifndef ZOR_STORE_SYMBOL_RANGE_H_
#define ZOR_STORE_SYMBOL_RANGE_H_

#include <zor/symbol.h>

#include "zor/store/range_list.h"
#include "zor/store/symbol_table.h"

namespace ZOR_3_12 {

class SymbolRange : public SymMgrObject<ISymbolRange> {
 public:
  // An end of all ones is resolved at once to the end of the segment containing `start`;
  // when no segment contains it the range is left empty (end = start). A non-null thunk is
  // taken as the range's thunk without a lookup.
  SymbolRange(uint64_t start, uint64_t end, IScope* scope, IThunk* thunk);

  SymMgrObjectPtr<IAddress> startAddress() override;
  SymMgrObjectPtr<IAddress> endAddress() override;
  uint64_t size() override { return m_end - m_start; }
  uint64_t extentToNext() override;
  ISymbol* symbol() override;
  IInlineInstance* inlineInstance() override;
  IThunk* thunk() override;  // looked up once
  SymMgrObjectPtr<ISymbolRange> parentRange() override;
  bool isSymbolStart() override;
  SymMgrObjectPtr<SymbolRangeIter> childRanges() override;
  SymMgrObjectPtr<ISymbolRange> childRangeByAddress(IAddress* address) override;

  uint64_t start() const { return m_start; }
  uint64_t end() const { return m_end; }
  IScope* scope() const { return m_scope; }

 private:
  uint64_t m_start;
  uint64_t m_end;
  SymMgrObjectPtr<IAddress> m_startAddressCache;
  SymMgrObjectPtr<IAddress> m_endAddressCache;
  IScope* m_scope;  // not counted: scopes live as long as their table
  IThunk* m_thunkCache;
  uint8_t m_thunkLooked;
};

namespace internal {
// End of the segment of `scope`'s module that contains `address`; false when none does.
bool segmentEnd(IScope* scope, uint64_t address, uint64_t& end);
}  // namespace internal

// Every record of [from, to] in address order: ascending start, then the table's list order.
// Records that began before the first key of the walk and still cover it are reported there.
class SymbolRangesIterator : public SymMgrObject<SymbolRangeIter> {
 public:
  SymbolRangesIterator(SymbolTable* table, SymbolIndex::iterator first, SymbolIndex::iterator last, uint64_t from,
                       uint64_t to, uint32_t kindMask);

  SymMgrObjectPtr<ISymbolRange> current() override;
  bool next() override;
  void reset() override;

 private:
  bool accepted(const ListItem* item) const;

  SymbolIndex::iterator m_cursor;
  SymbolIndex::iterator m_first;
  SymbolIndex::iterator m_last;
  ListItem* m_item = nullptr;
  uint64_t m_from;
  uint64_t m_to;
  uint32_t m_kindMask;
  SymMgrObjectPtr<ISymbolTable> m_table;  // keeps the index alive
};

// [from, to) cut into consecutive pieces, each the longest stretch on which one scope wins
// the by-address choice. A piece never starts at or after `to`.
class NonOverlappedSymbolRangesIterator : public SymMgrObject<SymbolRangeIter> {
 public:
  NonOverlappedSymbolRangesIterator(SymbolTable* table, SymbolIndex::iterator first, SymbolIndex::iterator last,
                                    uint64_t from, uint64_t to, uint32_t kindMask, ISymbolSelector* selector);

  SymMgrObjectPtr<ISymbolRange> current() override;
  bool next() override;
  void reset() override;

 private:
  bool closePiece(const RangeRecord* r);
  ListItem* choose() { return internal::chooseItem(m_cursor, m_scanPosition, m_kindMask, m_selector); }

  SymbolIndex::iterator m_cursor;
  SymbolIndex::iterator m_first;
  SymbolIndex::iterator m_last;
  uint64_t m_from;
  uint64_t m_to;
  uint64_t m_pieceStart = 0;
  uint64_t m_pieceEnd = 0;
  uint64_t m_scanPosition = 0;
  IScope* m_pieceScope = nullptr;
  uint32_t m_kindMask;
  ISymbolSelector* m_selector;
  SymMgrObjectPtr<ISymbolTable> m_table;
};

// The ranges of one scope, in the order of its range list.
class RelRangeIterator : public SymMgrObject<SymbolRangeIter> {
 public:
  explicit RelRangeIterator(IScope* scope);

  SymMgrObjectPtr<ISymbolRange> current() override;
  bool next() override;
  void reset() override;

 private:
  RangeNode* const* m_list;
  RangeNode* m_cursor = nullptr;
  IScope* m_scope;
};

}  // namespace ZOR_3_12

#endif  // ZOR_STORE_SYMBOL_RANGE_H_
