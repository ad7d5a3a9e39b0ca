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

// The rows of a run, as queries read them.
class RowSpan {
 public:
  RowSpan(const LineRow* first, size_t count) : m_first(first), m_count(count) {}
  size_t size() const { return m_count; }
  bool empty() const { return m_count == 0; }
  const LineRow& operator[](size_t i) const { return m_first[i]; }
  const LineRow* begin() const { return m_first; }
  const LineRow* end() const { return m_first + m_count; }

 private:
  const LineRow* m_first;
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
        m_sorted(true),
        m_endsRise(true),
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
  // Moves the rows into one array of their exact number. A later add() moves them back.
  void seal();
  // Sorts the rows and fills maxEnd when rows arrived out of order. Rows fed in
  // ascending order (the usual case) never need it.
  void prepare();
  bool prepared() const { return m_sorted; }
  // Whether prepare() has work to do: rows out of order, or overlapping rows without the
  // array of greatest ends.
  bool needsPrepare() const { return !m_sorted || (!m_endsRise && !m_reaches); }

  // Marks kept by the table, which lists the runs it must seal and prepare instead of
  // walking every store's map: true when the run is on the list.
  bool onGrowingList() const { return m_onGrowingList; }
  void setOnGrowingList(bool on) { m_onGrowingList = on; }
  bool onPrepareList() const { return m_onPrepareList; }
  void setOnPrepareList(bool on) { m_onPrepareList = on; }

  // Valid only while prepared().
  RowSpan rows() const { return RowSpan(m_rows, m_count); }
  // The first row whose maxEnd exceeds `address`: no row before it reaches past address.
  size_t firstReaching(uint64_t address) const;
  // One past the last row whose start is <= address.
  size_t endOfStartsAtOrBelow(uint64_t address) const;
  // The first row in [from, to) whose start equals rows()[to - 1].start.
  size_t groupBegin(size_t from, size_t to) const;

 private:
  // Keeps the order flags for a row about to be added.
  void note(const LineRow& row);
  void append(const LineRow& row);
  // Makes room for `count` rows: moves them into a growing array that holds as many, unless
  // the one they are in does.
  void makeRoom(size_t count);
  size_t capacity() const;
  void releaseRows();
  void dropReaches() {
    if (m_reaches) releaseReaches();
  }
  void releaseReaches();

  // A run costs a few words besides its rows: a module has hundreds of thousands.
  uint64_t m_start = UINT64_MAX;
  uint64_t m_end = 0;
  const RunOwner* m_owner;
  // The rows: a growing array from the owner's pools (its size follows from the count), or
  // once sealed an exactly sized one.
  LineRow* m_rows = nullptr;
  uint64_t* m_reaches = nullptr;  // per row, when !m_endsRise and prepared
  uint32_t m_count = 0;
  bool m_sealed : 1;
  bool m_sorted : 1;
  // Whether no row ends before a row ahead of it: then the first row that can reach an
  // address is found by binary search on the ends. Otherwise (overlapping rows) prepare()
  // keeps, per row, the greatest end among it and the rows before it, which never
  // decreases. Rows rarely overlap, so most runs keep no such array.
  bool m_endsRise : 1;
  bool m_onGrowingList : 1;
  bool m_onPrepareList : 1;
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_LINE_RUN_H_
