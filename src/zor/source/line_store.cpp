#include "zor/source/line_store.h"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace ZOR_3_12 {
namespace internal {

bool LineStore::extendLast(uint32_t line, uint32_t column, uint64_t start, uint64_t end, LineRun*& run,
                           uint64_t& oldEnd) {
  if (m_lastUsed == m_runs.end()) return false;
  LineRun& last = m_lastUsed->second;
  // As add() decides: the row starts inside the run or where it ends, and the next run
  // (which starts after the run's end) begins beyond the row's end, so nothing merges.
  if (start < m_lastUsed->first || start > last.end()) return false;
  if (m_afterLastUsed != m_runs.end() && m_afterLastUsed->first <= end) return false;
  oldEnd = last.end();
  last.add(line, column, start, end);
  run = &last;
  return true;
}

void LineStore::add(uint32_t line, uint32_t column, uint64_t start, uint64_t end, RunChange& change) {
  change.clear();
  // `next` is the first run that starts after `start`, `before` the one before it (or end).
  // Tree steps cost a walk through the nodes each: the rows of a sequence mostly go to the
  // run they went to last, so both usually come from there.
  RunMap::iterator next = m_runs.end();
  RunMap::iterator before = m_runs.end();
  if (m_lastUsed != m_runs.end() && m_lastUsed->first <= start) {
    next = m_afterLastUsed;
    if (next == m_runs.end() || next->first > start) before = m_lastUsed;
  }
  if (before == m_runs.end()) {
    next = m_runs.upper_bound(start);
    if (next != m_runs.begin()) before = std::prev(next);
  }

  RunMap::iterator target = m_runs.end();
  if (before != m_runs.end() && before->second.end() >= start) {
    target = before;
  } else if (next != m_runs.end() && next->first <= end) {
    target = next;
  }

  if (target == m_runs.end()) {
    m_lastUsed = m_runs.emplace_hint(next, std::piecewise_construct, std::forward_as_tuple(start),
                                     std::forward_as_tuple(&m_owner));
    m_afterLastUsed = next;
    LineRun* run = &m_lastUsed->second;
    run->add(line, column, start, end);
    change.run = run;
    change.created = true;
    return;
  }

  LineRun* run = &target->second;
  change.run = run;
  change.oldStart = run->start();
  change.oldEnd = run->end();
  run->add(line, column, start, end);
  if (run->start() != target->first) {
    // The row extends the run downwards: re-key it without reallocating its node.
    auto node = m_runs.extract(target);
    node.key() = run->start();
    target = m_runs.insert(std::move(node)).position;
  }
  // A row that went to `before` did not move it (it starts at or after its start), so the
  // run after it is still `next`.
  auto it = target == before ? next : std::next(target);
  while (it != m_runs.end() && it->first <= run->end()) {
    run->absorb(it->second);
    auto gone = it++;
    change.merged.push_back(m_runs.extract(gone));
  }
  m_lastUsed = target;
  m_afterLastUsed = it;
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
