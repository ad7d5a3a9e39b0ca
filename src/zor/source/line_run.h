// A run: a maximal stretch of addresses covered by the rows of one (source file,
// compilation unit) pair. Rows live in one vector per run, sorted by
// (start, line, column, end) once the table is prepared for queries, so that a module with
// millions of rows costs a few words per row rather than a heap node each.
#ifndef ZOR_SOURCE_LINE_RUN_H_
#define ZOR_SOURCE_LINE_RUN_H_

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

namespace ZOR_3_12 {
namespace internal {

struct LineRow {
  uint64_t start;
  uint64_t end;  // exclusive; equal to start for a row of size 0
  // The greatest end among this row and every row before it in the run. It never
  // decreases, so the first row that can reach an address is found by binary search,
  // even when rows overlap.
  uint64_t maxEnd;
  uint32_t line;
  uint32_t column;
};

class LineRun {
 public:
  // The rows are kept in `memory`, which must outlive the run.
  LineRun(uint64_t compUnitKey, uint32_t fileIndex, std::pmr::memory_resource* memory)
      : m_compUnitKey(compUnitKey), m_fileIndex(fileIndex), m_rows(memory) {}
  LineRun(const LineRun&) = delete;
  LineRun& operator=(const LineRun&) = delete;

  uint64_t start() const { return m_start; }
  uint64_t end() const { return m_end; }
  uint64_t compUnitKey() const { return m_compUnitKey; }
  uint32_t fileIndex() const { return m_fileIndex; }

  void add(uint32_t line, uint32_t column, uint64_t start, uint64_t end);
  // Moves every row of `other` into this run; `other` is left empty.
  void absorb(LineRun& other);
  // Sorts the rows and fills maxEnd when rows arrived out of order. Rows fed in
  // ascending order (the usual case) never need it.
  void prepare();
  bool prepared() const { return m_sorted; }

  // Valid only while prepared().
  const std::pmr::vector<LineRow>& rows() const { return m_rows; }
  // The first row whose maxEnd exceeds `address`: no row before it reaches past address.
  size_t firstReaching(uint64_t address) const;
  // One past the last row whose start is <= address.
  size_t endOfStartsAtOrBelow(uint64_t address) const;
  // The first row in [from, to) whose start equals rows()[to - 1].start.
  size_t groupBegin(size_t from, size_t to) const;

 private:
  void append(const LineRow& row);

  uint64_t m_start = UINT64_MAX;
  uint64_t m_end = 0;
  uint64_t m_compUnitKey;
  uint32_t m_fileIndex;
  bool m_sorted = true;
  std::pmr::vector<LineRow> m_rows;
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_LINE_RUN_H_
