#include "support/threads_agree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "support/loaded_module.h"
#include "support/symbolizer_agreement.h"

namespace agreement {

using namespace ZOR_3_12;

void expectThreadsAgreeWithOne(const std::string& path, size_t limit,
                               const std::function<void(IModuleSymbolBank*, size_t)>& alsoAsk) {
  std::vector<uint64_t> addresses = addressesToCheck(path);
  ASSERT_FALSE(addresses.empty());
  addresses.resize(std::min(addresses.size(), limit));
  std::vector<std::vector<Frame>> alone;
  {
    zor_test::LoadedModule first(path);
    ASSERT_TRUE(first.bank);
    for (uint64_t a : addresses) alone.push_back(ourFrames(first.bank.get(), a));
  }
  zor_test::LoadedModule module(path);
  IModuleSymbolBank* bank = module.bank.get();
  ASSERT_TRUE(bank);
  // The image's symbols are loaded first, as the bank's callers are asked to do.
  ourFrames(bank, addresses.front());
  constexpr size_t kThreads = 4;
  const size_t n = addresses.size();
  std::vector<std::vector<std::vector<Frame>>> seen(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < n; ++i) {
        seen[t].push_back(ourFrames(bank, addresses[(i + t * n / kThreads) % n]));
        if (alsoAsk) alsoAsk(bank, i);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (size_t t = 0; t < kThreads; ++t) {
    for (size_t i = 0; i < n; ++i) {
      const size_t k = (i + t * n / kThreads) % n;
      EXPECT_EQ(seen[t][i], alone[k]) << "thread " << t << " at 0x" << std::hex << addresses[k];
    }
  }
}

}  // namespace agreement
