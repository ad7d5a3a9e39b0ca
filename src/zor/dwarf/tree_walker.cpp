// The depth-first walk over the entries of .debug_info and the handlers that turn entries
// into scopes. No tree is kept: each entry is decoded, handed on and dropped. A scope that a
// handler opens waits on the loader's open-scope stack until its entry's children have been
// read or skipped, and then goes to the table that was current when the entry began.
#include <cstring>
#include <string>

#include "zor/dwarf/debug_info_loader.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/dwarf_symbols.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {

using dwarf::AttrBindings;
using dwarf::AttrValue;
using dwarf::DwarfReader;

namespace {

constexpr unsigned kLineHasChildren = 412;
constexpr unsigned kLineDepth = 418;
constexpr uint64_t kOpAddrx = 0xa1;  // DW_OP_addrx (DWARF 5)
constexpr uint64_t kOpGnuAddrIndex = 0xfb;
constexpr uint64_t kTagClassType = 0x02;
constexpr uint64_t kTagStructureType = 0x13;
constexpr uint64_t kTagUnionType = 0x17;

bool trustsSiblings(DWARFCompilationUnit* unit) {
  int32_t kind = unit->producerKind();
  return kind != PRODUCER_UNKNOWN && kind != PRODUCER_GNU_2_96;
}

// A sibling reference worth jumping to: forward only, and inside the unit.
bool usableSibling(DWARFCompilationUnit* unit, const DwarfReader& reader, uint64_t sibling) {
  return sibling > reader.offset() && unit->contains(sibling) && sibling <= reader.endOffset();
}

// Names in .debug_str are UTF-8; a missing one is the empty name.
SymbolName nameOf(const char* s) { return SymbolName::utf8(s, s ? std::strlen(s) : 0); }

}  // namespace

// --- walk ------------------------------------------------------------------------------

namespace {

// Whether dispatchEntry does anything with an entry of `tag` under `mask`: the two must agree.
// Most entries of a unit (types, parameters, call sites) are of no use to the walk.
bool usedByWalk(uint64_t tag, uint32_t mask) {
  switch (tag) {
    case dwarf::DW_TAG_entry_point: return (mask & WALK_ENTRY_POINTS) != 0;
    case dwarf::DW_TAG_subprogram: return (mask & WALK_FUNCTIONS) != 0;
    case dwarf::DW_TAG_label: return (mask & WALK_LABELS) != 0;
    case dwarf::DW_TAG_variable: return (mask & WALK_VARIABLES) != 0;
    case dwarf::DW_TAG_lexical_block:
    case dwarf::DW_TAG_compile_unit:
    case dwarf::DW_TAG_skeleton_unit:
    case dwarf::DW_TAG_imported_unit:
    case dwarf::DW_TAG_partial_unit:
    case dwarf::DW_TAG_common_block:
    case dwarf::DW_TAG_module:
    case dwarf::DW_TAG_namespace:
    case dwarf::DW_TAG_inlined_subroutine: return true;
    default: return false;
  }
}

}  // namespace

bool DWARFDebugInfoLoader::readEntry(DwarfReader& reader, DWARFCompilationUnit* unit, ISymbolTable* parentSink,
                                     uint32_t mask, bool process, int depth) {
  if (!reader.ok() || reader.atEnd()) return false;
  // An entry the walk has no use for is stepped over without decoding its values, and its
  // children with it, exactly as dispatchEntry would pass it by.
  // The code is read once: a skipped entry goes on from its values.
  DwarfReader values;
  const dwarf::Abbreviation* abbrev = dwarf::peekAbbreviation(unit, reader, &values);
  if (abbrev && !(process && usedByWalk(abbrev->tag, mask))) {
    uint64_t sibling = 0;
    reader = values;
    if (!dwarf::skipValues(unit, reader, *abbrev, &sibling)) return false;
    if (abbrev->hasChildren == dwarf::DW_CHILDREN_yes) skipSubtree(reader, unit, sibling);
    return true;
  }
  if (abbrev && abbrev->tag == dwarf::DW_TAG_inlined_subroutine && !(mask & WALK_FUNCTIONS)) {
    // A call the walk only passes through (inside an inlined call, or when only labels or
    // variables are asked for): its values are not needed, only what lies beneath it. Bodies
    // of nested calls are walked this way once per enclosing level, so decoding here would
    // cost more than the rest of the walk.
    uint64_t sibling = 0;
    reader = values;
    if (!dwarf::skipValues(unit, reader, *abbrev, &sibling)) return false;
    if (abbrev->hasChildren != dwarf::DW_CHILDREN_yes) return true;
    if (depth + 1 > kMaxDepth) {
      ZOR_ASSERT_TEXT("depth <= kMaxDepth", internal::kDwarfSource, kLineDepth);
      skipSubtree(reader, unit, sibling);
      return true;
    }
    while (readEntry(reader, unit, parentSink, mask, true, depth + 1)) {
    }
    return true;
  }
  // Entries that no scope keeps are decoded again into the same storage; the null entry
  // that ends every list of children among them.
  AttrBindings::Pooled entry(unit);
  if (!entry->decode(reader)) return false;
  if (process)
    dispatchEntry(reader, entry.get(), parentSink, mask, depth);
  else if (entry->getHasChildren() == dwarf::DW_CHILDREN_yes)
    skipChildren(reader, entry.get());
  return true;
}

void DWARFDebugInfoLoader::walkChildren(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink,
                                        uint32_t mask, int depth) {
  if (entry->getHasChildren() != dwarf::DW_CHILDREN_yes) {
    ZOR_ASSERT_TEXT("attrBindings->getHasChildren() == DW_CHILDREN_yes", internal::kDwarfSource, kLineHasChildren);
    return;
  }
  if (depth > kMaxDepth) {
    // Real code nests a few dozen levels at most; this is a damaged or hostile file. The
    // subtree is passed over without recursion.
    ZOR_ASSERT_TEXT("depth <= kMaxDepth", internal::kDwarfSource, kLineDepth);
    skipChildren(reader, entry);
    return;
  }
  while (readEntry(reader, entry->unit(), parentSink, mask, true, depth)) {
  }
}

void DWARFDebugInfoLoader::skipChildren(DwarfReader& reader, AttrBindings* entry) {
  if (entry->getHasChildren() != dwarf::DW_CHILDREN_yes) {
    ZOR_ASSERT_TEXT("attrBindings->getHasChildren() == DW_CHILDREN_yes", internal::kDwarfSource, kLineHasChildren);
    return;
  }
  DWARFCompilationUnit* unit = entry->unit();
  bool trusted = trustsSiblings(unit);
  if (trusted) {
    const AttrValue* sibling = entry->getAttribute(dwarf::DW_AT_sibling, true);
    if (sibling && sibling->form == dwarf::STORED_REF && usableSibling(unit, reader, sibling->value)) {
      reader.seek(sibling->value);
      return;
    }
  }
  skipSubtree(reader, unit, 0);
}

void DWARFDebugInfoLoader::skipSubtree(DwarfReader& reader, DWARFCompilationUnit* unit, uint64_t sibling) {
  bool trusted = trustsSiblings(unit);
  if (trusted && sibling && usableSibling(unit, reader, sibling)) {
    reader.seek(sibling);
    return;
  }
  // Entry by entry, without decoding values, counting the nesting instead of recursing.
  uint64_t level = 1;
  while (level > 0 && reader.ok() && !reader.atEnd()) {
    bool nullEntry = *reader.position() == 0;
    uint64_t next = 0;
    const dwarf::Abbreviation* abbrev = dwarf::skipEntry(unit, reader, &next);
    if (!abbrev) {
      if (nullEntry) {
        --level;
        continue;
      }
      reader.fail();  // an unknown code: nothing after it in this unit can be read
      return;
    }
    if (abbrev->hasChildren != dwarf::DW_CHILDREN_yes) continue;
    if (trusted && next && usableSibling(unit, reader, next)) {
      reader.seek(next);
      continue;
    }
    ++level;
  }
}

// Some compilers place the definition of one function inside the entry of another: GCC the
// call operator of a lambda (inside the lambda's class, inside the enclosing function),
// Fortran compilers internal procedures. Their code lies outside the enclosing function, so
// they belong to the module's table like any other function. The body is stepped over
// entry by entry without decoding; only such definitions and the entries that may hold
// them are decoded.
void DWARFDebugInfoLoader::scanNestedDefinitions(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink,
                                                 uint32_t mask, int depth) {
  if (depth > kMaxDepth) {
    ZOR_ASSERT_TEXT("depth <= kMaxDepth", internal::kDwarfSource, kLineDepth);
    skipChildren(reader, entry);
    return;
  }
  DWARFCompilationUnit* unit = entry->unit();
  while (reader.ok() && !reader.atEnd()) {
    DwarfReader ahead = reader;
    bool nullEntry = *reader.position() == 0;
    uint64_t sibling = 0;
    const dwarf::Abbreviation* abbrev = dwarf::skipEntry(unit, ahead, &sibling);
    if (!abbrev) {
      if (nullEntry)
        reader = ahead;
      else
        reader.fail();
      return;
    }
    const bool children = abbrev->hasChildren == dwarf::DW_CHILDREN_yes;
    switch (abbrev->tag) {
      case dwarf::DW_TAG_subprogram:
        readEntry(reader, unit, parentSink, mask, true, depth);
        break;
      case kTagStructureType:
      case kTagClassType:
      case kTagUnionType:
      case dwarf::DW_TAG_lexical_block:
        if (children) {
          SymMgrObjectPtr<AttrBindings> container(new AttrBindings(unit));
          if (!container->decode(reader)) return;
          scanNestedDefinitions(reader, container.get(), parentSink, mask, depth + 1);
          break;
        }
        reader = ahead;
        break;
      default:
        reader = ahead;
        if (children) skipSubtree(reader, unit, sibling);
        break;
    }
  }
}

void DWARFDebugInfoLoader::dispatchEntry(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink,
                                         uint32_t mask, int depth) {
  const bool hasChildren = entry->getHasChildren() == dwarf::DW_CHILDREN_yes;
  bool descend = hasChildren;
  uint32_t childMask = mask;
  std::deque<Scope*>& open = walk().openScopes;
  const size_t openBefore = open.size();
  switch (entry->getTag()) {
    case dwarf::DW_TAG_entry_point:
      descend = (mask & WALK_ENTRY_POINTS) ? handleSubprogram(reader, entry, parentSink, SYMBOL_KIND_16) && hasChildren
                                           : false;
      break;
    case dwarf::DW_TAG_subprogram:
      descend = (mask & WALK_FUNCTIONS)
                    ? handleSubprogram(reader, entry, parentSink, SYMBOL_KIND_FUNCTION) && hasChildren
                    : false;
      break;
    case dwarf::DW_TAG_label:
      if (mask & WALK_LABELS)
        handleLabel(reader, entry, parentSink);
      else
        descend = false;
      break;
    case dwarf::DW_TAG_lexical_block:
      handleLexicalBlock(entry);
      descend = hasChildren;
      break;
    case dwarf::DW_TAG_compile_unit:
    case dwarf::DW_TAG_skeleton_unit:
      entry->unit()->handleCompileUnitEntry(entry);
      walk().importsWalked.clear();  // each unit walks the partial units it imports
      break;
    case dwarf::DW_TAG_imported_unit:
      importUnit(entry, parentSink, mask, depth);
      break;
    case dwarf::DW_TAG_partial_unit:
      // Read for its facts; its entries count only where a unit imports them.
      entry->unit()->handleCompileUnitEntry(entry);
      if (depth == 0) descend = false;
      break;
    case dwarf::DW_TAG_common_block:
    case dwarf::DW_TAG_module:
    case dwarf::DW_TAG_namespace:
      // Containers of definitions (Fortran modules, C++ namespaces): walked through.
      break;
    case dwarf::DW_TAG_inlined_subroutine:
      if (mask & WALK_FUNCTIONS) {
        // Strict DWARF 2 has no range lists, so a call spread over several pieces of code
        // is written without addresses; its nested calls carry them. GCC also writes calls
        // whose range list holds only an empty entry (read as the end of the list) around
        // nested calls that do cover code. Either way the call covers what its nested calls
        // cover: the scope collects them first and takes their extent.
        if (hasChildren && !hasAddresses(entry)) {
          readAddresslessInline(reader, entry, parentSink, mask, depth);
          return;
        }
        if (!handleInlinedSubroutine(reader, entry, parentSink) && hasChildren) {
          readAddresslessInline(reader, entry, parentSink, mask, depth);
          return;
        }
        childMask = WALK_INSIDE_INLINE;
      }
      descend = hasChildren;
      break;
    case dwarf::DW_TAG_variable:
      if (mask & WALK_VARIABLES)
        handleVariable(reader, entry, parentSink);
      else
        descend = false;
      break;
    default:
      descend = false;
      break;
  }
  if (hasChildren) {
    if (descend)
      walkChildren(reader, entry, parentSink, childMask, depth + 1);
    else if (entry->getTag() == dwarf::DW_TAG_subprogram && (mask & WALK_FUNCTIONS) && parentSink &&
             parentSink == m_globalTable && !isSkippable(entry))
      scanNestedDefinitions(reader, entry, parentSink, mask, depth + 1);
    else
      skipChildren(reader, entry);
  }
  if (open.size() > openBefore) {
    Scope* scope = open.back();
    open.pop_back();
    if (parentSink)
      parentSink->insertScope(scope);
    else
      delete scope;
  }
}

bool DWARFDebugInfoLoader::hasAddresses(AttrBindings* entry) {
  return entry->getAttribute(dwarf::DW_AT_low_pc, true) || entry->getAttribute(dwarf::DW_AT_high_pc, true) ||
         entry->getAttribute(dwarf::DW_AT_ranges, true);
}

void DWARFDebugInfoLoader::readAddresslessInline(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink,
                                                 uint32_t mask, int depth) {
  if (!parentSink) {
    skipChildren(reader, entry);
    return;
  }
  DwarfSourcePosition* call = DwarfSourcePosition::read(entry, this, true);
  auto* scope = new DWARFInlineInstanceScope(m_ffl.get(), this, m_globalTable, call, parentSink->ownerScope(), entry,
                                             reader.offset());
  // The body is read now, into the scope's own table, with the kinds asked for.
  size_t openBefore = walk().openScopes.size();
  walkChildren(reader, entry, scope->symbolTable(), mask, depth + 1);
  dropOpenScopes(openBefore);
  scope->markLoaded(mask);
  SymMgrObjectPtr<SymbolRangeIter> nested = scope->symbolTable()->originalSymbolRanges(0, ~0ull, SYMBOL_KIND_ALL);
  for (bool more = static_cast<bool>(nested); more; more = nested->next()) {
    SymMgrObjectPtr<ISymbolRange> r = nested->current();
    if (!r || !r->inlineInstance()) continue;
    SymMgrObjectPtr<IAddress> from = r->startAddress(), to = r->endAddress();
    if (from && to && to->va() > from->va()) scope->addRange(from->va(), to->va());
  }
  if (scope->rangeList().empty()) {
    delete scope;
    return;
  }
  scope->setExplicitRanges(true);
  parentSink->insertScope(scope);
}

// --- helpers ---------------------------------------------------------------------------

const char* DWARFDebugInfoLoader::linkageName(AttrBindings* entry) {
  const AttrValue* linkage = entry->getAttribute(dwarf::DW_AT_MIPS_linkage_name);
  if (!linkage) linkage = entry->getAttribute(dwarf::DW_AT_linkage_name);
  const char* s = entry->unit()->string(linkage);
  return s && *s ? s : nullptr;
}

const char* DWARFDebugInfoLoader::entryName(AttrBindings* entry) {
  DWARFCompilationUnit* unit = entry->unit();
  if (unit->getLanguage() == LANGUAGE_CPP && entry->getAttribute(dwarf::DW_AT_specification)) {
    if (const char* s = linkageName(entry)) return s;
  }
  return unit->string(entry->getAttribute(dwarf::DW_AT_name));
}

const char* DWARFDebugInfoLoader::inlinedFunctionName(AttrBindings* entry) {
  if (const char* s = linkageName(entry)) return s;
  return entry->unit()->string(entry->getAttribute(dwarf::DW_AT_name));
}

bool DWARFDebugInfoLoader::isSkippable(AttrBindings* entry) {
  uint64_t tag = entry->getTag();
  if (tag != dwarf::DW_TAG_subprogram && tag != dwarf::DW_TAG_inlined_subroutine && tag != dwarf::DW_TAG_entry_point)
    return false;
  return !entry->getAttribute(dwarf::DW_AT_low_pc, true) && !entry->getAttribute(dwarf::DW_AT_high_pc, true) &&
         !entry->getAttribute(dwarf::DW_AT_ranges, true) && !entry->getAttribute(dwarf::DW_AT_inline);
}

// Address attributes are taken from the entry itself: an origin's addresses are those of
// another copy of the code (the out-of-line one), never of this entry.
bool DWARFDebugInfoLoader::entryBounds(AttrBindings* entry, bool& haveLow, uint64_t& low, bool& haveHigh,
                                       uint64_t& high) {
  DWARFCompilationUnit* unit = entry->unit();
  low = high = 0;
  haveLow = unit->address(entry->getAttribute(dwarf::DW_AT_low_pc, true), low);
  haveHigh = unit->highPc(entry->getAttribute(dwarf::DW_AT_high_pc, true), haveLow, low, high);
  return haveLow || haveHigh;
}

bool DWARFDebugInfoLoader::typeByteSize(DWARFCompilationUnit* unit, uint64_t typeOffset, uint64_t& size) {
  // Offsets of the supplementary file are another space: its types are not cached here.
  const bool cached = unit->context() == this;
  if (cached) {
    std::lock_guard<std::mutex> lock(m_typeSizesLock);
    auto it = m_typeSizes.find(typeOffset);
    if (it != m_typeSizes.end()) {
      size = it->second;
      return true;
    }
  }
  SymMgrObjectPtr<AttrBindings> type(new AttrBindings(unit));
  if (!type->readEntryAt(typeOffset)) return false;
  DWARFCompilationUnit* owner = type->unit() ? type->unit() : unit;
  uint64_t v = 0;
  if (!owner->constant(type->getAttribute(dwarf::DW_AT_byte_size), v)) return false;
  if (cached) {
    std::lock_guard<std::mutex> lock(m_typeSizesLock);
    m_typeSizes[typeOffset] = v;
  }
  size = v;
  return true;
}

// --- handlers --------------------------------------------------------------------------

bool DWARFDebugInfoLoader::handleSubprogram(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink,
                                            symbol_kind_t kind) {
  if (isSkippable(entry)) return false;  // a declaration
  const char* rawName = entryName(entry);
  if (!rawName || !*rawName) {
    // A definition named only in a supplementary file that is missing (or refused) still
    // has its code: it stays a function, and the symbol table's entry names it on merging.
    if (!dwarf::nameInMissingSupplementary(entry)) return true;
    rawName = "";
  }
  std::string name(rawName);
  DWARFCompilationUnit* unit = entry->unit();
  // Fortran compilers append one underscore to external names; "_BLNK_" (blank common) is
  // a name of its own.
  if (unit->getLanguage() == LANGUAGE_FORTRAN && name != "_BLNK_" && name.size() > 1 && name.back() == '_')
    name.pop_back();

  if (const AttrValue* rangesAttr = entry->getAttribute(dwarf::DW_AT_ranges, true)) {
    dwarf::AddressRanges ranges;
    dwarf::readRanges(unit, rangesAttr, ranges);
    if (!ranges.empty()) {
      uint64_t lowest = ranges.front().first;
      for (const auto& r : ranges) lowest = r.first < lowest ? r.first : lowest;
      createFunctionScopeFromRanges(reader, entry, parentSink, name.c_str(), ranges, lowest, kind);
    }
    return false;
  }
  bool haveLow, haveHigh;
  uint64_t low, high;
  if (!entryBounds(entry, haveLow, low, haveHigh, high)) return false;
  uint64_t start = haveLow ? low : high;
  uint64_t end = haveHigh ? high : start;
  if (end < start) return false;
  createFunctionScope(reader, entry, parentSink, name.c_str(), start, end, kind);
  return false;
}

bool DWARFDebugInfoLoader::handleInlinedSubroutine(DwarfReader& reader, AttrBindings* entry,
                                                   ISymbolTable* parentSink) {
  bool haveLow, haveHigh;
  uint64_t low, high;
  entryBounds(entry, haveLow, low, haveHigh, high);
  const AttrValue* rangesAttr = entry->getAttribute(dwarf::DW_AT_ranges, true);
  if ((!haveLow || !haveHigh) && rangesAttr) {
    dwarf::AddressRanges& ranges = walk().ranges;
    dwarf::readRanges(entry->unit(), rangesAttr, ranges);
    if (ranges.empty()) return false;
    createInlineScopeFromRanges(reader, entry, parentSink, ranges);
    return true;
  }
  if (!haveLow && !haveHigh) return true;
  uint64_t start = haveLow ? low : high;
  uint64_t end = haveHigh ? high : start;
  // A call that the optimiser reduced to nothing covers no address; as an empty record it
  // would answer for every address up to the next one in its function's table.
  if (end <= start) return true;
  createInlineScope(reader, entry, parentSink, start, end);
  return true;
}

void DWARFDebugInfoLoader::handleLexicalBlock(AttrBindings* entry) {
  const std::deque<Scope*>& open = walk().openScopes;
  if (open.empty() || !open.back()) return;
  Scope* top = open.back();
  bool haveLow, haveHigh;
  uint64_t low, high;
  entryBounds(entry, haveLow, low, haveHigh, high);
  if (!(haveLow && haveHigh)) {
    if (const AttrValue* rangesAttr = entry->getAttribute(dwarf::DW_AT_ranges, true)) {
      dwarf::AddressRanges& ranges = walk().ranges;
      dwarf::readRanges(entry->unit(), rangesAttr, ranges);
      for (const auto& r : ranges) top->addRange(r.first, r.second);
      return;
    }
  }
  if (!haveLow && !haveHigh) return;
  uint64_t start = haveLow ? low : high;
  uint64_t end = haveHigh ? high : start;
  if (end >= start && isInModuleSection(start, end)) top->addRange(start, end);
}

void DWARFDebugInfoLoader::handleLabel(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink) {
  DWARFCompilationUnit* unit = entry->unit();
  const char* name = unit->string(entry->getAttribute(dwarf::DW_AT_name));
  uint64_t start = 0;
  unit->address(entry->getAttribute(dwarf::DW_AT_low_pc, true), start);
  createFunctionScope(reader, entry, parentSink, name, start, start, SYMBOL_KIND_LABEL);
}

void DWARFDebugInfoLoader::handleVariable(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink) {
  DWARFCompilationUnit* unit = entry->unit();
  const AttrValue* location = entry->getAttribute(dwarf::DW_AT_location, true);
  if (!location || location->form != dwarf::STORED_BLOCK || !location->data || location->value == 0) return;
  DwarfReader expr(location->data, location->value);
  expr.setAddrSize(reader.addrSize() ? reader.addrSize() : unit->addrSize());
  uint8_t op = expr.readU8();
  uint64_t address = 0;
  if (op == dwarf::DW_OP_addr) {
    address = expr.readAddress();
    if (!expr.ok()) return;
    // The address is the debug file's, like every DW_FORM_addr value: move it the same way.
    address += m_loadBias;
  } else if (op == kOpAddrx || op == kOpGnuAddrIndex) {
    AttrValue index{dwarf::DW_AT_location, dwarf::STORED_ADDRX, expr.readULEB128(), nullptr};
    if (!expr.ok() || !unit->address(&index, address)) return;
  } else {
    return;  // a register or frame location: not a static variable
  }
  const char* name = entryName(entry);
  uint64_t size = 0;
  if (const AttrValue* type = entry->getAttribute(dwarf::DW_AT_type)) {
    // The type may have moved into the supplementary file, with the types units share.
    DWARFCompilationUnit* typeUnit = dwarf::referencedUnit(unit, *type);
    if (typeUnit && !typeByteSize(typeUnit, type->value, size)) size = 0;
  }
  createFunctionScope(reader, entry, parentSink, name, address, address + size, SYMBOL_KIND_DATA);
}

// --- scope creation --------------------------------------------------------------------

void DWARFDebugInfoLoader::createFunctionScope(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink,
                                               const char* name, uint64_t start, uint64_t end, symbol_kind_t kind) {
  if (!parentSink || !isInModuleSection(start, end)) return;
  DwarfSourcePosition* declaration = DwarfSourcePosition::read(entry, this, false);
  DWARFScope* scope = new DWARFScope(m_ffl.get(), this, declaration, nameOf(name), start, parentSink->ownerScope(),
                                     kind, entry, reader.offset(), walk().importingUnit);
  scope->addRange(start, end);
  pushOpenScope(scope);
}

void DWARFDebugInfoLoader::createFunctionScopeFromRanges(DwarfReader& reader, AttrBindings* entry,
                                                         ISymbolTable* parentSink, const char* name,
                                                         const dwarf::AddressRanges& ranges, uint64_t start,
                                                         symbol_kind_t kind) {
  if (!parentSink) return;
  DwarfSourcePosition* declaration = DwarfSourcePosition::read(entry, this, false);
  DWARFScope* scope = new DWARFScope(m_ffl.get(), this, declaration, nameOf(name), start, parentSink->ownerScope(),
                                     kind, entry, reader.offset(), walk().importingUnit);
  for (const auto& r : ranges) scope->addRange(r.first, r.second);
  scope->setExplicitRanges(true);
  pushOpenScope(scope);
}

void DWARFDebugInfoLoader::createInlineScope(DwarfReader& reader, AttrBindings* entry, ISymbolTable* parentSink,
                                             uint64_t start, uint64_t end) {
  if (!parentSink || !isInModuleSection(start, end)) return;
  DwarfSourcePosition* call = DwarfSourcePosition::read(entry, this, true);
  auto* scope = new DWARFInlineInstanceScope(m_ffl.get(), this, m_globalTable, call, parentSink->ownerScope(), entry,
                                             reader.offset());
  scope->addRange(start, end);
  pushOpenScope(scope);
}

void DWARFDebugInfoLoader::createInlineScopeFromRanges(DwarfReader& reader, AttrBindings* entry,
                                                       ISymbolTable* parentSink, const dwarf::AddressRanges& ranges) {
  if (!parentSink || ranges.empty()) return;
  DwarfSourcePosition* call = DwarfSourcePosition::read(entry, this, true);
  auto* scope = new DWARFInlineInstanceScope(m_ffl.get(), this, m_globalTable, call, parentSink->ownerScope(), entry,
                                             reader.offset());
  for (const auto& r : ranges) scope->addRange(r.first, r.second);
  scope->setExplicitRanges(true);
  pushOpenScope(scope);
}

}  // namespace ZOR_3_12
