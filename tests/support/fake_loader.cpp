#include "support/fake_loader.h"

#include <cstring>
#include <cwchar>
#include <iterator>

namespace zor_fake {

namespace {

// Own small address and buffer objects: this file is linked into every suite, including
// those that see only the shared library's exported interface.
class FakeAddress : public SymMgrObject<IAddress> {
 public:
  FakeAddress(IFileFormatLoader* loader, uint64_t va) : SymMgrObject<IAddress>(nullptr), m_loader(loader), m_va(va) {}
  uint64_t rva() override { return m_va - m_loader->imageBase(); }
  uint64_t va() override { return m_va; }
  ISegment* segment() override { return m_loader->segmentByAddress(m_va); }
  uint64_t segmentOffset() override {
    ISegment* s = segment();
    return s ? m_va - s->rva() - m_loader->imageBase() : ~0ull;
  }
  uint64_t fileOffset() override {
    ISegment* s = segment();
    return s ? m_va - (m_loader->imageBase() + s->rva()) + s->fileOffset() : ~0ull;
  }
  bool equals(IAddress& o) override { return o.va() == m_va; }
  bool notEquals(IAddress& o) override { return o.va() != m_va; }
  bool greater(IAddress& o) override { return m_va > o.va(); }
  bool less(IAddress& o) override { return m_va < o.va(); }

 private:
  IFileFormatLoader* m_loader;
  uint64_t m_va;
};

class FakeBuffer : public SymMgrObject<IBuffer> {
 public:
  explicit FakeBuffer(std::string bytes) : SymMgrObject<IBuffer>(nullptr), m_bytes(std::move(bytes)) {}
  uint64_t size() override { return m_bytes.size(); }
  unsigned char* data() override { return reinterpret_cast<unsigned char*>(&m_bytes[0]); }

 private:
  std::string m_bytes;
};

}  // namespace

FakeSegment::FakeSegment(IFileFormatLoader* loader, std::wstring name, uint64_t rva, uint64_t size, uint32_t kind,
                         uint64_t fileOffset, uint64_t fileSize)
    : m_loader(loader), m_name(std::move(name)), m_rva(rva), m_size(size), m_kind(kind), m_fileOffset(fileOffset),
      m_fileSize(fileSize) {}

bool FakeSegment::readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) {
  out = m_loader->readBytes(m_fileOffset + offset, size);
  return !out || out->size() == 0;
}

bool FakeSegment::readAllData(SymMgrObjectPtr<IBuffer>& out) { return readData(0, m_fileSize, out); }

FakeLoader::FakeLoader(exec_format_t format, uint64_t imageBase)
    : SymMgrObject<IFileFormatLoader>(nullptr), m_format(format), m_imageBase(imageBase) {}

FakeLoader::~FakeLoader() {
  for (auto& s : m_segments) delete static_cast<FakeSegment*>(s.second);
}

FakeSegment* FakeLoader::addSegment(const std::wstring& name, uint64_t start, uint64_t size, uint32_t kind,
                                    uint64_t fileOffset) {
  auto* s = new FakeSegment(this, name, start - m_imageBase, size, kind, fileOffset, size);
  auto it = m_segments.find(start);
  if (it != m_segments.end()) delete static_cast<FakeSegment*>(it->second);
  m_segments[start] = s;
  return s;
}

status_t FakeLoader::symbolFilesToResolve(SymMgrObjectPtr<SymbolFileIter>&) { return STATUS_FALSE; }

status_t FakeLoader::debugInfoLoader(SymMgrObjectPtr<IDebugInfoLoader>&, int) { return STATUS_FALSE; }

uint64_t FakeLoader::imageSize() {
  if (m_segments.empty()) return 0;
  auto last = std::prev(m_segments.end());
  return last->first + last->second->size() - m_imageBase;
}

status_t FakeLoader::loadSymbols(ISymbolTable* table, uint32_t kindMask) {
  ++loadSymbolsCalls;
  lastKindMask = kindMask;
  return onLoadSymbols ? onLoadSymbols(table, kindMask) : STATUS_OK;
}

ISegment* FakeLoader::segmentByAddress(uint64_t va) {
  auto it = m_segments.upper_bound(va);
  if (it == m_segments.begin()) return nullptr;
  --it;
  return va - it->first < it->second->size() ? it->second : nullptr;
}

ISegment* FakeLoader::segmentByIndex(int n) {
  if (n < 1 || size_t(n) > m_segments.size()) return nullptr;
  auto it = m_segments.begin();
  std::advance(it, n - 1);
  return it->second;
}

ISegment* FakeLoader::segmentByFileOffset(uint64_t offset) {
  for (auto& s : m_segments) {
    if (offset >= s.second->fileOffset() && offset - s.second->fileOffset() < s.second->fileSize()) return s.second;
  }
  return nullptr;
}

SymMgrObjectPtr<IBuffer> FakeLoader::readBytes(uint64_t offset, uint64_t size) {
  uint64_t avail = offset < m_bytes.size() ? m_bytes.size() - offset : 0;
  uint64_t n = size < avail ? size : avail;
  return SymMgrObjectPtr<IBuffer>(new FakeBuffer(n ? m_bytes.substr(offset, n) : std::string()));
}

status_t FakeLoader::address(SymMgrObjectPtr<IAddress>& out, uint64_t va) {
  if (!segmentByAddress(va)) return STATUS_FALSE;
  out = new FakeAddress(this, va);
  return STATUS_OK;
}

status_t FakeLoader::addressByFileOffset(SymMgrObjectPtr<IAddress>& out, uint64_t offset) {
  ISegment* s = segmentByFileOffset(offset);
  if (!s) return STATUS_FALSE;
  return address(out, m_imageBase + s->rva() + (offset - s->fileOffset()));
}

SymMgrObjectPtr<SegmentIter> FakeLoader::segments() {
  using Wrapper = MapIteratorWrapper<std::map<uint64_t, ISegment*>, ISegment*, CFilter<ISegment*, int>, int>;
  return SymMgrObjectPtr<SegmentIter>(new Wrapper(&m_segments, 0));
}

ISegment* FakeLoader::segmentByName(const wchar_t* name) {
  for (auto& s : m_segments) {
    if (name && std::wcscmp(s.second->name(), name) == 0) return s.second;
  }
  return nullptr;
}

SymMgrObjectPtr<ISection> FakeLoader::sectionByName(const wchar_t*) { return nullptr; }

FakeDebugInfo::FakeDebugInfo(ISrcLineResolver* resolver) : SymMgrObject<IDebugInfoLoader>(nullptr), m_resolver(resolver) {}

status_t FakeDebugInfo::loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* loadContext) {
  ++loadDebugInfoCalls;
  lastKindMask = kindMask;
  lastContext = loadContext;
  return onLoadDebugInfo ? onLoadDebugInfo(table, kindMask, loadContext) : STATUS_OK;
}

ISrcLineResolver* FakeDebugInfo::srcLineResolver(IScope* scope, ILock* lock) {
  ++srcLineResolverCalls;
  lastScope = scope;
  lastLock = lock;
  return m_resolver.get();
}

}  // namespace zor_fake
