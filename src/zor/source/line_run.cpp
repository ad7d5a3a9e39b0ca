#include "zor/source/line_run.h"

#include <algorithm>
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
  m_memory->releaseExact(m_sealed, m_sealedCount * sizeof(LineRow));
  dropReaches();
}

void LineRun::releaseReaches() {
  m_memory->releaseExact(m_reaches, rows().size() * sizeof(uint64_t));
  m_reaches = nullptr;
}

void LineRun::seal() {
  if (m_sealed || m_rows.empty()) return;
  m_sealedCount = m_rows.size();
  m_sealed = static_cast<LineRow*>(m_memory->allocateExact(m_sealedCount * sizeof(LineRow)));
  std::copy(m_rows.begin(), m_rows.end(), m_sealed);
  std::pmr::vector<LineRow>(m_memory).swap(m_rows);
}

void LineRun::moveBack() {
  dropReaches();
  m_rows.assign(m_sealed, m_sealed + m_sealedCount);
  m_memory->releaseExact(m_sealed, m_sealedCount * sizeof(LineRow));
  m_sealed = nullptr;
  m_sealedCount = 0;
}

void LineRun::append(const LineRow& row) {
  unseal();
  dropReaches();
  if (!m_rows.empty()) {
    if (m_sorted && rowLess(row, m_rows.back())) m_sorted = false;
    if (row.end < m_reach) m_endsRise = false;
  }
  m_reach = std::max(m_reach, row.end);
  // The growing array lives only until the unit is read: room for a few rows at once
  // spares most runs their first reallocations.
  if (m_rows.capacity() == 0) m_rows.reserve(kFirstRows);
  m_rows.push_back(row);
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
  unseal();
  const RowSpan theirs = other.rows();
  m_rows.reserve(m_rows.size() + theirs.size());
  for (const LineRow& row : theirs) append(row);
  other.dropReaches();
  other.m_memory->releaseExact(other.m_sealed, other.m_sealedCount * sizeof(LineRow));
  other.m_sealed = nullptr;
  other.m_sealedCount = 0;
  std::pmr::vector<LineRow>(other.m_memory).swap(other.m_rows);
}

void LineRun::prepare() {
  if (m_sorted && (m_endsRise || m_reaches)) return;
  LineRow* first = m_sealed ? m_sealed : m_rows.data();
  LineRow* last = first + (m_sealed ? m_sealedCount : m_rows.size());
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
  m_reaches = static_cast<uint64_t*>(m_memory->allocateExact(count * sizeof(uint64_t)));
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
