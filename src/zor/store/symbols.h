// The symbol classes of the store. Loaders of executable images make plain Symbols; the
// debug-information loaders derive their own classes from these.
#ifndef ZOR_STORE_SYMBOLS_H_
#define ZOR_STORE_SYMBOLS_H_

#include <zor/loader.h>
#include <zor/symbol.h>

#include <cstddef>
#include <string_view>

#include "demangler/demangler.h"

namespace ZOR_3_12 {

// A new symbol's name as its maker has it: in wide characters, or as the file spells it in
// UTF-8, which spares an ASCII name (nearly every one) a trip through wide characters and
// back into the name table.
struct SymbolName {
  SymbolName(const wchar_t* name) : wide(name) {}  // NOLINT(google-explicit-constructor)
  static SymbolName utf8(const char* text, size_t length) {
    SymbolName name(nullptr);
    name.text = std::string_view(text != nullptr ? text : "", text != nullptr ? length : 0);
    name.isUtf8 = true;
    return name;
  }
  const wchar_t* wide = nullptr;
  std::string_view text;
  bool isUtf8 = false;
};

// Name (through the demangler), kind, linkage and compilation-unit key.
class NamedSymbol : public SymMgrObject<ISymbol> {
 public:
  NamedSymbol(IFileFormatLoader* loader, SymbolName name, int32_t linkage, symbol_kind_t kind,
              uint32_t compUnitKeyLow, uint32_t compUnitKeyHigh);

  status_t compUnitId(uint32_t& out) override;  // STATUS_FALSE, out untouched
  const wchar_t* name() override;
  const wchar_t* demangledName(bool flag) override;
  const wchar_t* shortName() override;
  const wchar_t* alternateName() override;
  symbol_kind_t kind() override { return m_kind; }
  int32_t linkage() override;

  virtual void setName(const wchar_t* name);
  virtual void setCompUnitKey(uint32_t low, uint32_t high);
  // Gives this symbol `other`'s name: its name object itself when `other` keeps one that
  // is final, so that the name is spelled and demangled once for both.
  void takeNameOf(NamedSymbol& other);

  void setLinkage(int32_t linkage);
  // The name object, null for a symbol that works its name out later (a PDB symbol).
  virtual SymMgrObjectPtr<ISymbolNameDemangler> finalNameObject();
  uint64_t compUnitKey() const { return m_compUnitKey; }
  IFileFormatLoader* loader() const { return m_loader; }

 protected:
  SymMgrObjectPtr<ISymbolNameDemangler> m_nameObject;
  int32_t m_linkage;
  symbol_kind_t m_kind;
  uint64_t m_compUnitKey;
  IFileFormatLoader* m_loader;
  ZorLock m_lock;  // guards m_nameObject and m_linkage
};

// A symbol that knows the scope holding its ranges and thunks.
class ScopeRelatedSymbol : public NamedSymbol {
 public:
  ScopeRelatedSymbol(IFileFormatLoader* loader, IScope* scope, SymbolName name, int32_t linkage,
                     symbol_kind_t kind, uint32_t compUnitKeyLow, uint32_t compUnitKeyHigh);

  SymMgrObjectPtr<SymbolRangeIter> ranges() override;
  SymMgrObjectPtr<SymbolRangeIter> thunkRanges() override;
  IScope* scope() const { return m_scope; }

 protected:
  IScope* m_scope;
};

// A symbol with a fixed start address and no source information.
class Symbol : public ScopeRelatedSymbol {
 public:
  Symbol(IFileFormatLoader* loader, SymbolName name, uint64_t address, IScope* scope, int32_t linkage,
         symbol_kind_t kind, uint32_t compUnitKeyLow, uint32_t compUnitKeyHigh);

  status_t sourceLocation(SymMgrObjectPtr<ISourceLocation>& out) override;  // STATUS_FALSE
  SymMgrObjectPtr<IAddress> address() override;                            // a new Address each call
  SymMgrObjectPtr<SourceLineIter> sourceLines() override;                   // null
  uint64_t startAddress() const { return m_address; }

 protected:
  uint64_t m_address;
};

// `symbol` as one of the store's named symbols (every symbol class of the library derives
// from NamedSymbol), or null for any other implementation of ISymbol. Merging and the tools
// ask this for every function: a cast across the class chain costs hundreds of
// instructions, so the answer is remembered per class on each thread.
NamedSymbol* asNamedSymbol(ISymbol* symbol);

}  // namespace ZOR_3_12

#endif  // ZOR_STORE_SYMBOLS_H_
