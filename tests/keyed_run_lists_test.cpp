// The address index's chunked keys: whatever the order keys arrive in (ascending as a line
// program adds them, descending, or anywhere), the searches and steps agree with a std::map,
// every list stays with its key through the moves of inserts and chunk splits, and all the
// memory goes back to the pool.
#include "zor/source/keyed_run_lists.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "zor/util/arena.h"

namespace zor_test {
namespace {

using ZOR_3_12::internal::Arena;
using ZOR_3_12::internal::KeyedRunLists;
using ZOR_3_12::internal::LineRun;

// The lists never read a run: aligned addresses stand in for them.
alignas(8) char g_storage[8 * 4096];
LineRun* fakeRun(uint64_t i) { return reinterpret_cast<LineRun*>(g_storage + 8 * (i % 4096)); }

// A key's list: one run for most keys, three (an array of their own) for every fifth.
std::vector<LineRun*> runsOf(uint64_t key) {
  std::vector<LineRun*> runs{fakeRun(key)};
  if (key % 5 == 0) runs.insert(runs.end(), {fakeRun(key + 1), fakeRun(key + 2)});
  return runs;
}

void insertBoth(KeyedRunLists& lists, std::map<uint64_t, std::vector<LineRun*>>& model, uint64_t key, Arena& pool) {
  auto pos = lists.lowerBound(key);
  ASSERT_TRUE(pos == lists.end() || lists.at(pos).key != key);
  pos = lists.insert(pos, key);
  ASSERT_EQ(lists.at(pos).key, key);
  for (LineRun* run : runsOf(key)) lists.at(pos).list.push_back(run, &pool);
  model[key] = runsOf(key);
}

void expectSame(const KeyedRunLists& lists, const std::map<uint64_t, std::vector<LineRun*>>& model) {
  ASSERT_EQ(lists.size(), model.size());
  auto pos = lists.begin();
  for (const auto& [key, runs] : model) {
    ASSERT_NE(pos, lists.end());
    ASSERT_EQ(lists.at(pos).key, key);
    ASSERT_EQ(std::vector<LineRun*>(lists.at(pos).list.begin(), lists.at(pos).list.end()), runs) << key;
    pos = lists.next(pos);
  }
  EXPECT_EQ(pos, lists.end());
  if (!model.empty()) {
    EXPECT_EQ(lists.lastKey(), model.rbegin()->first);
  }
}

void expectSearchesAgree(const KeyedRunLists& lists, const std::map<uint64_t, std::vector<LineRun*>>& model,
                         uint64_t probe) {
  auto lower = lists.lowerBound(probe);
  auto modelLower = model.lower_bound(probe);
  ASSERT_EQ(lower == lists.end(), modelLower == model.end()) << probe;
  if (modelLower != model.end()) {
    EXPECT_EQ(lists.at(lower).key, modelLower->first);
  }
  auto upper = lists.upperBound(probe);
  auto modelUpper = model.upper_bound(probe);
  ASSERT_EQ(upper == lists.end(), modelUpper == model.end()) << probe;
  if (modelUpper != model.end()) {
    EXPECT_EQ(lists.at(upper).key, modelUpper->first);
  }
  // The greatest key <= probe, as a query asks for it.
  if (modelUpper != model.begin()) {
    ASSERT_NE(upper, lists.begin());
    EXPECT_EQ(lists.at(lists.prev(upper)).key, std::prev(modelUpper)->first);
  } else {
    EXPECT_EQ(upper, lists.begin());
  }
}

TEST(KeyedRunLists, AgreeWithAMapWhateverTheOrderOfKeys) {
  Arena pool(4096);
  {
    std::mt19937_64 random(5);
    KeyedRunLists lists(&pool);
    std::map<uint64_t, std::vector<LineRun*>> model;
    // Ascending stretches (a line program), a descending stretch, then keys anywhere: the
    // chunks fill, split at their start, middle and end.
    uint64_t next = 1000000;
    for (int i = 0; i < 600; ++i) insertBoth(lists, model, next += 1 + random() % 16, pool);
    for (uint64_t key = 999999; key > 999000; key -= 3) insertBoth(lists, model, key, pool);
    for (int i = 0; i < 3000; ++i) {
      const uint64_t key = 990000 + random() % 30000;
      if (!model.count(key)) insertBoth(lists, model, key, pool);
    }
    expectSame(lists, model);
    for (uint64_t probe : {uint64_t{0}, uint64_t{989999}, uint64_t{999000}, UINT64_MAX}) {
      expectSearchesAgree(lists, model, probe);
    }
    for (int i = 0; i < 2000; ++i) expectSearchesAgree(lists, model, 989990 + random() % 40000);
  }
  // Every chunk and every list's array is back: the pool holds nothing.
  EXPECT_TRUE(pool.releaseIfUnused());
}

}  // namespace
}  // namespace zor_test
