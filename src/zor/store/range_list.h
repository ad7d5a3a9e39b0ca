// The sorted list of address ranges of one scope. Touching or overlapping ranges coalesce on
// insertion, except that the first range ever inserted (the primary one) is never absorbed
// into another, so a later range may overlap it.
#ifndef ZOR_STORE_RANGE_LIST_H_
#define ZOR_STORE_RANGE_LIST_H_

#include <cstdint>

namespace ZOR_3_12 {

struct RangeNode {
  uint64_t start;
  uint64_t end;  // exclusive
  RangeNode* next;
};

class RangeList {
 public:
  RangeList() = default;
  ~RangeList();
  RangeList(const RangeList&) = delete;
  RangeList& operator=(const RangeList&) = delete;

  void insert(uint64_t start, uint64_t end);
  // Unlinks the node that starts exactly at `start`; false when there is none.
  bool removeStartingAt(uint64_t start);
  // The node containing `address`; `start` carries a hint in and the node's bounds out.
  bool rangeContaining(uint64_t& start, uint64_t& end, uint64_t address) const;
  // Drops every node after the first and sets the first one's end.
  void collapseToFirst(uint64_t end);
  // The node last inserted or extended (may be null).
  RangeNode* hint() const { return m_hint; }

  RangeNode* head() const { return m_head; }
  RangeNode* const* headField() const { return &m_head; }
  bool empty() const { return m_head == nullptr; }
  bool hasSeveral() const { return m_head && m_head->next; }
  uint64_t firstStart() const;  // all ones when empty
  uint64_t lastEnd() const;     // all ones when empty

 private:
  RangeNode* m_head = nullptr;
  RangeNode* m_hint = nullptr;     // node last inserted or extended
  RangeNode* m_primary = nullptr;  // first node ever inserted
  // Set once a primary node existed: a removed primary is not replaced by a later front node.
  bool m_hadPrimary = false;
};

}  // namespace ZOR_3_12

#endif  // ZOR_STORE_RANGE_LIST_H_
