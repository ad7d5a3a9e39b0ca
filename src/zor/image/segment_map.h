// The segments of one image keyed by their absolute start, and the queries every loader
// answers from them. The map owns its segments.
#ifndef ZOR_IMAGE_SEGMENT_MAP_H_
#define ZOR_IMAGE_SEGMENT_MAP_H_

#include <cstdint>
#include <map>

#include "zor/image/segment.h"

namespace ZOR_3_12 {

class SegmentMap : public std::map<uint64_t, Segment*> {
 public:
  SegmentMap() = default;
  ~SegmentMap();
  SegmentMap(const SegmentMap&) = delete;
  SegmentMap& operator=(const SegmentMap&) = delete;

  // The segment with the greatest start not above `va`, when `va` is at most its end.
  Segment* byAddress(uint64_t va) const;
  // The n-th segment in ascending start order, counting from 1.
  Segment* byIndex(int n) const;
  // The first segment whose file bytes hold `offset`, else the last whose bytes end there.
  Segment* byFileOffset(uint64_t offset) const;
  // The first segment, in ascending start order, with exactly this name.
  Segment* byName(const wchar_t* name) const;
  // An iterator over every segment in ascending start order.
  SymMgrObjectPtr<IIterator<ISegment*>> segmentIterator();
};

}  // namespace ZOR_3_12

#endif  // ZOR_IMAGE_SEGMENT_MAP_H_
