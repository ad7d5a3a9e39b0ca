// Memory for structures that are built once and die together, such as a module's line
// table: small pieces are carved from large blocks without a per-piece header, a freed
// piece is kept for the next request of its size class, and the blocks go back to the
// system only when the arena dies. Not thread-safe: the owner serialises its users.
#ifndef ZOR_UTIL_ARENA_H_
#define ZOR_UTIL_ARENA_H_

#include <cstddef>
#include <memory_resource>
#include <vector>

namespace ZOR_3_12 {
namespace internal {

class Arena : public std::pmr::memory_resource {
 public:
  // Under the address sanitizer every piece comes from the system on its own, so that
  // overruns inside the arena's blocks are still caught.
#if defined(__SANITIZE_ADDRESS__)
  static constexpr bool kPassThrough = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  static constexpr bool kPassThrough = true;
#else
  static constexpr bool kPassThrough = false;
#endif
#else
  static constexpr bool kPassThrough = false;
#endif

  // `firstBlock` bytes are taken at the first request; later blocks grow with the arena.
  explicit Arena(size_t firstBlock = 0x10000);
  ~Arena() override;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // The arena is expected to hold about `bytes`. When that is a huge page or more and no
  // block is taken yet, the first block is taken that large at once (up to the largest
  // block size) on a huge-page boundary: growing to it through small blocks would fault on
  // every page of each, which costs far more than the memory of one partly used block.
  void expect(size_t bytes);

  // Bytes taken from the system so far, blocks and large pieces together.
  size_t reserved() const { return m_reserved; }

  // Gives every block back to the system when no piece is in use, so that memory needed
  // only while a structure was being built does not stay with the arena until it dies.
  // Returns whether it did.
  bool releaseIfUnused();

  // A piece of `bytes` rounded up to 16 only, for an array laid down once at its final
  // size; releaseExact gives it back, but its memory is not used again before the arena
  // dies. Null for 0 bytes.
  void* allocateExact(size_t bytes);
  void releaseExact(void* piece, size_t bytes);

 private:
  // Pieces up to this size are pooled by class; larger ones come from the system each.
  static constexpr size_t kLargest = size_t{1} << 20;
  static constexpr size_t kClasses = 64;

  void* do_allocate(size_t bytes, size_t alignment) override;
  void do_deallocate(void* p, size_t bytes, size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  void* carve(size_t size);
  // Writes a byte to every page of fresh block memory below `end` that has none yet.
  void writeAhead(char* end);
  void freeBlocks();

  struct FreePiece {
    FreePiece* next;
  };
  struct Block {
    void* start;
    size_t size;
  };

  size_t m_firstBlock;
  size_t m_nextBlock;
  size_t m_reserved = 0;
  size_t m_live = 0;  // pieces handed out and not given back
  char* m_cursor = nullptr;
  char* m_limit = nullptr;
  // Block memory from here on has not been written yet: a page start, or the block's start.
  char* m_written = nullptr;
  FreePiece* m_free[kClasses] = {};
  std::vector<Block> m_blocks;
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_UTIL_ARENA_H_
