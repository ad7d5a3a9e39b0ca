// Many threads loading, querying and dropping modules at once: banks and loaders are shared
// while anybody holds them and rebuilt after, the manager comes and goes, and every answer
// is the one a single thread gets. Run under ThreadSanitizer by CI.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <zor/extensions.h>
#include <zor/line_table.h>
#include <zor/zor.h>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "support/threads_agree.h"
#include "zor/manager/symbol_manager.h"
#include "zor/object/globals.h"

using namespace ZOR_3_12;

namespace {

std::wstring fixture(const char* relative) {
  return KAVE_3_1::utf8ToWide(std::string(ZOR_FIXTURES_DIR) + "/" + relative);
}

struct Probe {
  uint64_t va;
  std::wstring name;
  uint32_t line;  // 0 without line information
};

uint32_t lineAt(IModuleSymbolBank* bank, IAddress* address) {
  SymMgrObjectPtr<ISourceLocation> location;
  if (bank->sourceLocationsByAddress(address, location, COMP_UNIT_ALL, nullptr) != STATUS_OK || !location) return 0;
  return location->line();
}

struct Module {
  std::wstring path;
  std::vector<Probe> probes;  // empty for a file that is not an image
};

// What one thread alone answers, to compare the threads' answers with.
std::vector<Module> expectedAnswers() {
  std::vector<Module> modules;
  SymMgrObjectPtr<ISymbolManager> manager;
  EXPECT_EQ(ISymbolManager::create(manager), STATUS_OK);
  for (const char* file : {"elf/hello_nopie", "elf/hello_pie", "elf/libplt.so", "elf/nodebug/hello_nodebug",
                           "dwarf/c_gcc_d3_O2", "dwarf/cpp_gcc_d3_O2", "misc/text.txt"}) {
    Module m{fixture(file), {}};
    SymMgrObjectPtr<IModuleSymbolBank> bank;
    if (manager->loadSymbolsFromModule(m.path.c_str(), nullptr, bank) == STATUS_OK) {
      SymMgrObjectPtr<SymbolRangeIter> ranges;
      EXPECT_EQ(bank->originalSymbolRanges(ranges, SYMBOL_KIND_FUNCTION, nullptr, nullptr), STATUS_OK);
      for (auto r = ranges->current(); r && m.probes.size() < 16; ranges->next(), r = ranges->current()) {
        SymMgrObjectPtr<IAddress> start = r->startAddress();
        SymMgrObjectPtr<ISymbolRange> found;
        // Keep the starts whose answer is unambiguous.
        if (bank->symbolRangeByAddress(start.get(), found, SYMBOL_KIND_FUNCTION, nullptr) == STATUS_OK &&
            found->symbol() == r->symbol())
          m.probes.push_back({start->va(), r->symbol()->name(), lineAt(bank.get(), start.get())});
      }
      EXPECT_FALSE(m.probes.empty());
    }
    modules.push_back(m);
  }
  return modules;
}

size_t cachedBanks() {
  ScopedLock guard(&internal::managerLock());
  SymbolManager* m = SymbolManager::instance();
  return m ? m->cachedBankCount() : 0;
}

TEST(ConcurrencyTest, ThreadsShareLiveBanksAndRebuildDroppedOnes) {
  const std::vector<Module> modules = expectedAnswers();
  ASSERT_EQ(cachedBanks(), 0u);
  KAVE_3_1::RecordCapture quiet;  // non-images leave assertion records; keep them off stderr

  constexpr int kThreads = 8;
  constexpr int kIterations = 300;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      SymMgrObjectPtr<ISymbolManager> manager;
      std::map<size_t, SymMgrObjectPtr<IModuleSymbolBank>> held;  // module index -> bank
      for (int i = 0; i < kIterations; ++i) {
        // Now and then let go of the manager; it dies when no bank or thread holds it.
        if (!manager || random() % 16 == 0) {
          manager.reset();
          if (ISymbolManager::create(manager) != STATUS_OK) ++mismatches[t];
        }
        const size_t index = random() % modules.size();
        const Module& module = modules[index];
        SymMgrObjectPtr<IModuleSymbolBank> bank;
        const status_t status = manager->loadSymbolsFromModule(module.path.c_str(), nullptr, bank);
        if (module.probes.empty()) {
          if (status != STATUS_BAD_FILE_FORMAT) ++mismatches[t];
          continue;
        }
        if (status != STATUS_OK || !bank) {
          ++mismatches[t];
          continue;
        }
        // A bank this thread still holds is alive, so the load must hand out that one.
        auto it = held.find(index);
        if (it != held.end() && it->second.get() != bank.get()) ++mismatches[t];

        const Probe& probe = module.probes[random() % module.probes.size()];
        SymMgrObjectPtr<IAddress> address;
        SymMgrObjectPtr<ISymbolRange> range;
        if (bank->addressByVa(probe.va, address) != STATUS_OK ||
            bank->symbolRangeByAddress(address.get(), range, SYMBOL_KIND_FUNCTION, nullptr) != STATUS_OK ||
            range->symbol() == nullptr || probe.name != range->symbol()->name())
          ++mismatches[t];
        if (address && lineAt(bank.get(), address.get()) != probe.line) ++mismatches[t];
        if (wcslen(bank->checkSum()) != 16) ++mismatches[t];

        switch (random() % 3) {
          case 0: held[index] = bank; break;  // keep it for later iterations
          case 1: held.erase(index); break;   // drop ours; the bank may die here
          default: break;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;

  // Every bank was dropped with its thread: nothing is cached and the manager is gone.
  EXPECT_EQ(cachedBanks(), 0u);
  ScopedLock guard(&internal::managerLock());
  EXPECT_EQ(SymbolManager::instance(), nullptr);
}

TEST(ConcurrencyTest, SimultaneousFirstLoadsOfOneModuleYieldOneBank) {
  const std::wstring path = fixture("elf/hello_pie");
  for (int round = 0; round < 20; ++round) {
    constexpr int kThreads = 8;
    std::vector<SymMgrObjectPtr<IModuleSymbolBank>> banks(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        SymMgrObjectPtr<ISymbolManager> manager;
        if (ISymbolManager::create(manager) == STATUS_OK)
          manager->loadSymbolsFromModule(path.c_str(), nullptr, banks[t]);
      });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_TRUE(banks[t]);
      EXPECT_EQ(banks[t].get(), banks[0].get()) << "round " << round << ", thread " << t;
    }
    banks.clear();
    EXPECT_EQ(cachedBanks(), 0u);
  }
}

// The bodies of functions and inlined calls are read on first demand: threads that ask for
// them at the same moment must all see what one thread sees.
TEST(ConcurrencyTest, ThreadsReadingBodiesOnDemandAgreeWithOneThread) {
  ASSERT_EQ(cachedBanks(), 0u);  // each load of the helper reads the module afresh
  agreement::expectThreadsAgreeWithOne(std::string(ZOR_FIXTURES_DIR) + "/dwarf/cpp_gcc_d3_O2", SIZE_MAX);
  // Units are read one at a time by whichever of the walk and the line programs needs the
  // next one; here units, a partial unit they import, and both kinds of first query.
  agreement::expectThreadsAgreeWithOne(std::string(ZOR_FIXTURES_DIR) + "/dwz/single_d5", SIZE_MAX);
}

// The line table answers its first queries from a tree and lays its keys out in an array
// once enough queries have come: threads must see the same answers before, during and after.
TEST(ConcurrencyTest, LineQueriesFromManyThreadsAgreeWhileTheIndexIsLaidOut) {
  // Line-program-like rows: sequences whose file changes now and then, so runs are short and
  // keys many; two tables filled alike, one to answer alone first.
  struct Table {
    SymMgrObjectPtr<zor_fake::FakeLoader> loader{new zor_fake::FakeLoader};
    dwarf_test::TestContext context{dwarf::DwarfSections{}};
    LineTable table{*loader, context.resolver()};
  } alone, shared;
  std::mt19937_64 rng(5);
  uint64_t address = 0x1000;
  for (int row = 0; row < 20000; ++row) {
    const uint32_t file = static_cast<uint32_t>(rng() % 4), line = static_cast<uint32_t>(1 + rng() % 500);
    const uint64_t size = rng() % 9, unit = 0x100 * (1 + row / 5000);
    for (Table* t : {&alone, &shared}) t->table.insert(unit, file, line, 0, address, size);
    address += size;
  }
  using Answer = std::vector<std::pair<uint64_t, uint32_t>>;  // (unit, line) per location
  auto answer = [](LineTable& table, uint64_t va) {
    Answer out;
    SymMgrObjectPtr<SourceLocationIter> it = table.locsByAddr(va, COMP_UNIT_ALL);
    for (bool more = it && it->current(); more; more = it->next())
      out.emplace_back(it->current()->compUnitKey(), it->current()->line());
    return out;
  };
  const uint64_t end = address;
  std::vector<Answer> expected;
  for (uint64_t va = 0x1000; va < end; va += 3) expected.push_back(answer(alone.table, va));

  std::vector<std::thread> threads;
  std::vector<size_t> wrong(4, 0);
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < expected.size(); ++i) {
        const size_t k = (i * 7 + t * expected.size() / 4) % expected.size();
        if (answer(shared.table, 0x1000 + 3 * k) != expected[k]) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < wrong.size(); ++t) EXPECT_EQ(wrong[t], 0u) << "thread " << t;
}

}  // namespace
