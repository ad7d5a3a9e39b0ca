// The default resolver: the first candidate in the loader's order that found its file.
#include <gtest/gtest.h>

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

TEST(SymbolFileResolverTest, NoCandidatesIsNone) {
  CandidateList none;
  EXPECT_EQ(resolve(none), -1);
  SymMgrObjectPtr<SymbolFileIter> null;
  SymbolFileResolver resolver;
  EXPECT_EQ(resolver.resolveSymbolFile(null), -1);
}

TEST(SymbolFileResolverTest, FirstFoundWinsAndLaterOnesAreNotAsked) {
  FakeCandidate missing(L"/x/a.debug", RESOLVE_STATE_NOT_FOUND), found(L"/x/b.debug", RESOLVE_STATE_FOUND),
      alsoFound(L"/x/c.debug", RESOLVE_STATE_FOUND);
  CandidateList list{&missing, &found, &alsoFound};
  EXPECT_EQ(resolve(list), 1);
  EXPECT_EQ(alsoFound.stateCalls, 0);
  CandidateList firstWins{&found, &missing};
  EXPECT_EQ(resolve(firstWins), 0);
}

TEST(SymbolFileResolverTest, UnusableStatesAreSkippedWhateverTheirPath) {
  FakeCandidate rejected(L"/x/wrong.debug", RESOLVE_STATE_REJECTED), notFound(L"/x/a.pdb", RESOLVE_STATE_NOT_FOUND),
      noPath(L"", RESOLVE_STATE_NO_PATH), none(L"/x/n", RESOLVE_STATE_NONE);
  CandidateList list{&rejected, &notFound, &noPath, &none};
  EXPECT_EQ(resolve(list), -1);
  FakeCandidate found(L"/x/ok.pdb", RESOLVE_STATE_FOUND);
  list.push_back(&found);
  EXPECT_EQ(resolve(list), 4);
}

TEST(SymbolFileResolverTest, RewindsAnIteratorThatWasAlreadyWalked) {
  FakeCandidate found(L"/x/ok", RESOLVE_STATE_FOUND), missing(L"/x/no", RESOLVE_STATE_NOT_FOUND);
  CandidateList list{&found, &missing};
  SymMgrObjectPtr<SymbolFileIter> it(new VectorIteratorWrapper<CandidateList, ISymbolFileToResolve*>(&list));
  it->next();
  it->next();
  SymbolFileResolver resolver;
  EXPECT_EQ(resolver.resolveSymbolFile(it), 0);
}

}  // namespace
