#include "zor/pdb/dia_load_callback.h"

namespace ZOR_3_12 {

dia::HRESULT DiaLoadCallBack::QueryInterface(dia::REFIID riid, void** object) {
  if (!object) return dia::E_FAIL;
  if (riid == dia::IID_IDiaLoadCallback) {
    *object = static_cast<dia::IDiaLoadCallback*>(this);
    return dia::S_OK;
  }
  *object = nullptr;
  return dia::E_FAIL;
}

dia::HRESULT DiaLoadCallBack::NotifyOpenDBG(dia::LPCOLESTR path, dia::HRESULT result) {
  if (dia::FAILED(result)) return result;
  m_openedPath = path ? path : L"";
  return dia::S_OK;
}

dia::HRESULT DiaLoadCallBack::NotifyOpenPDB(dia::LPCOLESTR path, dia::HRESULT result) {
  if (dia::FAILED(result)) return result;
  m_openedPath = path ? path : L"";
  return dia::S_OK;
}

}  // namespace ZOR_3_12
