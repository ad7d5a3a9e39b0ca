// Symbol table costs at module sizes from small libraries to very large executables:
// building the index, by-address lookup, and a non-overlapped walk over the whole table.
// Layout: mostly disjoint functions of 16..512 bytes, about one in ten with a nested
// symbol inside, one in twenty followed by a size-0 public label; inserted in shuffled
// order, as an image's symbol table lists them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "zor/store/scope.h"
#include "zor/store/symbol_table.h"

#include "bench_fakes.h"

namespace {

using namespace ZOR_3_12;

using BenchLoader = zor_bench::AddressOnlyLoader;

struct Spec {
  uint64_t start, end;
  symbol_kind_t kind;
};

constexpr uint64_t kBase = 0x400000;

std::vector<Spec> layout(size_t n, uint64_t& top) {
  std::mt19937_64 rng(12345);
  std::vector<Spec> out;
  out.reserve(n);
  uint64_t at = kBase;
  while (out.size() < n) {
    uint64_t size = 16 + (rng() % 31) * 16;
    out.push_back({at, at + size, SYMBOL_KIND_FUNCTION});
    if (out.size() < n && rng() % 10 == 0) out.push_back({at + 8, at + size / 2, SYMBOL_KIND_FUNCTION});
    at += size;
    if (out.size() < n && rng() % 20 == 0) out.push_back({at, at, SYMBOL_KIND_PUBLIC});
    at += (rng() % 4) * 16;  // padding between functions
  }
  top = at;
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

std::vector<IScope*> makeScopes(IFileFormatLoader* loader, IScope* parent, const std::vector<Spec>& specs) {
  std::vector<IScope*> scopes;
  scopes.reserve(specs.size());
  size_t i = 0;
  for (const Spec& s : specs) {
    std::wstring name = L"fn_" + std::to_wstring(i++);
    auto* scope = new SymbolScope(loader, name.c_str(), s.start, parent, SYMBOL_LINKAGE_GLOBAL, s.kind);
    scope->addRange(s.start, s.end);
    scopes.push_back(scope);
  }
  return scopes;
}

void BM_TableInsert(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  uint64_t top = 0;
  std::vector<Spec> specs = layout(n, top);
  SymMgrObjectPtr<BenchLoader> loader(new BenchLoader);
  for (auto _ : state) {
    state.PauseTiming();
    auto global = std::make_unique<GlobalScope>(loader.get(), nullptr, nullptr);
    ISymbolTable* table = global->symbolTable();
    std::vector<IScope*> scopes = makeScopes(loader.get(), global.get(), specs);
    state.ResumeTiming();
    for (size_t i = 0; i < n; ++i) table->insert(specs[i].start, specs[i].end, scopes[i]);
    state.PauseTiming();
    global.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
}

// One filled table per size, kept for the lookup and walk benchmarks.
struct Filled {
  SymMgrObjectPtr<BenchLoader> loader{new BenchLoader};
  std::unique_ptr<GlobalScope> global;
  uint64_t top = 0;
};

Filled& filled(size_t n) {
  static std::map<size_t, std::unique_ptr<Filled>> cache;
  auto& f = cache[n];
  if (!f) {
    f = std::make_unique<Filled>();
    f->global = std::make_unique<GlobalScope>(f->loader.get(), nullptr, nullptr);
    std::vector<Spec> specs = layout(n, f->top);
    std::vector<IScope*> scopes = makeScopes(f->loader.get(), f->global.get(), specs);
    ISymbolTable* table = f->global->symbolTable();
    for (size_t i = 0; i < n; ++i) table->insert(specs[i].start, specs[i].end, scopes[i]);
  }
  return *f;
}

void BM_TableLookup(benchmark::State& state) {
  Filled& f = filled(size_t(state.range(0)));
  ISymbolTable* table = f.global->symbolTable();
  std::mt19937_64 rng(99);
  std::vector<uint64_t> addresses(4096);
  for (auto& a : addresses) a = kBase + rng() % (f.top - kBase);
  size_t i = 0, found = 0;
  for (auto _ : state) {
    SymMgrObjectPtr<ISymbolRange> r = table->symbolRangeByAddress(addresses[i++ & 4095], SYMBOL_KIND_ALL, nullptr);
    found += r ? 1 : 0;
    benchmark::DoNotOptimize(r.get());
  }
  state.counters["hit%"] = state.iterations() ? 100.0 * double(found) / double(state.iterations()) : 0;
  state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_NonOverlappedWalk(benchmark::State& state) {
  Filled& f = filled(size_t(state.range(0)));
  ISymbolTable* table = f.global->symbolTable();
  int64_t pieces = 0;
  for (auto _ : state) {
    auto it = table->nonOverlappedSymbolRanges(kBase, f.top, SYMBOL_KIND_ALL, nullptr);
    for (auto r = it ? it->current() : nullptr; r; r = it->next() ? it->current() : nullptr) {
      benchmark::DoNotOptimize(r.get());
      ++pieces;
    }
  }
  state.SetItemsProcessed(pieces);
}

BENCHMARK(BM_TableInsert)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableLookup)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_NonOverlappedWalk)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
