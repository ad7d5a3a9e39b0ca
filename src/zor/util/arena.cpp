#include "zor/util/arena.h"

#include <algorithm>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ZOR_3_12 {
namespace internal {

namespace {

constexpr size_t kGrain = 16;           // pieces up to kSmallest are classed by 16 bytes
constexpr size_t kSmallest = 256;       // above it, classes are powers of two
constexpr size_t kLargestBlock = size_t{8} << 20;
constexpr size_t kHugePage = size_t{2} << 20;
constexpr uintptr_t kPage = 4096;

// The class of a request and the size of its pieces.
size_t classOf(size_t bytes, size_t& pieceSize) {
  if (bytes <= kSmallest) {
    size_t index = (std::max<size_t>(bytes, 1) + kGrain - 1) / kGrain - 1;
    pieceSize = (index + 1) * kGrain;
    return index;
  }
  size_t size = kSmallest * 2;
  size_t index = kSmallest / kGrain;
  while (size < bytes) {
    size *= 2;
    ++index;
  }
  pieceSize = size;
  return index;
}

}  // namespace

Arena::Arena(size_t firstBlock) : m_firstBlock(std::max<size_t>(firstBlock, 4096)), m_nextBlock(m_firstBlock) {}

Arena::~Arena() { freeBlocks(); }

void Arena::freeBlocks() {
  for (const Block& block : m_blocks) {
    if (block.size >= kHugePage)
      ::operator delete(block.start, std::align_val_t(kHugePage));
    else
      ::operator delete(block.start);
  }
}

void Arena::expect(size_t bytes) {
  if (!m_blocks.empty() || bytes < kHugePage) return;
  const size_t rounded = bytes > kLargestBlock ? kLargestBlock : (bytes + kHugePage - 1) / kHugePage * kHugePage;
  m_nextBlock = std::max(m_nextBlock, rounded);
}

bool Arena::releaseIfUnused() {
  if (m_live != 0) return false;
  freeBlocks();
  m_blocks.clear();
  m_blocks.shrink_to_fit();
  for (FreePiece*& head : m_free) head = nullptr;
  m_cursor = m_limit = m_written = nullptr;
  m_reserved = 0;
  m_nextBlock = m_firstBlock;
  return true;
}

void* Arena::carve(size_t size) {
  if (static_cast<size_t>(m_limit - m_cursor) < size) {
    size_t blockSize = std::max(m_nextBlock, size);
    // Large blocks sit on huge-page boundaries: a module's tables fill them in a few page
    // faults instead of hundreds.
    char* block = nullptr;
    if (blockSize >= kHugePage) {
      block = static_cast<char*>(::operator new(blockSize, std::align_val_t(kHugePage)));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
      madvise(block, blockSize - blockSize % kHugePage, MADV_HUGEPAGE);
#endif
    } else {
      block = static_cast<char*>(::operator new(blockSize));
    }
    m_blocks.push_back(Block{block, blockSize});
    m_reserved += blockSize;
    m_cursor = m_written = block;
    m_limit = block + blockSize;
    m_nextBlock = std::min(m_nextBlock * 2, kLargestBlock);
  }
  void* piece = m_cursor;
  m_cursor += size;
  if (m_cursor > m_written) writeAhead(m_cursor);
  return piece;
}

// A piece's first access may be a read: a constructor that sets bit-fields loads their byte
// first. A read of fresh memory maps the shared zero page, and the write after it faults
// again to copy it; under a huge page it also splits the huge mapping into small pages,
// each of which then faults on its own. A write first takes one fault per huge page.
void Arena::writeAhead(char* end) {
  char* page = m_written;
  while (page < end) {
    *static_cast<volatile char*>(page) = 0;
    page += kPage - reinterpret_cast<uintptr_t>(page) % kPage;
  }
  m_written = page;
}

void* Arena::do_allocate(size_t bytes, size_t alignment) {
  ++m_live;
  if (kPassThrough || bytes > kLargest || alignment > kGrain) {
    m_reserved += bytes;
    return ::operator new(bytes, std::align_val_t(std::max(alignment, kGrain)));
  }
  size_t pieceSize = 0;
  size_t index = classOf(bytes, pieceSize);
  if (FreePiece* piece = m_free[index]) {
    m_free[index] = piece->next;
    return piece;
  }
  return carve(pieceSize);
}

void* Arena::allocateExact(size_t bytes) {
  if (bytes == 0) return nullptr;
  ++m_live;
  const size_t size = (bytes + kGrain - 1) / kGrain * kGrain;
  if (kPassThrough || size > kLargest) {
    m_reserved += size;
    return ::operator new(size, std::align_val_t(kGrain));
  }
  return carve(size);
}

void Arena::releaseExact(void* piece, size_t bytes) {
  if (!piece) return;
  --m_live;
  const size_t size = (bytes + kGrain - 1) / kGrain * kGrain;
  if (kPassThrough || size > kLargest) {
    m_reserved -= size;
    ::operator delete(piece, std::align_val_t(kGrain));
  }
}

void Arena::do_deallocate(void* p, size_t bytes, size_t alignment) {
  if (!p) return;
  --m_live;
  if (kPassThrough || bytes > kLargest || alignment > kGrain) {
    m_reserved -= bytes;
    ::operator delete(p, std::align_val_t(std::max(alignment, kGrain)));
    return;
  }
  size_t pieceSize = 0;
  size_t index = classOf(bytes, pieceSize);
  auto* piece = static_cast<FreePiece*>(p);
  piece->next = m_free[index];
  m_free[index] = piece;
}

}  // namespace internal
}  // namespace ZOR_3_12
