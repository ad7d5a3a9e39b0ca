// The library's one lock type: a re-entrant lock behind a tiny abstract interface, so an
// object can be told at construction which lock guards its reference count.
#ifndef ZOR_LOCK_H_
#define ZOR_LOCK_H_

#include <mutex>

#include <zor/export.h>

namespace ZOR_3_12 {

class ILock {
 public:
  virtual void lock() = 0;
  virtual void unlock() = 0;

 protected:
  ~ILock() = default;  // never deleted through the interface
};

// Re-entrant: a thread that holds it may take it again and releases it as often.
class ZorLock : public ILock {
 public:
  ZorLock() = default;
  ZorLock(const ZorLock&) = delete;
  ZorLock& operator=(const ZorLock&) = delete;
  virtual ~ZorLock() = default;
  void lock() override { m_mutex.lock(); }
  void unlock() override { m_mutex.unlock(); }

 private:
  std::recursive_mutex m_mutex;
};

// Guard for an optional lock: a null lock is simply not taken.
class ScopedLock {
 public:
  explicit ScopedLock(ILock* lock) : m_lock(lock) {
    if (m_lock) m_lock->lock();
  }
  ~ScopedLock() {
    if (m_lock) m_lock->unlock();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  ILock* m_lock;
};

}  // namespace ZOR_3_12

#endif  // ZOR_LOCK_H_
