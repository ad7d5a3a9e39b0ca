// The one-word list of runs under the line table's address index: random appends and
// removals keep the same runs in the same order as a plain vector, across the move from
// the word to an array and the array's growth, and every array goes back to its pool.
#include "zor/source/run_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "zor/util/arena.h"

namespace zor_test {
namespace {

using ZOR_3_12::internal::Arena;
using ZOR_3_12::internal::LineRun;
using ZOR_3_12::internal::RunList;

std::vector<LineRun*> contents(const RunList& list) {
  std::vector<LineRun*> out(list.begin(), list.end());
  EXPECT_EQ(out.size(), list.size());
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(list[i], out[i]);
  return out;
}

TEST(RunList, FollowsAVectorThroughAppendsAndRemovals) {
  // The list never reads a run: aligned addresses stand in for them.
  alignas(8) static char storage[64 * 8];
  auto run = [](int i) { return reinterpret_cast<LineRun*>(storage + 8 * i); };

  Arena pool(4096);
  std::mt19937 random(11);
  {
    std::vector<std::unique_ptr<RunList>> lists;
    for (int round = 0; round < 200; ++round) {
      auto list = std::make_unique<RunList>();
      std::vector<LineRun*> model;
      const int steps = static_cast<int>(random() % 40);
      for (int s = 0; s < steps; ++s) {
        const unsigned op = random() % 4;
        if (op < 2 || model.empty()) {
          LineRun* r = run(static_cast<int>(random() % 64));
          list->push_back(r, &pool);
          model.push_back(r);
        } else if (op == 2) {
          const size_t at = random() % model.size();
          list->erase(list->begin() + at);
          model.erase(model.begin() + static_cast<long>(at));
        } else {
          LineRun* r = model[random() % model.size()];
          list->truncate(std::remove(list->begin(), list->end(), r));
          model.erase(std::remove(model.begin(), model.end(), r), model.end());
        }
        ASSERT_EQ(contents(*list), model) << "round " << round << " step " << s;
        ASSERT_EQ(list->empty(), model.empty());
      }
      lists.push_back(std::move(list));
    }
  }
  // Every list is gone: had one not given its array back, the pool would still be in use.
  EXPECT_TRUE(pool.releaseIfUnused());
}

}  // namespace
}  // namespace zor_test
