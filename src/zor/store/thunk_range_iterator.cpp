#include "zor/store/thunk_range_iterator.h"

#include "zor/store/scope.h"
#include "zor/store/symbol_range.h"

namespace ZOR_3_12 {

ThunkRangeIterator::ThunkRangeIterator(IScope* scope)
    : SymMgrObject<SymbolRangeIter>(nullptr),
      m_thunks(scope ? &static_cast<Scope*>(scope)->thunks() : nullptr),
      m_scope(scope) {
  reset();
}

void ThunkRangeIterator::reset() { m_cursor = 0; }

bool ThunkRangeIterator::next() {
  if (!m_thunks || m_cursor >= m_thunks->size()) return false;
  ++m_cursor;
  return m_cursor < m_thunks->size();
}

SymMgrObjectPtr<ISymbolRange> ThunkRangeIterator::current() {
  if (!m_thunks || m_cursor >= m_thunks->size()) return nullptr;
  Thunk* t = (*m_thunks)[m_cursor];
  return SymMgrObjectPtr<ISymbolRange>(new SymbolRange(t->start(), t->start() + t->thunkSize(), m_scope, t));
}

}  // namespace ZOR_3_12
