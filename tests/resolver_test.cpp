// The default resolver: the first candidate in the loader's order that found its file.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/fake_loader.h"
#include "zor/loader/symbol_file_resolver.h"

using namespace ZOR_3_12;
using zor_fake::FakeCandidate;

namespace {

using CandidateList = std::vector<ISymbolFileToResolve*>;

int32_t resolve(CandidateList& list) {
  SymMgrObjectPtr<SymbolFileIter> it(new VectorIteratorWrapper<CandidateList, ISymbolFileToResolve*>(&list));
  SymbolFileResolver resolver;
  return resolver.resolveSymbolFile(it);
}

// Candidates in the loader's order by state: the index chosen, and which were asked.
TEST(SymbolFileResolverTest, FirstFoundWinsAndLaterOnesAreNotAsked) {
  const uint32_t F = RESOLVE_STATE_FOUND, N = RESOLVE_STATE_NOT_FOUND;
  const struct {
    std::vector<uint32_t> states;
    int32_t chosen;
  } cases[] = {
      {{}, -1},
      {{N, F, F}, 1},
      {{F, N}, 0},
      // Unusable states are skipped whatever the path.
      {{RESOLVE_STATE_REJECTED, N, RESOLVE_STATE_NO_PATH, RESOLVE_STATE_NONE}, -1},
      {{RESOLVE_STATE_REJECTED, N, RESOLVE_STATE_NO_PATH, RESOLVE_STATE_NONE, F}, 4},
  };
  for (const auto& c : cases) {
    std::vector<std::unique_ptr<FakeCandidate>> owned;
    CandidateList list;
    for (uint32_t state : c.states) {
      owned.emplace_back(new FakeCandidate(state == RESOLVE_STATE_NO_PATH ? L"" : L"/x/c.debug", state));
      list.push_back(owned.back().get());
    }
    EXPECT_EQ(resolve(list), c.chosen) << c.states.size();
    for (size_t i = c.chosen < 0 ? list.size() : size_t(c.chosen) + 1; i < owned.size(); ++i)
      EXPECT_EQ(owned[i]->stateCalls, 0) << i;
  }
  SymMgrObjectPtr<SymbolFileIter> null;
  SymbolFileResolver resolver;
  EXPECT_EQ(resolver.resolveSymbolFile(null), -1);
}

}  // namespace
