// The ranges of the thunks of one scope, in attachment order; each range names its thunk.
#ifndef ZOR_STORE_THUNK_RANGE_ITERATOR_H_
#define ZOR_STORE_THUNK_RANGE_ITERATOR_H_

#include <cstddef>
#include <vector>

#include <zor/symbol.h>

#include "zor/image/thunk.h"

namespace ZOR_3_12 {

class ThunkRangeIterator : public SymMgrObject<SymbolRangeIter> {
 public:
  explicit ThunkRangeIterator(IScope* scope);

  SymMgrObjectPtr<ISymbolRange> current() override;
  bool next() override;
  void reset() override;

 private:
  std::vector<Thunk*>* m_thunks;  // the scope's own sequence; an index survives appends
  size_t m_cursor = 0;
  IScope* m_scope;
};

}  // namespace ZOR_3_12

#endif  // ZOR_STORE_THUNK_RANGE_ITERATOR_H_
