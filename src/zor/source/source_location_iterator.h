// The source locations of the rows that contain one address, read from one list of the
// line table's address index. Runs are walked in list order; inside a run, rows with the
// greatest start come first, and rows with one start in (line, column, end) order.
#ifndef ZOR_SOURCE_SOURCE_LOCATION_ITERATOR_H_
#define ZOR_SOURCE_SOURCE_LOCATION_ITERATOR_H_

#include <cstddef>
#include <cstdint>

#include <zor/source.h>

#include "zor/source/address_index.h"

namespace ZOR_3_12 {

class SourceLocationIterator : public SymMgrObject<SourceLocationIter> {
 public:
  // `runs` belongs to the line table, which must outlive the iterator.
  SourceLocationIterator(ISrcLineResolver* resolver, uint64_t address, uint64_t compUnitKey,
                         const internal::AddressIndex::RunList* runs);

  SymMgrObjectPtr<ISourceLocation> current() override;
  bool next() override;
  void reset() override;

 private:
  // From the current position (or the start of the current run when !m_inRun), moves to
  // the first row that contains the address; sets m_done when there is none.
  bool seek();
  const internal::LineRun& run() const { return *(*m_runs)[m_runCursor]; }

  SymMgrObjectPtr<ISourceLocation> m_current;
  ISrcLineResolver* m_resolver;
  uint64_t m_address;
  uint64_t m_compUnitKey;
  const internal::AddressIndex::RunList* m_runs;
  size_t m_runCursor = 0;
  bool m_inRun = false;
  size_t m_lowest = 0;      // rows before this end at or below the address
  size_t m_groupBegin = 0;  // rows of the current start: [m_groupBegin, m_groupEnd)
  size_t m_groupEnd = 0;
  size_t m_row = 0;
  bool m_done = false;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_SOURCE_LOCATION_ITERATOR_H_
