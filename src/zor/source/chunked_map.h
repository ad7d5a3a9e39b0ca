// Unsigned 64-bit keys in ascending order, each with a one-word value, kept in chunks of a
// fixed number of entries. The line table has hundreds of thousands of keys (the address
// index's, and the start addresses of every store's runs), added mostly in ascending
// order: appended keys fill each chunk completely, so a key costs its 16 bytes and no tree
// node, and a key added or removed in the middle moves at most one chunk's entries.
#ifndef ZOR_SOURCE_CHUNKED_MAP_H_
#define ZOR_SOURCE_CHUNKED_MAP_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <new>
#include <utility>
#include <vector>

namespace ZOR_3_12 {
namespace internal {

template <class Value>
class ChunkedMap {
 public:
  struct Entry {
    uint64_t key;
    Value value;
  };
  // An entry's place; end() past the last. Valid until the next insert or erase.
  struct Pos {
    size_t chunk = 0;
    size_t slot = 0;
    bool operator==(const Pos& other) const { return chunk == other.chunk && slot == other.slot; }
    bool operator!=(const Pos& other) const { return !(*this == other); }
  };

  // Chunks come from `memory`, which must outlive the map.
  explicit ChunkedMap(std::pmr::memory_resource* memory) : m_memory(memory) {}
  ~ChunkedMap() {
    for (Chunk* chunk : m_chunks) freeChunk(chunk);
  }
  ChunkedMap(const ChunkedMap&) = delete;
  ChunkedMap& operator=(const ChunkedMap&) = delete;

  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  Pos begin() const { return Pos{0, 0}; }
  Pos end() const { return Pos{m_chunks.size(), 0}; }
  Entry& at(Pos p) { return m_chunks[p.chunk]->entries()[p.slot]; }
  const Entry& at(Pos p) const { return m_chunks[p.chunk]->entries()[p.slot]; }
  uint64_t lastKey() const { return m_chunks.back()->lastKey(); }  // the map must not be empty
  Pos next(Pos p) const {
    if (++p.slot < m_chunks[p.chunk]->count) return p;
    return Pos{p.chunk + 1, 0};
  }
  Pos prev(Pos p) const {  // p must not be begin()
    if (p.slot > 0) return Pos{p.chunk, p.slot - 1};
    return Pos{p.chunk - 1, m_chunks[p.chunk - 1]->count - 1};
  }

  // The first entry whose key is >= key (lowerBound) or > key (upperBound).
  Pos lowerBound(uint64_t key) const { return bound(key, true); }
  Pos upperBound(uint64_t key) const { return bound(key, false); }

  // Adds an entry with `key` and a default value before `before`, which must keep the keys
  // in order; returns its place. Throws std::bad_alloc when memory runs out, and then
  // changes nothing.
  Pos insert(Pos before, uint64_t key);
  // Removes the entry at `at`; returns the place of the entry that followed it.
  Pos erase(Pos at);

 private:
  static constexpr uint32_t kPerChunk = 127;  // a chunk is then 2 KB: a size class of the arena
  struct Chunk {
    uint64_t count = 0;  // a whole word, so that the entries after it are aligned
    Entry* entries() { return reinterpret_cast<Entry*>(this + 1); }
    const Entry* entries() const { return reinterpret_cast<const Entry*>(this + 1); }
    uint64_t lastKey() const { return entries()[count - 1].key; }  // a chunk is never empty
  };
  static constexpr size_t kChunkBytes = sizeof(Chunk) + kPerChunk * sizeof(Entry);

  Chunk* newChunk() { return new (m_memory->allocate(kChunkBytes, alignof(Entry))) Chunk; }
  void freeChunk(Chunk* chunk) {
    Entry* entries = chunk->entries();
    for (uint64_t i = 0; i < chunk->count; ++i) entries[i].~Entry();
    m_memory->deallocate(chunk, kChunkBytes, alignof(Entry));
  }
  // Grows the list of chunks ahead of a change, so that the change itself cannot fail halfway.
  void roomForOneMoreChunk() {
    if (m_chunks.size() == m_chunks.capacity()) m_chunks.reserve(std::max<size_t>(16, m_chunks.size() * 2));
  }
  Pos bound(uint64_t key, bool orEqual) const {
    // The first chunk whose last key is >= key (orEqual) or > key, then the entry inside it.
    auto chunk = std::partition_point(m_chunks.begin(), m_chunks.end(), [&](const Chunk* c) {
      return orEqual ? c->lastKey() < key : c->lastKey() <= key;
    });
    if (chunk == m_chunks.end()) return end();
    const Entry* entries = (*chunk)->entries();
    const Entry* found = std::partition_point(entries, entries + (*chunk)->count, [&](const Entry& e) {
      return orEqual ? e.key < key : e.key <= key;
    });
    return Pos{static_cast<size_t>(chunk - m_chunks.begin()), static_cast<size_t>(found - entries)};
  }

  std::pmr::memory_resource* m_memory;
  std::vector<Chunk*> m_chunks;
  size_t m_size = 0;
};

template <class Value>
typename ChunkedMap<Value>::Pos ChunkedMap<Value>::insert(Pos before, uint64_t key) {
  if (before == end()) {
    // Appending, the usual case: the last chunk fills up completely.
    if (m_chunks.empty() || m_chunks.back()->count == kPerChunk) {
      roomForOneMoreChunk();
      m_chunks.push_back(newChunk());
    }
    before = Pos{m_chunks.size() - 1, m_chunks.back()->count};
  } else if (m_chunks[before.chunk]->count == kPerChunk) {
    // A full chunk gives its upper half to a new chunk after it.
    roomForOneMoreChunk();
    Chunk* full = m_chunks[before.chunk];
    Chunk* upper = newChunk();
    const uint32_t keep = kPerChunk / 2 + 1;
    for (uint32_t i = keep; i < kPerChunk; ++i) {
      new (&upper->entries()[i - keep]) Entry(std::move(full->entries()[i]));
      full->entries()[i].~Entry();
    }
    upper->count = kPerChunk - keep;
    full->count = keep;
    m_chunks.insert(m_chunks.begin() + static_cast<long>(before.chunk) + 1, upper);
    if (before.slot > keep) before = Pos{before.chunk + 1, before.slot - keep};
  }
  Chunk* chunk = m_chunks[before.chunk];
  Entry* entries = chunk->entries();
  if (before.slot == chunk->count) {
    new (&entries[before.slot]) Entry{key, Value()};
  } else {
    new (&entries[chunk->count]) Entry(std::move(entries[chunk->count - 1]));
    std::move_backward(entries + before.slot, entries + chunk->count - 1, entries + chunk->count);
    entries[before.slot].key = key;
    entries[before.slot].value = Value();
  }
  ++chunk->count;
  ++m_size;
  return before;
}

template <class Value>
typename ChunkedMap<Value>::Pos ChunkedMap<Value>::erase(Pos at) {
  Chunk* chunk = m_chunks[at.chunk];
  Entry* entries = chunk->entries();
  std::move(entries + at.slot + 1, entries + chunk->count, entries + at.slot);
  entries[--chunk->count].~Entry();
  --m_size;
  if (chunk->count == 0) {
    // An empty chunk would have no last key to search by.
    m_memory->deallocate(chunk, kChunkBytes, alignof(Entry));
    m_chunks.erase(m_chunks.begin() + static_cast<long>(at.chunk));
    return Pos{at.chunk, 0};
  }
  return at.slot < chunk->count ? at : Pos{at.chunk + 1, 0};
}

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_CHUNKED_MAP_H_
