// The lines of one source file inside the ranges of one scope (a function or an inlined
// call), range by range in the order of the scope's range list.
#ifndef ZOR_SOURCE_SYMBOL_SOURCE_LINE_ITERATOR_H_
#define ZOR_SOURCE_SYMBOL_SOURCE_LINE_ITERATOR_H_

#include <cstdint>

#include <zor/source.h>

#include "zor/store/symbol_range.h"

namespace ZOR_3_12 {

class SymbolSourceLineIterator : public SymMgrObject<SourceLineIter> {
 public:
  // `file` may be null: the walk is then empty. Scope and file must outlive the iterator.
  SymbolSourceLineIterator(IScope* scope, ISourceFile* file, uint64_t compUnitKey);

  SymMgrObjectPtr<ISourceLine> current() override;
  bool next() override;
  void reset() override;

 private:
  // The file's lines of the range the range walk stands on; null when it has none.
  SymMgrObjectPtr<SourceLineIter> linesOfCurrentRange();

  SymMgrObjectPtr<SymbolRangeIter> m_ranges;
  SymMgrObjectPtr<SourceLineIter> m_lines;
  ISourceFile* m_file;
  uint64_t m_compUnitKey;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_SYMBOL_SOURCE_LINE_ITERATOR_H_
