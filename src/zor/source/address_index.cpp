#include "zor/source/address_index.h"

#include <algorithm>

namespace ZOR_3_12 {
namespace internal {

void AddressIndex::addOnce(RunList& list, LineRun* run) {
  if (std::find(list.begin(), list.end(), run) == list.end()) list.push_back(run, m_memory);
}

AddressIndex::Pos AddressIndex::seek(uint64_t key) {
  if (m_lists.empty() || key > m_lists.lastKey()) return m_lists.end();
  if (m_hasCursor && m_lists.at(m_cursor).key < key) {
    const Pos next = m_lists.next(m_cursor);
    if (next == m_lists.end() || m_lists.at(next).key >= key) return next;
  }
  return m_lists.lowerBound(key);
}

void AddressIndex::addRun(uint64_t key, LineRun* run) {
  Pos at = seek(key);
  if (at != m_lists.end() && m_lists.at(at).key == key) {
    addOnce(m_lists.at(at).list, run);
    return;
  }
  at = m_lists.insert(at, key);
  m_cursor = at;
  m_hasCursor = true;
  RunList& list = m_lists.at(at).list;
  list.push_back(run, m_memory);
  if (at != m_lists.begin()) {
    for (LineRun* earlier : m_lists.at(m_lists.prev(at)).list) {
      if (earlier != run && earlier->end() > key) list.push_back(earlier, m_memory);
    }
  }
}

void AddressIndex::listAcross(uint64_t from, uint64_t to, LineRun* run) {
  if (from >= to) return;  // most rows extend a run upwards only: no search for nothing
  for (Pos at = seek(from); at != m_lists.end() && m_lists.at(at).key < to; at = m_lists.next(at))
    addOnce(m_lists.at(at).list, run);
}

void AddressIndex::thaw() {
  m_chunkQueries.store(0, std::memory_order_relaxed);
  if (m_frozen.load(std::memory_order_relaxed)) {
    m_frozen.store(false, std::memory_order_relaxed);
    std::vector<uint64_t>().swap(m_frozenKeys);
    std::vector<const RunList*>().swap(m_frozenLists);
  }
}

void AddressIndex::extend(LineRun* run, uint64_t listedEnd) {
  thaw();
  if (run->start() == UINT64_MAX) return;
  // What update() does for each of the rows, their new parts being one stretch together.
  listAcross(std::max(listedEnd, run->start() + 1), run->end(), run);
}

void AddressIndex::update(const RunChange& change) {
  thaw();
  LineRun* run = change.run;
  // A merged run was listed at its own start and at the keys inside its extent.
  for (const auto& node : change.merged) {
    const LineRun* gone = &node.mapped();
    for (Pos at = m_lists.lowerBound(gone->start()); at != m_lists.end(); at = m_lists.next(at)) {
      const uint64_t key = m_lists.at(at).key;
      if (!(key < gone->end() || key == gone->start())) break;
      RunList& list = m_lists.at(at).list;
      auto pos = std::find(list.begin(), list.end(), gone);
      if (pos == list.end()) continue;
      // An empty run merged at the survivor's very end leaves a key the survivor does not
      // cover; listing it there would outlive the survivor's own extent.
      bool covers = key < run->end() || key == run->start();
      if (covers && std::find(list.begin(), list.end(), run) == list.end()) {
        *pos = run;
      } else {
        list.erase(pos);
      }
    }
  }

  // An empty run that grew downwards no longer covers its old start; it must not stay
  // listed where its extent cannot find it when it is merged away later.
  if (!change.created && change.oldStart != run->start() && change.oldStart >= run->end()) {
    const Pos at = m_lists.lowerBound(change.oldStart);
    if (at != m_lists.end() && m_lists.at(at).key == change.oldStart) {
      RunList& list = m_lists.at(at).list;
      list.truncate(std::remove(list.begin(), list.end(), run));
    }
  }

  // A run that kept its start is listed there already; skipping the search matters where
  // many runs share one start (code of discarded functions left at address 0).
  if (change.created || change.oldStart != run->start()) addRun(run->start(), run);
  if (run->start() == UINT64_MAX) return;
  // Keys inside the run's former extent already list it; only the new parts need it.
  if (change.created || change.oldEnd <= change.oldStart) {
    listAcross(run->start() + 1, run->end(), run);
  } else {
    listAcross(run->start() + 1, std::min(change.oldStart, run->end()), run);
    listAcross(std::max(change.oldEnd, run->start() + 1), run->end(), run);
  }
}

void AddressIndex::freeze() {
  std::lock_guard<std::mutex> guard(m_prepareMutex);
  if (m_frozen.load(std::memory_order_relaxed)) return;
  m_frozenKeys.reserve(m_lists.size());
  m_frozenLists.reserve(m_lists.size());
  for (Pos at = m_lists.begin(); at != m_lists.end(); at = m_lists.next(at)) {
    m_frozenKeys.push_back(m_lists.at(at).key);
    m_frozenLists.push_back(&m_lists.at(at).list);
  }
  m_frozen.store(true, std::memory_order_release);
}

const AddressIndex::RunList* AddressIndex::listAt(uint64_t address) {
  if (!m_frozen.load(std::memory_order_acquire)) {
    // Laying out costs about as much as this many searches of the chunks save; until then
    // the chunks answer, so a handful of queries never pay for it.
    const uint64_t worthFreezing = m_lists.size() / 8 + 64;
    if (m_chunkQueries.fetch_add(1, std::memory_order_relaxed) < worthFreezing) {
      const Pos after = m_lists.upperBound(address);
      if (after == m_lists.begin()) return nullptr;
      return &m_lists.at(m_lists.prev(after)).list;
    }
    freeze();
  }
  auto it = std::upper_bound(m_frozenKeys.begin(), m_frozenKeys.end(), address);
  if (it == m_frozenKeys.begin()) return nullptr;
  return m_frozenLists[static_cast<size_t>(it - m_frozenKeys.begin()) - 1];
}

}  // namespace internal
}  // namespace ZOR_3_12
