// The loader base: debug-info loaders cached per symbol-file identity (also under concurrent
// callers), and reading file bytes.
#include <thread>

#include <gtest/gtest.h>

#include "support/fake_loader.h"
#include "support/scratch.h"

using namespace ZOR_3_12;
using zor_fake::FakeCandidate;
using zor_fake::FakeLoader;
using scratch::TempFile;

namespace {

TEST(DebugInfoLoaderCacheTest, SameIdentitySharesOneLoader) {
  TempFile sym("symbols"), other("other symbols");
  SymMgrObjectPtr<FakeLoader> loader(new FakeLoader());
  FakeCandidate a(sym.wpath(), RESOLVE_STATE_FOUND, SYM_FORMAT_PDB), b(sym.wpath(), RESOLVE_STATE_FOUND),
      c(other.wpath(), RESOLVE_STATE_FOUND);
  loader->candidates = {&a, &b, &c};
  SymMgrObjectPtr<SymbolFileIter> it;
  ASSERT_EQ(loader->symbolFilesToResolve(it), STATUS_OK);

  SymMgrObjectPtr<IDebugInfoLoader> first, again, samePath, different;
  ASSERT_EQ(loader->debugInfoLoader(first, 0), STATUS_OK);
  ASSERT_EQ(loader->debugInfoLoader(again, 0), STATUS_OK);
  ASSERT_EQ(loader->debugInfoLoader(samePath, 1), STATUS_OK);
  ASSERT_EQ(loader->debugInfoLoader(different, 2), STATUS_OK);
  ASSERT_TRUE(first);
  EXPECT_EQ(first.get(), again.get());
  EXPECT_EQ(first.get(), samePath.get());
  EXPECT_NE(first.get(), different.get());
  EXPECT_EQ(loader->createCalls, 2);
  // The factory sees the chosen candidate's path and format.
  EXPECT_EQ(std::wstring(first->symFileName()), sym.wpath());
  EXPECT_EQ(first->symFileFormat(), uint32_t(SYM_FORMAT_PDB));
  EXPECT_EQ(different->symFileFormat(), uint32_t(SYM_FORMAT_DWARF));
  // A rebuilt file is another identity.
  sym.write("a rebuilt, longer file");
  ASSERT_EQ(loader->debugInfoLoader(again, 0), STATUS_OK);
  EXPECT_NE(first.get(), again.get());
  EXPECT_EQ(loader->createCalls, 3);
}

TEST(DebugInfoLoaderCacheTest, ConcurrentCallersGetOneLoader) {
  SymMgrObjectPtr<FakeLoader> loader(new FakeLoader());
  FakeCandidate a(L"sym", RESOLVE_STATE_FOUND);
  loader->candidates = {&a};
  constexpr int kThreads = 4;
  IDebugInfoLoader* seen[kThreads] = {};
  // Each thread keeps its own reference until all are done, so none can die in between.
  std::vector<SymMgrObjectPtr<IDebugInfoLoader>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SymMgrObjectPtr<SymbolFileIter> it;
      loader->symbolFilesToResolve(it);
      loader->debugInfoLoader(kept[t], 0);
      seen[t] = kept[t].get();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(loader->collectCalls, 1);
  EXPECT_EQ(loader->createCalls, 1);
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  // The fake's counts have no lock of their own: drop the references on this thread.
  kept.clear();
}

TEST(ReadFileBytesTest, NeverAllocatesPastTheFile) {
  TempFile file("0123456789");
  const std::wstring path = file.wpath();
  // A size taken from a damaged header: only what the file holds is allocated.
  SymMgrObjectPtr<IBuffer> buf = internal::readFileBytes(path.c_str(), 8, uint64_t(1) << 62);
  ASSERT_TRUE(buf);
  ASSERT_EQ(buf->size(), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->data()), 2), "89");

  for (uint64_t offset : {uint64_t(10), uint64_t(11), ~uint64_t(0)}) {
    buf = internal::readFileBytes(path.c_str(), offset, 4);
    ASSERT_TRUE(buf);
    EXPECT_EQ(buf->size(), 0u) << offset;
  }
  buf = internal::readFileBytes(L"/no/such/zor/file", 0, 16);
  ASSERT_TRUE(buf);
  EXPECT_EQ(buf->size(), 0u);
  buf = internal::readFileBytes(path.c_str(), 0, 0);
  ASSERT_TRUE(buf);
  EXPECT_EQ(buf->size(), 0u);
}

}  // namespace
