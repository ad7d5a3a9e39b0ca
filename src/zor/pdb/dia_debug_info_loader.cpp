#include "zor/pdb/dia_debug_info_loader.h"

#include <algorithm>
#include <cwctype>

#include "zor/image/thunk.h"
#include "zor/object/trace.h"
#include "zor/pdb/dia_line_resolver.h"
#include "zor/pdb/dia_symbols.h"

namespace ZOR_3_12 {

namespace {

const wchar_t kLinkerCompiland[] = L"* LINKER *";

bool equalsNoCase(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return false;
  for (; *a && *b; ++a, ++b)
    if (std::towlower(static_cast<wint_t>(*a)) != std::towlower(static_cast<wint_t>(*b))) return false;
  return *a == *b;
}

bool isTrue(dia::IDiaSymbol* s, dia::HRESULT (dia::IDiaSymbol::*get)(dia::BOOL*)) {
  dia::BOOL v = 0;
  return (s->*get)(&v) == dia::S_OK && v != 0;
}

}  // namespace

// --- DIADebugInfoLoader ---------------------------------------------------------------

DIADebugInfoLoader::DIADebugInfoLoader(IFileFormatLoader* ffl, const wchar_t* pdbPath, const PEFileInfo* info,
                                       ILock* lock)
    : DebugInfoLoader(ffl, lock), m_peInfo(info), m_pdbPath(pdbPath ? pdbPath : L"") {
  IDiaManager::create(m_manager);
}

DIADebugInfoLoader::~DIADebugInfoLoader() { m_session.reset(); }

bool DIADebugInfoLoader::openSession() {
  ScopedLock guard(&m_lock);
  if (m_session) return true;
  if (!m_manager || !m_peInfo) return false;
  const dia::GUID guid = internal::guidFromBytes(m_peInfo->pdbGuid);
  internal::ComPtr<dia::IDiaDataSource> source =
      m_manager->findDataSource(m_pdbPath.c_str(), &guid, m_peInfo->pdbSignature, m_peInfo->pdbAge);
  if (!source) {
    if (m_manager->validatePdb(m_pdbPath.c_str(), &guid, m_peInfo->pdbSignature, m_peInfo->pdbAge) != STATUS_OK)
      return false;
    source = m_manager->findDataSource(m_pdbPath.c_str(), &guid, m_peInfo->pdbSignature, m_peInfo->pdbAge);
    if (!source) return false;
  }
  internal::ComPtr<dia::IDiaSession> session;
  if (source->openSession(session.out()) != dia::S_OK || !session) return false;
  m_session = std::move(session);
  return true;
}

ISrcLineResolver* DIADebugInfoLoader::srcLineResolver(IScope*, ILock* lock) {
  if (!openSession()) return nullptr;
  return new DiaLineResolver(m_ffl.get(), m_session.get(), lock);
}

void DIADebugInfoLoader::buildThunkMap(dia::IDiaSymbol* global, IltThunkMap& map) {
  internal::ComPtr<dia::IDiaEnumSymbols> linkers;
  if (m_session->findChildren(global, dia::SymTagCompiland, kLinkerCompiland, dia::nsfCaseInsensitive,
                              linkers.out()) != dia::S_OK ||
      !linkers)
    return;
  internal::ComPtr<dia::IDiaSymbol> linker;
  if (linkers->Item(0, linker.out()) != dia::S_OK || !linker) return;
  internal::ComPtr<dia::IDiaEnumSymbols> thunks;
  if (linker->findChildren(dia::SymTagThunk, nullptr, 0, thunks.out()) != dia::S_OK || !thunks) return;
  DIAChildIterator it(thunks.get());
  if (!it.valid()) return;
  dia::DWORD ordinal = 0, firstRva = 0;
  it.current()->get_thunkOrdinal(&ordinal);
  if (it.current()->get_relativeVirtualAddress(&firstRva) == dia::S_OK) map.base = firstRva;
  if (ordinal != dia::THUNK_ORDINAL_TRAMPINCREMENTAL) return;
  for (; it.valid(); it.step()) {
    dia::IDiaSymbol* t = it.current();
    dia::ULONGLONG length = 0;
    dia::DWORD rva = 0, target = 0;
    t->get_length(&length);
    t->get_relativeVirtualAddress(&rva);
    t->get_targetRelativeVirtualAddress(&target);
    map.byTarget.emplace(target, IltThunkMap::Entry{rva, length});
  }
}

size_t DIADebugInfoLoader::loadChildren(dia::IDiaEnumSymbols* symbols, uint32_t compiland, ISymbolTable* table,
                                        IltThunkMap* thunks, ISrcLineResolver* context) {
  IFileFormatLoader* ffl = m_ffl.get();
  const uint64_t imageBase = ffl->imageBase();
  size_t inserted = 0;
  for (DIAChildIterator it(symbols); it.valid(); it.step()) {
    dia::IDiaSymbol* s = it.current();
    dia::DWORD locationType = 0, tag = 0;
    if (s->get_locationType(&locationType) == dia::S_OK && locationType == dia::LocInMetaData) continue;
    if (isTrue(s, &dia::IDiaSymbol::get_managed)) continue;
    if (s->get_symTag(&tag) != dia::S_OK) continue;
    if (tag != dia::SymTagFunction && tag != dia::SymTagData && tag != dia::SymTagLabel &&
        tag != dia::SymTagPublicSymbol && tag != dia::SymTagThunk)
      continue;
    if ((tag == dia::SymTagLabel || tag == dia::SymTagPublicSymbol) && !isTrue(s, &dia::IDiaSymbol::get_code))
      continue;
    dia::DWORD section = 0;
    if (s->get_addressSection(&section) != dia::S_OK) continue;
    ISegment* segment = ffl->segmentByIndex(static_cast<int>(section));
    if (!segment) continue;
    dia::DWORD rva32 = 0;
    uint64_t rva;
    if (s->get_relativeVirtualAddress(&rva32) == dia::S_OK && rva32 != 0) {
      rva = rva32;
    } else {
      dia::DWORD offset = 0;
      if (s->get_addressOffset(&offset) != dia::S_OK || offset == 0) continue;
      rva = segment->rva() + offset;
      if (!ffl->segmentByAddress(imageBase + rva)) continue;
    }

    auto* scope = new DiaScope(ffl, context, this, s, DiaSymbol::kindOf(s, tag), table->ownerScope(), compiland);
    const uint64_t start = imageBase + rva;
    dia::ULONGLONG length = 0;
    if (s->get_length(&length) != dia::S_OK) length = 0;
    if (tag == dia::SymTagData && length == 0) {
      // Arrays declared with their bounds carry the size on their type only.
      internal::ComPtr<dia::IDiaSymbol> type;
      dia::DWORD typeTag = 0;
      if (s->get_type(type.out()) == dia::S_OK && type && type->get_symTag(&typeTag) == dia::S_OK &&
          typeTag == dia::SymTagArrayType) {
        if (type->get_length(&length) != dia::S_OK) length = 0;
      }
    }
    // Written so that a length near 2^64 cannot wrap around the test.
    const uint64_t segmentEnd = segment->rva() + segment->size();
    if (rva > segmentEnd || length > segmentEnd - rva) length = 0;

    if (tag == dia::SymTagThunk) {
      scope->attachThunk(new ImportThunk(scope, start, length));
    } else {
      if (thunks) {
        auto range = thunks->byTarget.equal_range(static_cast<uint32_t>(rva));
        for (auto e = range.first; e != range.second; ++e) {
          const uint64_t thunkStart = imageBase + e->second.rva;
          // A trampoline is a few bytes; a length that runs off the address space is not one.
          const uint64_t thunkLength = e->second.length > ~0ull - thunkStart ? 0 : e->second.length;
          scope->attachThunk(new DiaILTThunk(scope, thunkStart, thunkLength, imageBase + thunks->base));
        }
        thunks->byTarget.erase(range.first, range.second);
      }
      scope->addRange(start, start + length);
    }
    table->insertScope(scope);
    ++inserted;
  }
  return inserted;
}

size_t DIADebugInfoLoader::loadTag(dia::IDiaSymbol* parent, uint32_t tag, uint32_t compiland, ISymbolTable* table,
                                   IltThunkMap* thunks, ISrcLineResolver* context) {
  internal::ComPtr<dia::IDiaEnumSymbols> children;
  if (m_session->findChildren(parent, tag, nullptr, 0, children.out()) != dia::S_OK || !children) return 0;
  return loadChildren(children.get(), compiland, table, thunks, context);
}

status_t DIADebugInfoLoader::loadPublicsThroughOmap(const OMAPLoader& omap, dia::IDiaEnumSymbols* publics,
                                                    ISymbolTable* table, ISrcLineResolver* context,
                                                    size_t& inserted) {
  std::map<uint32_t, internal::ComPtr<dia::IDiaSymbol>> byRva;
  for (DIAChildIterator it(publics); it.valid(); it.step()) {
    dia::IDiaSymbol* s = it.current();
    dia::DWORD rva = 0;
    if (isTrue(s, &dia::IDiaSymbol::get_managed)) continue;
    if (s->get_relativeVirtualAddress(&rva) != dia::S_OK || rva == 0) continue;
    byRva.emplace(rva, internal::ComPtr<dia::IDiaSymbol>(s));
  }
  if (byRva.empty()) return STATUS_FALSE;

  IFileFormatLoader* ffl = m_ffl.get();
  const uint64_t imageBase = ffl->imageBase();
  for (auto it = byRva.begin(); it != byRva.end(); ++it) {
    dia::IDiaSymbol* s = it->second.get();
    if (!isTrue(s, &dia::IDiaSymbol::get_code)) continue;
    auto next = std::next(it);
    const uint64_t spanEnd = next == byRva.end() ? 0xFFFFFFFFull : uint64_t(next->first);
    auto* scope = new DiaScope(ffl, context, this, s, DiaSymbol::kindOf(s, dia::SymTagPublicSymbol),
                               table->ownerScope(), ~0u);
    bool first = true;
    for (const auto& piece : omap.mapRange(it->first, spanEnd)) {
      ISegment* segment = ffl->segmentByAddress(imageBase + piece.first);
      if (!segment) continue;
      uint64_t segmentEnd = segment->rva() + segment->size();
      uint64_t end = std::min<uint64_t>(uint64_t(piece.first) + piece.second, segmentEnd);
      if (end <= piece.first) continue;
      if (first) {
        scope->diaSymbol()->setImageRva(piece.first);
        first = false;
      }
      scope->addRange(imageBase + piece.first, imageBase + end);
    }
    if (first) {
      delete scope;  // never published: nothing else knows it
      continue;
    }
    table->insertScope(scope);
    ++inserted;
  }
  return STATUS_OK;
}

status_t DIADebugInfoLoader::loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* context) {
  ZOR_TRACE("loadDebugInfo", "DIADebugInfoLoader");
  ScopedLock guard(&m_lock);
  if (!openSession()) return STATUS_NO_PDB_READER;
  internal::ComPtr<dia::IDiaSymbol> global;
  if (m_session->get_globalScope(global.out()) != dia::S_OK || !global) return STATUS_NO_DEBUG_INFO;

  IltThunkMap thunkMap;
  buildThunkMap(global.get(), thunkMap);
  IltThunkMap* thunks = thunkMap.empty() ? nullptr : &thunkMap;
  size_t inserted = 0;

  if (kindMask & SYMBOL_KIND_PUBLIC) {
    internal::ComPtr<dia::IDiaEnumSymbols> publics;
    if (m_session->findChildren(global.get(), dia::SymTagPublicSymbol, nullptr, 0, publics.out()) == dia::S_OK &&
        publics) {
      OMAPLoader omap(m_session.get());
      status_t status = STATUS_FALSE;
      if (omap.present()) status = loadPublicsThroughOmap(omap, publics.get(), table, context, inserted);
      if (status == STATUS_FALSE) {
        publics->Reset();
        inserted += loadChildren(publics.get(), ~0u, table, thunks, context);
      }
    }
  }

  internal::ComPtr<dia::IDiaEnumSymbols> compilands;
  if (m_session->findChildren(global.get(), dia::SymTagCompiland, nullptr, 0, compilands.out()) == dia::S_OK) {
    for (DIAChildIterator it(compilands.get()); it.valid(); it.step()) {
      dia::IDiaSymbol* compiland = it.current();
      dia::DWORD id = 0;
      compiland->get_symIndexId(&id);
      internal::Bstr name;
      if (compiland->get_name(name.out()) == dia::S_OK && equalsNoCase(name.get(), kLinkerCompiland)) continue;
      if (kindMask & SYMBOL_KIND_FUNCTION)
        inserted += loadTag(compiland, dia::SymTagFunction, id, table, thunks, context);
      // Thunks belong to no kind that could be asked for: they come with every load.
      inserted += loadTag(compiland, dia::SymTagThunk, id, table, thunks, context);
      if (kindMask & SYMBOL_KIND_DATA) inserted += loadTag(compiland, dia::SymTagData, id, table, nullptr, context);
      if (kindMask & SYMBOL_KIND_LABEL) inserted += loadTag(compiland, dia::SymTagLabel, id, table, nullptr, context);
    }
  }

  if (kindMask & SYMBOL_KIND_FUNCTION)
    inserted += loadTag(global.get(), dia::SymTagFunction, ~0u, table, nullptr, context);
  if (kindMask & SYMBOL_KIND_LABEL) inserted += loadTag(global.get(), dia::SymTagLabel, ~0u, table, nullptr, context);
  if (kindMask & SYMBOL_KIND_DATA) inserted += loadTag(global.get(), dia::SymTagData, ~0u, table, nullptr, context);
  return inserted ? STATUS_OK : STATUS_FALSE;
}

}  // namespace ZOR_3_12
