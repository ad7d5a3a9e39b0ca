#include "zor/source/keyed_run_lists.h"

#include <algorithm>
#include <new>
#include <utility>

namespace ZOR_3_12 {
namespace internal {

namespace {
bool keyLess(const KeyedRunLists::Entry& e, uint64_t key) { return e.key < key; }
bool lessKey(uint64_t key, const KeyedRunLists::Entry& e) { return key < e.key; }
}  // namespace

KeyedRunLists::~KeyedRunLists() {
  for (Chunk* chunk : m_chunks) freeChunk(chunk);
}

KeyedRunLists::Chunk* KeyedRunLists::newChunk() {
  return new (m_memory->allocate(kChunkBytes, alignof(Entry))) Chunk;
}

void KeyedRunLists::freeChunk(Chunk* chunk) {
  Entry* entries = chunk->entries();
  for (uint64_t i = 0; i < chunk->count; ++i) entries[i].~Entry();
  m_memory->deallocate(chunk, kChunkBytes, alignof(Entry));
}

uint64_t KeyedRunLists::lastKey() const { return m_chunks.back()->lastKey(); }

KeyedRunLists::Pos KeyedRunLists::next(Pos p) const {
  if (++p.slot < m_chunks[p.chunk]->count) return p;
  return Pos{p.chunk + 1, 0};
}

KeyedRunLists::Pos KeyedRunLists::prev(Pos p) const {
  if (p.slot > 0) return Pos{p.chunk, p.slot - 1};
  return Pos{p.chunk - 1, m_chunks[p.chunk - 1]->count - 1};
}

size_t KeyedRunLists::chunkFor(uint64_t key, bool orEqual) const {
  auto it = std::partition_point(m_chunks.begin(), m_chunks.end(), [&](const Chunk* c) {
    return orEqual ? c->lastKey() < key : c->lastKey() <= key;
  });
  return static_cast<size_t>(it - m_chunks.begin());
}

KeyedRunLists::Pos KeyedRunLists::lowerBound(uint64_t key) const {
  const size_t c = chunkFor(key, true);
  if (c == m_chunks.size()) return end();
  const Entry* entries = m_chunks[c]->entries();
  return Pos{c, static_cast<size_t>(std::lower_bound(entries, entries + m_chunks[c]->count, key, keyLess) - entries)};
}

KeyedRunLists::Pos KeyedRunLists::upperBound(uint64_t key) const {
  const size_t c = chunkFor(key, false);
  if (c == m_chunks.size()) return end();
  const Entry* entries = m_chunks[c]->entries();
  return Pos{c, static_cast<size_t>(std::upper_bound(entries, entries + m_chunks[c]->count, key, lessKey) - entries)};
}

// Grows the list of chunks ahead of a change, so that the change itself cannot fail halfway.
void KeyedRunLists::roomForOneMoreChunk() {
  if (m_chunks.size() == m_chunks.capacity()) m_chunks.reserve(std::max<size_t>(16, m_chunks.size() * 2));
}

KeyedRunLists::Pos KeyedRunLists::insert(Pos before, uint64_t key) {
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
    new (&entries[before.slot]) Entry{key, RunList()};
  } else {
    new (&entries[chunk->count]) Entry(std::move(entries[chunk->count - 1]));
    std::move_backward(entries + before.slot, entries + chunk->count - 1, entries + chunk->count);
    entries[before.slot].key = key;
    entries[before.slot].list = RunList();
  }
  ++chunk->count;
  ++m_size;
  return before;
}

}  // namespace internal
}  // namespace ZOR_3_12
