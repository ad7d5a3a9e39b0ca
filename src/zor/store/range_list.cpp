#include "zor/store/range_list.h"

namespace ZOR_3_12 {

RangeList::~RangeList() {
  RangeNode* n = m_head;
  while (n) {
    RangeNode* next = n->next;
    delete n;
    n = next;
  }
}

void RangeList::insert(uint64_t start, uint64_t end) {
  // Find prev (last node starting at or before `start`) and p (the node after it). Loaders
  // add ranges mostly in ascending order, so the walk usually starts at the hint.
  RangeNode* prev = nullptr;
  RangeNode* walk = (m_hint && m_hint->start <= start) ? m_hint : m_head;
  if (walk && walk->start <= start) {
    prev = walk;
    while (prev->next && prev->next->start <= start) prev = prev->next;
  }
  RangeNode* p = prev ? prev->next : m_head;

  if (!prev) {
    RangeNode* n = new RangeNode{start, end, p};
    m_head = n;
    m_hint = n;
    if (!m_primary && !m_hadPrimary) {
      m_primary = n;
      m_hadPrimary = true;
    }
    return;
  }

  bool applied = false;
  if (p && p->start <= end && p != m_primary) {
    // The new range reaches the following node: that node grows downwards to `start`.
    p->start = start;
    uint64_t e = end > p->end ? end : p->end;
    while (p->next && p->next != m_primary && p->next->start <= end) {
      RangeNode* gone = p->next;
      if (gone->end > e) e = gone->end;
      p->next = gone->next;
      delete gone;
    }
    p->end = e;
    m_hint = p;
    applied = true;
  }
  if (prev->end >= start) {
    if (end > prev->end) prev->end = end;
    while (prev->next && prev->next != m_primary && prev->next->start <= prev->end) {
      RangeNode* gone = prev->next;
      if (gone->end > prev->end) prev->end = gone->end;
      prev->next = gone->next;
      delete gone;
    }
    m_hint = prev;
    applied = true;
  }
  if (!applied) {
    RangeNode* n = new RangeNode{start, end, p};
    prev->next = n;
    m_hint = n;
  }
}

bool RangeList::removeStartingAt(uint64_t start) {
  RangeNode* prev = nullptr;
  RangeNode* n = m_head;
  while (n && n->start < start) {
    prev = n;
    n = n->next;
  }
  if (!n || n->start != start) return false;
  if (prev)
    prev->next = n->next;
  else
    m_head = n->next;
  if (m_hint == n) m_hint = prev;
  if (m_primary == n) m_primary = nullptr;  // m_hadPrimary stays set
  delete n;
  return true;
}

bool RangeList::rangeContaining(uint64_t& start, uint64_t& end, uint64_t address) const {
  const RangeNode* n = (m_hint && m_hint->start <= start) ? m_hint : m_head;
  const RangeNode* found = nullptr;
  while (n && n->start <= address) {
    found = n;
    n = n->next;
  }
  if (!found || found->end <= address) return false;
  start = found->start;
  end = found->end;
  return true;
}

void RangeList::collapseToFirst(uint64_t end) {
  if (!m_head) return;
  RangeNode* n = m_head->next;
  while (n) {
    RangeNode* next = n->next;
    if (n == m_primary) m_primary = nullptr;
    delete n;
    n = next;
  }
  m_head->next = nullptr;
  m_head->end = end;
  m_hint = m_head;
}

uint64_t RangeList::firstStart() const { return m_head ? m_head->start : ~0ull; }

uint64_t RangeList::lastEnd() const {
  if (!m_head) return ~0ull;
  const RangeNode* n = m_hint ? m_hint : m_head;
  while (n->next) n = n->next;
  return n->end;
}

}  // namespace ZOR_3_12
