// The run-once flag of name objects: of the threads that meet a fresh flag together, one
// does the work and every other returns only once that work is done; a failed run leaves
// the flag for the next caller.
#include "zor/util/once.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zor_test {
namespace {

using ZOR_3_12::internal::OnceFlag;

TEST(OnceFlag, ConcurrentCallersSeeOneFinishedRun) {
  for (int round = 0; round < 20; ++round) {
    OnceFlag flag;
    std::atomic<int> runs{0};
    int value = 0;  // written by the one run, read by every caller after run() returns
    std::atomic<bool> go{false};
    std::vector<int> seen(8, -1);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        flag.run([&] {
          runs.fetch_add(1);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          value = 42;
        });
        seen[t] = value;
      });
    }
    go.store(true);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(flag.done());
    for (int v : seen) EXPECT_EQ(v, 42);
  }
}

TEST(OnceFlag, AFailedRunIsTriedAgain) {
  OnceFlag flag;
  int runs = 0;
  EXPECT_THROW(flag.run([&] {
    ++runs;
    throw std::runtime_error("no memory");
  }),
               std::runtime_error);
  EXPECT_FALSE(flag.done());
  flag.run([&] { ++runs; });
  flag.run([&] { ++runs; });
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(flag.done());
}

}  // namespace
}  // namespace zor_test
