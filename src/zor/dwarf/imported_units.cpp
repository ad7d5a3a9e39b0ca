// The DWARF loader's side of supplementary files and partial units: opening the
// supplementary file on first use, and walking the partial units that a unit imports
// (DW_TAG_imported_unit) where the import stands. A duplicate-removal tool moves entries
// that several units share into partial units, in the same file or in the supplementary
// file; the importing unit's walk must still see them.
#include "zor/dwarf/debug_info_loader.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {

using dwarf::AttrBindings;
using dwarf::AttrValue;
using dwarf::DwarfReader;

namespace {

constexpr uint64_t kAtImport = 0x18;  // DW_AT_import

// An abbreviation whose entries the walk turns into scopes: code or static data with an
// address, or a further import. Partial units made of types and declarations have none.
bool makesScopes(const dwarf::Abbreviation& abbrev) {
  switch (abbrev.tag) {
    case dwarf::DW_TAG_imported_unit:
      return true;
    case dwarf::DW_TAG_subprogram:
    case dwarf::DW_TAG_entry_point:
    case dwarf::DW_TAG_label:
    case dwarf::DW_TAG_variable:
      break;
    default:
      return false;
  }
  for (const dwarf::AttributeSpec& spec : abbrev.specs) {
    if (spec.name == dwarf::DW_AT_low_pc || spec.name == dwarf::DW_AT_high_pc || spec.name == dwarf::DW_AT_ranges ||
        spec.name == dwarf::DW_AT_location)
      return true;
  }
  return false;
}

}  // namespace

dwarf::DwarfContext* DWARFDebugInfoLoader::supplementary() {
  std::call_once(m_supplementaryOnce, [this] {
    if (m_elf && m_elf->valid()) m_supplementary = dwarf::SupplementaryFile::find(*m_elf, m_symFilePath, m_loadBias);
  });
  return m_supplementary.get();
}

bool DWARFDebugInfoLoader::importWorthWalking(DWARFCompilationUnit* unit) {
  const auto key = std::make_pair(static_cast<const dwarf::DwarfContext*>(unit->context()), unit->offset());
  {
    std::lock_guard<std::mutex> lock(m_importWorthLock);
    auto it = m_importWorth.find(key);
    if (it != m_importWorth.end()) return it->second;
  }
  // One pass over the unit's entries without decoding their values, once per unit: most
  // partial units hold only types, and units that import them are many.
  bool worth = false;
  DwarfReader reader = unit->entryReader();
  while (!worth && reader.ok() && !reader.atEnd()) {
    const dwarf::Abbreviation* abbrev = dwarf::skipEntry(unit, reader, nullptr);
    if (abbrev) worth = makesScopes(*abbrev);
  }
  std::lock_guard<std::mutex> lock(m_importWorthLock);
  m_importWorth.emplace(key, worth);
  return worth;
}

void DWARFDebugInfoLoader::importUnit(AttrBindings* entry, ISymbolTable* parentSink, uint32_t mask, int depth) {
  const AttrValue* import = entry->getAttribute(kAtImport, true);
  // A reference into a supplementary file that is absent (or was refused) imports nothing.
  DWARFCompilationUnit* target = import ? dwarf::referencedUnit(entry->unit(), *import) : nullptr;
  if (!target) return;
  if (import->value != target->header().firstEntryOffset()) {
    ZOR_ASSERT_TEXT("DW_AT_import names a unit entry", internal::kDwarfSource, __LINE__);
    return;
  }
  // Once per importing unit: a second import adds nothing, and a cycle ends here.
  if (!walk().importsWalked.emplace(target->context(), target->offset()).second) return;
  if (!importWorthWalking(target)) return;
  DwarfReader reader = target->entryReader();
  SymMgrObjectPtr<AttrBindings> unitEntry(new AttrBindings(target));
  if (!unitEntry->decode(reader)) return;
  if (unitEntry->getTag() != dwarf::DW_TAG_partial_unit) {
    // Importing a whole compile unit would walk its entries twice.
    ZOR_ASSERT_TEXT("imported unit is a partial unit", internal::kDwarfSource, __LINE__);
    return;
  }
  target->handleCompileUnitEntry(unitEntry.get());
  if (unitEntry->getHasChildren() != dwarf::DW_CHILDREN_yes) return;
  // Deeper than the import itself, so chains of imports count against the depth limit.
  // Symbols found there belong to the outermost importer, the compile unit.
  DWARFCompilationUnit*& importing = walk().importingUnit;
  DWARFCompilationUnit* const outer = importing;
  if (!outer) importing = entry->unit();
  walkChildren(reader, unitEntry.get(), parentSink, mask, depth + 1);
  importing = outer;
}

}  // namespace ZOR_3_12
