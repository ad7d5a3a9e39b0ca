// The address index's keys in ascending order, each with its list of runs, kept in chunks of
// a fixed number of entries. A module has hundreds of thousands of keys, added mostly in
// ascending order: appended keys fill each chunk completely, so a key costs its 16 bytes
// and no tree node, and a key added in the middle moves at most one chunk's entries.
#ifndef ZOR_SOURCE_KEYED_RUN_LISTS_H_
#define ZOR_SOURCE_KEYED_RUN_LISTS_H_

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

#include "zor/source/run_list.h"

namespace ZOR_3_12 {
namespace internal {

class KeyedRunLists {
 public:
  struct Entry {
    uint64_t key;
    RunList list;
  };
  // An entry's place; end() past the last. Valid until the next insert.
  struct Pos {
    size_t chunk = 0;
    size_t slot = 0;
    bool operator==(const Pos& other) const { return chunk == other.chunk && slot == other.slot; }
    bool operator!=(const Pos& other) const { return !(*this == other); }
  };

  // Chunks come from `memory`, which must outlive the lists.
  explicit KeyedRunLists(std::pmr::memory_resource* memory) : m_memory(memory) {}
  ~KeyedRunLists();
  KeyedRunLists(const KeyedRunLists&) = delete;
  KeyedRunLists& operator=(const KeyedRunLists&) = delete;

  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  Pos begin() const { return Pos{0, 0}; }
  Pos end() const { return Pos{m_chunks.size(), 0}; }
  Entry& at(Pos p) { return m_chunks[p.chunk]->entries()[p.slot]; }
  const Entry& at(Pos p) const { return m_chunks[p.chunk]->entries()[p.slot]; }
  uint64_t lastKey() const;  // the list must not be empty
  Pos next(Pos p) const;
  Pos prev(Pos p) const;  // p must not be begin()

  // The first entry whose key is >= key (lowerBound) or > key (upperBound).
  Pos lowerBound(uint64_t key) const;
  Pos upperBound(uint64_t key) const;
  // Adds an entry with `key` and an empty list before `before`, which must keep the keys in
  // order; returns its place. Throws std::bad_alloc when memory runs out.
  Pos insert(Pos before, uint64_t key);

 private:
  static constexpr uint32_t kPerChunk = 127;  // a chunk is then 2 KB: a size class of the arena
  struct Chunk {
    uint64_t count = 0;  // a whole word, so that the entries after it are aligned
    Entry* entries() { return reinterpret_cast<Entry*>(this + 1); }
    const Entry* entries() const { return reinterpret_cast<const Entry*>(this + 1); }
    uint64_t lastKey() const { return entries()[count - 1].key; }  // a chunk is never empty
  };
  static constexpr size_t kChunkBytes = sizeof(Chunk) + kPerChunk * sizeof(Entry);

  void roomForOneMoreChunk();
  Chunk* newChunk();
  void freeChunk(Chunk* chunk);
  // The first chunk whose last key is >= key (orEqual) or > key, or the number of chunks.
  size_t chunkFor(uint64_t key, bool orEqual) const;

  std::pmr::memory_resource* m_memory;
  std::vector<Chunk*> m_chunks;
  size_t m_size = 0;
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_KEYED_RUN_LISTS_H_
