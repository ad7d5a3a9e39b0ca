// The line table's index from address to runs: the list at key K holds every run that
// starts at K and every run that started earlier and still covers K, so that one key
// search and one short list answer which runs contain an address.
#ifndef ZOR_SOURCE_ADDRESS_INDEX_H_
#define ZOR_SOURCE_ADDRESS_INDEX_H_

#include <atomic>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <vector>

#include "zor/source/keyed_run_lists.h"
#include "zor/source/line_store.h"
#include "zor/source/run_list.h"

namespace ZOR_3_12 {
namespace internal {

class AddressIndex {
 public:
  using RunList = internal::RunList;

  // The keys and lists live in `memory`, which must outlive the index.
  explicit AddressIndex(std::pmr::memory_resource* memory)
      : m_memory(memory), m_lists(memory) {}

  // Brings the index up to date after a row went into change.run. A new key copies the
  // runs of the key before it that still cover it; runs merged away are replaced by the
  // survivor wherever they were listed.
  void update(const RunChange& change);
  // The same for rows that only extended `run` upwards (see LineStore::extendLast) since the
  // index last listed it up to `listedEnd`: several such rows are caught up at once.
  void extend(LineRun* run, uint64_t listedEnd);

  // The list of the greatest key <= address, or null below the first key. Safe from
  // several threads at once, as long as no update() runs.
  const RunList* listAt(uint64_t address);

  // Loading may leave runs unsorted and rows not yet listed; the first query after loading
  // settles both, once (the table's prepare). The mutex also guards laying the keys out.
  // Inserts and queries must not overlap (the resolver loads before it answers).
  std::atomic<bool> m_needsPrepare{false};
  std::mutex m_prepareMutex;

 private:
  using Pos = KeyedRunLists::Pos;

  // Lays the keys out in one sorted array, which queries search faster than the chunks that
  // loading needs. Laying them out visits every key: worth it only once enough queries have
  // come, so the first few search the chunks. The next update() drops the array again.
  void freeze();

  // Drops the laid-out keys: the lists they point at are about to change.
  void thaw();

  // The first key at or after `key`.
  Pos seek(uint64_t key);
  void addRun(uint64_t key, LineRun* run);
  // Lists `run` at every existing key in [from, to) that lacks it.
  void listAcross(uint64_t from, uint64_t to, LineRun* run);
  void addOnce(RunList& list, LineRun* run);

  std::pmr::memory_resource* m_memory;  // the lists' longer arrays
  KeyedRunLists m_lists;
  // The key last added. A line program goes up in address, so the next key it adds or the
  // next run it extends lies just above it, while the keys of other units may lie anywhere:
  // one step from here usually replaces a search. Every insert moves it to the key it adds,
  // so it stays valid.
  Pos m_cursor;
  bool m_hasCursor = false;
  std::vector<uint64_t> m_frozenKeys;
  std::vector<const RunList*> m_frozenLists;  // the list of m_frozenKeys[i]
  std::atomic<bool> m_frozen{false};
  std::atomic<uint64_t> m_chunkQueries{0};  // since the last update
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_ADDRESS_INDEX_H_
