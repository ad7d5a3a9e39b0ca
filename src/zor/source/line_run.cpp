#include "zor/source/line_run.h"

#include <algorithm>
#include <new>
#include <tuple>

namespace ZOR_3_12 {
namespace internal {

namespace {

constexpr size_t kFirstRows = 8;

bool rowLess(const LineRow& a, const LineRow& b) {
  return std::tie(a.start, a.line, a.column, a.end) < std::tie(b.start, b.line, b.column, b.end);
}

}  // namespace

LineRun::~LineRun() {
  releaseRows();
  dropReaches();
}

void LineRun::releaseReaches() {
  m_owner->memory.sealed->releaseExact(m_reaches, m_count * sizeof(uint64_t));
  m_reaches = nullptr;
}

// A growing array has room for the smallest power of two of rows, at least kFirstRows,
// that holds its rows: its size follows from the count, which the run keeps anyway.
size_t growingCapacity(size_t count) {
  if (count <= kFirstRows) return kFirstRows;
  return size_t{1} << (64 - __builtin_clzll(static_cast<unsigned long long>(count - 1)));
}

size_t LineRun::capacity() const {
  if (m_rows == nullptr) return 0;
  return m_sealed ? m_count : growingCapacity(m_count);
}

void LineRun::releaseRows() {
  if (m_rows == nullptr) return;
  if (m_sealed)
    m_owner->memory.sealed->releaseExact(m_rows, m_count * sizeof(LineRow));
  else
    m_owner->memory.growing->deallocate(m_rows, capacity() * sizeof(LineRow), alignof(LineRow));
  m_rows = nullptr;
  m_sealed = false;
}

void LineRun::makeRoom(size_t count) {
  if (!m_sealed && count <= capacity()) return;
  const size_t room = growingCapacity(count);
  if (room > UINT32_MAX) throw std::bad_alloc();
  auto* rows = static_cast<LineRow*>(m_owner->memory.growing->allocate(room * sizeof(LineRow), alignof(LineRow)));
  std::copy(m_rows, m_rows + m_count, rows);
  releaseRows();
  m_rows = rows;
}

void LineRun::seal() {
  if (m_sealed || m_count == 0) return;
  auto* rows = static_cast<LineRow*>(m_owner->memory.sealed->allocateExact(m_count * sizeof(LineRow)));
  std::copy(m_rows, m_rows + m_count, rows);
  releaseRows();
  m_rows = rows;
  m_sealed = true;
}

void LineRun::note(const LineRow& row) {
  dropReaches();
  if (m_count != 0) {
    const LineRow& last = m_rows[m_count - 1];
    if (m_sorted && rowLess(row, last)) m_sorted = false;
    // While the ends rise, the last row's end is the greatest so far.
    if (m_endsRise && row.end < last.end) m_endsRise = false;
  }
}

void LineRun::append(const LineRow& row) {
  note(row);
  makeRoom(size_t{m_count} + 1);
  m_rows[m_count++] = row;
}

void LineRun::add(uint32_t line, uint32_t column, uint64_t start, uint64_t end) {
  m_start = std::min(m_start, start);
  m_end = std::max(m_end, end);
  append(LineRow{start, end, line, column});
}

void LineRun::absorb(LineRun& other) {
  m_start = std::min(m_start, other.m_start);
  m_end = std::max(m_end, other.m_end);
  if (!other.m_sorted) m_sorted = false;
  // Room for all at once: the growing array's size follows the count only once every row
  // is in.
  makeRoom(size_t{m_count} + other.m_count);
  for (const LineRow& row : other.rows()) {
    note(row);
    m_rows[m_count++] = row;
  }
  other.dropReaches();
  other.releaseRows();
  other.m_count = 0;
}

void LineRun::prepare() {
  if (m_sorted && (m_endsRise || m_reaches)) return;
  LineRow* first = m_rows;
  LineRow* last = first + m_count;
  if (!m_sorted) {
    std::sort(first, last, rowLess);
    m_sorted = true;
    m_endsRise = true;
    uint64_t reach = 0;
    for (const LineRow* row = first; row != last; ++row) {
      if (row != first && row->end < reach) m_endsRise = false;
      reach = std::max(reach, row->end);
    }
  }
  if (m_endsRise || first == last) return;
  const size_t count = static_cast<size_t>(last - first);
  m_reaches = static_cast<uint64_t*>(m_owner->memory.sealed->allocateExact(count * sizeof(uint64_t)));
  uint64_t reach = 0;
  for (size_t i = 0; i < count; ++i) {
    reach = std::max(reach, first[i].end);
    m_reaches[i] = reach;
  }
}

size_t LineRun::firstReaching(uint64_t address) const {
  const RowSpan all = rows();
  if (m_reaches) {
    const uint64_t* it = std::partition_point(m_reaches, m_reaches + all.size(),
                                              [address](uint64_t reach) { return reach <= address; });
    return static_cast<size_t>(it - m_reaches);
  }
  auto it = std::partition_point(all.begin(), all.end(), [address](const LineRow& r) { return r.end <= address; });
  return static_cast<size_t>(it - all.begin());
}

size_t LineRun::endOfStartsAtOrBelow(uint64_t address) const {
  const RowSpan all = rows();
  auto it = std::partition_point(all.begin(), all.end(), [address](const LineRow& r) { return r.start <= address; });
  return static_cast<size_t>(it - all.begin());
}

size_t LineRun::groupBegin(size_t from, size_t to) const {
  const RowSpan all = rows();
  uint64_t start = all[to - 1].start;
  auto it = std::partition_point(all.begin() + from, all.begin() + to,
                                 [start](const LineRow& r) { return r.start < start; });
  return static_cast<size_t>(it - all.begin());
}

}  // namespace internal
}  // namespace ZOR_3_12
