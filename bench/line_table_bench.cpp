// Line table: loading a module-sized set of rows, and the two queries over it.
#include <zor/line_table.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "bench_fakes.h"

namespace {

using namespace ZOR_3_12;

struct Row {
  uint64_t unit;
  uint32_t file;
  uint32_t line;
  uint64_t address;
  uint64_t size;
};

// Rows in the order a line-number program emits them: units one after another at rising
// addresses, each mostly in its own file with stretches from shared headers.
const std::vector<Row>& moduleRows() {
  static const std::vector<Row> rows = [] {
    constexpr int kUnits = 2000;
    constexpr int kRowsPerUnit = 500;
    constexpr uint32_t kHeaders = 200;
    std::mt19937_64 rng(42);
    std::vector<Row> out;
    out.reserve(size_t{kUnits} * kRowsPerUnit);
    uint64_t address = 0x400000;
    for (int u = 0; u < kUnits; ++u) {
      uint64_t unit = 0x1000 * static_cast<uint64_t>(u);
      uint32_t own = kHeaders + static_cast<uint32_t>(u);
      uint32_t file = own;
      uint32_t line = 1;
      for (int i = 0; i < kRowsPerUnit; ++i) {
        if (rng() % 10 == 0) file = (file == own) ? static_cast<uint32_t>(rng() % kHeaders) : own;
        uint64_t size = rng() % 16 == 0 ? 0 : 1 + rng() % 12;
        line += static_cast<uint32_t>(rng() % 4);
        out.push_back({unit, file, line, address, size});
        address += size;
      }
      address += 16;  // padding between functions of different units
    }
    return out;
  }();
  return rows;
}

struct Module {
  zor_bench::AddressOnlyLoader loader;
  zor_bench::NoFilesResolver resolver;
  std::unique_ptr<LineTable> table{new LineTable(loader, resolver)};
  Module() {
    for (const Row& r : moduleRows()) table->insert(r.unit, r.file, r.line, 0, r.address, r.size);
  }
};

Module& loadedModule() {
  static Module module;
  return module;
}

void BM_Insert1MRows(benchmark::State& state) {
  const std::vector<Row>& rows = moduleRows();
  for (auto _ : state) {
    zor_bench::AddressOnlyLoader loader;
    zor_bench::NoFilesResolver resolver;
    auto table = std::make_unique<LineTable>(loader, resolver);
    for (const Row& r : rows) table->insert(r.unit, r.file, r.line, 0, r.address, r.size);
    benchmark::DoNotOptimize(table.get());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows.size()));
}
BENCHMARK(BM_Insert1MRows)->Unit(benchmark::kMillisecond);

void BM_LocsByAddrRandom(benchmark::State& state) {
  Module& m = loadedModule();
  std::mt19937_64 rng(7);
  uint64_t lo = m.table->lowest(), span = m.table->highest() - lo;
  size_t found = 0;
  for (auto _ : state) {
    SymMgrObjectPtr<SourceLocationIter> it = m.table->locsByAddr(lo + rng() % span, COMP_UNIT_ALL);
    if (it) {
      benchmark::DoNotOptimize(it->current()->line());
      ++found;
    }
  }
  state.counters["hit"] = benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_LocsByAddrRandom);

void BM_LinesForSrcHeaderSpan(benchmark::State& state) {
  Module& m = loadedModule();
  std::mt19937_64 rng(9);
  uint64_t lo = m.table->lowest(), span = m.table->highest() - lo;
  int64_t lines = 0;
  for (auto _ : state) {
    uint64_t from = lo + rng() % span;
    SymMgrObjectPtr<SourceLineIter> it =
        m.table->linesForSrc(COMP_UNIT_ALL, static_cast<uint32_t>(rng() % 200), from, from + 0x1000);
    if (it) {
      for (bool more = true; more; more = it->next()) ++lines;
    }
  }
  state.counters["lines"] = benchmark::Counter(static_cast<double>(lines) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_LinesForSrcHeaderSpan);

}  // namespace

BENCHMARK_MAIN();
