// The line table: the chunked array under it, bounds and the order of answers at one
// address, and a randomized comparison of both queries (locsByAddr, linesForSrc) against a
// brute-force model, which covers run building and merging.
#include <zor/line_table.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <tuple>
#include <vector>

#include "support/dwarf_test_support.h"
#include "zor/source/line_run.h"
#include "zor/source/source_line.h"
#include "zor/source/source_location.h"

namespace zor_test {
namespace {

using namespace ZOR_3_12;
using internal::ChainedRow;

constexpr uint64_t kAll = COMP_UNIT_ALL;

// (unit, file, line, column)
using Loc = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t>;
// (unit, file, line, column, start, size)
using Line = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t, uint64_t, uint32_t>;

std::vector<Loc> drain(SymMgrObjectPtr<SourceLocationIter> it) {
  std::vector<Loc> out;
  if (!it) return out;
  for (bool more = it->current() != nullptr; more; more = it->next()) {
    SymMgrObjectPtr<ISourceLocation> loc = it->current();
    auto* impl = static_cast<SourceLocation*>(loc.get());
    out.emplace_back(loc->compUnitKey(), impl->fileIndex(), loc->line(), loc->column());
  }
  return out;
}

std::vector<Line> drain(SymMgrObjectPtr<SourceLineIter> it) {
  std::vector<Line> out;
  if (!it) return out;
  for (bool more = it->current() != nullptr; more; more = it->next()) {
    SymMgrObjectPtr<ISourceLine> line = it->current();
    auto* loc = static_cast<SourceLocation*>(line->location());
    out.emplace_back(loc->compUnitKey(), loc->fileIndex(), loc->line(), loc->column(),
                     static_cast<SourceLine*>(line.get())->start(), line->size());
  }
  return out;
}

// A line table with the loader and resolver it keeps; the queries below never ask them.
struct TableOwner {
  SymMgrObjectPtr<zor_fake::FakeLoader> loader{new zor_fake::FakeLoader};
  dwarf_test::TestContext context{dwarf::DwarfSections{}};
  LineTable table{*loader, context.resolver()};
};

class LineTableTest : public ::testing::Test {
 protected:
  TableOwner m_owner;
  LineTable& m_table = m_owner.table;
};

// --- TChunkArray ------------------------------------------------------------------------

// Counts chunks and can be told to refuse allocation after a number of chunks.
class CountingChunks : public TChunkArray<void*> {
 public:
  explicit CountingChunks(int allowed = 1 << 30) : m_allowed(allowed) {}
  ~CountingChunks() override { release(); }
  int allocated = 0;
  int freed = 0;

 protected:
  void** allocateChunk(size_t count) override {
    if (allocated >= m_allowed) return nullptr;
    ++allocated;
    return static_cast<void**>(std::calloc(count, sizeof(void*)));
  }
  void freeChunk(void** chunk) override {
    ++freed;
    std::free(chunk);
  }

 private:
  int m_allowed;
};

TEST(ChunkArrayTest, GrowsInChunksOf256WithoutMovingElements) {
  CountingChunks array;
  void** first = array.at(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(array.size(), 256u);
  *first = first;
  EXPECT_EQ(array.at(255), first + 255);  // same chunk
  // A jump far ahead makes every chunk in between, and old slots stay where they were.
  void** far = array.at(5000);
  ASSERT_NE(far, nullptr);
  EXPECT_EQ(array.chunkCount(), 20u);
  EXPECT_EQ(array.allocated, 20);
  EXPECT_EQ(array.at(0), first);
  EXPECT_EQ(*first, static_cast<void*>(first));
}

TEST(ChunkArrayTest, FailedAllocationStopsGrowthAndFreesWhatWasMade) {
  int freed = 0;
  {
    CountingChunks array(2);
    EXPECT_EQ(array.grow(1000), 512u);  // two chunks, then the third is refused
    EXPECT_EQ(array.size(), 512u);
    EXPECT_EQ(array.at(600), nullptr);
    EXPECT_NE(array.at(511), nullptr);
    EXPECT_EQ(array.allocated, 2);
    freed = array.freed;
  }
  EXPECT_EQ(freed, 0);  // freeing happens in the destructor, checked by sanitizers
}

// --- Bounds and order the model does not check -------------------------------------------

TEST_F(LineTableTest, AbsurdFileIndexIsRefusedWithoutGrowing) {
  m_table.insert(1, LineTable::kMaxFileIndex, 10, 0, 0x100, 0x10);
  m_table.insert(1, 0xFFFFFFFFu, 10, 0, 0x100, 0x10);
  EXPECT_EQ(m_table.fileSlots(), 256u);
  EXPECT_FALSE(m_table.locsByAddr(0x100, kAll));
  EXPECT_EQ(m_table.lowest(), UINT64_MAX);

  m_table.insert(1, LineTable::kMaxFileIndex - 1, 10, 0, 0x100, 0x10);
  EXPECT_EQ(drain(m_table.locsByAddr(0x100, kAll)), (std::vector<Loc>{{1, LineTable::kMaxFileIndex - 1, 10, 0}}));
}

TEST_F(LineTableTest, RowOfSizeZeroIsStoredButCoversNothing) {
  m_table.insert(1, 4, 7, 0, 0x500, 0);
  EXPECT_FALSE(m_table.locsByAddr(0x500, kAll));
  EXPECT_EQ(drain(m_table.linesForSrc(kAll, 4, 0, kAll)), (std::vector<Line>{{1, 4, 7, 0, 0x500, 0}}));

  // Another unit's empty row inside a covering row must not hide the covering row.
  m_table.insert(2, 5, 1, 0, 0x600, 0x40);
  m_table.insert(3, 6, 2, 0, 0x610, 0);
  EXPECT_EQ(drain(m_table.locsByAddr(0x610, kAll)), (std::vector<Loc>{{2, 5, 1, 0}}));
  EXPECT_EQ(drain(m_table.locsByAddr(0x620, kAll)), (std::vector<Loc>{{2, 5, 1, 0}}));
}

TEST_F(LineTableTest, RowsSharingAStartComeInLineColumnAndEndOrder) {
  m_table.insert(1, 1, 20, 0, 0x100, 0x10);
  m_table.insert(1, 1, 10, 5, 0x100, 0x20);
  m_table.insert(1, 1, 10, 5, 0x100, 0x08);  // the same entry with a second end
  m_table.insert(1, 1, 10, 1, 0x100, 0x10);
  EXPECT_EQ(drain(m_table.locsByAddr(0x104, kAll)),
            (std::vector<Loc>{{1, 1, 10, 1}, {1, 1, 10, 5}, {1, 1, 10, 5}, {1, 1, 20, 0}}));
  EXPECT_EQ(drain(m_table.locsByAddr(0x118, kAll)), (std::vector<Loc>{{1, 1, 10, 5}}));
  EXPECT_EQ(drain(m_table.linesForSrc(kAll, 1, 0, kAll)),
            (std::vector<Line>{{1, 1, 10, 1, 0x100, 0x10},
                               {1, 1, 10, 5, 0x100, 0x08},
                               {1, 1, 10, 5, 0x100, 0x20},
                               {1, 1, 20, 0, 0x100, 0x10}}));
}

TEST_F(LineTableTest, InnermostStartComesFirstWhenRowsOfOneRunNest) {
  m_table.insert(1, 1, 1, 0, 0x100, 0x100);
  m_table.insert(1, 1, 2, 0, 0x140, 0x10);
  m_table.insert(1, 1, 3, 0, 0x120, 0x40);
  EXPECT_EQ(drain(m_table.locsByAddr(0x148, kAll)), (std::vector<Loc>{{1, 1, 2, 0}, {1, 1, 3, 0}, {1, 1, 1, 0}}));
}

TEST_F(LineTableTest, EndsBeyondTheAddressSpaceAreCut) {
  m_table.insert(1, 1, 3, 0, UINT64_MAX - 0x10, 0x100);
  EXPECT_EQ(m_table.highest(), UINT64_MAX);
  EXPECT_EQ(drain(m_table.locsByAddr(UINT64_MAX - 1, kAll)), (std::vector<Loc>{{1, 1, 3, 0}}));
}

// --- Randomized comparison with a brute-force model ---------------------------------------

struct ModelRow {
  uint64_t unit;
  uint32_t file;
  uint32_t line;
  uint32_t column;
  uint64_t start;
  uint64_t end;
};

// `scale` stretches addresses and sizes alike: above 1 << 26, runs span more than 4 GiB and
// keep full rows instead of packed ones.
std::vector<ModelRow> randomRows(std::mt19937_64& rng, size_t sequences, uint64_t scale = 1) {
  std::vector<ModelRow> rows;
  std::uniform_int_distribution<int> unit(0, 3), file(0, 5), step(0, 12), pick(0, 9), len(1, 40);
  for (size_t s = 0; s < sequences; ++s) {
    // Like a line-number program: rows of one unit, each ending where the next starts,
    // the file changing now and then (inlined headers).
    uint64_t u = 0x100 * (unit(rng) + 1);
    uint64_t address = (0x1000 + (rng() % 0x600)) * scale;
    uint32_t f = static_cast<uint32_t>(file(rng));
    int count = len(rng);
    // Now and then lines and columns around the largest that the compact row format holds,
    // so that runs of both formats meet and merge.
    const bool wide = pick(rng) == 0;
    const uint32_t lineBase = wide ? ChainedRow::kMaxLine - 25 : 1;
    const uint32_t columnBase = wide ? ChainedRow::kMaxColumn - 1 : 0;
    for (int i = 0; i < count; ++i) {
      if (pick(rng) < 3) f = static_cast<uint32_t>(file(rng));
      uint64_t size = static_cast<uint64_t>(step(rng)) * scale;  // 0 happens: two rows at one address
      rows.push_back({u, f, static_cast<uint32_t>(lineBase + rng() % 50), static_cast<uint32_t>(columnBase + rng() % 3),
                      address, address + size});
      address += size;
    }
  }
  return rows;
}

std::vector<Loc> modelLocs(const std::vector<ModelRow>& rows, uint64_t address, uint64_t key) {
  std::vector<Loc> out;
  for (const ModelRow& r : rows) {
    if (r.start <= address && address < r.end && (key == kAll || key == r.unit)) {
      out.emplace_back(r.unit, r.file, r.line, r.column);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Line> modelLines(const std::vector<ModelRow>& rows, uint64_t key, uint32_t file, uint64_t from,
                             uint64_t to) {
  std::vector<ModelRow> picked;
  for (const ModelRow& r : rows) {
    if (r.file != file || (key != kAll && key != r.unit)) continue;
    if ((to == kAll || r.start < to) && (from == 0 || r.end > from)) picked.push_back(r);
  }
  std::sort(picked.begin(), picked.end(), [](const ModelRow& a, const ModelRow& b) {
    return std::tie(a.unit, a.start, a.line, a.column, a.end) < std::tie(b.unit, b.start, b.line, b.column, b.end);
  });
  std::vector<Line> out;
  for (const ModelRow& r : picked) {
    out.emplace_back(r.unit, r.file, r.line, r.column, r.start, static_cast<uint32_t>(r.end - r.start));
  }
  return out;
}

void compareWithModel(uint64_t seed, bool shuffle, uint64_t scale = 1) {
  std::mt19937_64 rng(seed);
  std::vector<ModelRow> rows = randomRows(rng, 120, scale);
  if (shuffle) std::shuffle(rows.begin(), rows.end(), rng);

  TableOwner owner;
  LineTable& table = owner.table;
  for (const ModelRow& r : rows) table.insert(r.unit, r.file, r.line, r.column, r.start, r.end - r.start);

  const uint64_t keys[] = {kAll, 0x100, 0x200, 0x300, 0x400, 0x500};
  for (uint64_t step = 0xFF0; step < 0x1700; ++step) {
    // Stretched, a step's first and last address.
    std::vector<uint64_t> addresses{step * scale};
    if (scale > 1) addresses.push_back((step + 1) * scale - 1);
    for (uint64_t address : addresses) {
      for (uint64_t key : keys) {
        std::vector<Loc> expected = modelLocs(rows, address, key);
        SymMgrObjectPtr<SourceLocationIter> it = table.locsByAddr(address, key);
        EXPECT_EQ(static_cast<bool>(it), !expected.empty()) << std::hex << address << " key " << key;
        std::vector<Loc> got = drain(it);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, expected) << "seed " << seed << std::hex << " address " << address << " key " << key;
      }
    }
  }

  std::uniform_int_distribution<uint64_t> bound(0xFF0, 0x1700);
  for (uint32_t file = 0; file < 7; ++file) {
    for (uint64_t key : keys) {
      std::vector<std::pair<uint64_t, uint64_t>> spans{{0, kAll}, {0, 0x1200}, {0x1200, kAll}};
      for (int i = 0; i < 25; ++i) {
        uint64_t a = bound(rng) * scale, b = bound(rng) * scale;
        spans.emplace_back(std::min(a, b), std::max(a, b));
      }
      for (const auto& span : spans) {
        std::vector<Line> expected = modelLines(rows, key, file, span.first, span.second);
        SymMgrObjectPtr<SourceLineIter> it = table.linesForSrc(key, file, span.first, span.second);
        EXPECT_EQ(static_cast<bool>(it), !expected.empty());
        ASSERT_EQ(drain(it), expected) << "seed " << seed << " file " << file << std::hex << " key " << key
                                       << " span " << span.first << ".." << span.second;
      }
    }
  }
}

TEST(LineTableModelTest, SequentialAndShuffledInsertsMatchBruteForce) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    compareWithModel(seed, false);
    compareWithModel(seed + 100, true);
  }
}

TEST(LineTableModelTest, RunsSpanningMoreThan4GiBMatchBruteForce) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    compareWithModel(seed, false, uint64_t{1} << 28);
    compareWithModel(seed + 100, true, uint64_t{1} << 28);
  }
}

TEST(LineTableModelTest, QueriesBetweenInsertsSeeEveryRowSoFar) {
  std::mt19937_64 rng(77);
  std::vector<ModelRow> rows = randomRows(rng, 40);
  std::shuffle(rows.begin(), rows.end(), rng);
  TableOwner owner;
  LineTable& table = owner.table;
  std::vector<ModelRow> inserted;
  for (size_t i = 0; i < rows.size(); ++i) {
    const ModelRow& r = rows[i];
    table.insert(r.unit, r.file, r.line, r.column, r.start, r.end - r.start);
    inserted.push_back(r);
    if (i % 37 != 0) continue;
    for (uint64_t address = 0x1000; address < 0x1700; address += 3) {
      std::vector<Loc> got = drain(table.locsByAddr(address, kAll));
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, modelLocs(inserted, address, kAll)) << i << std::hex << " " << address;
    }
  }
}

}  // namespace
}  // namespace zor_test
