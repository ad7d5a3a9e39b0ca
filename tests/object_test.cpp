// The object model: counting and deletion, the smart pointer, iterators, status messages,
// locks, and tracing as the environment switches it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <zor/object.h>
#include <zor/status.h>
#include <zor/types.h>

#include "kave/trace.h"
#include "zor/object/globals.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace {

class IWidget : public ISymMgrObject {
 public:
  virtual int value() = 0;
};

class Widget : public SymMgrObject<IWidget> {
 public:
  Widget(int* deletions, ILock* lock = nullptr) : SymMgrObject<IWidget>(lock), m_deletions(deletions) {}
  ~Widget() override { ++*m_deletions; }
  int value() override { return 7; }

 private:
  int* m_deletions;
};

unsigned countOf(Widget* w) {
  unsigned n = 0;
  w->refCount(n);
  return n;
}

TEST(RefCount, PointersShareOneObjectAndDeleteItOnce) {
  int deletions = 0;
  Widget* raw = new Widget(&deletions);
  EXPECT_EQ(countOf(raw), 0u);  // born uncounted
  {
    SymMgrObjectPtr<IWidget> a(raw);
    EXPECT_EQ(countOf(raw), 1u);
    {
      SymMgrObjectPtr<IWidget> b = a;
      EXPECT_EQ(countOf(raw), 2u);
      b = a;  // same object: no change
      EXPECT_EQ(countOf(raw), 2u);
      a = a.get();
      EXPECT_EQ(countOf(raw), 2u);
    }
    EXPECT_EQ(countOf(raw), 1u);
    SymMgrObjectPtr<IWidget> moved(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(countOf(raw), 1u);
    EXPECT_EQ(moved->value(), 7);
  }
  EXPECT_EQ(deletions, 1);
}

TEST(RefCount, ReassignmentReleasesTheOldObject) {
  int deletions = 0;
  SymMgrObjectPtr<IWidget> p(new Widget(&deletions));
  p = new Widget(&deletions);
  EXPECT_EQ(deletions, 1);
  p.reset();
  EXPECT_EQ(deletions, 2);
  EXPECT_TRUE(!p);
}

// A final release holds the count's lock while the destructor runs; a destructor that takes
// the same lock again must not deadlock.
class LockingWidget : public SymMgrObject<IWidget> {
 public:
  LockingWidget(ZorLock* lock, bool* ran) : SymMgrObject<IWidget>(lock), m_lock(lock), m_ran(ran) {}
  ~LockingWidget() override {
    ScopedLock again(m_lock);
    *m_ran = true;
  }
  int value() override { return 1; }

 private:
  ZorLock* m_lock;
  bool* m_ran;
};

TEST(RefCount, DestructorMayRetakeTheCountLock) {
  ZorLock lock;
  bool ran = false;
  { SymMgrObjectPtr<IWidget> p(new LockingWidget(&lock, &ran)); }
  EXPECT_TRUE(ran);
}

TEST(RefCount, LockedCountsSurviveManyThreads) {
  ZorLock lock;
  int deletions = 0;
  SymMgrObjectPtr<IWidget> shared(new Widget(&deletions, &lock));
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) SymMgrObjectPtr<IWidget> copy = shared;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(countOf(static_cast<Widget*>(shared.get())), 1u);
  shared.reset();
  EXPECT_EQ(deletions, 1);
}

class Impl : public SymMgrObjectImpl {
 public:
  explicit Impl(int* deletions) : m_deletions(deletions) {}
  ~Impl() override { ++*m_deletions; }

 private:
  int* m_deletions;
};

TEST(RefCount, InternalObjectsDeleteThroughTheirDestructor) {
  int deletions = 0;
  {
    SymMgrObjectPtr<Impl> a(new Impl(&deletions));
    SymMgrObjectPtr<Impl> b = a;
    EXPECT_EQ(a->addRef(), 3u);
    EXPECT_EQ(a->release(), 2u);
  }
  EXPECT_EQ(deletions, 1);
}

template <class It>
std::vector<int> walk(It& it) {
  std::vector<int> seen;
  it.reset();
  for (int* x = it.current(); x != nullptr; x = it.current()) {
    seen.push_back(*x);
    it.next();
  }
  return seen;
}

TEST(Iterators, VectorWrapperFollowsTheContract) {
  int a = 1, b = 2, c = 3;
  std::vector<int*> three{&a, &b, &c};
  SymMgrObjectPtr<IIterator<int*>> it(new VectorIteratorWrapper<std::vector<int*>, int*>(&three));
  EXPECT_EQ(*it->current(), 1);  // construction ends on the first element
  EXPECT_TRUE(it->next());
  EXPECT_TRUE(it->next());
  EXPECT_EQ(*it->current(), 3);
  EXPECT_FALSE(it->next());
  EXPECT_EQ(it->current(), nullptr);
  EXPECT_FALSE(it->next());  // stays at the end
  it->reset();
  EXPECT_EQ(*it->current(), 1);

  std::vector<int*> none;
  SymMgrObjectPtr<IIterator<int*>> empty(new VectorIteratorWrapper<std::vector<int*>, int*>(&none));
  EXPECT_EQ(empty->current(), nullptr);
  EXPECT_FALSE(empty->next());
}

TEST(Iterators, MapWrapperWalksValuesInKeyOrder) {
  int a = 10, b = 20, c = 30;
  std::map<uint64_t, int*> m{{300, &c}, {100, &a}, {200, &b}};
  using It = MapIteratorWrapper<std::map<uint64_t, int*>, int*, CFilter<int*, uint32_t>, uint32_t>;
  It it(&m, 0xFFFFFFFFu);
  it.addRef();
  EXPECT_EQ(walk(it), (std::vector<int>{10, 20, 30}));
  EXPECT_FALSE(it.next());
  std::map<uint64_t, int*> none;
  It empty(&none, 0xFFFFFFFFu);
  empty.addRef();
  EXPECT_EQ(empty.current(), nullptr);
  EXPECT_FALSE(empty.next());
}

TEST(Status, MessagesAreExact) {
  EXPECT_STREQ(toUString(STATUS_OK), L"\"Operation succeeded\"");
  EXPECT_EQ(std::wstring(toUString(STATUS_OK)).size(), 21u);
  EXPECT_STREQ(toUString(STATUS_FALSE), L"\"Operation succeeded and return logical FALSE\"");
  EXPECT_STREQ(toUString(STATUS_CANT_WRITE_FILE), L"\"Can't write to file\"");
  EXPECT_STREQ(toUString(STATUS_NOT_INITIALIZED), L"\"Internal object is not initialized properly\"");
  EXPECT_STREQ(toUString(STATUS_UNKNOWN_FILE_FORMAT), L"\"Unknown file format\"");
  EXPECT_STREQ(toUString(static_cast<status_t>(0x10000013)), L"<Unknown status>");
  EXPECT_STREQ(toUString(static_cast<status_t>(2)), L"<Unknown status>");
  // Every code of the table has a quoted message of its own.
  for (uint32_t code = 0x10000001; code <= 0x10000019; ++code) {
    if (code == 0x10000013) continue;
    std::wstring m = toUString(static_cast<status_t>(code));
    EXPECT_EQ(m.front(), L'"') << std::hex << code;
    EXPECT_EQ(m.back(), L'"') << std::hex << code;
    EXPECT_TRUE(failed(static_cast<status_t>(code)));
  }
  EXPECT_FALSE(failed(STATUS_FALSE));
}

TEST(Status, StreamWritesTheMessageOnly) {
  std::wostringstream os;
  os << STATUS_NO_VALID_PDB;
  EXPECT_EQ(os.str(), toUString(STATUS_NO_VALID_PDB));
}

TEST(Priority, KindsRankAsDocumented) {
  EXPECT_EQ(symbolPriorityByKind(SYMBOL_KIND_16), 0);
  EXPECT_EQ(symbolPriorityByKind(SYMBOL_KIND_FUNCTION), 1);
  EXPECT_EQ(symbolPriorityByKind(SYMBOL_KIND_LABEL), 2);
  EXPECT_EQ(symbolPriorityByKind(SYMBOL_KIND_PUBLIC), 3);
  EXPECT_EQ(symbolPriorityByKind(SYMBOL_KIND_DATA), 4);
  for (uint32_t k : {0u, 3u, 5u, 32u}) EXPECT_EQ(symbolPriorityByKind(static_cast<symbol_kind_t>(k)), 10);
}

TEST(Locks, ReentrantLockIsFreeAfterMatchingReleases) {
  ZorLock lock;
  lock.lock();
  lock.lock();
  lock.unlock();
  lock.unlock();
  bool taken = false;
  std::thread other([&] {
    lock.lock();
    taken = true;
    lock.unlock();
  });
  other.join();
  EXPECT_TRUE(taken);
}

TEST(Locks, LibraryLocksAndOptionsExistAtLoad) {
  EXPECT_NE(&internal::managerLock(), &internal::loadLock());
  EXPECT_TRUE(KAVE_3_1::isOptionKnown("ZORTRACE_ALL_DETAILS"));
  EXPECT_TRUE(KAVE_3_1::isOptionKnown("ZORTRACE_ALL_WARNINGS"));
}

// getLog() reads ZORTRACE once per process, so each setting is checked in a fresh child.
void tracedOperation() {
  ZOR_TRACE("loadSymbolsFromModule", "SymbolManager");
  ZOR_ERROR(internal::kSymbolManagerSource, 672) << "could not open file" << std::endl;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(TraceDeathTest, TracePathWritesRecordsToThatFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string path = testing::TempDir() + "zor_trace_test.log";
  std::remove(path.c_str());
  setenv("ZORTRACE", path.c_str(), 1);
  EXPECT_EXIT(
      {
        tracedOperation();
        std::exit(internal::traceEnabled() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  unsetenv("ZORTRACE");
  std::string log = readAll(path);
  EXPECT_NE(log.find("SymbolManager::loadSymbolsFromModule"), std::string::npos) << log;
  EXPECT_NE(log.find(" ERROR: could not open file"), std::string::npos) << log;
  EXPECT_NE(log.find("zor_symbolmanager:672"), std::string::npos) << log;
}

TEST(TraceDeathTest, UnsetVariableDisablesTracing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  unsetenv("ZORTRACE");
  // The error record is still counted (observable), but nothing is written.
  EXPECT_EXIT(
      {
        unsigned long before = KAVE_3_1::errorCount();
        tracedOperation();
        std::exit(!internal::traceEnabled() && KAVE_3_1::errorCount() == before + 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(TraceDeathTest, EmptyVariableTracesToStandardError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("ZORTRACE", "", 1);
  EXPECT_EXIT(
      {
        tracedOperation();
        std::exit(internal::traceEnabled() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "SymbolManager::loadSymbolsFromModule");
  unsetenv("ZORTRACE");
}

TEST(TraceDeathTest, UnopenablePathStillEnablesTracing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("ZORTRACE", "/nonexistent-dir/for/zor.log", 1);
  EXPECT_EXIT(
      {
        tracedOperation();
        std::exit(internal::traceEnabled() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "could not open file");
  unsetenv("ZORTRACE");
}

}  // namespace
}  // namespace ZOR_3_12
