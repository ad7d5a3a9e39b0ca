#include <zor/object.h>

namespace ZOR_3_12 {
namespace internal {

uint32_t RefCountHelper::addRef() {
  ScopedLock guard(m_lock);
  return ++m_count;
}

uint32_t RefCountHelper::release() {
  ILock* lock = m_lock;  // read before the observer may destroy this helper
  if (lock) lock->lock();
  uint32_t count = --m_count;
  if (count == 0 && m_observer) m_observer->onDelete();
  if (lock) lock->unlock();
  return count;
}

void RefCountHelper::refCount(unsigned int& out) const {
  ScopedLock guard(m_lock);
  out = m_count.load();
}

}  // namespace internal
}  // namespace ZOR_3_12
