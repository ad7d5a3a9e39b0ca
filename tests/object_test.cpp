// Counting and deletion through the smart pointer (also across threads and with a destructor
// that retakes the count's lock), and tracing switched by the environment.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
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

TEST(TraceDeathTest, TraceGoesToTheNamedFileOrStandardError) {
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
  std::string log = readAll(path);
  EXPECT_NE(log.find("SymbolManager::loadSymbolsFromModule"), std::string::npos) << log;
  EXPECT_NE(log.find(" ERROR: could not open file"), std::string::npos) << log;
  EXPECT_NE(log.find("zor_symbolmanager:672"), std::string::npos) << log;
  // An empty value traces to standard error.
  setenv("ZORTRACE", "", 1);
  EXPECT_EXIT(
      {
        tracedOperation();
        std::exit(internal::traceEnabled() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "SymbolManager::loadSymbolsFromModule");
  unsetenv("ZORTRACE");
}

}  // namespace
}  // namespace ZOR_3_12
