// The in-memory store of a module's address-to-line rows, and the chunked array that
// indexes its source files.
//
// The DWARF line resolver feeds one LineTable per module, row by row, while it runs the
// line-number programs; afterwards the table answers which source locations cover an
// address (locsByAddr) and which lines of a source file lie in an address span
// (linesForSrc). The table is filled once and then only read; it has no lock of its own.
#ifndef ZOR_LINE_TABLE_H_
#define ZOR_LINE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include <zor/export.h>
#include <zor/fwd.h>
#include <zor/object.h>
#include <zor/symbol.h>

namespace ZOR_3_12 {

// A growable array stored in fixed chunks, so that growth never moves an element: a pointer
// returned by at() stays valid for the life of the array. The chunk size is fixed by the
// first growth: 256 elements, or 0x40000 when that growth already needs more than 0x40000.
// New elements are not initialised. Allocation of chunks is left to the derived class.
template <class T>
class TChunkArray {
  static_assert(std::is_trivially_copyable<T>::value, "chunks are raw memory");

 public:
  TChunkArray() = default;
  TChunkArray(const TChunkArray&) = delete;
  TChunkArray& operator=(const TChunkArray&) = delete;
  // Derived classes must call release() in their destructor: freeChunk is theirs.
  virtual ~TChunkArray() { std::free(m_chunks); }

  virtual size_t size() const { return m_size; }
  virtual void destroy() { delete this; }
  // The slot of element `index`, growing the array as needed; null when the memory for
  // that index could not be allocated.
  virtual T* at(size_t index) {
    if (index >= m_size && grow(index + 1) <= index) return nullptr;
    return &m_chunks[index >> m_shift][index & (m_chunkSize - 1)];
  }

  // Grows to at least `count` elements, whole chunks at a time; returns the size reached,
  // which is smaller than `count` when a chunk could not be allocated.
  size_t grow(size_t count) {
    if (count <= m_size) return m_size;
    if (m_chunkSize == 0) {
      m_chunkSize = count > kLargeChunk ? kLargeChunk : kSmallChunk;
      m_shift = count > kLargeChunk ? kLargeShift : kSmallShift;
    }
    size_t needed = (count + m_chunkSize - 1) / m_chunkSize;
    if (needed > m_chunkCapacity) {
      void* grown = std::realloc(m_chunks, needed * sizeof(T*));
      if (!grown) return m_size;
      m_chunks = static_cast<T**>(grown);
      m_chunkCapacity = needed;
    }
    while (m_chunkCount < needed) {
      T* chunk = allocateChunk(m_chunkSize);
      if (!chunk) break;
      m_chunks[m_chunkCount++] = chunk;
      m_size += m_chunkSize;
    }
    return m_size;
  }

  size_t chunkSize() const { return m_chunkSize; }
  size_t chunkCount() const { return m_chunkCount; }

 protected:
  virtual T* allocateChunk(size_t count) = 0;
  virtual void freeChunk(T* chunk) = 0;

  // Frees every chunk through freeChunk; called by the destructor of the class that
  // allocated them, while its freeChunk is still the one that runs.
  void release() {
    for (size_t i = 0; i < m_chunkCount; ++i) freeChunk(m_chunks[i]);
    std::free(m_chunks);
    m_chunks = nullptr;
    m_chunkCount = m_chunkCapacity = 0;
    m_size = 0;
  }

 private:
  static constexpr size_t kSmallChunk = 0x100;
  static constexpr size_t kLargeChunk = 0x40000;
  static constexpr unsigned kSmallShift = 8;
  static constexpr unsigned kLargeShift = 18;

  size_t m_size = 0;
  size_t m_chunkSize = 0;
  T** m_chunks = nullptr;
  size_t m_chunkCount = 0;
  size_t m_chunkCapacity = 0;
  unsigned m_shift = 0;
};

// The chunk array with chunks from malloc. `initialSize` elements are made at once.
template <class T>
class TChunkArrayImpl : public TChunkArray<T> {
 public:
  explicit TChunkArrayImpl(size_t initialSize = 0) { this->grow(initialSize); }
  ~TChunkArrayImpl() override { this->release(); }

 protected:
  T* allocateChunk(size_t count) override { return static_cast<T*>(std::malloc(count * sizeof(T))); }
  void freeChunk(T* chunk) override { std::free(chunk); }
};

namespace internal {
class AddressIndex;
class Arena;
class CompilationUnitList;
class LineRun;
class LineStore;
struct RetiredRun;
struct RunChange;
}  // namespace internal

// Address-to-line rows of one module. Owned by the module's line resolver, which must
// outlive the table and every iterator the table hands out.
class ZOR_API LineTable : public SymMgrObjectImpl {
 public:
  // Source-file indices at or above this are refused by insert(): no real module has
  // sixteen million source files, and a corrupt index must not size the file array.
  static constexpr uint32_t kMaxFileIndex = 1u << 24;

  LineTable(IFileFormatLoader& loader, ISrcLineResolver& resolver);
  ~LineTable() override;

  // Before the first insert: the line programs about to be read hold `bytes`. The table
  // sizes its first blocks of memory from it, so that a large module's rows go straight
  // into huge pages instead of first filling small blocks page fault by page fault.
  void expectProgramBytes(uint64_t bytes);

  // Adds the row [address, address + size) of one compilation unit and source file.
  // An end beyond the address space is cut at 0xFFFFFFFFFFFFFFFF. Rows with a file index
  // of kMaxFileIndex or more are dropped. Throws std::bad_alloc when memory runs out.
  void insert(uint64_t compUnitKey, uint32_t fileIndex, uint32_t line, uint32_t column, uint64_t address,
              uint64_t size);

  // The locations of the rows that contain `address` (start <= address < end), of one
  // compilation unit or of all when compUnitKey is COMP_UNIT_ALL; null when there is none.
  SymMgrObjectPtr<SourceLocationIter> locsByAddr(uint64_t address, uint64_t compUnitKey);

  // The lines of source file `fileIndex` that overlap [from, to) (from 0 and to all ones
  // meaning unbounded), compilation unit by compilation unit in ascending key order and by
  // address inside each; null when the file has no rows.
  SymMgrObjectPtr<SourceLineIter> linesForSrc(uint64_t compUnitKey, uint32_t fileIndex, uint64_t from, uint64_t to);

  uint64_t lowest() const { return m_lowest; }
  uint64_t highest() const { return m_highest; }
  // The number of file slots made so far (whole chunks of 256).
  size_t fileSlots() const { return m_filesByIndex.size(); }

 private:
  internal::CompilationUnitList* filesAt(uint32_t fileIndex);
  // Sorts the runs that loading left out of order; once, before the first query.
  void prepare();
  // Lays down the rows of the runs the last unit filled: rows come unit by unit, and a
  // unit's runs take no more once the next unit begins.
  void sealGrowing();
  // Keeps the lists of runs to seal and to prepare up to date after a row went into `run`.
  void noteRun(internal::LineRun* run);
  // Brings the address index up to date with the run that rows last extended.
  void listPending();

  std::unique_ptr<internal::AddressIndex> m_addressIndex;
  TChunkArrayImpl<internal::CompilationUnitList*> m_filesByIndex;
  uint64_t m_lowest;
  uint64_t m_highest;
  IFileFormatLoader& m_loader;
  ISrcLineResolver& m_resolver;
  // The pools every store receives: the address index and the stores' maps of runs; the
  // sealed rows of runs; the arrays rows grow in while a unit is read, emptied when the
  // table is prepared. Everything in them dies with the table.
  std::unique_ptr<internal::Arena> m_indexPool;
  std::unique_ptr<internal::Arena> m_rowPool;
  std::unique_ptr<internal::Arena> m_growPool;
  // The runs of the unit being read, and its key; the runs whose rows must be sorted
  // before the next query. Both are lists, not walks over the stores: a module has hundreds
  // of thousands of runs, and visiting each costs a cache miss.
  std::vector<internal::LineRun*> m_growing;
  uint64_t m_growingUnit = ~0ull;
  std::vector<internal::LineRun*> m_unprepared;
  // Rows that only extend the run the previous row went to (most rows) reach the address
  // index together, once another run takes a row or a query comes: the run, and the end up
  // to which the index lists it.
  internal::LineRun* m_pendingRun = nullptr;
  uint64_t m_pendingListedEnd = 0;
  // Runs merged away while they may still be on those lists; freed once the lists are done.
  std::vector<internal::RetiredRun> m_retired;
};

}  // namespace ZOR_3_12

#endif  // ZOR_LINE_TABLE_H_
