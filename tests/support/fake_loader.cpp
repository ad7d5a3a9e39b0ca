#include "support/fake_loader.h"


#include "zor/image/address.h"
#include "zor/image/byte_buffer.h"

namespace zor_fake {

FakeLoader::FakeLoader(exec_format_t format, uint64_t imageBase, std::wstring path)
    : SymMgrObject<FileFormatLoader>(nullptr), m_format(format), m_imageBase(imageBase), m_path(std::move(path)) {}

FakeLoader::~FakeLoader() {
  for (auto& s : m_segments) delete static_cast<Segment*>(s.second);
}

Segment* FakeLoader::addSegment(const std::wstring& name, uint64_t start, uint64_t size, uint32_t kind,
                                uint64_t fileOffset, uint64_t fileSize) {
  auto* s = new Segment(this, name, start - m_imageBase, fileOffset, fileSize == ~0ull ? size : fileSize, size, kind);
  auto it = m_segments.find(start);
  if (it != m_segments.end()) delete static_cast<Segment*>(it->second);
  m_segments[start] = s;
  return s;
}

status_t FakeLoader::collectSymbolFilesToResolve(std::vector<ISymbolFileToResolve*>& list) {
  ++collectCalls;
  list = candidates;
  return STATUS_OK;
}

IDebugInfoLoader* FakeLoader::createDebugInfoLoader(const wchar_t* path, int format) {
  ++createCalls;
  return new FakeDebugInfo(nullptr, this, path, uint32_t(format));
}

status_t FakeLoader::loadSymbols(ISymbolTable* table, uint32_t kindMask) {
  ++loadSymbolsCalls;
  return onLoadSymbols ? onLoadSymbols(table, kindMask) : STATUS_OK;
}

ISegment* FakeLoader::segmentByAddress(uint64_t va) {
  auto it = m_segments.upper_bound(va);
  if (it == m_segments.begin()) return nullptr;
  --it;
  return va - it->first < it->second->size() ? it->second : nullptr;
}

SymMgrObjectPtr<IBuffer> FakeLoader::readBytes(uint64_t offset, uint64_t size) {
  if (m_path.empty()) return SymMgrObjectPtr<IBuffer>(new ByteBuffer(0));
  return internal::readFileBytes(m_path.c_str(), offset, size);
}

status_t FakeLoader::address(SymMgrObjectPtr<IAddress>& out, uint64_t va) {
  if (!segmentByAddress(va)) return STATUS_UNSPECIFIED_ERROR;
  out = new Address(this, va);
  return STATUS_OK;
}

FakeDebugInfo::FakeDebugInfo(ISrcLineResolver* resolver, FileFormatLoader* owner, std::wstring path, uint32_t format)
    : SymMgrObject<IDebugInfoLoader>(nullptr), m_resolver(resolver), m_owner(owner), m_path(std::move(path)),
      m_format(format) {}

FakeDebugInfo::~FakeDebugInfo() {
  if (m_owner) m_owner->removeDebugInfoLoader(this);
}

status_t FakeDebugInfo::loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* loadContext) {
  ++loadDebugInfoCalls;
  return onLoadDebugInfo ? onLoadDebugInfo(table, kindMask, loadContext) : STATUS_OK;
}

ISrcLineResolver* FakeDebugInfo::srcLineResolver(IScope*, ILock*) { return m_resolver.get(); }

}  // namespace zor_fake
