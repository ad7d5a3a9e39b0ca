// The arena under the line table: pieces handed out at the same time never overlap, also
// after freed pieces of every size class have been handed out again, and large pieces and
// growing containers work across block boundaries; its blocks go back to the system only
// once every piece has.
#include "zor/util/arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace zor_test {
namespace {

using ZOR_3_12::internal::Arena;

struct Piece {
  unsigned char* p;
  size_t size;
  unsigned char mark;
};

void fill(Piece& piece, unsigned char mark) {
  piece.mark = mark;
  std::memset(piece.p, mark, piece.size);
}

bool intact(const Piece& piece) {
  for (size_t i = 0; i < piece.size; ++i)
    if (piece.p[i] != piece.mark) return false;
  return true;
}

TEST(Arena, LivePiecesNeverOverlapThroughReuse) {
  Arena arena(4096);
  std::mt19937 random(7);
  std::vector<Piece> live;
  unsigned char mark = 1;
  for (int round = 0; round < 20000; ++round) {
    if (!live.empty() && random() % 3 == 0) {
      size_t victim = random() % live.size();
      ASSERT_TRUE(intact(live[victim])) << "piece of " << live[victim].size << " bytes was overwritten";
      arena.deallocate(live[victim].p, live[victim].size, 8);
      live[victim] = live.back();
      live.pop_back();
      continue;
    }
    // Mostly small pieces, some in every power-of-two class, a few beyond the pooled range.
    size_t size = random() % 10 == 0 ? (size_t{1} << (random() % 22)) + random() % 100 : 1 + random() % 300;
    Piece piece{static_cast<unsigned char*>(arena.allocate(size, 8)), size, 0};
    ASSERT_EQ(reinterpret_cast<uintptr_t>(piece.p) % 16, 0u);
    fill(piece, mark++ | 1);
    live.push_back(piece);
  }
  for (const Piece& piece : live) EXPECT_TRUE(intact(piece));
  // The blocks go back only once the last piece has: one still held keeps them.
  const Piece last = live.back();
  live.pop_back();
  for (const Piece& piece : live) arena.deallocate(piece.p, piece.size, 8);
  EXPECT_FALSE(arena.releaseIfUnused());
  EXPECT_TRUE(intact(last));
  arena.deallocate(last.p, last.size, 8);
  EXPECT_TRUE(arena.releaseIfUnused());
  EXPECT_EQ(arena.reserved(), 0u);
  // And the arena serves again from new blocks.
  void* again = arena.allocate(100, 8);
  ASSERT_NE(again, nullptr);
  std::memset(again, 1, 100);
  arena.deallocate(again, 100, 8);
}

TEST(Arena, ContainersGrowAcrossBlocks) {
  Arena arena(4096);
  std::pmr::vector<uint64_t> big(&arena);
  std::pmr::vector<std::pmr::vector<uint32_t>> many(&arena);
  for (uint64_t i = 0; i < 300000; ++i) {
    big.push_back(i * 3);
    if (i % 100 == 0) many.emplace_back(i % 37, static_cast<uint32_t>(i));
  }
  for (uint64_t i = 0; i < big.size(); ++i) ASSERT_EQ(big[i], i * 3);
  for (size_t k = 0; k < many.size(); ++k) {
    ASSERT_EQ(many[k].size(), (k * 100) % 37);
    for (uint32_t v : many[k]) ASSERT_EQ(v, k * 100);
  }
  EXPECT_GE(arena.reserved(), big.size() * sizeof(uint64_t));
}

// A table that knows its size up front takes one large block instead of growing to it,
// within bounds: nothing for small sizes, at most the largest block for absurd ones, and
// only before the first block.
TEST(Arena, ExpectedSizeSetsTheFirstBlockOnly) {
  if (Arena::kPassThrough) GTEST_SKIP() << "every piece comes from the system under the address sanitizer";
  constexpr size_t kMiB = size_t{1} << 20;
  auto filledTo = [](Arena& arena, size_t bytes) {
    std::vector<void*> pieces;
    for (size_t done = 0; done < bytes; done += 4096) pieces.push_back(arena.allocate(4096, 16));
    return pieces.size();
  };

  Arena large(4096);
  large.expect(3 * kMiB);
  filledTo(large, 3 * kMiB + kMiB / 2);
  EXPECT_EQ(large.reserved(), 4 * kMiB) << "3 MiB expected: one block rounded up to whole huge pages";

  Arena small(4096);
  small.expect(kMiB);
  filledTo(small, 4096);
  EXPECT_EQ(small.reserved(), 4096u) << "below a huge page the arena grows as usual";

  Arena absurd(4096);
  absurd.expect(size_t{1} << 40);
  filledTo(absurd, 4096);
  EXPECT_EQ(absurd.reserved(), 8 * kMiB) << "the first block is never larger than the largest";

  Arena late(4096);
  filledTo(late, 4096);
  late.expect(4 * kMiB);
  filledTo(late, 4096);
  EXPECT_EQ(late.reserved(), 4096u + 8192u) << "once a block is taken, growth goes on as before";
}

}  // namespace
}  // namespace zor_test
