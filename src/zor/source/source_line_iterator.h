// The lines of one source file that overlap an address span: compilation unit by
// compilation unit in ascending key order, and inside one unit by (start, line, column,
// end). A row is one line; rows that share start, line and column but end differently are
// separate lines.
#ifndef ZOR_SOURCE_SOURCE_LINE_ITERATOR_H_
#define ZOR_SOURCE_SOURCE_LINE_ITERATOR_H_

#include <cstddef>
#include <cstdint>

#include <zor/loader.h>
#include <zor/source.h>

#include "zor/source/line_store.h"

namespace ZOR_3_12 {

class SourceLineIterator : public SymMgrObject<SourceLineIter> {
 public:
  // `stores` belongs to the line table, which must outlive the iterator. A span from 0
  // has no lower bound, a span to 0xFFFFFFFFFFFFFFFF no upper bound.
  SourceLineIterator(IFileFormatLoader* loader, ISrcLineResolver* resolver, uint64_t from, uint64_t to,
                     uint64_t compUnitKey, const internal::CompilationUnitList* stores);

  SymMgrObjectPtr<ISourceLine> current() override;
  bool next() override;
  void reset() override;

 private:
  bool overlaps(const internal::LineRow& row) const {
    return (m_to == UINT64_MAX || row.start < m_to) && (m_from == 0 || row.end > m_from);
  }
  // Places the cursor on the first run of the current store that may overlap the span.
  void enterStore();
  // Moves forward from the cursor (inclusive) to the next overlapping row.
  bool seek();
  // The next store that the key filter admits, from `position` on.
  size_t admittedStore(size_t position) const;

  SymMgrObjectPtr<ISourceLine> m_current;
  IFileFormatLoader* m_loader;
  ISrcLineResolver* m_resolver;
  uint64_t m_from;
  uint64_t m_to;
  uint64_t m_compUnitKey;
  const internal::CompilationUnitList* m_stores;
  size_t m_storeCursor = 0;
  internal::LineStore::RunMap::const_iterator m_runCursor;
  size_t m_row = 0;
  bool m_done = false;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_SOURCE_LINE_ITERATOR_H_
