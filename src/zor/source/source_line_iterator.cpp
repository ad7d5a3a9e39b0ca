#include "zor/source/source_line_iterator.h"

#include <iterator>

#include <zor/types.h>

#include "zor/source/source_line.h"

namespace ZOR_3_12 {

SourceLineIterator::SourceLineIterator(IFileFormatLoader* loader, ISrcLineResolver* resolver, uint64_t from,
                                       uint64_t to, uint64_t compUnitKey,
                                       const internal::CompilationUnitList* stores)
    : SymMgrObject<SourceLineIter>(nullptr),
      m_loader(loader),
      m_resolver(resolver),
      m_from(from),
      m_to(to),
      m_compUnitKey(compUnitKey),
      m_stores(stores) {
  reset();
}

size_t SourceLineIterator::admittedStore(size_t position) const {
  const auto& stores = m_stores->stores();
  if (m_compUnitKey == COMP_UNIT_ALL) return position;
  // Keys are unique, so the one admitted store is either at or after `position` or gone.
  size_t found = m_stores->find(m_compUnitKey);
  return found >= position ? found : stores.size();
}

void SourceLineIterator::enterStore() {
  const auto& runs = m_stores->stores()[m_storeCursor]->runs();
  m_row = 0;
  if (m_from == 0) {
    m_runCursor = runs.begin();
    return;
  }
  // Runs never touch, so their ends ascend with their starts: only the run before the
  // first one that starts above `from` can reach back over it.
  m_runCursor = runs.upper_bound(m_from);
  if (m_runCursor != runs.begin() && std::prev(m_runCursor)->second.end() > m_from) --m_runCursor;
  if (m_runCursor != runs.end()) m_row = m_runCursor->second.firstReaching(m_from);
}

bool SourceLineIterator::seek() {
  const auto& stores = m_stores->stores();
  while (m_storeCursor < stores.size()) {
    const auto& runs = stores[m_storeCursor]->runs();
    bool pastSpan = false;
    while (!pastSpan && m_runCursor != runs.end()) {
      const auto& rows = m_runCursor->second.rows();
      for (; m_row < rows.size(); ++m_row) {
        const internal::LineRow& row = rows[m_row];
        if (m_to != UINT64_MAX && row.start >= m_to) {
          pastSpan = true;  // rows and runs ascend by start: nothing later overlaps
          break;
        }
        if (overlaps(row)) return true;
      }
      if (!pastSpan) {
        ++m_runCursor;
        m_row = 0;
      }
    }
    m_storeCursor = admittedStore(m_storeCursor + 1);
    if (m_storeCursor < stores.size()) enterStore();
  }
  m_done = true;
  return false;
}

void SourceLineIterator::reset() {
  m_current.reset();
  m_done = false;
  m_storeCursor = m_stores ? admittedStore(0) : 0;
  if (!m_stores || m_storeCursor >= m_stores->stores().size()) {
    m_done = true;
    return;
  }
  enterStore();
  seek();
}

bool SourceLineIterator::next() {
  m_current.reset();
  if (m_done) return false;
  ++m_row;
  return seek();
}

SymMgrObjectPtr<ISourceLine> SourceLineIterator::current() {
  if (m_done) return SymMgrObjectPtr<ISourceLine>();
  if (!m_current) {
    const internal::LineStore& store = *m_stores->stores()[m_storeCursor];
    const internal::LineRow& row = m_runCursor->second.rows()[m_row];
    m_current = new SourceLine(m_loader, m_resolver, store.compUnitKey(), store.fileIndex(), row.line, row.column,
                               row.start, row.end);
  }
  return m_current;
}

}  // namespace ZOR_3_12
