#include "zor/image/segment_map.h"

#include <cwchar>
#include <iterator>

namespace ZOR_3_12 {

SegmentMap::~SegmentMap() {
  for (auto& entry : *this) delete entry.second;
}

Segment* SegmentMap::byAddress(uint64_t va) const {
  auto it = upper_bound(va);
  if (it == begin()) return nullptr;
  --it;
  // The end address itself still belongs to the segment.
  return va - it->first <= it->second->size() ? it->second : nullptr;
}

Segment* SegmentMap::byIndex(int n) const {
  if (n <= 0 || static_cast<size_t>(n) > size()) return nullptr;
  auto it = begin();
  std::advance(it, n - 1);
  return it->second;
}

Segment* SegmentMap::byFileOffset(uint64_t offset) const {
  Segment* endsHere = nullptr;
  for (auto& entry : *this) {
    Segment* s = entry.second;
    if (offset >= s->fileOffset() && offset - s->fileOffset() < s->fileSize()) return s;
    if (s->fileOffset() + s->fileSize() == offset) endsHere = s;
  }
  return endsHere;
}

Segment* SegmentMap::byName(const wchar_t* name) const {
  if (!name) return nullptr;
  for (auto& entry : *this)
    if (std::wcscmp(entry.second->name(), name) == 0) return entry.second;
  return nullptr;
}

SymMgrObjectPtr<IIterator<ISegment*>> SegmentMap::segmentIterator() {
  using Base = std::map<uint64_t, Segment*>;
  return new MapIteratorWrapper<Base, ISegment*, CFilter<ISegment*, uint32_t>, uint32_t>(this, 0xFFFFFFFF);
}

}  // namespace ZOR_3_12
