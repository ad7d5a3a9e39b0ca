#include "zor/dwarf/dwarf_symbols.h"

#include <cstring>
#include <cwchar>

#include "kave/unicode.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/debug_info_loader.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/line_resolver.h"
#include "zor/source/source_location.h"
#include "zor/source/symbol_source_line_iterator.h"
#include "zor/store/symbol_range.h"

namespace ZOR_3_12 {

using dwarf::AttrBindings;
using dwarf::AttrValue;

namespace {

bool sameText(const wchar_t* a, const wchar_t* b) { return a && b && std::wcscmp(a, b) == 0; }

uint64_t lowOf(uint64_t key) { return key & 0xFFFFFFFFu; }
uint64_t highOf(uint64_t key) { return key >> 32; }

}  // namespace

// --- DwarfSourcePosition ---------------------------------------------------------------

DwarfSourcePosition* DwarfSourcePosition::read(AttrBindings* entry, DWARFDebugInfoLoader* loader, bool isCall) {
  if (!entry || !entry->unit()) return nullptr;
  DWARFCompilationUnit* unit = entry->unit();
  // A declaration may sit with the entry's origin (an abstract instance or the declaration
  // of a member); a call position is the call's own, and looking for it in the origin would
  // only decode the origin of every call that has no column.
  const bool follow = !isCall;
  const AttrValue* fileAttr =
      entry->getAttribute(isCall ? dwarf::DW_AT_call_file : dwarf::DW_AT_decl_file, !follow);
  const AttrValue* lineAttr =
      entry->getAttribute(isCall ? dwarf::DW_AT_call_line : dwarf::DW_AT_decl_line, !follow);
  uint64_t file = 0, line = 0, column = 0;
  if (!unit->constant(fileAttr, file) || !unit->constant(lineAttr, line)) return nullptr;
  // File 0 names the primary source from DWARF 5 on; before, it means "no file".
  if (line == 0 || (file == 0 && unit->version() < 5)) return nullptr;
  unit->constant(entry->getAttribute(isCall ? dwarf::DW_AT_call_column : dwarf::DW_AT_decl_column, !follow), column);
  return new DwarfSourcePosition(file, line, column, unit, loader);
}

int32_t DwarfSourcePosition::fileIndex() {
  if (m_resolved) return m_fileIndex;
  // Before the module has a line resolver there is no file list to index into; ask again.
  if (!m_loader || !m_loader->lineResolver()) return -1;
  ScopedLock guard(&m_unit->lineLock());
  if (!m_resolved) {
    m_fileIndex = m_unit->globalFileIndex(m_file);
    m_resolved = true;
  }
  return m_fileIndex;
}

SymMgrObjectPtr<ISourceLocation> DwarfSourcePosition::makeLocation() {
  int32_t index = fileIndex();
  if (index < 0) return nullptr;
  return SymMgrObjectPtr<ISourceLocation>(new SourceLocation(m_loader->lineResolver(), m_unit->offset(),
                                                             static_cast<uint32_t>(index),
                                                             static_cast<uint32_t>(m_line),
                                                             static_cast<uint32_t>(m_column)));
}

// --- DWARFSymbol -----------------------------------------------------------------------

DWARFSymbol::DWARFSymbol(IFileFormatLoader* ffl, SymbolName name, uint64_t address, IScope* scope,
                         symbol_kind_t kind, DWARFCompilationUnit* unit, DwarfSourcePosition* declaration)
    : Symbol(ffl, name, address, scope, SYMBOL_LINKAGE_LOCAL, kind,
             static_cast<uint32_t>(lowOf(unit ? unit->offset() : COMP_UNIT_ALL)),
             static_cast<uint32_t>(highOf(unit ? unit->offset() : COMP_UNIT_ALL))),
      m_declaration(declaration),
      m_unit(unit) {}

status_t DWARFSymbol::sourceLocation(SymMgrObjectPtr<ISourceLocation>& out) {
  ScopedLock guard(&m_cacheLock);
  if (!m_sourceLocationCache && m_declaration) m_sourceLocationCache = m_declaration->makeLocation();
  out = m_sourceLocationCache;
  return out ? STATUS_OK : STATUS_FALSE;
}

status_t DWARFSymbol::compUnitId(uint32_t& out) {
  // See compUnitIdOf: ids are offset + 1, never 0 for a real unit.
  if (!m_unit || m_unit->offset() >= 0xFFFFFFFFu) return STATUS_FALSE;
  out = compUnitIdOf(m_unit->offset());
  return STATUS_OK;
}

SymMgrObjectPtr<SourceLineIter> DWARFSymbol::sourceLines() {
  SymMgrObjectPtr<ISourceLocation> location;
  ISourceFile* file = nullptr;
  if (sourceLocation(location) == STATUS_OK && location) file = location->sourceFile();
  // Without a declared file there are no lines to report: an empty walk.
  return SymMgrObjectPtr<SourceLineIter>(new SymbolSourceLineIterator(m_scope, file, compUnitKey()));
}

// --- DWARFScope ------------------------------------------------------------------------

DWARFScope::DWARFScope(IFileFormatLoader* ffl, DWARFDebugInfoLoader* loader, DwarfSourcePosition* declaration,
                       SymbolName name, uint64_t start, IScope* parent, symbol_kind_t kind, AttrBindings* entry,
                       uint64_t childrenOffset, DWARFCompilationUnit* unit)
    : SymbolScope(ffl, parent,
                  new DWARFSymbol(ffl, name, start, this, kind, unit ? unit : (entry ? entry->unit() : nullptr),
                                  declaration)),
      m_loader(loader),
      m_childrenOffset(childrenOffset),
      m_entry(dwarf::EntryPlace::of(entry)) {}

const char* DWARFScope::linkageName() const {
  SymMgrObjectPtr<AttrBindings> entry = m_entry.decode();
  return entry ? DWARFDebugInfoLoader::linkageName(entry.get()) : nullptr;
}

uint32_t DWARFScope::mergeFlags(IScope* other) {
  if (!other) return 0;
  Scope* theirs = asScope(other);
  RangeList& a = m_ranges;
  RangeList& b = theirs->rangeList();
  if (a.firstStart() != b.firstStart()) return 0;
  uint64_t myEnd = a.lastEnd(), otherEnd = b.lastEnd();
  uint32_t r = 0;
  if (hasExplicitRanges() && !theirs->hasExplicitRanges()) {
    r = myEnd == otherEnd ? uint32_t{MERGE_COLLAPSE} : 0u;
  } else if (b.firstStart() == otherEnd) {
    r = 0;  // the newcomer has no extent
  } else if (a.firstStart() == myEnd) {
    r = MERGE_TAKE_END;  // this one has none: take the newcomer's
  } else {
    r = myEnd > otherEnd ? uint32_t{MERGE_TAKE_END} : 0u;
  }
  ISymbol* s = symbol();
  ISymbol* o = other->symbol();
  if (!s || !o) return 0;
  // The name objects, when both symbols are the store's: the comparisons that need
  // neither name widened nor demangled are made on them.
  const NamePair names = nameObjects(s, o);
  const bool isFunction = s->kind() == SYMBOL_KIND_FUNCTION;
  // Two spellings of one name have the same forms: the newcomer's need not be worked out
  // (demangling costs more than the rest of the merge), and the linkage rule below, which
  // is for names that differ, cannot apply. Told before either name is widened.
  const bool alike = sameSpelling(names.mine.get(), names.theirs.get());
  LinkageVerdict linkage;
  // A newcomer whose name differs and may be mangled (an image symbol of C++ code, mostly)
  // is matched through the entry's linkage name before its name is demangled, which the
  // comparisons below would do first. Whenever the linkage name says so they end the same
  // way, except for a function without a name, which they handle apart.
  if (!alike && mayBeMangled(names.theirs.get()) && !(isFunction && nameIsAscii(names.mine.get(), "")) &&
      linkageNames(names, linkage))
    return r + MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE;
  uint32_t plainFlags = 0;
  if (plainNameFlags(names, isFunction, myEnd == otherEnd, linkage, plainFlags))
    return plainFlags ? r + plainFlags : 0;
  // Names spelled alike come down to whether the name is its own short form (see the end
  // of the comparisons below), which UTF-8 mostly tells: neither name nor forms are widened
  // and kept for the module's life. An empty name is settled below.
  if (alike && !nameIsAscii(names.mine.get(), "")) {
    const int own = shortFormIsName(names.mine.get());
    if (own >= 0) return r + (own ? MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE : MERGE_TAKE_LINKAGE);
  }
  const wchar_t* sName = s->name();
  // A function whose name was out of reach (see handleSubprogram) takes the name of a
  // newcomer that covers the same extent.
  if ((!sName || !*sName) && isFunction) return myEnd == otherEnd ? r + MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE : 0;
  // The entry's linkage name spelling the newcomer's name settles it before the newcomer's
  // name is demangled; whatever this cannot tell, the comparisons below tell as before.
  if (!alike && linkageNames(names, linkage)) return r + MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE;
  const bool told = linkage.asked && linkage.told;
  const wchar_t* sShort = s->shortName();
  const wchar_t* oShort = alike ? sShort : o->shortName();
  if (sameText(sName, oShort)) return r + MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE;
  // One name that is not its own short form (else the test above held): only the linkage.
  if (alike) return r + MERGE_TAKE_LINKAGE;
  // The entry's own linkage name is the surest match: the demangler spells some names
  // (lambdas, anonymous types in template arguments) unlike the compiler's DW_AT_name. Asked
  // here only when the ASCII comparison above could not tell.
  if (!told && !sameText(sName, o->name())) {
    const char* linkage = linkageName();
    if (linkage && sameText(KAVE_3_1::utf8ToWide(linkage).c_str(), o->name()))
      return r + MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE;
  }
  if (sameText(sShort, oShort) && !sameText(sName, sShort)) return r + MERGE_TAKE_LINKAGE;
  return sameText(sName, o->name()) ? r + MERGE_TAKE_LINKAGE : 0;
}

DWARFScope::NamePair DWARFScope::nameObjects(ISymbol* s, ISymbol* o) {
  NamedSymbol* mine = asNamedSymbol(s);
  NamedSymbol* theirs = asNamedSymbol(o);
  if (!mine || !theirs) return NamePair();
  return NamePair{mine->finalNameObject(), theirs->finalNameObject()};
}

bool DWARFScope::linkageNames(const NamePair& names, LinkageVerdict& verdict) {
  if (verdict.asked) return verdict.says;
  verdict.asked = true;
  if (!names.mine || !names.theirs) return false;
  const char* linkage = linkageName();
  verdict.told = true;
  if (!linkage) return false;
  const std::string_view text(linkage);
  // The wide comparison reads a linkage name through the UTF-8 decoder; ASCII decodes to
  // itself, anything else takes the wide way.
  verdict.told = KAVE_3_1::asciiPrefix(text.data(), text.size()) == text.size();
  // As in mergeFlags: only a newcomer whose name differs from this one's is matched this way.
  verdict.says = verdict.told && nameIsAscii(names.theirs.get(), text) && !nameIsAscii(names.mine.get(), text);
  return verdict.says;
}

bool DWARFScope::plainNameFlags(const NamePair& names, bool isFunction, bool sameEnd, LinkageVerdict& linkage,
                                uint32_t& flags) {
  // A name that is not mangled is each of its own forms, so the comparisons of
  // mergeFlags come down to the names themselves and the entry's linkage name, made here
  // in UTF-8: neither name needs its wide spelling, which would be kept for the module's
  // life. The names alone decide nearly every merge; the linkage name is read from the entry
  // only when they differ.
  bool decided = true;
  const auto decide = [&](std::string_view sName, std::string_view oName) {
    if (sName.empty() && isFunction)
      flags = sameEnd ? MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE : 0;
    else if (sName == oName)
      flags = MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE;
    else
      decided = false;
  };
  const bool plain = withPlainNames(names.mine.get(), names.theirs.get(), decide);
  if (!plain) return false;
  if (decided) return true;
  // The names differ: the linkage name decides, when it can be told in ASCII.
  flags = linkageNames(names, linkage) ? MERGE_TAKE_NAME + MERGE_TAKE_LINKAGE : 0;
  return linkage.told;
}

void DWARFScope::merge(IScope* other, uint32_t flags) {
  if (!other) return;
  ISymbol* o = other->symbol();
  auto* s = static_cast<DWARFSymbol*>(m_symbol);
  if (o && (flags & MERGE_TAKE_NAME)) {
    if (NamedSymbol* named = asNamedSymbol(o))
      s->takeNameOf(*named);
    else
      s->setName(o->name());
  }
  if (o && (flags & MERGE_TAKE_LINKAGE)) s->setLinkage(o->linkage());
  RangeList& theirs = asScope(other)->rangeList();
  if (theirs.empty()) return;
  uint64_t otherEnd = theirs.lastEnd();
  if (flags & MERGE_TAKE_END) {
    if (RangeNode* head = m_ranges.head()) addRange(head->start, otherEnd);
  } else if (flags & MERGE_COLLAPSE) {
    m_ranges.collapseToFirst(otherEnd);
    if (otherEnd > m_highest) m_highest = otherEnd;
  }
}

status_t DWARFScope::loadSymbols(uint32_t kindMask) {
  // Queries ask on every call; the body is read once per kind.
  if (hasLoaded(kindMask)) return STATUS_OK;
  return m_loader->loadBody(this, m_entry, m_childrenOffset, kindMask);
}

// --- DWARFInlineInstanceScope ----------------------------------------------------------

DWARFInlineInstanceScope::DWARFInlineInstanceScope(IFileFormatLoader* ffl, DWARFDebugInfoLoader* loader,
                                                   ISymbolTable* globalTable, DwarfSourcePosition* call,
                                                   IScope* parent, AttrBindings* entry, uint64_t childrenOffset)
    : InlineInstanceScope(ffl, parent, new DWARFInlineInstance(ffl, loader, globalTable, entry, call)),
      m_childrenOffset(childrenOffset),
      m_entry(dwarf::EntryPlace::of(entry)),
      m_loader(loader) {
  static_cast<DWARFInlineInstance*>(m_instance.get())->setScope(this);
}

status_t DWARFInlineInstanceScope::loadSymbols(uint32_t kindMask) {
  if (hasLoaded(kindMask)) return STATUS_OK;
  return m_loader->loadBody(this, m_entry, m_childrenOffset, kindMask);
}

// --- DWARFInlineInstance ---------------------------------------------------------------

DWARFInlineInstance::DWARFInlineInstance(IFileFormatLoader* ffl, DWARFDebugInfoLoader* loader,
                                         ISymbolTable* globalTable, AttrBindings* entry, DwarfSourcePosition* call)
    : SymMgrObject<IInlineInstance>(nullptr),
      m_ffl(ffl),
      m_loader(loader),
      m_globalTable(globalTable),
      m_unit(entry ? entry->unit() : nullptr),
      m_call(call) {
  if (const AttrValue* ref = entry ? entry->originReference() : nullptr) m_originRef = *ref;
}

DWARFInlineInstance::~DWARFInlineInstance() = default;

SymMgrObjectPtr<ISourceLocation> DWARFInlineInstance::callSite() {
  ScopedLock guard(&m_lock);
  if (!m_callSiteCache && m_call) m_callSiteCache = m_call->makeLocation();
  return m_callSiteCache;
}

ISymbol* DWARFInlineInstance::symbol() {
  if (ISymbol* known = m_inlinedFunction.load(std::memory_order_acquire)) return known;
  ScopedLock guard(&m_lock);
  if (ISymbol* known = m_inlinedFunction.load(std::memory_order_relaxed)) return known;
  // Asked again by the lookup below (damaged input can put this instance in the table it
  // searches, over the address it looks up): no symbol yet, rather than endless recursion.
  if (m_resolving) return nullptr;
  IScope* owner = m_globalTable ? m_globalTable->ownerScope() : nullptr;
  // The origin entry, named by the call's reference; other calls of it may have done the work.
  const AttrValue* ref = m_originRef.name != 0 ? &m_originRef : nullptr;
  DWARFCompilationUnit* target = ref ? dwarf::referencedUnit(m_unit, *ref) : nullptr;
  DWARFDebugInfoLoader::InlinedOrigin facts;
  if (!target || !m_loader->inlinedOrigin(target->context(), ref->value, facts)) {
    const SymMgrObjectPtr<AttrBindings> kept(target ? AttrBindings::readReferenced(target, ref->value, 1) : nullptr);
    AttrBindings* origin = kept.get();
    if (!origin) {
      m_madeSymbol =
          new Symbol(m_ffl, L"", 0, owner, SYMBOL_LINKAGE_LOCAL, SYMBOL_KIND_FUNCTION, 0xFFFFFFFFu, 0xFFFFFFFFu);
      m_inlinedFunction.store(m_madeSymbol.get(), std::memory_order_release);
      return m_madeSymbol.get();
    }
    facts.outOfLine = outOfLineCopy(origin);
    if (!facts.outOfLine) {
      facts.name = DWARFDebugInfoLoader::inlinedFunctionName(origin);
      facts.unit = origin->unit()->context() == m_loader ? origin->unit() : nullptr;
      facts.declaration.reset(DwarfSourcePosition::read(origin, m_loader, false));
    }
    if (target) m_loader->rememberInlinedOrigin(target->context(), ref->value, facts);
  }
  if (facts.outOfLine) {
    m_inlinedFunction.store(facts.outOfLine, std::memory_order_release);
    return facts.outOfLine;
  }
  // An origin in the supplementary file has a unit of another offset space: the symbol
  // belongs to the unit of the call instead.
  DWARFCompilationUnit* unit = facts.unit ? facts.unit : m_unit;
  const SymbolName name = SymbolName::utf8(facts.name, facts.name ? std::strlen(facts.name) : 0);
  m_madeSymbol = new DWARFSymbol(m_ffl, name, 0, owner, SYMBOL_KIND_FUNCTION, unit,
                                 facts.declaration ? facts.declaration->copy() : nullptr);
  m_inlinedFunction.store(m_madeSymbol.get(), std::memory_order_release);
  return m_madeSymbol.get();
}

ISymbol* DWARFInlineInstance::outOfLineCopy(AttrBindings* origin) {
  // An origin that also exists out of line is reported as that function's symbol.
  bool haveLow, haveHigh;
  uint64_t low, high, start = 0;
  bool haveStart = false;
  if (DWARFDebugInfoLoader::entryBounds(origin, haveLow, low, haveHigh, high)) {
    start = haveLow ? low : high;
    haveStart = true;
  } else if (const AttrValue* rangesAttr = origin->getAttribute(dwarf::DW_AT_ranges, true)) {
    dwarf::AddressRanges ranges;
    dwarf::readRanges(origin->unit(), rangesAttr, ranges);
    for (const auto& r : ranges) {
      if (!haveStart || r.first < start) start = r.first;
      haveStart = true;
    }
  }
  if (!haveStart || !m_globalTable) return nullptr;
  m_resolving = true;
  SymMgrObjectPtr<ISymbolRange> range = m_globalTable->symbolRangeByAddress(start, SYMBOL_KIND_FUNCTION, nullptr);
  m_resolving = false;
  return range ? range->symbol() : nullptr;
}

SymMgrObjectPtr<SymbolRangeIter> DWARFInlineInstance::ranges() {
  return SymMgrObjectPtr<SymbolRangeIter>(new RelRangeIterator(m_scope));
}

bool DWARFInlineInstance::hasCallSite() { return static_cast<bool>(callSite()); }

SymMgrObjectPtr<SourceLineIter> DWARFInlineInstance::sourceLines() {
  SymMgrObjectPtr<ISourceLocation> site = callSite();
  ISourceFile* file = site ? site->sourceFile() : nullptr;
  uint64_t key = site ? site->compUnitKey() : COMP_UNIT_ALL;
  return SymMgrObjectPtr<SourceLineIter>(new SymbolSourceLineIterator(m_scope, file, key));
}

}  // namespace ZOR_3_12
