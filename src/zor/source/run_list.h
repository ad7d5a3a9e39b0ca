// The runs the address index lists at one key, in the order they were listed. Nearly every
// key lists a single run, so a list is one word: the run itself, or, once a second run
// joins, a tagged pointer to an array in the index's memory. A module has hundreds of
// thousands of keys, and the word keeps each tree node at its smallest.
#ifndef ZOR_SOURCE_RUN_LIST_H_
#define ZOR_SOURCE_RUN_LIST_H_

#include <cstddef>
#include <cstdint>
#include <memory_resource>

namespace ZOR_3_12 {
namespace internal {

class LineRun;

class RunList {
 public:
  RunList() = default;
  ~RunList() { release(); }
  RunList(const RunList&) = delete;
  RunList& operator=(const RunList&) = delete;
  RunList(RunList&& other) noexcept : m_word(other.m_word) { other.m_word = nullptr; }
  RunList& operator=(RunList&& other) noexcept {
    if (this != &other) {
      release();
      m_word = other.m_word;
      other.m_word = nullptr;
    }
    return *this;
  }

  size_t size() const { return spilled() ? spill()->size : (m_word ? 1 : 0); }
  bool empty() const { return size() == 0; }
  LineRun* operator[](size_t i) const { return begin()[i]; }
  LineRun* const* begin() const { return spilled() ? spill()->runs() : &m_word; }
  LineRun* const* end() const { return begin() + size(); }
  LineRun** begin() { return spilled() ? spill()->runs() : &m_word; }
  LineRun** end() { return begin() + size(); }

  // Appends `run`; a second run moves the list into an array taken from `memory`, which
  // must outlive the list. Throws std::bad_alloc when memory runs out.
  void push_back(LineRun* run, std::pmr::memory_resource* memory);
  // Removes the run at `pos`; the others keep their order.
  void erase(LineRun** pos);
  // Removes every run from `from` to the end.
  void truncate(LineRun** from);

 private:
  // The array's header; `capacity` runs follow it.
  struct Spill {
    std::pmr::memory_resource* memory;
    uint32_t size;
    uint32_t capacity;
    LineRun** runs() { return reinterpret_cast<LineRun**>(this + 1); }
  };
  static size_t spillBytes(size_t capacity) { return sizeof(Spill) + capacity * sizeof(LineRun*); }

  // Gives the array back, if any; the list is then empty.
  void release();

  // Runs are aligned, so their low bit is free to mark the array.
  bool spilled() const { return reinterpret_cast<uintptr_t>(m_word) & 1; }
  Spill* spill() const { return reinterpret_cast<Spill*>(reinterpret_cast<uintptr_t>(m_word) & ~uintptr_t{1}); }
  void setSpill(Spill* s) { m_word = reinterpret_cast<LineRun*>(reinterpret_cast<uintptr_t>(s) | 1); }

  LineRun* m_word = nullptr;  // null: empty
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_RUN_LIST_H_
