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

LineRun::~LineRun() { releaseRows(); }

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
    m_owner->memory.sealed->releaseExact(m_rows, sealedBytes());
  else
    m_owner->memory.growing->deallocate(m_rows, capacity() * sizeof(LineRow), alignof(LineRow));
  m_rows = nullptr;
  m_sealed = m_packed = m_chained = m_hasReaches = false;
}

void LineRun::makeRoom(size_t count) {
  if (!m_sealed && count <= capacity()) return;
  const size_t room = growingCapacity(count);
  if (room > UINT32_MAX) throw std::bad_alloc();
  auto* rows = static_cast<LineRow*>(m_owner->memory.growing->allocate(room * sizeof(LineRow), alignof(LineRow)));
  const RowSpan old = this->rows();
  for (size_t i = 0; i < old.size(); ++i) rows[i] = old[i];
  releaseRows();
  m_rows = rows;
}

bool LineRun::chainable() const {
  if (!m_sorted || m_end - m_start > UINT32_MAX) return false;
  const LineRow* rows = static_cast<const LineRow*>(m_rows);
  for (size_t i = 0; i < m_count; ++i) {
    const LineRow& row = rows[i];
    if (row.line > ChainedRow::kMaxLine || row.column > ChainedRow::kMaxColumn) return false;
    if (row.end != (i + 1 < m_count ? rows[i + 1].start : m_end)) return false;
  }
  return true;
}

void LineRun::seal() {
  if (m_sealed || m_count == 0) return;
  const LineRow* rows = fullRows();
  if (chainable()) {
    auto* out = static_cast<ChainedRow*>(m_owner->memory.sealed->allocateExact(m_count * sizeof(ChainedRow)));
    for (size_t i = 0; i < m_count; ++i) {
      const LineRow& row = rows[i];
      out[i] = ChainedRow{static_cast<uint32_t>(row.start - m_start), row.line << ChainedRow::kColumnBits | row.column};
    }
    releaseRows();
    m_rows = out;
    m_sealed = m_packed = m_chained = true;
    return;
  }
  const bool packed = m_end - m_start <= UINT32_MAX;
  void* sealed = m_owner->memory.sealed->allocateExact(m_count * (packed ? sizeof(PackedRow) : sizeof(LineRow)));
  if (packed) {
    auto* out = static_cast<PackedRow*>(sealed);
    for (size_t i = 0; i < m_count; ++i) {
      const LineRow& row = rows[i];
      out[i] = PackedRow{static_cast<uint32_t>(row.start - m_start), static_cast<uint32_t>(row.end - m_start), row.line,
                         row.column};
    }
  } else {
    std::copy(rows, rows + m_count, static_cast<LineRow*>(sealed));
  }
  releaseRows();
  m_rows = sealed;
  m_sealed = true;
  m_packed = packed;
}

void LineRun::note(const LineRow& row) {
  if (m_count != 0) {
    const LineRow last = rows()[m_count - 1];
    if (m_sorted && rowLess(row, last)) m_sorted = false;
    // While the ends rise, the last row's end is the greatest so far.
    if (m_endsRise && row.end < last.end) m_endsRise = false;
  }
}

void LineRun::add(uint32_t line, uint32_t column, uint64_t start, uint64_t end) {
  const LineRow row{start, end, line, column};
  note(row);
  // Packed rows are read against m_start: it moves only once they are full rows again.
  makeRoom(size_t{m_count} + 1);
  m_start = std::min(m_start, start);
  m_end = std::max(m_end, end);
  fullRows()[m_count++] = row;
}

void LineRun::absorb(LineRun& other) {
  if (!other.m_sorted) m_sorted = false;
  // Room for all at once: the growing array's size follows the count only once every row
  // is in.
  makeRoom(size_t{m_count} + other.m_count);
  m_start = std::min(m_start, other.m_start);
  m_end = std::max(m_end, other.m_end);
  const RowSpan theirs = other.rows();
  for (size_t i = 0; i < theirs.size(); ++i) {
    const LineRow row = theirs[i];
    note(row);
    fullRows()[m_count++] = row;
  }
  other.releaseRows();
  other.m_count = 0;
}

void LineRun::prepare() {
  if (m_sorted && (m_endsRise || m_hasReaches)) return;
  seal();
  if (!m_sorted) {
    if (m_packed) {
      auto* first = static_cast<PackedRow*>(m_rows);
      std::sort(first, first + m_count, [](const PackedRow& a, const PackedRow& b) {
        return std::tie(a.offset, a.line, a.column, a.endOffset) < std::tie(b.offset, b.line, b.column, b.endOffset);
      });
    } else {
      std::sort(fullRows(), fullRows() + m_count, rowLess);
    }
    m_sorted = true;
    m_endsRise = true;
    const RowSpan all = rows();
    uint64_t reach = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      if (i != 0 && all.end(i) < reach) m_endsRise = false;
      reach = std::max(reach, all.end(i));
    }
  }
  if (m_endsRise || m_hasReaches || m_count == 0) return;
  // The greatest ends go behind the rows, in one array with them.
  const size_t rowBytes = m_count * rowSize();
  auto* both = static_cast<char*>(m_owner->memory.sealed->allocateExact(rowBytes + m_count * sizeof(uint64_t)));
  std::copy(static_cast<const char*>(m_rows), static_cast<const char*>(m_rows) + rowBytes, both);
  const RowSpan all = rows();
  auto* reaches = reinterpret_cast<uint64_t*>(both + rowBytes);
  uint64_t reach = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    reach = std::max(reach, all.end(i));
    reaches[i] = reach;
  }
  const bool packed = m_packed, chained = m_chained;
  releaseRows();
  m_rows = both;
  m_sealed = true;
  m_packed = packed;
  m_chained = chained;
  m_hasReaches = true;
}

namespace {
// The first index in [from, to) for which `before` is false; `before` holds for a prefix.
template <class Before>
size_t firstNotBefore(size_t from, size_t to, Before before) {
  while (from < to) {
    const size_t mid = from + (to - from) / 2;
    if (before(mid))
      from = mid + 1;
    else
      to = mid;
  }
  return from;
}
}  // namespace

size_t LineRun::firstReaching(uint64_t address) const {
  if (m_hasReaches) {
    const uint64_t* reach = reaches();
    return firstNotBefore(0, m_count, [&](size_t i) { return reach[i] <= address; });
  }
  return rows().visit([&](const auto& view) {
    return firstNotBefore(0, m_count, [&](size_t i) { return view.end(i) <= address; });
  });
}

size_t LineRun::endOfStartsAtOrBelow(uint64_t address) const {
  return rows().visit([&](const auto& view) {
    return firstNotBefore(0, m_count, [&](size_t i) { return view.start(i) <= address; });
  });
}

size_t LineRun::groupBegin(size_t from, size_t to) const {
  return rows().visit([&](const auto& view) {
    const uint64_t start = view.start(to - 1);
    return firstNotBefore(from, to, [&](size_t i) { return view.start(i) < start; });
  });
}

}  // namespace internal
}  // namespace ZOR_3_12
