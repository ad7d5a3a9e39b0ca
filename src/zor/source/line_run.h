// A run: a maximal stretch of addresses covered by the rows of one (source file,
// compilation unit) pair. Rows live in one array per run, sorted by
// (start, line, column, end) once the table is prepared for queries, so that a module with
// millions of rows costs a few words per row rather than a heap node each. A run grows
// while its unit's line program is read and is then sealed: its rows move into one array
// of exactly their number, and the growing array's memory goes to the next unit's runs.
#ifndef ZOR_SOURCE_LINE_RUN_H_
#define ZOR_SOURCE_LINE_RUN_H_

#include <cstddef>
#include <cstdint>

#include "zor/util/arena.h"

namespace ZOR_3_12 {
namespace internal {

struct LineRow {
  uint64_t start;
  uint64_t end;  // exclusive; equal to start for a row of size 0
  uint32_t line;
  uint32_t column;
};

// A sealed row of a run that spans less than 4 GiB, as it is stored: its start and end as
// distances from the run's start. Two thirds of a full row's size, for the same answers.
struct PackedRow {
  uint32_t offset;
  uint32_t endOffset;
  uint32_t line;
  uint32_t column;
};

// A sealed row of a run whose rows follow one another without gaps or overlaps (each ends
// where the next starts), as the rows of one sequence do: its start as a distance from the
// run's start, and its line and column in one word. Its end is the next row's start, or the
// run's end for the last row. Half a packed row, for most rows of real modules.
struct ChainedRow {
  static constexpr unsigned kColumnBits = 12;
  static constexpr uint32_t kMaxColumn = (1u << kColumnBits) - 1;
  static constexpr uint32_t kMaxLine = (1u << (32 - kColumnBits)) - 1;

  uint32_t offset;
  uint32_t lineColumn;  // line << kColumnBits | column

  uint32_t line() const { return lineColumn >> kColumnBits; }
  uint32_t column() const { return lineColumn & kMaxColumn; }
};

// The rows of a run, as queries read them: full rows, packed ones with their base, or
// chained ones with their base and the run's end.
class RowSpan {
 public:
  RowSpan(const LineRow* rows, size_t count) : m_rows(rows), m_format(kFull), m_base(0), m_end(0), m_count(count) {}
  RowSpan(const PackedRow* rows, uint64_t base, size_t count)
      : m_rows(rows), m_format(kPacked), m_base(base), m_end(0), m_count(count) {}
  RowSpan(const ChainedRow* rows, uint64_t base, uint64_t end, size_t count)
      : m_rows(rows), m_format(kChained), m_base(base), m_end(end), m_count(count) {}
  size_t size() const { return m_count; }
  bool empty() const { return m_count == 0; }

  // Calls `use` with a view of the rows in their own format, whose start(i) and end(i) read
  // them directly: a search decides the format once instead of at every probe.
  template <class Use>
  auto visit(Use use) const {
    switch (m_format) {
      case kFull: return use(FullView{static_cast<const LineRow*>(m_rows)});
      case kPacked: return use(PackedView{static_cast<const PackedRow*>(m_rows), m_base});
      default: return use(ChainedView{static_cast<const ChainedRow*>(m_rows), m_base, m_end, m_count});
    }
  }

  LineRow operator[](size_t i) const {
    return visit([i](const auto& view) { return LineRow{view.start(i), view.end(i), view.line(i), view.column(i)}; });
  }
  uint64_t start(size_t i) const {
    return visit([i](const auto& view) { return view.start(i); });
  }
  uint64_t end(size_t i) const {
    return visit([i](const auto& view) { return view.end(i); });
  }

 private:
  struct FullView {
    const LineRow* rows;
    uint64_t start(size_t i) const { return rows[i].start; }
    uint64_t end(size_t i) const { return rows[i].end; }
    uint32_t line(size_t i) const { return rows[i].line; }
    uint32_t column(size_t i) const { return rows[i].column; }
  };
  struct PackedView {
    const PackedRow* rows;
    uint64_t base;
    uint64_t start(size_t i) const { return base + rows[i].offset; }
    uint64_t end(size_t i) const { return base + rows[i].endOffset; }
    uint32_t line(size_t i) const { return rows[i].line; }
    uint32_t column(size_t i) const { return rows[i].column; }
  };
  struct ChainedView {
    const ChainedRow* rows;
    uint64_t base;
    uint64_t last;  // the last row's end
    size_t count;
    uint64_t start(size_t i) const { return base + rows[i].offset; }
    uint64_t end(size_t i) const { return i + 1 < count ? base + rows[i + 1].offset : last; }
    uint32_t line(size_t i) const { return rows[i].line(); }
    uint32_t column(size_t i) const { return rows[i].column(); }
  };

  enum Format : uint8_t { kFull, kPacked, kChained };
  const void* m_rows;
  Format m_format;
  uint64_t m_base;
  uint64_t m_end;  // chained rows: the last row's end
  size_t m_count;
};

// Where rows live. Growing arrays come from `growing`, which holds nothing once every run
// is sealed and can then give its memory back; sealed arrays are laid down in `sealed`.
struct RowMemory {
  Arena* sealed;
  Arena* growing;
};

// What the runs of one store share: their unit, their file and the memory of their rows.
struct RunOwner {
  uint64_t compUnitKey;
  uint32_t fileIndex;
  RowMemory memory;
};

class LineRun {
 public:
  // `owner` must outlive the run.
  explicit LineRun(const RunOwner* owner)
      : m_owner(owner),
        m_sealed(false),
        m_packed(false),
        m_chained(false),
        m_sorted(true),
        m_endsRise(true),
        m_hasReaches(false),
        m_onGrowingList(false),
        m_onPrepareList(false) {}
  ~LineRun();
  LineRun(const LineRun&) = delete;
  LineRun& operator=(const LineRun&) = delete;

  uint64_t start() const { return m_start; }
  uint64_t end() const { return m_end; }
  uint64_t compUnitKey() const { return m_owner->compUnitKey; }
  uint32_t fileIndex() const { return m_owner->fileIndex; }

  void add(uint32_t line, uint32_t column, uint64_t start, uint64_t end);
  // Moves every row of `other` into this run; `other` is left empty.
  void absorb(LineRun& other);
  // Moves the rows into one array of their exact number: chained when they come in order
  // without gaps or overlaps and fit, else packed when the run spans less than 4 GiB. A
  // later add() moves them back.
  void seal();
  // Seals the run, sorts the rows when they arrived out of order and, when rows overlap,
  // lays down the greatest ends. Rows fed in ascending order (the usual case) need neither.
  void prepare();
  bool prepared() const { return m_sorted; }
  // Whether prepare() has work to do: rows out of order, or overlapping rows without the
  // array of greatest ends.
  bool needsPrepare() const { return !m_sorted || (!m_endsRise && !m_hasReaches); }

  // Marks kept by the table, which lists the runs it must seal and prepare instead of
  // walking every store's map: true when the run is on the list.
  bool onGrowingList() const { return m_onGrowingList; }
  void setOnGrowingList(bool on) { m_onGrowingList = on; }
  bool onPrepareList() const { return m_onPrepareList; }
  void setOnPrepareList(bool on) { m_onPrepareList = on; }

  // Sorted only while prepared().
  RowSpan rows() const {
    if (m_chained) return RowSpan(static_cast<const ChainedRow*>(m_rows), m_start, m_end, m_count);
    return m_packed ? RowSpan(static_cast<const PackedRow*>(m_rows), m_start, m_count)
                    : RowSpan(static_cast<const LineRow*>(m_rows), m_count);
  }
  // The first row whose maxEnd exceeds `address`: no row before it reaches past address.
  size_t firstReaching(uint64_t address) const;
  // One past the last row whose start is <= address.
  size_t endOfStartsAtOrBelow(uint64_t address) const;
  // The first row in [from, to) whose start equals rows()[to - 1].start.
  size_t groupBegin(size_t from, size_t to) const;

 private:
  // Keeps the order flags for a row about to be added.
  void note(const LineRow& row);
  // Makes room for `count` rows in a growing array of full rows: moves them there unless
  // the one they are in holds as many. Afterwards m_rows holds full rows.
  void makeRoom(size_t count);
  size_t capacity() const;
  LineRow* fullRows() { return static_cast<LineRow*>(m_rows); }
  size_t rowSize() const {
    return m_chained ? sizeof(ChainedRow) : m_packed ? sizeof(PackedRow) : sizeof(LineRow);
  }
  // Whether the growing rows can be sealed as chained rows.
  bool chainable() const;
  // A sealed array: the rows, then the greatest ends when m_hasReaches.
  size_t sealedBytes() const { return m_count * (rowSize() + (m_hasReaches ? sizeof(uint64_t) : 0)); }
  const uint64_t* reaches() const {
    return reinterpret_cast<const uint64_t*>(static_cast<const char*>(m_rows) + m_count * rowSize());
  }
  void releaseRows();

  // A run costs a few words besides its rows: a module has hundreds of thousands.
  uint64_t m_start = UINT64_MAX;
  uint64_t m_end = 0;
  const RunOwner* m_owner;
  // The rows: a growing array of full rows from the owner's pools (its size follows from
  // the count), or once sealed an exactly sized one, chained or packed relative to m_start
  // when m_chained or m_packed. m_start and m_end do not move while the run is sealed: a
  // row added moves the rows back first.
  void* m_rows = nullptr;
  uint32_t m_count = 0;
  bool m_sealed : 1;
  bool m_packed : 1;
  bool m_chained : 1;  // implies m_packed, m_sorted and m_endsRise
  bool m_sorted : 1;
  // Whether no row ends before a row ahead of it: then the first row that can reach an
  // address is found by binary search on the ends. Otherwise (overlapping rows) prepare()
  // keeps, per row, the greatest end among it and the rows before it, which never
  // decreases. Rows rarely overlap, so most runs keep no such array; those that do keep
  // it behind their sealed rows (m_hasReaches).
  bool m_endsRise : 1;
  bool m_hasReaches : 1;
  bool m_onGrowingList : 1;
  bool m_onPrepareList : 1;
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_LINE_RUN_H_
