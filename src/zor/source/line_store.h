// The rows of one source file: one LineStore per compilation unit that contributed rows
// to the file, each holding that unit's runs in address order, and the CompilationUnitList
// that keeps the stores of one file sorted by compilation-unit key.
#ifndef ZOR_SOURCE_LINE_STORE_H_
#define ZOR_SOURCE_LINE_STORE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <vector>

#include "zor/source/line_run.h"

namespace ZOR_3_12 {
namespace internal {

// The runs of one store by start address; a run lives in its map node, so re-keying it or
// setting it aside after a merge moves no rows.
using RunMap = std::pmr::map<uint64_t, LineRun>;

// What adding one row did to a store's runs, for the address index to catch up.
struct RunChange {
  LineRun* run = nullptr;  // the run that received the row
  bool created = false;    // the run is new; otherwise it covered [oldStart, oldEnd) before
  uint64_t oldStart = 0;
  uint64_t oldEnd = 0;
  // Runs merged into `run`, now empty; kept alive until the index has forgotten them.
  std::vector<RunMap::node_type> merged;

  void clear() {
    run = nullptr;
    created = false;
    merged.clear();
  }
};

// A run merged into another, out of its store's map, kept until nothing points at it.
struct RetiredRun {
  RunMap::node_type node;
};

// The runs of one (source file, compilation unit) pair. Runs are keyed by start and never
// touch: a run ends strictly before the next one starts, since a row that reaches a
// neighbour joins it.
class LineStore {
 public:
  using RunMap = internal::RunMap;

  // The store's map lives in `indexMemory`, its runs' rows in `rowMemory`; all must outlive
  // the store.
  LineStore(uint64_t compUnitKey, uint32_t fileIndex, std::pmr::memory_resource* indexMemory,
            RowMemory rowMemory)
      : m_owner{compUnitKey, fileIndex, rowMemory},
        m_runs(indexMemory),
        m_lastUsed(m_runs.end()),
        m_afterLastUsed(m_runs.end()) {}
  LineStore(const LineStore&) = delete;
  LineStore& operator=(const LineStore&) = delete;

  uint64_t compUnitKey() const { return m_owner.compUnitKey; }
  uint32_t fileIndex() const { return m_owner.fileIndex; }
  const RunMap& runs() const { return m_runs; }

  // Adds the row [start, end): to the run that starts exactly at `start`, else to the run
  // it touches or extends (merging every later run it reaches), else to a new run.
  void add(uint32_t line, uint32_t column, uint64_t start, uint64_t end, RunChange& change);
  // The common case of add(), told and done cheaply: the row goes to the run the last row
  // went to, without moving its start or reaching the next run. Then `run` is that run and
  // `oldEnd` its end before the row, and true is returned; otherwise nothing changes.
  bool extendLast(uint32_t line, uint32_t column, uint64_t start, uint64_t end, LineRun*& run, uint64_t& oldEnd);

 private:
  RunOwner m_owner;  // the runs point here: a store never moves
  RunMap m_runs;
  RunMap::iterator m_lastUsed;  // rows of one sequence usually land in the same run
  RunMap::iterator m_afterLastUsed;  // the run after it, kept since a tree step costs
};

// The stores of one source file, sorted by compilation-unit key.
class CompilationUnitList {
 public:
  CompilationUnitList(uint32_t fileIndex, std::pmr::memory_resource* indexMemory,
                      RowMemory rowMemory)
      : m_fileIndex(fileIndex), m_indexMemory(indexMemory), m_rowMemory(rowMemory) {}
  CompilationUnitList(const CompilationUnitList&) = delete;
  CompilationUnitList& operator=(const CompilationUnitList&) = delete;

  const std::vector<std::unique_ptr<LineStore>>& stores() const { return m_stores; }
  // The position of the store with `compUnitKey`, or stores().size(). Lock-free reads:
  // queries from several threads may call it at once.
  size_t find(uint64_t compUnitKey) const;
  LineStore& findOrCreate(uint64_t compUnitKey);

 private:
  uint32_t m_fileIndex;
  std::pmr::memory_resource* m_indexMemory;
  RowMemory m_rowMemory;
  std::vector<std::unique_ptr<LineStore>> m_stores;
  size_t m_lastUsed = 0;  // one-entry cache for loading, which feeds one unit at a time
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_LINE_STORE_H_
