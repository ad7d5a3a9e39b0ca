#include "zor/store/symbol_range.h"

#include "zor/store/scope.h"

namespace ZOR_3_12 {

namespace internal {

bool segmentEnd(IScope* scope, uint64_t address, uint64_t& end) {
  IFileFormatLoader* loader = scope ? static_cast<Scope*>(scope)->fileLoader() : nullptr;
  if (!loader) return false;
  ISegment* segment = loader->segmentByAddress(address);
  if (!segment) return false;
  end = loader->imageBase() + segment->rva() + segment->size();
  return true;
}

}  // namespace internal

SymbolRange::SymbolRange(uint64_t start, uint64_t end, IScope* scope, IThunk* thunk)
    : SymMgrObject<ISymbolRange>(nullptr),
      m_start(start),
      m_end(end),
      m_scope(scope),
      m_thunkCache(thunk),
      m_thunkLooked(thunk ? 1 : 0) {
  if (m_end == ~0ull) {
    // Open-ended: up to the end of the start's segment. Without a segment there is no known
    // extent, and an empty range is safer for callers than one reaching the top of memory.
    uint64_t e = 0;
    m_end = internal::segmentEnd(scope, start, e) ? e : start;
  }
}

namespace {

SymMgrObjectPtr<IAddress> makeAddress(IScope* scope, uint64_t va) {
  SymMgrObjectPtr<IAddress> out;
  IFileFormatLoader* loader = scope ? static_cast<Scope*>(scope)->fileLoader() : nullptr;
  if (loader) loader->address(out, va);
  return out;
}

}  // namespace

SymMgrObjectPtr<IAddress> SymbolRange::startAddress() {
  if (!m_startAddressCache) m_startAddressCache = makeAddress(m_scope, m_start);
  return m_startAddressCache;
}

SymMgrObjectPtr<IAddress> SymbolRange::endAddress() {
  if (!m_endAddressCache) m_endAddressCache = makeAddress(m_scope, m_end);
  return m_endAddressCache;
}

uint64_t SymbolRange::extentToNext() {
  IScope* parent = m_scope ? m_scope->parentScope() : nullptr;
  if (parent) {
    SymMgrObjectPtr<SymbolRangeIter> it;
    if (parent->originalSymbolRanges(it, m_end, ~0ull, SYMBOL_KIND_ALL) == STATUS_OK && it) {
      for (SymMgrObjectPtr<ISymbolRange> r = it->current(); r; r = it->next() ? it->current() : nullptr) {
        uint64_t s;
        if (auto* sr = dynamic_cast<SymbolRange*>(r.get())) {
          s = sr->start();
        } else {
          SymMgrObjectPtr<IAddress> a = r->startAddress();
          if (!a) continue;
          s = a->va();
        }
        if (s >= m_end && s > m_start) return s - m_start;
      }
    }
  }
  uint64_t e = 0;
  if (!internal::segmentEnd(m_scope, m_start, e)) return m_end - m_start;
  return e < m_end ? m_end - m_start : e - m_start;
}

ISymbol* SymbolRange::symbol() { return m_scope ? m_scope->symbol() : nullptr; }

IInlineInstance* SymbolRange::inlineInstance() { return m_scope ? m_scope->inlineInstance() : nullptr; }

IThunk* SymbolRange::thunk() {
  if (!m_thunkLooked) {
    m_thunkCache = m_scope ? static_cast<Scope*>(m_scope)->thunkContaining(m_start) : nullptr;
    m_thunkLooked = 1;
  }
  return m_thunkCache;
}

SymMgrObjectPtr<ISymbolRange> SymbolRange::parentRange() {
  IScope* parent = m_scope ? m_scope->parentScope() : nullptr;
  if (!parent) return nullptr;
  uint64_t s = m_start, e = 0;
  if (!static_cast<Scope*>(parent)->rangeContaining(s, e, m_start)) return nullptr;
  return SymMgrObjectPtr<ISymbolRange>(new SymbolRange(s, e, parent, nullptr));
}

bool SymbolRange::isSymbolStart() {
  ISymbol* s = symbol();
  if (!s) return true;
  SymMgrObjectPtr<IAddress> a = s->address();
  return a && a->va() == m_start;
}

SymMgrObjectPtr<SymbolRangeIter> SymbolRange::childRanges() {
  SymMgrObjectPtr<SymbolRangeIter> out;
  if (m_scope) m_scope->originalSymbolRanges(out, m_start, m_end, SYMBOL_KIND_ALL);
  return out;
}

SymMgrObjectPtr<ISymbolRange> SymbolRange::childRangeByAddress(IAddress* address) {
  SymMgrObjectPtr<ISymbolRange> out;
  if (m_scope && address) m_scope->symbolRangeByAddress(out, address->va(), SYMBOL_KIND_ALL, nullptr);
  return out;
}

// ---------------------------------------------------------------------------------------

SymbolRangesIterator::SymbolRangesIterator(SymbolTable* table, SymbolIndex::iterator first, SymbolIndex::iterator last,
                                           uint64_t from, uint64_t to, uint32_t kindMask)
    : SymMgrObject<SymbolRangeIter>(nullptr),
      m_cursor(first),
      m_first(first),
      m_last(last),
      m_from(from),
      m_to(to),
      m_kindMask(kindMask),
      m_table(table) {
  reset();
}

bool SymbolRangesIterator::accepted(const ListItem* item) const {
  const RangeRecord* r = item->record;
  // Past the first key only the records that start at their key count, so each record is
  // reported once.
  if (m_cursor != m_first && r->start != m_cursor->first) return false;
  uint64_t lo = r->start > m_from ? r->start : m_from;
  uint64_t hi = r->end < m_to ? r->end : m_to;
  if (lo > hi) return false;
  if (lo == hi) {
    if (!r->empty() && r->end == m_from) return false;       // touches the span from below
    if (r->start >= m_to && m_from != m_to) return false;    // touches it from above
  }
  if (!r->scope) return false;
  ISymbol* s = r->scope->symbol();
  return s && (static_cast<uint32_t>(s->kind()) & m_kindMask) != 0;
}

void SymbolRangesIterator::reset() {
  m_cursor = m_first;
  m_item = m_cursor != m_last ? m_cursor->second->head : nullptr;
  if (m_cursor != m_last && m_item && accepted(m_item)) return;
  next();
}

bool SymbolRangesIterator::next() {
  if (m_cursor == m_last) return false;
  for (;;) {
    m_item = m_item ? m_item->next : nullptr;
    while (!m_item) {
      ++m_cursor;
      if (m_cursor == m_last) return false;
      m_item = m_cursor->second->head;
    }
    if (accepted(m_item)) return true;
  }
}

SymMgrObjectPtr<ISymbolRange> SymbolRangesIterator::current() {
  if (m_cursor == m_last || !m_item) return nullptr;
  const RangeRecord* r = m_item->record;
  return SymMgrObjectPtr<ISymbolRange>(new SymbolRange(r->start, r->end, r->scope, nullptr));
}

// ---------------------------------------------------------------------------------------

NonOverlappedSymbolRangesIterator::NonOverlappedSymbolRangesIterator(SymbolTable* table, SymbolIndex::iterator first,
                                                                     SymbolIndex::iterator last, uint64_t from,
                                                                     uint64_t to, uint32_t kindMask,
                                                                     ISymbolSelector* selector)
    : SymMgrObject<SymbolRangeIter>(nullptr),
      m_cursor(first),
      m_first(first),
      m_last(last),
      m_from(from),
      m_to(to),
      m_kindMask(kindMask),
      m_selector(selector),
      m_table(table) {
  reset();
}

void NonOverlappedSymbolRangesIterator::reset() {
  m_cursor = m_first;
  m_pieceScope = nullptr;
  m_scanPosition = (m_first != m_last && m_first->first > m_from) ? m_first->first : m_from;
  next();
}

bool NonOverlappedSymbolRangesIterator::closePiece(const RangeRecord* r) {
  auto following = std::next(m_cursor);
  if (following == m_last) {
    if (!r->empty() && r->end < m_to) {
      m_pieceEnd = r->end;
      m_scanPosition = r->end;
    } else {
      m_pieceEnd = m_to;
      m_cursor = m_last;
      m_scanPosition = m_to;
    }
    return true;
  }
  uint64_t nextKey = following->first;
  if (r->end > nextKey) return false;  // runs past the next key: the piece may go on there
  m_pieceEnd = r->empty() ? nextKey : r->end;
  if (m_pieceEnd == nextKey) m_cursor = following;
  m_scanPosition = m_pieceEnd;  // a record ending early lets an enclosing one take over
  return true;
}

bool NonOverlappedSymbolRangesIterator::next() {
  if (m_cursor == m_last || m_scanPosition >= m_to) {
    m_pieceStart = m_to;
    return false;
  }
  ListItem* winner = choose();
  while (!winner) {
    ++m_cursor;
    if (m_cursor == m_last || m_cursor->first >= m_to) break;
    m_scanPosition = m_cursor->first;
    winner = choose();
  }
  if (!winner) {
    m_pieceStart = m_to;
    return false;
  }
  m_pieceStart = m_scanPosition;
  m_pieceScope = winner->record->scope;
  if (closePiece(winner->record)) return true;
  for (;;) {
    ++m_cursor;  // the record ran past this key, so a following entry exists
    m_scanPosition = m_cursor->first;
    winner = choose();
    if (!winner || winner->record->scope != m_pieceScope) break;
    if (closePiece(winner->record)) return true;
  }
  m_pieceEnd = m_scanPosition;
  return true;
}

SymMgrObjectPtr<ISymbolRange> NonOverlappedSymbolRangesIterator::current() {
  // After the end the last piece's fields remain; pieceStart = to marks the end.
  if (!m_pieceScope || m_pieceStart == m_to) return nullptr;
  return SymMgrObjectPtr<ISymbolRange>(new SymbolRange(m_pieceStart, m_pieceEnd, m_pieceScope, nullptr));
}

// ---------------------------------------------------------------------------------------

RelRangeIterator::RelRangeIterator(IScope* scope)
    : SymMgrObject<SymbolRangeIter>(nullptr),
      m_list(scope ? static_cast<Scope*>(scope)->rangeList().headField() : nullptr),
      m_scope(scope) {
  reset();
}

void RelRangeIterator::reset() { m_cursor = m_list ? *m_list : nullptr; }

bool RelRangeIterator::next() {
  if (!m_cursor) return false;
  m_cursor = m_cursor->next;
  return m_cursor != nullptr;
}

SymMgrObjectPtr<ISymbolRange> RelRangeIterator::current() {
  if (!m_cursor) return nullptr;
  return SymMgrObjectPtr<ISymbolRange>(new SymbolRange(m_cursor->start, m_cursor->end, m_scope, nullptr));
}

}  // namespace ZOR_3_12
