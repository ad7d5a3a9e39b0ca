#include "zor/source/line_store.h"

#include <algorithm>
#include <new>

namespace ZOR_3_12 {
namespace internal {

void RunDeleter::operator()(LineRun* run) const {
  run->~LineRun();
  memory->deallocate(run, sizeof(LineRun), alignof(LineRun));
}

LineStore::~LineStore() {
  const RunDeleter release{m_memory};
  for (RunMap::Pos at = m_runs.begin(); at != m_runs.end(); at = m_runs.next(at)) release(m_runs.at(at).value);
}

bool LineStore::extendLast(uint32_t line, uint32_t column, uint64_t start, uint64_t end, LineRun*& run,
                           uint64_t& oldEnd) {
  if (!m_hasLast) return false;
  LineRun& last = *m_runs.at(m_lastUsed).value;
  // As add() decides: the row starts inside the run or where it ends, and the next run
  // (which starts after the run's end) begins beyond the row's end, so nothing merges.
  if (start < m_runs.at(m_lastUsed).key || start > last.end()) return false;
  if (m_afterLastUsed != m_runs.end() && m_runs.at(m_afterLastUsed).key <= end) return false;
  oldEnd = last.end();
  last.add(line, column, start, end);
  run = &last;
  return true;
}

void LineStore::add(uint32_t line, uint32_t column, uint64_t start, uint64_t end, RunChange& change) {
  change.clear();
  // `next` is the first run that starts after `start`, `before` the one before it (or end).
  // The rows of a sequence mostly go to the run they went to last, so both usually come
  // from there without a search.
  RunMap::Pos next = m_runs.end();
  RunMap::Pos before = m_runs.end();
  if (m_hasLast && m_runs.at(m_lastUsed).key <= start) {
    next = m_afterLastUsed;
    if (next == m_runs.end() || m_runs.at(next).key > start) before = m_lastUsed;
  }
  if (before == m_runs.end()) {
    next = m_runs.upperBound(start);
    if (next != m_runs.begin()) before = m_runs.prev(next);
  }

  RunMap::Pos target = m_runs.end();
  if (before != m_runs.end() && m_runs.at(before).value->end() >= start) {
    target = before;
  } else if (next != m_runs.end() && m_runs.at(next).key <= end) {
    target = next;
  }

  if (target == m_runs.end()) {
    OwnedRun fresh(new (m_memory->allocate(sizeof(LineRun), alignof(LineRun))) LineRun(&m_owner),
                   RunDeleter{m_memory});
    fresh->add(line, column, start, end);
    m_hasLast = false;  // the insert moves entries
    m_lastUsed = m_runs.insert(next, start);
    LineRun* run = fresh.release();
    m_runs.at(m_lastUsed).value = run;
    m_afterLastUsed = m_runs.next(m_lastUsed);
    m_hasLast = true;
    change.run = run;
    change.created = true;
    return;
  }

  LineRun* run = m_runs.at(target).value;
  change.run = run;
  change.oldStart = run->start();
  change.oldEnd = run->end();
  run->add(line, column, start, end);
  // A row that extends the run downwards re-keys it in place: it still starts after the run
  // before it ends, so the order holds.
  m_runs.at(target).key = run->start();
  // A row that went to `before` did not move it (it starts at or after its start), so the
  // run after it is still `next`.
  RunMap::Pos it = target == before ? next : m_runs.next(target);
  m_hasLast = false;  // merging removes entries
  while (it != m_runs.end() && m_runs.at(it).key <= run->end()) {
    LineRun* gone = m_runs.at(it).value;
    run->absorb(*gone);
    change.merged.emplace_back(gone, RunDeleter{m_memory});
    it = m_runs.erase(it);
  }
  // Entries after the target moved, the target itself did not.
  m_lastUsed = target;
  m_afterLastUsed = it;
  m_hasLast = true;
}

size_t CompilationUnitList::find(uint64_t compUnitKey) const {
  auto it = std::lower_bound(m_stores.begin(), m_stores.end(), compUnitKey,
                             [](const std::unique_ptr<LineStore>& s, uint64_t key) { return s->compUnitKey() < key; });
  if (it == m_stores.end() || (*it)->compUnitKey() != compUnitKey) return m_stores.size();
  return static_cast<size_t>(it - m_stores.begin());
}

LineStore& CompilationUnitList::findOrCreate(uint64_t compUnitKey) {
  if (m_lastUsed < m_stores.size() && m_stores[m_lastUsed]->compUnitKey() == compUnitKey) {
    return *m_stores[m_lastUsed];
  }
  auto it = std::lower_bound(m_stores.begin(), m_stores.end(), compUnitKey,
                             [](const std::unique_ptr<LineStore>& s, uint64_t key) { return s->compUnitKey() < key; });
  if (it == m_stores.end() || (*it)->compUnitKey() != compUnitKey) {
    it = m_stores.insert(it, std::make_unique<LineStore>(compUnitKey, m_fileIndex, m_indexMemory, m_rowMemory));
  }
  m_lastUsed = static_cast<size_t>(it - m_stores.begin());
  return **it;
}

}  // namespace internal
}  // namespace ZOR_3_12
