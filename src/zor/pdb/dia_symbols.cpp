#include "zor/pdb/dia_symbols.h"

#include <cstdio>
#include <cwchar>

#include "zor/image/address.h"
#include "zor/object/trace.h"
#include "zor/pdb/dia_debug_info_loader.h"
#include "zor/source/symbol_source_line_iterator.h"

namespace ZOR_3_12 {

namespace {

bool sameText(const wchar_t* a, const wchar_t* b) { return a && b && std::wcscmp(a, b) == 0; }
// Decorated (Microsoft-mangled) names carry a '?'.
bool decorated(const wchar_t* name) { return name && std::wcschr(name, L'?') != nullptr; }
// Undecoration options: the name alone, without return type, calling convention, access,
// argument list or template arguments' prefixes.
constexpr dia::DWORD kUndecorateFlags = 0x3FB;

}  // namespace

// --- DiaSymbol ------------------------------------------------------------------------

DiaSymbol::DiaSymbol(IFileFormatLoader* ffl, IScope* scope, dia::IDiaSymbol* symbol, symbol_kind_t kind,
                     uint32_t compiland, dia::IDiaSession* session, ISrcLineResolver* resolver)
    : ScopeRelatedSymbol(ffl, scope, L"", SYMBOL_LINKAGE_LOCAL, kind, compiland,
                         compiland == ~0u ? ~0u : 0u),
      m_symbol(symbol),
      m_session(session),
      m_resolver(resolver) {}

symbol_kind_t DiaSymbol::kindOf(dia::IDiaSymbol* symbol, uint32_t tag) {
  switch (tag) {
    case dia::SymTagFunction:
      return SYMBOL_KIND_FUNCTION;
    case dia::SymTagData:
      return SYMBOL_KIND_DATA;
    case dia::SymTagPublicSymbol: {
      dia::BOOL function = 0;
      if (symbol && symbol->get_function(&function) == dia::S_OK && function) return SYMBOL_KIND_FUNCTION;
      return SYMBOL_KIND_PUBLIC;
    }
    default:
      return SYMBOL_KIND_PUBLIC;  // labels and thunks too
  }
}

void DiaSymbol::setImageRva(uint32_t rva) {
  ScopedLock guard(&m_cacheLock);
  m_rva = rva;
  m_rvaDone.store(true, std::memory_order_release);
}

uint64_t DiaSymbol::rva() {
  if (m_rvaDone.load(std::memory_order_acquire)) return m_rva;
  ScopedLock guard(&m_cacheLock);
  if (m_rvaDone.load(std::memory_order_relaxed)) return m_rva;
  dia::DWORD rva = 0;
  if (m_symbol->get_relativeVirtualAddress(&rva) != dia::S_OK || rva == 0) {
    dia::DWORD section = 0, offset = 0;
    rva = 0;
    if (m_symbol->get_addressSection(&section) != dia::S_OK) ZOR_ASSERT_TEXT("hr == S_OK", internal::kDiaSource, 412);
    if (m_symbol->get_addressOffset(&offset) != dia::S_OK) ZOR_ASSERT_TEXT("hr == S_OK", internal::kDiaSource, 414);
    ISegment* segment = section ? m_loader->segmentByIndex(static_cast<int>(section)) : nullptr;
    rva = static_cast<dia::DWORD>((segment ? segment->rva() : 0) + offset);
  }
  m_rva = rva;
  m_rvaDone.store(true, std::memory_order_release);
  return m_rva;
}

void DiaSymbol::ensureName() {
  if (m_nameDone.load(std::memory_order_acquire)) return;
  ScopedLock guard(&m_cacheLock);
  if (m_nameDone.load(std::memory_order_relaxed)) return;
  internal::Bstr text;
  if (m_symbol->get_name(text.out()) == dia::S_OK && text.get()) {
    NamedSymbol::setName(text.get());
    // Names the demangler reads itself ('?') keep its forms; thunks are named as they are.
    dia::DWORD tag = 0;
    internal::Bstr plain;
    if (!decorated(text.get()) && m_symbol->get_symTag(&tag) == dia::S_OK && tag != dia::SymTagThunk &&
        m_symbol->get_undecoratedNameEx(kUndecorateFlags, plain.out()) == dia::S_OK && plain.get() &&
        plain.get()[0] && !sameText(plain.get(), text.get()))
      m_undecorated = plain.get();
  } else {
    wchar_t unnamed[30];
    std::swprintf(unnamed, 30, L"Unnamed_%lx", static_cast<unsigned long>(rva()));
    NamedSymbol::setName(unnamed);
  }
  m_nameDone.store(true, std::memory_order_release);
}

void DiaSymbol::setName(const wchar_t* name) {
  ScopedLock guard(&m_cacheLock);
  NamedSymbol::setName(name);
  m_undecorated.clear();
  m_nameDone.store(true, std::memory_order_release);
}

const wchar_t* DiaSymbol::name() {
  ensureName();
  return NamedSymbol::name();
}

const wchar_t* DiaSymbol::demangledName(bool flag) {
  ensureName();
  return m_undecorated.empty() ? NamedSymbol::demangledName(flag) : m_undecorated.c_str();
}

const wchar_t* DiaSymbol::shortName() {
  ensureName();
  return m_undecorated.empty() ? NamedSymbol::shortName() : m_undecorated.c_str();
}

const wchar_t* DiaSymbol::alternateName() {
  ensureName();
  return NamedSymbol::alternateName();
}

SymMgrObjectPtr<IAddress> DiaSymbol::address() {
  return SymMgrObjectPtr<IAddress>(new Address(m_loader, m_loader->imageBase() + rva()));
}

status_t DiaSymbol::compUnitId(uint32_t& out) {
  if (m_compUnitKey == COMP_UNIT_ALL) return STATUS_FALSE;
  out = static_cast<uint32_t>(m_compUnitKey);
  return STATUS_OK;
}

status_t DiaSymbol::sourceLocation(SymMgrObjectPtr<ISourceLocation>& out) {
  if (!m_resolver) return STATUS_FALSE;
  ScopedLock guard(&m_cacheLock);
  if (!m_locationDone) {
    m_locationDone = true;
    dia::DWORD rva = 0;
    if (m_symbol->get_relativeVirtualAddress(&rva) != dia::S_OK)
      ZOR_ASSERT_TEXT("hr == S_OK", internal::kDiaSource, 471);
    m_location = m_resolver->sourceLocationByAddress(m_loader->imageBase() + rva, m_compUnitKey);
  }
  if (!m_location) return STATUS_FALSE;
  out = m_location;
  return STATUS_OK;
}

SymMgrObjectPtr<SourceLineIter> DiaSymbol::sourceLines() {
  SymMgrObjectPtr<ISourceLocation> location;
  ISourceFile* file = nullptr;
  if (sourceLocation(location) == STATUS_OK && location) file = location->sourceFile();
  return SymMgrObjectPtr<SourceLineIter>(new SymbolSourceLineIterator(m_scope, file, compUnitKey()));
}

// --- DiaScope -------------------------------------------------------------------------

DiaScope::DiaScope(IFileFormatLoader* ffl, ISrcLineResolver* resolver, DIADebugInfoLoader* loader,
                   dia::IDiaSymbol* symbol, symbol_kind_t kind, IScope* parent, uint32_t compiland)
    : SymbolScope(ffl, parent,
                  new DiaSymbol(ffl, this, symbol, kind, compiland, loader ? loader->session() : nullptr, resolver)),
      m_diaSymbol(symbol),
      m_loader(loader),
      m_resolver(resolver) {}

uint32_t DiaScope::mergeFlags(IScope* other) {
  if (!other) return 0;
  Scope* o = asScope(other);
  ISymbol* ts = symbol();
  ISymbol* os = other->symbol();
  if (!ts || !os) return 0;
  RangeList& tr = m_ranges;
  RangeList& orr = o->rangeList();
  const bool tHas = !tr.empty(), oHas = !orr.empty();
  const uint64_t sT = tr.firstStart(), eT = tr.lastEnd();
  const uint64_t sO = orr.firstStart(), eO = orr.lastEnd();
  const uint64_t kT = compUnitKey(), kO = o->compUnitKey();
  const wchar_t* nT = ts->name();
  const wchar_t* nO = os->name();

  // An existing scope without extent takes the newcomer's.
  uint32_t flags = (tHas && sT == eT && sO != eO) ? uint32_t{MERGE_TAKE_END} : 0u;
  bool noRanges;
  if (!tHas && os->kind() == SYMBOL_KIND_PUBLIC) {
    if (!decorated(nT) && decorated(nO)) flags |= MERGE_TAKE_NAME;
    noRanges = true;
  } else if (!oHas) {
    noRanges = true;
    if (tHas) flags |= MERGE_TAKE_END;
  } else {
    noRanges = false;
  }

  const bool sameName = sameText(nT, nO);
  bool namesMatch = sameName;
  if (!namesMatch) {
    const wchar_t* hT = ts->shortName();
    const wchar_t* hO = os->shortName();
    namesMatch = sameText(hT, hO) || sameText(nT, hO) || sameText(hT, nO) ||
                 sameText(ts->demangledName(false), os->demangledName(false));
  }

  if (namesMatch) {
    if (!tr.hasSeveral()) {
      if (m_recordedEnd == ~0ull) {
        if (kT == COMP_UNIT_ALL && sT < eT) {
          m_recordedEnd = eT;
        } else if (kO == COMP_UNIT_ALL && sO < eO) {
          m_recordedEnd = eO;
          if (eT > m_recordedEnd) flags |= MERGE_TAKE_END;
        }
      }
      // A debug symbol that ends before what a public symbol told us is the better bound.
      if (eT < eO || eT == m_recordedEnd) {
        if (eO < m_recordedEnd && kO != COMP_UNIT_ALL && sO != eO) flags |= MERGE_TAKE_END;
      }
    }
    if (kT == COMP_UNIT_ALL && kO != COMP_UNIT_ALL) flags |= MERGE_TAKE_KEY;
    if (!sameName && !decorated(nT) && decorated(nO)) flags |= MERGE_TAKE_NAME;
    if (ts->kind() == SYMBOL_KIND_PUBLIC && os->kind() != SYMBOL_KIND_PUBLIC) flags |= MERGE_TAKE_KIND;
  }
  if (flags == 0 && (noRanges || namesMatch)) return 1;
  return flags;
}

void DiaScope::merge(IScope* other, uint32_t flags) {
  if (!other) return;
  ISymbol* os = other->symbol();
  DiaSymbol* ts = diaSymbol();
  if (os && (flags & MERGE_TAKE_NAME)) ts->setName(os->name());
  if (flags & MERGE_TAKE_END) {
    RangeNode* mine = m_ranges.head();
    RangeNode* theirs = asScope(other)->rangeList().head();
    if (mine && theirs) {
      mine->end = theirs->end;
      if (theirs->end > m_highest) m_highest = theirs->end;
    }
  }
  if (flags & MERGE_TAKE_KEY) {
    uint64_t key = asScope(other)->compUnitKey();
    ts->setCompUnitKey(static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32));
  }
  if (os && (flags & MERGE_TAKE_KIND)) ts->setKind(os->kind());
}

status_t DiaScope::loadSymbols(uint32_t kindMask) {
  uint32_t newKinds = kindMask & ~m_loadedKinds;
  if (!newKinds || !m_loader || !m_loader->session()) return STATUS_FALSE;
  // Blocks are the only children a function has here, and the child loader accepts none,
  // so this adds nothing and the kinds stay unloaded.
  internal::ComPtr<dia::IDiaEnumSymbols> blocks;
  if (m_diaSymbol->findChildren(dia::SymTagBlock, nullptr, 0, blocks.out()) != dia::S_OK || !blocks)
    return STATUS_FALSE;
  // Most functions have no blocks: do not make a table for nothing.
  dia::LONG count = 0;
  if (blocks->get_Count(&count) == dia::S_OK && count == 0) return STATUS_FALSE;
  size_t added = m_loader->loadChildren(blocks.get(), static_cast<uint32_t>(compUnitKey()), symbolTable(), nullptr,
                                        m_resolver);
  return added ? STATUS_OK : STATUS_FALSE;
}

}  // namespace ZOR_3_12
