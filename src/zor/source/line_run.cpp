#include "zor/source/line_run.h"

#include <algorithm>
#include <tuple>

namespace ZOR_3_12 {
namespace internal {

namespace {

bool rowLess(const LineRow& a, const LineRow& b) {
  return std::tie(a.start, a.line, a.column, a.end) < std::tie(b.start, b.line, b.column, b.end);
}

}  // namespace

void LineRun::append(const LineRow& row) {
  if (m_sorted && !m_rows.empty() && rowLess(row, m_rows.back())) m_sorted = false;
  LineRow r = row;
  r.maxEnd = m_rows.empty() ? r.end : std::max(m_rows.back().maxEnd, r.end);
  m_rows.push_back(r);
}

void LineRun::add(uint32_t line, uint32_t column, uint64_t start, uint64_t end) {
  m_start = std::min(m_start, start);
  m_end = std::max(m_end, end);
  append(LineRow{start, end, end, line, column});
}

void LineRun::absorb(LineRun& other) {
  m_start = std::min(m_start, other.m_start);
  m_end = std::max(m_end, other.m_end);
  if (!other.m_sorted) m_sorted = false;
  m_rows.reserve(m_rows.size() + other.m_rows.size());
  for (const LineRow& row : other.m_rows) append(row);
  other.m_rows.clear();
  other.m_rows.shrink_to_fit();
}

void LineRun::prepare() {
  if (m_sorted) return;
  std::sort(m_rows.begin(), m_rows.end(), rowLess);
  uint64_t maxEnd = 0;
  for (LineRow& row : m_rows) {
    maxEnd = std::max(maxEnd, row.end);
    row.maxEnd = maxEnd;
  }
  m_sorted = true;
}

size_t LineRun::firstReaching(uint64_t address) const {
  auto it = std::partition_point(m_rows.begin(), m_rows.end(),
                                 [address](const LineRow& r) { return r.maxEnd <= address; });
  return static_cast<size_t>(it - m_rows.begin());
}

size_t LineRun::endOfStartsAtOrBelow(uint64_t address) const {
  auto it = std::partition_point(m_rows.begin(), m_rows.end(),
                                 [address](const LineRow& r) { return r.start <= address; });
  return static_cast<size_t>(it - m_rows.begin());
}

size_t LineRun::groupBegin(size_t from, size_t to) const {
  uint64_t start = m_rows[to - 1].start;
  auto it = std::partition_point(m_rows.begin() + from, m_rows.begin() + to,
                                 [start](const LineRow& r) { return r.start < start; });
  return static_cast<size_t>(it - m_rows.begin());
}

}  // namespace internal
}  // namespace ZOR_3_12
