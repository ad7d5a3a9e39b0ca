// The store objects made from PDB symbols: every function, data object, label, public
// symbol or thunk becomes a DiaScope holding its DiaSymbol. The symbol reads its name,
// address and declaration from the PDB on first demand.
#ifndef ZOR_PDB_DIA_SYMBOLS_H_
#define ZOR_PDB_DIA_SYMBOLS_H_

#include <atomic>
#include <cstdint>
#include <string>

#include <zor/source.h>

#include "dia/dia_interfaces.h"
#include "zor/pdb/com_ptr.h"
#include "zor/store/scope.h"
#include "zor/store/symbols.h"

namespace ZOR_3_12 {

class DIADebugInfoLoader;

class DiaSymbol : public ScopeRelatedSymbol {
 public:
  // `kind` is decided by the loader from the symbol's tag; `compiland` is the compiland's
  // symbol index (all ones for symbols of no compiland), which is also the symbol's
  // compilation-unit key. `resolver` (may be null) outlives the symbol.
  DiaSymbol(IFileFormatLoader* ffl, IScope* scope, dia::IDiaSymbol* symbol, symbol_kind_t kind, uint32_t compiland,
            dia::IDiaSession* session, ISrcLineResolver* resolver);

  status_t sourceLocation(SymMgrObjectPtr<ISourceLocation>& out) override;
  status_t compUnitId(uint32_t& out) override;
  const wchar_t* name() override;
  const wchar_t* demangledName(bool flag) override;
  const wchar_t* shortName() override;
  const wchar_t* alternateName() override;
  SymMgrObjectPtr<IAddress> address() override;
  SymMgrObjectPtr<SourceLineIter> sourceLines() override;
  void setName(const wchar_t* name) override;
  // The name is read from the PDB on first request and has an undecorated form of its own.
  SymMgrObjectPtr<ISymbolNameDemangler> finalNameObject() override { return nullptr; }

  void setKind(symbol_kind_t kind) { m_kind = kind; }
  // For symbols whose PDB address is not the image's (rearranged images).
  void setImageRva(uint32_t rva);
  dia::IDiaSymbol* diaSymbol() const { return m_symbol.get(); }

  // The symbol's kind by its tag: functions, data, public functions; all else is public.
  static symbol_kind_t kindOf(dia::IDiaSymbol* symbol, uint32_t tag);

 private:
  void ensureName();
  uint64_t rva();

  internal::ComPtr<dia::IDiaSymbol> m_symbol;
  internal::ComPtr<dia::IDiaSession> m_session;
  ISrcLineResolver* m_resolver;
  uint64_t m_rva = 0;
  // The name under a decoration the demangler does not know (x86 C publics: "_f@8" is
  // "f"), as the PDB undecorates it; empty when it adds nothing to the name.
  std::wstring m_undecorated;
  SymMgrObjectPtr<ISourceLocation> m_location;
  std::atomic<bool> m_nameDone{false};
  std::atomic<bool> m_rvaDone{false};
  bool m_locationDone = false;
  ZorLock m_cacheLock;
};

class DiaScope : public SymbolScope {
 public:
  DiaScope(IFileFormatLoader* ffl, ISrcLineResolver* resolver, DIADebugInfoLoader* loader, dia::IDiaSymbol* symbol,
           symbol_kind_t kind, IScope* parent, uint32_t compiland);

  uint32_t mergeFlags(IScope* other) override;
  void merge(IScope* other, uint32_t flags) override;
  status_t loadSymbols(uint32_t kindMask) override;

  DiaSymbol* diaSymbol() const { return static_cast<DiaSymbol*>(m_symbol); }

 private:
  internal::ComPtr<dia::IDiaSymbol> m_diaSymbol;
  DIADebugInfoLoader* m_loader;
  ISrcLineResolver* m_resolver;
  uint64_t m_recordedEnd = ~0ull;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_SYMBOLS_H_
