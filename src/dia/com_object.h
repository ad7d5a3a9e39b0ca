// Reference counting and interface lookup shared by every object the plug-in hands out.
// Objects start with one reference, owned by whoever receives the new object.
#ifndef ZOR_DIA_COM_OBJECT_H_
#define ZOR_DIA_COM_OBJECT_H_

#include <atomic>

#include "dia/dia_interfaces.h"

namespace dia {
namespace plugin {

template <typename Interface>
class ComObject : public Interface {
 public:
  ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;
  virtual ~ComObject() = default;

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || providesInterface(riid)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG left = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  // Interfaces with a published identifier answer it here.
  virtual bool providesInterface(REFIID) const { return false; }

 private:
  std::atomic<ULONG> m_references{1};
};

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_COM_OBJECT_H_
