#include <zor/line_table.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include <zor/types.h>

#include "zor/source/address_index.h"
#include "zor/source/line_store.h"
#include "zor/source/source_line_iterator.h"
#include "zor/source/source_location_iterator.h"
#include "zor/util/arena.h"

namespace ZOR_3_12 {

namespace {
// One chunk of file slots is made up front: nearly every module has fewer files.
constexpr size_t kInitialFileSlots = 256;
// The first block of each pool; a small module fits in it.
constexpr size_t kFirstPoolBlock = 0x10000;
}  // namespace

LineTable::LineTable(IFileFormatLoader& loader, ISrcLineResolver& resolver)
    : SymMgrObjectImpl(nullptr),
      m_filesByIndex(kInitialFileSlots),
      m_lowest(UINT64_MAX),
      m_highest(0),
      m_loader(loader),
      m_resolver(resolver),
      m_indexPool(new internal::Arena(kFirstPoolBlock)),
      m_rowPool(new internal::Arena(kFirstPoolBlock)),
      m_growPool(new internal::Arena(kFirstPoolBlock)) {
  m_addressIndex.reset(new internal::AddressIndex(m_indexPool.get()));
  for (size_t i = 0; i < m_filesByIndex.size(); ++i) *m_filesByIndex.at(i) = nullptr;
}

LineTable::~LineTable() {
  // The stores and the index give their memory back to the pools, which must still exist.
  m_retired.clear();
  for (size_t i = 0; i < m_filesByIndex.size(); ++i) delete *m_filesByIndex.at(i);
  m_addressIndex.reset();
}

void LineTable::expectProgramBytes(uint64_t bytes) {
  // On real modules the index and the sealed rows each take two to eight bytes per byte of
  // line program: a first block as large as the programs is always filled. It is no larger
  // (bar rounding up to whole huge pages), so that a file cannot make the table reserve much
  // more than the section it holds.
  const size_t size = static_cast<size_t>(std::min<uint64_t>(bytes, SIZE_MAX));
  m_indexPool->expect(size);
  m_rowPool->expect(size);
  m_growPool->expect(size);
}

internal::CompilationUnitList* LineTable::filesAt(uint32_t fileIndex) {
  if (fileIndex >= m_filesByIndex.size()) return nullptr;
  return *m_filesByIndex.at(fileIndex);
}

void LineTable::insert(uint64_t compUnitKey, uint32_t fileIndex, uint32_t line, uint32_t column, uint64_t address,
                       uint64_t size) {
  if (fileIndex >= kMaxFileIndex) return;
  uint64_t end = size > UINT64_MAX - address ? UINT64_MAX : address + size;

  if (fileIndex >= m_filesByIndex.size()) {
    size_t before = m_filesByIndex.size();
    size_t reached = m_filesByIndex.grow(size_t{fileIndex} + 1);
    for (size_t i = before; i < reached; ++i) *m_filesByIndex.at(i) = nullptr;
    if (reached <= fileIndex) throw std::bad_alloc();
  }
  internal::CompilationUnitList*& files = *m_filesByIndex.at(fileIndex);
  if (!files) files = new internal::CompilationUnitList(fileIndex, m_indexPool.get(),
                                                          internal::RowMemory{m_rowPool.get(), m_growPool.get()});
  if (compUnitKey != m_growingUnit) {
    sealGrowing();
    m_growingUnit = compUnitKey;
  }
  internal::LineStore& store = files->findOrCreate(compUnitKey);

  if (address < m_lowest) m_lowest = address;
  if (end > m_highest) m_highest = end;

  internal::LineRun* run = nullptr;
  uint64_t oldEnd = 0;
  if (store.extendLast(line, column, address, end, run, oldEnd)) {
    if (run != m_pendingRun) {
      listPending();
      m_pendingRun = run;
      m_pendingListedEnd = oldEnd;
    }
  } else {
    listPending();
    internal::RunChange change;
    store.add(line, column, address, end, change);
    m_addressIndex->update(change);
    run = change.run;
    for (auto& node : change.merged) m_retired.push_back(internal::RetiredRun{std::move(node)});
  }
  noteRun(run);
  m_addressIndex->m_needsPrepare.store(true, std::memory_order_relaxed);
}

void LineTable::listPending() {
  if (!m_pendingRun) return;
  m_addressIndex->extend(m_pendingRun, m_pendingListedEnd);
  m_pendingRun = nullptr;
}

void LineTable::noteRun(internal::LineRun* run) {
  // A new run, or a sealed one that took a row (and so grows again).
  if (!run->onGrowingList()) {
    m_growing.push_back(run);
    run->setOnGrowingList(true);
  }
  if (run->needsPrepare() && !run->onPrepareList()) {
    m_unprepared.push_back(run);
    run->setOnPrepareList(true);
  }
}

void LineTable::sealGrowing() {
  for (internal::LineRun* run : m_growing) {
    run->seal();
    run->setOnGrowingList(false);
  }
  m_growing.clear();
}

void LineTable::prepare() {
  internal::AddressIndex& index = *m_addressIndex;
  if (!index.m_needsPrepare.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> guard(index.m_prepareMutex);
  if (!index.m_needsPrepare.load(std::memory_order_relaxed)) return;
  listPending();
  sealGrowing();
  m_growingUnit = ~0ull;
  // Every run is sealed: the arrays rows grew in are free, and a module loads its rows all
  // at once, so their memory is not wanted again.
  m_growPool->releaseIfUnused();
  for (internal::LineRun* run : m_unprepared) {
    run->prepare();
    run->setOnPrepareList(false);
  }
  m_unprepared.clear();
  m_retired.clear();
  index.m_needsPrepare.store(false, std::memory_order_release);
}

SymMgrObjectPtr<SourceLocationIter> LineTable::locsByAddr(uint64_t address, uint64_t compUnitKey) {
  prepare();
  const internal::AddressIndex::RunList* runs = m_addressIndex->listAt(address);
  if (!runs) return SymMgrObjectPtr<SourceLocationIter>();
  // An iterator that would yield nothing (a gap, a row of size 0, another unit) is no answer.
  SymMgrObjectPtr<SourceLocationIter> it(new SourceLocationIterator(&m_resolver, address, compUnitKey, runs));
  if (!it->current()) return SymMgrObjectPtr<SourceLocationIter>();
  return it;
}

SymMgrObjectPtr<SourceLineIter> LineTable::linesForSrc(uint64_t compUnitKey, uint32_t fileIndex, uint64_t from,
                                                       uint64_t to) {
  internal::CompilationUnitList* files = filesAt(fileIndex);
  if (!files) return SymMgrObjectPtr<SourceLineIter>();
  prepare();
  SymMgrObjectPtr<SourceLineIter> it(new SourceLineIterator(&m_loader, &m_resolver, from, to, compUnitKey, files));
  if (!it->current()) return SymMgrObjectPtr<SourceLineIter>();
  return it;
}

}  // namespace ZOR_3_12
