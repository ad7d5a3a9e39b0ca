#ifndef ZOR_PDB_DIA_LOAD_CALLBACK_H_
#define ZOR_PDB_DIA_LOAD_CALLBACK_H_

#include <string>

#include "dia/dia_interfaces.h"

namespace ZOR_3_12 {

// Learns which PDB the plug-in opened while it searched for an image's PDB. Lives on the
// stack of findPdb; not counted.
class DiaLoadCallBack : public dia::IDiaLoadCallback {
 public:
  DiaLoadCallBack() = default;
  virtual ~DiaLoadCallBack() = default;

  dia::HRESULT QueryInterface(dia::REFIID riid, void** object) override;
  dia::ULONG AddRef() override { return 0; }
  dia::ULONG Release() override { return 0; }
  dia::HRESULT NotifyDebugDir(dia::BOOL, dia::DWORD, dia::BYTE*) override { return dia::E_FAIL; }
  dia::HRESULT NotifyOpenDBG(dia::LPCOLESTR path, dia::HRESULT result) override;
  dia::HRESULT NotifyOpenPDB(dia::LPCOLESTR path, dia::HRESULT result) override;
  dia::HRESULT RestrictRegistryAccess() override { return dia::S_OK; }
  dia::HRESULT RestrictSymbolServerAccess() override { return dia::E_FAIL; }

  const std::wstring& openedPath() const { return m_openedPath; }

 private:
  std::wstring m_openedPath;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_LOAD_CALLBACK_H_
