// The costs a profiler pays per module and per sampled address, through the public
// interfaces: loading a module (up to the answer to its first address), and once it is
// loaded, the function at an address, the line-table location and the whole inline chain.
// Per-address benchmarks report the time of one address; they run over every function
// start and random addresses in .text (fixed seed), after one warm-up pass so that bodies
// read on first use are not counted.
//
// The module is ZOR_BENCH_MODULE when set, else the program bench/compare_all.sh generates
// (about 50 MB of DWARF 5, deep inlining) when it has been built, else a small C++ fixture.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <zor/extensions.h>
#include <zor/zor.h>

#include "kave/unicode.h"

namespace {

using namespace ZOR_3_12;

std::string modulePath() {
  if (const char* env = std::getenv("ZOR_BENCH_MODULE")) return env;
  const std::string generated = ZOR_FIXTURES_DIR "/../../bench/work/gen/program";
  if (access(generated.c_str(), R_OK) == 0) return generated;
  return ZOR_FIXTURES_DIR "/dwarf/cpp_gcc_d4_O2";
}

SymMgrObjectPtr<IModuleSymbolBank> loadModule(SymMgrObjectPtr<ISymbolManager>& manager) {
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  if (failed(ISymbolManager::create(manager))) return bank;
  manager->loadSymbolsFromModule(KAVE_3_1::utf8ToWide(modulePath()).c_str(), nullptr, bank);
  return bank;
}

// One loaded module and its addresses, shared by the per-address benchmarks.
struct Loaded {
  SymMgrObjectPtr<ISymbolManager> manager;
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  std::vector<SymMgrObjectPtr<IAddress>> addresses;

  Loaded() {
    bank = loadModule(manager);
    if (!bank) return;
    std::vector<uint64_t> vas;
    SymMgrObjectPtr<SymbolRangeIter> ranges;
    if (bank->originalSymbolRanges(ranges, SYMBOL_KIND_FUNCTION, nullptr, nullptr) == STATUS_OK && ranges) {
      for (bool more = true; more; more = ranges->next()) {
        SymMgrObjectPtr<ISymbolRange> r = ranges->current();
        SymMgrObjectPtr<IAddress> start = r ? r->startAddress() : nullptr;
        if (start) vas.push_back(start->va());
      }
    }
    SymMgrObjectPtr<ISection> text;
    if (bank->sectionByName(L".text", text) == STATUS_OK && text && text->size() > 0) {
      std::mt19937_64 rng(20260101);
      for (int i = 0; i < 50000; ++i) vas.push_back(text->address() + rng() % text->size());
    }
    std::shuffle(vas.begin(), vas.end(), std::mt19937_64(7));
    for (uint64_t va : vas) {
      SymMgrObjectPtr<IAddress> a;
      if (bank->addressByVa(va, a) == STATUS_OK && a) addresses.push_back(a);
    }
    // Warm-up: every body an address needs is read now, not while timing.
    std::vector<InlineFrame> frames;
    for (auto& a : addresses) inlineFrames(bank.get(), a.get(), frames);
  }
};

Loaded& loaded() {
  static Loaded* s_loaded = new Loaded;
  return *s_loaded;
}

// Runs `query` on one address per iteration, cycling through the list.
template <class Query>
void perAddress(benchmark::State& state, Query query) {
  Loaded& l = loaded();
  if (!l.bank || l.addresses.empty()) {
    state.SkipWithError("module not loaded (set ZOR_BENCH_MODULE)");
    return;
  }
  size_t i = 0;
  for (auto _ : state) {
    query(l.bank.get(), l.addresses[i].get());
    if (++i == l.addresses.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["addresses"] = static_cast<double>(l.addresses.size());
}

void BM_ModuleLoad(benchmark::State& state) {
  for (auto _ : state) {
    SymMgrObjectPtr<ISymbolManager> manager;
    SymMgrObjectPtr<IModuleSymbolBank> bank = loadModule(manager);
    if (!bank) {
      state.SkipWithError("module not loaded (set ZOR_BENCH_MODULE)");
      return;
    }
    // Loading is lazy: the first inline chain reads the functions and the line table.
    SymMgrObjectPtr<IAddress> first;
    std::vector<InlineFrame> frames;
    if (bank->addressByVa(bank->preferredLoadAddress(), first) == STATUS_OK && first)
      inlineFrames(bank.get(), first.get(), frames);
    benchmark::DoNotOptimize(frames.size());
  }
}
BENCHMARK(BM_ModuleLoad)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SymbolByAddress(benchmark::State& state) {
  perAddress(state, [](IModuleSymbolBank* bank, IAddress* a) {
    SymMgrObjectPtr<ISymbolRange> range;
    bank->symbolRangeByAddress(a, range, SYMBOL_KIND_FUNCTION | SYMBOL_KIND_PUBLIC, nullptr);
    benchmark::DoNotOptimize(range.get());
  });
}
BENCHMARK(BM_SymbolByAddress);

void BM_SourceLocationByAddress(benchmark::State& state) {
  perAddress(state, [](IModuleSymbolBank* bank, IAddress* a) {
    SymMgrObjectPtr<ISourceLocation> location;
    lineTableLocationByAddress(bank, a, location);
    benchmark::DoNotOptimize(location.get());
  });
}
BENCHMARK(BM_SourceLocationByAddress);

void BM_InlineChain(benchmark::State& state) {
  std::vector<InlineFrame> frames;
  perAddress(state, [&frames](IModuleSymbolBank* bank, IAddress* a) {
    inlineFrames(bank, a, frames);
    benchmark::DoNotOptimize(frames.data());
  });
}
BENCHMARK(BM_InlineChain);

}  // namespace

BENCHMARK_MAIN();
