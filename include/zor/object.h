// Reference-counted objects, the intrusive smart pointer and the iterator interface.
//
// Every object that crosses the public boundary is an abstract interface deriving from
// ISymMgrObject. One template, SymMgrObject<T>, implements the count for every interface:
// the count is a plain integer guarded by the ILock given at construction (or by nothing,
// for objects that belong to one thread at a time). An object is born with count 0; the
// first SymMgrObjectPtr takes it to 1 and the release that brings it back to 0 deletes it.
#ifndef ZOR_OBJECT_H_
#define ZOR_OBJECT_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include <zor/export.h>
#include <zor/lock.h>

namespace ZOR_3_12 {

class ISymMgrObject {
 public:
  virtual uint32_t addRef() = 0;
  virtual uint32_t release() = 0;

 protected:
  ~ISymMgrObject() = default;  // deletion always goes through the implementation
};

namespace internal {

// Called exactly once, when an object's count drops to zero; it destroys the object.
class IDeleteObserver {
 public:
  virtual void onDelete() = 0;

 protected:
  ~IDeleteObserver() = default;
};

// The counter embedded in every SymMgrObject<T>. A count with a lock changes only under it;
// a count without one is atomic, so that an object cached by one thread and handed to others
// (a symbol's cached location, say) still dies exactly once.
class ZOR_API RefCountHelper {
 public:
  RefCountHelper(IDeleteObserver* observer, ILock* lock) : m_count(0), m_observer(observer), m_lock(lock) {}
  uint32_t addRef();
  // The observer may destroy this helper; the lock is released through a copy of its pointer.
  uint32_t release();
  void refCount(unsigned int& out) const;

 private:
  std::atomic<uint32_t> m_count;
  IDeleteObserver* m_observer;
  ILock* m_lock;
};

}  // namespace internal

// Implements counting for interface T. The virtual destructor, refCount, addRef and release
// override T's slots where T has them and are appended after T's own operations otherwise.
// (No `override` here on purpose: for some T these functions are new virtuals.)
template <class T>
class SymMgrObject : public T, public internal::IDeleteObserver {
 public:
  explicit SymMgrObject(ILock* lock) : m_refCount(this, lock) {}
  SymMgrObject(const SymMgrObject&) = delete;
  SymMgrObject& operator=(const SymMgrObject&) = delete;
  virtual ~SymMgrObject() {}
  virtual void refCount(unsigned int& out) const { m_refCount.refCount(out); }
  virtual uint32_t addRef() { return m_refCount.addRef(); }
  virtual uint32_t release() { return m_refCount.release(); }

 protected:
  virtual void onDelete() { delete this; }

  internal::RefCountHelper m_refCount;
};

// Base of internal objects that are counted but are not public interfaces.
class SymMgrObjectImpl {
 public:
  explicit SymMgrObjectImpl(ILock* lock = nullptr) : m_lock(lock), m_count(0) {}
  SymMgrObjectImpl(const SymMgrObjectImpl&) = delete;
  SymMgrObjectImpl& operator=(const SymMgrObjectImpl&) = delete;
  virtual ~SymMgrObjectImpl() {}
  virtual uint32_t addRef() {
    ScopedLock guard(m_lock);
    return ++m_count;
  }
  virtual uint32_t release() {
    ScopedLock guard(m_lock);
    const uint32_t count = --m_count;
    if (count == 0) delete this;  // the guard still holds the lock, as the count's owner expects
    return count;
  }

 private:
  ILock* m_lock;
  std::atomic<uint32_t> m_count;  // atomic for the lock-less case, as in RefCountHelper
};

// Intrusive smart pointer: holds one reference to a T (or nothing).
template <class T>
class SymMgrObjectPtr {
 public:
  SymMgrObjectPtr() : m_ptr(nullptr) {}
  SymMgrObjectPtr(T* p) : m_ptr(p) {  // NOLINT: implicit by design, as with raw pointers
    if (m_ptr) m_ptr->addRef();
  }
  SymMgrObjectPtr(const SymMgrObjectPtr& o) : m_ptr(o.m_ptr) {
    if (m_ptr) m_ptr->addRef();
  }
  template <class U>
  SymMgrObjectPtr(const SymMgrObjectPtr<U>& o) : m_ptr(o.get()) {  // NOLINT
    if (m_ptr) m_ptr->addRef();
  }
  SymMgrObjectPtr(SymMgrObjectPtr&& o) noexcept : m_ptr(o.m_ptr) { o.m_ptr = nullptr; }
  ~SymMgrObjectPtr() { reset(); }

  SymMgrObjectPtr& operator=(T* p) {
    if (m_ptr != p) {  // releasing first is safe only because equal pointers are excluded
      if (m_ptr) m_ptr->release();
      m_ptr = p;
      if (m_ptr) m_ptr->addRef();
    }
    return *this;
  }
  SymMgrObjectPtr& operator=(const SymMgrObjectPtr& o) { return *this = o.m_ptr; }
  SymMgrObjectPtr& operator=(SymMgrObjectPtr&& o) noexcept {
    if (this != &o) {
      T* old = m_ptr;
      m_ptr = o.m_ptr;
      o.m_ptr = nullptr;
      if (old) old->release();
    }
    return *this;
  }

  void reset() {
    if (m_ptr) {
      T* p = m_ptr;
      m_ptr = nullptr;
      p->release();
    }
  }
  T* get() const { return m_ptr; }
  T* operator->() const { return m_ptr; }
  T& operator*() const { return *m_ptr; }
  explicit operator bool() const { return m_ptr != nullptr; }
  bool operator!() const { return m_ptr == nullptr; }
  bool operator==(const SymMgrObjectPtr& o) const { return m_ptr == o.m_ptr; }
  bool operator!=(const SymMgrObjectPtr& o) const { return m_ptr != o.m_ptr; }
  bool operator==(const T* p) const { return m_ptr == p; }
  bool operator!=(const T* p) const { return m_ptr != p; }

 private:
  T* m_ptr;
};

// Public iterator. After construction or reset() the cursor stands on the first element;
// current() gives a null/zero T at the end; next() answers whether an element remains.
template <class T>
class IIterator : public ISymMgrObject {
 public:
  virtual T current() = 0;
  virtual bool next() = 0;
  virtual void reset() = 0;
};

// Iterator over a vector owned by someone else; the vector must outlive the iterator.
template <class V, class T>
class VectorIteratorWrapper : public SymMgrObject<IIterator<T>> {
 public:
  explicit VectorIteratorWrapper(V* vector) : SymMgrObject<IIterator<T>>(nullptr), m_vector(vector) { reset(); }
  T current() override { return m_cursor == m_vector->end() ? T() : T(*m_cursor); }
  bool next() override {
    if (m_cursor == m_vector->end()) return false;
    ++m_cursor;
    return m_cursor != m_vector->end();
  }
  void reset() override { m_cursor = m_vector->begin(); }

 private:
  typename V::iterator m_cursor;
  V* m_vector;
};

// Filter of MapIteratorWrapper; the library's one use accepts every element.
template <class T, class A>
struct CFilter {
  static bool accept(const T&, const A&) { return true; }
};

// Iterator over the mapped values of a map owned by someone else, in key order.
template <class M, class T, class F, class A>
class MapIteratorWrapper : public SymMgrObject<IIterator<T>> {
 public:
  MapIteratorWrapper(M* map, A filterArgument)
      : SymMgrObject<IIterator<T>>(nullptr),
        m_first(map->begin()),
        m_last(map->end()),
        m_map(map),
        m_filterArgument(filterArgument) {
    reset();
  }
  T current() override { return m_cursor == m_last ? T() : T(m_cursor->second); }
  bool next() override {
    if (m_cursor == m_last) return false;
    ++m_cursor;
    skipRejected();
    return m_cursor != m_last;
  }
  void reset() override {
    m_cursor = m_first;
    skipRejected();
  }

 private:
  void skipRejected() {
    while (m_cursor != m_last && !F::accept(T(m_cursor->second), m_filterArgument)) ++m_cursor;
  }
  typename M::iterator m_cursor;
  typename M::iterator m_first;
  typename M::iterator m_last;
  M* m_map;
  A m_filterArgument;
};

}  // namespace ZOR_3_12

#endif  // ZOR_OBJECT_H_
