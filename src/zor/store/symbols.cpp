#include "zor/store/symbols.h"

#include <typeinfo>

#include "zor/store/symbol_range.h"
#include "zor/store/thunk_range_iterator.h"

namespace ZOR_3_12 {

NamedSymbol::NamedSymbol(IFileFormatLoader* loader, SymbolName name, int32_t linkage, symbol_kind_t kind,
                         uint32_t compUnitKeyLow, uint32_t compUnitKeyHigh)
    : SymMgrObject<ISymbol>(nullptr),
      m_linkage(linkage),
      m_kind(kind),
      m_compUnitKey((static_cast<uint64_t>(compUnitKeyHigh) << 32) | compUnitKeyLow),
      m_loader(loader) {
  if (name.isUtf8)
    m_nameObject = createNameFromUtf8(name.text);
  else
    NamedSymbol::setName(name.wide);
}

status_t NamedSymbol::compUnitId(uint32_t&) { return STATUS_FALSE; }

void NamedSymbol::setName(const wchar_t* name) {
  ScopedLock guard(&m_lock);
  exec_format_t format = m_loader ? m_loader->execFormat() : EXEC_FORMAT_ELF;
  m_nameObject = ISymbolNameDemangler::create(name ? name : L"", format);
}

SymMgrObjectPtr<ISymbolNameDemangler> NamedSymbol::finalNameObject() {
  ScopedLock guard(&m_lock);
  return m_nameObject;
}

void NamedSymbol::takeNameOf(NamedSymbol& other) {
  SymMgrObjectPtr<ISymbolNameDemangler> object = other.finalNameObject();
  if (!object) return setName(other.name());
  ScopedLock guard(&m_lock);
  m_nameObject = object;
}

void NamedSymbol::setCompUnitKey(uint32_t low, uint32_t high) {
  m_compUnitKey = (static_cast<uint64_t>(high) << 32) | low;
}

const wchar_t* NamedSymbol::name() {
  ScopedLock guard(&m_lock);
  return m_nameObject ? m_nameObject->name() : L"";
}

const wchar_t* NamedSymbol::demangledName(bool flag) {
  ScopedLock guard(&m_lock);
  return m_nameObject ? m_nameObject->demangledName(flag) : L"";
}

const wchar_t* NamedSymbol::shortName() {
  ScopedLock guard(&m_lock);
  return m_nameObject ? m_nameObject->shortName() : L"";
}

const wchar_t* NamedSymbol::alternateName() {
  ScopedLock guard(&m_lock);
  return m_nameObject ? m_nameObject->alternateName() : L"";
}

int32_t NamedSymbol::linkage() {
  ScopedLock guard(&m_lock);
  return m_linkage;
}

void NamedSymbol::setLinkage(int32_t linkage) {
  ScopedLock guard(&m_lock);
  m_linkage = linkage;
}

ScopeRelatedSymbol::ScopeRelatedSymbol(IFileFormatLoader* loader, IScope* scope, SymbolName name, int32_t linkage,
                                       symbol_kind_t kind, uint32_t compUnitKeyLow, uint32_t compUnitKeyHigh)
    : NamedSymbol(loader, name, linkage, kind, compUnitKeyLow, compUnitKeyHigh), m_scope(scope) {}

SymMgrObjectPtr<SymbolRangeIter> ScopeRelatedSymbol::ranges() {
  return SymMgrObjectPtr<SymbolRangeIter>(new RelRangeIterator(m_scope));
}

SymMgrObjectPtr<SymbolRangeIter> ScopeRelatedSymbol::thunkRanges() {
  return SymMgrObjectPtr<SymbolRangeIter>(new ThunkRangeIterator(m_scope));
}

Symbol::Symbol(IFileFormatLoader* loader, SymbolName name, uint64_t address, IScope* scope, int32_t linkage,
               symbol_kind_t kind, uint32_t compUnitKeyLow, uint32_t compUnitKeyHigh)
    : ScopeRelatedSymbol(loader, scope, name, linkage, kind, compUnitKeyLow, compUnitKeyHigh), m_address(address) {}

status_t Symbol::sourceLocation(SymMgrObjectPtr<ISourceLocation>&) { return STATUS_FALSE; }

SymMgrObjectPtr<IAddress> Symbol::address() {
  SymMgrObjectPtr<IAddress> out;
  if (m_loader) m_loader->address(out, m_address);
  return out;
}

SymMgrObjectPtr<SourceLineIter> Symbol::sourceLines() { return nullptr; }

NamedSymbol* asNamedSymbol(ISymbol* symbol) {
  if (symbol == nullptr) return nullptr;
  const std::type_info* type = &typeid(*symbol);
  if (*type == typeid(Symbol)) return static_cast<Symbol*>(symbol);
  // Otherwise nearly every call is about the class of the call before (a debug symbol).
  thread_local const std::type_info* t_lastType = nullptr;
  thread_local bool t_lastNamed = false;
  if (type != t_lastType) {
    t_lastNamed = dynamic_cast<NamedSymbol*>(symbol) != nullptr;
    t_lastType = type;
  }
  return t_lastNamed ? static_cast<NamedSymbol*>(symbol) : nullptr;
}

}  // namespace ZOR_3_12
