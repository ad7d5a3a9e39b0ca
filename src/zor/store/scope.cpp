#include "zor/store/scope.h"

#include <cwchar>

#include "zor/store/symbol_table.h"
#include "zor/store/symbols.h"

namespace ZOR_3_12 {

Scope::Scope(IFileFormatLoader* loader, IScope* parent, ILock* lock)
    : SymMgrObject<IScope>(lock), m_parent(parent), m_loader(loader) {}

Scope::~Scope() {
  // Thunks attached to another scope on a merge belong to that scope now.
  for (Thunk* t : m_thunkList) {
    if (t->owner() == this || t->owner() == nullptr) delete t;
  }
}

status_t Scope::originalSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& out, uint64_t from, uint64_t to,
                                     uint32_t kindMask) {
  status_t status = loadSymbols(kindMask);
  if (status != STATUS_OK) return status;
  // A body without entries made no table, and answers nothing: none is made for it now.
  if (!m_table) {
    out = nullptr;
    return STATUS_FALSE;
  }
  out = m_table->originalSymbolRanges(from, to, kindMask);
  return out ? STATUS_OK : STATUS_FALSE;
}

status_t Scope::symbolRangeByAddress(SymMgrObjectPtr<ISymbolRange>& out, uint64_t address, uint32_t kindMask,
                                     ISymbolSelector* selector) {
  status_t status = loadSymbols(kindMask);
  if (status != STATUS_OK) return status;
  // A body without entries made no table, and answers nothing: none is made for it now.
  if (!m_table) {
    out = nullptr;
    return STATUS_FALSE;
  }
  out = m_table->symbolRangeByAddress(address, kindMask, selector);
  return out ? STATUS_OK : STATUS_FALSE;
}

status_t Scope::nonOverlappedSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& out, uint64_t from, uint64_t to,
                                          uint32_t kindMask, ISymbolSelector* selector) {
  status_t status = loadSymbols(kindMask);
  if (status != STATUS_OK) return status;
  // A body without entries made no table, and answers nothing: none is made for it now.
  if (!m_table) {
    out = nullptr;
    return STATUS_FALSE;
  }
  out = m_table->nonOverlappedSymbolRanges(from, to, kindMask, selector);
  return out ? STATUS_OK : STATUS_FALSE;
}

bool Scope::rangeContaining(uint64_t& start, uint64_t& end, uint64_t address) {
  return m_ranges.rangeContaining(start, end, address);
}

uint32_t Scope::mergeFlags(IScope* other) {
  if (!other) return 0;
  RangeList& mine = m_ranges;
  RangeList& theirs = asScope(other)->rangeList();
  uint64_t s0 = mine.firstStart(), e0 = mine.lastEnd();
  uint64_t s1 = theirs.firstStart(), e1 = theirs.lastEnd();
  // A newcomer without extent (a size-0 symbol) merges by name into one with an extent;
  // otherwise the extents must end together.
  if (!(s0 != e0 && s1 == e1) && e0 != e1) return 0;
  ISymbol* a = symbol();
  ISymbol* b = other->symbol();
  if (!a || !b) return 0;
  const wchar_t* na = a->name();
  const wchar_t* nb = b->name();
  return (na && nb && std::wcscmp(na, nb) == 0) ? 1 : 0;
}

void Scope::merge(IScope*, uint32_t) {}

ISymbolTable* Scope::symbolTable() {
  if (!m_table) m_table = new SymbolTable(this);
  return m_table.get();
}

void Scope::addRange(uint64_t start, uint64_t end) {
  if (start < m_lowest) m_lowest = start;
  if (end > m_highest) m_highest = end;
  m_ranges.insert(start, end);
}

bool Scope::attachThunk(Thunk* thunk) {
  if (!thunk) return false;
  if (Thunk* there = thunkContaining(thunk->start())) {
    if (there != thunk && (thunk->owner() == this || thunk->owner() == nullptr)) delete thunk;
    return false;
  }
  m_thunkList.push_back(thunk);
  thunk->setOwner(this);
  return true;
}

Thunk* Scope::thunkContaining(uint64_t address) const {
  for (Thunk* t : m_thunkList) {
    if (t->contains(address)) return t;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------

namespace {

// Symbols are owned by their scope: one reference is taken and never given back, so that
// callers' releases never delete the symbol; the scope deletes it outright.
ISymbol* adopt(ISymbol* symbol) {
  if (symbol) symbol->addRef();
  return symbol;
}

}  // namespace

SymbolScope::SymbolScope(IFileFormatLoader* loader, IScope* parent, ISymbol* symbol)
    : Scope(loader, parent, nullptr), m_symbol(adopt(symbol)) {}

SymbolScope::SymbolScope(IFileFormatLoader* loader, SymbolName name, uint64_t address, IScope* parent,
                         int32_t linkage, symbol_kind_t kind)
    : Scope(loader, parent, nullptr),
      m_symbol(adopt(new Symbol(loader, name, address, this, linkage, kind, 0xFFFFFFFFu, 0xFFFFFFFFu))) {}

SymbolScope::~SymbolScope() {
  // Every symbol of the store derives from SymMgrObject<ISymbol>, whose destructor is virtual.
  delete static_cast<SymMgrObject<ISymbol>*>(m_symbol);
}

uint64_t SymbolScope::compUnitKey() {
  auto* named = dynamic_cast<NamedSymbol*>(m_symbol);
  return named ? named->compUnitKey() : COMP_UNIT_ALL;
}

InlineInstanceScope::InlineInstanceScope(IFileFormatLoader* loader, IScope* parent, IInlineInstance* instance)
    : Scope(loader, parent, nullptr), m_instance(instance) {}

ISymbol* InlineInstanceScope::symbol() { return m_instance ? m_instance->symbol() : nullptr; }

// ---------------------------------------------------------------------------------------

GlobalScope::GlobalScope(IFileFormatLoader* fileLoader, IDebugInfoLoader* debugInfoLoader, ILock* lock)
    : Scope(fileLoader, nullptr, lock), m_fileLoader(fileLoader), m_debugInfoLoader(debugInfoLoader) {
  if (m_debugInfoLoader) m_loadContext = m_debugInfoLoader->srcLineResolver(this, &m_loadLock);
}

GlobalScope::~GlobalScope() {
  // The table and its scopes go before the load context that the debug scopes may use.
  m_table.reset();
  m_loadContext.reset();
}

status_t GlobalScope::loadSymbols(uint32_t kindMask) {
  if (hasLoaded(kindMask)) return STATUS_OK;
  ScopedLock guard(&m_loadLock);
  uint32_t newKinds = kindMask & ~m_loadedKinds;
  status_t debugStatus = m_debugInfoLoader ? STATUS_OK : STATUS_FALSE;
  status_t fileStatus = STATUS_OK;
  if (newKinds) {
    if (m_debugInfoLoader) debugStatus = m_debugInfoLoader->loadDebugInfo(symbolTable(), newKinds, m_loadContext.get());
    fileStatus = m_fileLoader ? m_fileLoader->loadSymbols(symbolTable(), newKinds) : STATUS_FALSE;
  }
  status_t result;
  if (failed(fileStatus))
    result = fileStatus;
  else if (failed(debugStatus))
    result = debugStatus;
  else if (fileStatus == STATUS_OK)
    result = STATUS_OK;
  else
    result = debugStatus;
  if (result == STATUS_OK) m_loadedKinds |= newKinds;
  return result;
}

}  // namespace ZOR_3_12
