#include "zor/source/source_location_iterator.h"

#include <zor/types.h>

#include "zor/source/source_location.h"

namespace ZOR_3_12 {

SourceLocationIterator::SourceLocationIterator(ISrcLineResolver* resolver, uint64_t address, uint64_t compUnitKey,
                                               const internal::AddressIndex::RunList* runs)
    : SymMgrObject<SourceLocationIter>(nullptr),
      m_resolver(resolver),
      m_address(address),
      m_compUnitKey(compUnitKey),
      m_runs(runs) {
  reset();
}

bool SourceLocationIterator::seek() {
  while (m_runs && m_runCursor < m_runs->size()) {
    const internal::LineRun& r = run();
    if (!m_inRun) {
      if ((m_compUnitKey != COMP_UNIT_ALL && r.compUnitKey() != m_compUnitKey) || r.rows().empty()) {
        ++m_runCursor;
        continue;
      }
      m_lowest = r.firstReaching(m_address);
      m_groupEnd = r.endOfStartsAtOrBelow(m_address);
      if (m_lowest >= m_groupEnd) {
        ++m_runCursor;
        continue;
      }
      m_groupBegin = r.groupBegin(m_lowest, m_groupEnd);
      m_row = m_groupBegin;
      m_inRun = true;
    }
    const auto& rows = r.rows();
    for (;;) {
      for (; m_row < m_groupEnd; ++m_row) {
        if (rows[m_row].end > m_address) return true;
      }
      if (m_groupBegin <= m_lowest) break;
      m_groupEnd = m_groupBegin;
      m_groupBegin = r.groupBegin(m_lowest, m_groupEnd);
      m_row = m_groupBegin;
    }
    m_inRun = false;
    ++m_runCursor;
  }
  m_done = true;
  return false;
}

void SourceLocationIterator::reset() {
  m_current.reset();
  m_done = false;
  m_runCursor = 0;
  m_inRun = false;
  seek();
}

bool SourceLocationIterator::next() {
  m_current.reset();
  if (m_done) return false;
  ++m_row;
  return seek();
}

SymMgrObjectPtr<ISourceLocation> SourceLocationIterator::current() {
  if (m_done) return SymMgrObjectPtr<ISourceLocation>();
  if (!m_current) {
    const internal::LineRun& r = run();
    const internal::LineRow& row = r.rows()[m_row];
    m_current = new SourceLocation(m_resolver, r.compUnitKey(), r.fileIndex(), row.line, row.column);
  }
  return m_current;
}

}  // namespace ZOR_3_12
