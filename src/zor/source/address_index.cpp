#include "zor/source/address_index.h"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace ZOR_3_12 {
namespace internal {

void AddressIndex::addOnce(RunList& list, LineRun* run) {
  if (std::find(list.begin(), list.end(), run) == list.end()) list.push_back(run, m_memory);
}

AddressIndex::ListMap::iterator AddressIndex::seek(uint64_t key) {
  if (m_lists.empty() || key > m_lists.rbegin()->first) return m_lists.end();
  if (m_cursor != m_lists.end() && m_cursor->first < key) {
    auto next = std::next(m_cursor);
    if (next == m_lists.end() || next->first >= key) return next;
  }
  return m_lists.lower_bound(key);
}

void AddressIndex::addRun(uint64_t key, LineRun* run) {
  auto it = seek(key);
  if (it != m_lists.end() && it->first == key) {
    addOnce(it->second, run);
    return;
  }
  it = m_lists.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
  m_cursor = it;
  RunList& list = it->second;
  list.push_back(run, m_memory);
  if (it != m_lists.begin()) {
    for (LineRun* earlier : std::prev(it)->second) {
      if (earlier != run && earlier->end() > key) list.push_back(earlier, m_memory);
    }
  }
}

void AddressIndex::listAcross(uint64_t from, uint64_t to, LineRun* run) {
  if (from >= to) return;  // most rows extend a run upwards only: no search for nothing
  for (auto it = seek(from); it != m_lists.end() && it->first < to; ++it) addOnce(it->second, run);
}

void AddressIndex::thaw() {
  m_treeQueries.store(0, std::memory_order_relaxed);
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
    for (auto it = m_lists.lower_bound(gone->start());
         it != m_lists.end() && (it->first < gone->end() || it->first == gone->start()); ++it) {
      RunList& list = it->second;
      auto pos = std::find(list.begin(), list.end(), gone);
      if (pos == list.end()) continue;
      // An empty run merged at the survivor's very end leaves a key the survivor does not
      // cover; listing it there would outlive the survivor's own extent.
      bool covers = it->first < run->end() || it->first == run->start();
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
    auto it = m_lists.find(change.oldStart);
    if (it != m_lists.end()) {
      RunList& list = it->second;
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
  for (const auto& entry : m_lists) {
    m_frozenKeys.push_back(entry.first);
    m_frozenLists.push_back(&entry.second);
  }
  m_frozen.store(true, std::memory_order_release);
}

const AddressIndex::RunList* AddressIndex::listAt(uint64_t address) {
  if (!m_frozen.load(std::memory_order_acquire)) {
    // Laying out costs about as much as this many tree searches save; until then the tree
    // answers, so a handful of queries never pay for it.
    const uint64_t worthFreezing = m_lists.size() / 8 + 64;
    if (m_treeQueries.fetch_add(1, std::memory_order_relaxed) < worthFreezing) {
      auto it = m_lists.upper_bound(address);
      if (it == m_lists.begin()) return nullptr;
      return &std::prev(it)->second;
    }
    freeze();
  }
  auto it = std::upper_bound(m_frozenKeys.begin(), m_frozenKeys.end(), address);
  if (it == m_frozenKeys.begin()) return nullptr;
  return m_frozenLists[static_cast<size_t>(it - m_frozenKeys.begin()) - 1];
}

}  // namespace internal
}  // namespace ZOR_3_12
