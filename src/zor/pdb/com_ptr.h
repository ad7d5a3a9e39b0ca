// Holders for what the PDB plug-in hands out: counted interface pointers (a new object
// arrives with one reference owned by the receiver) and wide strings that must go back
// through the plug-in's own free function.
#ifndef ZOR_PDB_COM_PTR_H_
#define ZOR_PDB_COM_PTR_H_

#include <string>

#include "dia/dia_interfaces.h"

namespace ZOR_3_12 {
namespace internal {

// Frees a string the plug-in allocated, through the free function of the plug-in that is
// loaded now; does nothing for null.
void freeDiaString(dia::BSTR text);
// Installed by the DIA manager while a plug-in is loaded (null when none is).
void setDiaStringFree(dia::DiaFreeStringFn fn);

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Adds a reference: for pointers borrowed from elsewhere.
  explicit ComPtr(T* p) : m_ptr(p) {
    if (m_ptr) m_ptr->AddRef();
  }
  ComPtr(const ComPtr& o) : m_ptr(o.m_ptr) {
    if (m_ptr) m_ptr->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : m_ptr(o.m_ptr) { o.m_ptr = nullptr; }
  ComPtr& operator=(const ComPtr& o) {
    if (o.m_ptr) o.m_ptr->AddRef();
    reset();
    m_ptr = o.m_ptr;
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    if (this != &o) {
      reset();
      m_ptr = o.m_ptr;
      o.m_ptr = nullptr;
    }
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() {
    if (m_ptr) {
      T* p = m_ptr;
      m_ptr = nullptr;
      p->Release();
    }
  }
  // For out parameters: drops what is held; the callee's new reference is adopted.
  T** out() {
    reset();
    return &m_ptr;
  }
  T* get() const { return m_ptr; }
  T* operator->() const { return m_ptr; }
  explicit operator bool() const { return m_ptr != nullptr; }

 private:
  T* m_ptr = nullptr;
};

// A plug-in string, freed when the holder goes.
class Bstr {
 public:
  Bstr() = default;
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { freeDiaString(m_text); }
  dia::BSTR* out() {
    freeDiaString(m_text);
    m_text = nullptr;
    return &m_text;
  }
  const wchar_t* get() const { return m_text; }
  std::wstring str() const { return m_text ? std::wstring(m_text) : std::wstring(); }

 private:
  dia::BSTR m_text = nullptr;
};

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_PDB_COM_PTR_H_
