#include "zor/image/address.h"

namespace ZOR_3_12 {

namespace {
constexpr uint64_t kUnknown = ~uint64_t(0);
}  // namespace

Address::Address(IFileFormatLoader* loader, uint64_t va)
    : SymMgrObject<IAddress>(nullptr), m_loader(loader), m_va(va), m_cachedFileOffset(kUnknown) {}

uint64_t Address::rva() { return m_va - m_loader->imageBase(); }

ISegment* Address::segment() { return m_loader->segmentByAddress(m_va); }

// The loaders only make addresses inside a segment, but a loader whose segments are unknown
// (or a caller that bypasses them) must not bring down the process: all ones answers then.
uint64_t Address::segmentOffset() {
  ISegment* s = segment();
  if (s == nullptr) return kUnknown;
  return m_va - s->rva() - m_loader->imageBase();
}

uint64_t Address::fileOffset() {
  if (m_cachedFileOffset != kUnknown) return m_cachedFileOffset;
  ISegment* s = segment();
  if (s == nullptr) return kUnknown;
  m_cachedFileOffset = m_va - (m_loader->imageBase() + s->rva()) + s->fileOffset();
  return m_cachedFileOffset;
}

}  // namespace ZOR_3_12
