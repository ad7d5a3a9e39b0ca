#include "zor/dwarf/supplementary_file.h"

#include "kave/file.h"
#include "kave/unicode.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace dwarf {

namespace {

Section toSection(const elf::Span& span) {
  Section s;
  if (!span.empty()) {
    s.data = span.data;
    s.size = span.size;
  }
  return s;
}

// A regular file that opens for reading; probing absent candidates leaves no record.
bool readable(const std::wstring& path) {
  if (path.empty()) return false;
  KAVE_3_1::File file{KAVE_3_1::Filename(KAVE_3_1::String(path))};
  return file.lastOpStatus() == KAVE_3_1::FILE_OK;
}

}  // namespace

void readDwarfSections(ElfHelper& e, DwarfSections& out) {
  out = DwarfSections();
  if (!e.valid()) return;
  out.info = toSection(e.relocatedSection(kSecDebugInfo));
  if (SectionData* abbrev = e.section(kSecDebugAbbrev)) out.abbrev = toSection(abbrev->span());
  if (SectionData* str = e.section(kSecDebugStr)) out.str = toSection(str->span());
  out.ranges = toSection(e.relocatedSection(kSecDebugRanges));
  out.line = toSection(e.relocatedSection(kSecDebugLine));
  auto byName = [&e](const char* name) {
    int64_t index = e.sectionIndexByName(name);
    return index < 0 ? Section() : toSection(e.sectionBytes(static_cast<uint32_t>(index)));
  };
  out.addr = byName(".debug_addr");
  out.strOffsets = byName(".debug_str_offsets");
  out.rnglists = byName(".debug_rnglists");
  out.lineStr = byName(".debug_line_str");
  out.types = byName(".debug_types");
}

SupplementaryFile::SupplementaryFile(ElfHelper* elf, const std::wstring& path, uint64_t loadBias)
    : m_elf(elf), m_path(path), m_loadBias(loadBias) {
  if (m_elf) readDwarfSections(*m_elf, m_sections);
}

SupplementaryFile::SupplementaryFile(const DwarfSections& sections, uint64_t loadBias)
    : m_sections(sections), m_loadBias(loadBias) {}

std::unique_ptr<SupplementaryFile> SupplementaryFile::find(const ElfHelper& debugElf,
                                                           const std::wstring& debugFilePath, uint64_t loadBias) {
  AltLink link = readAltLink(debugElf);
  if (link.kind == AltLink::kNone) return nullptr;
  for (const std::wstring& candidate : altLinkCandidates(debugFilePath, link)) {
    if (!readable(candidate)) continue;
    SymMgrObjectPtr<ElfHelper> elf(new ElfHelper(candidate.c_str()));
    if (!altLinkMatches(link, *elf)) {
      // Another build's file under the recorded name: its offsets would name unrelated
      // entries and strings, so it is not used.
      ZOR_ASSERT_TEXT("altLinkMatches(link, supplementaryFile)", internal::kDwarfSource, __LINE__);
      continue;
    }
    std::unique_ptr<SupplementaryFile> file(new SupplementaryFile(elf.get(), candidate, loadBias));
    if (!file->sections().info.present() && !file->sections().str.present()) continue;
    return file;
  }
  return nullptr;
}

const std::vector<DWARFCompilationUnit*>& SupplementaryFile::units() {
  std::call_once(m_unitsOnce, [this] {
    if (!m_sections.info.present()) return;
    DwarfReader reader(m_sections.info.data, m_sections.info.size);
    while (reader.ok() && reader.remaining() > 0) {
      UnitHeader header;
      uint64_t before = reader.offset();
      if (!readUnitHeader(reader, header) || reader.offset() <= before) break;
      m_owned.emplace_back(new DWARFCompilationUnit(header, this));
      m_units.push_back(m_owned.back().get());
      m_byOffset.emplace(header.offset, m_units.back());
    }
  });
  return m_units;
}

DWARFCompilationUnit* SupplementaryFile::unitContaining(uint64_t infoOffset) {
  units();
  auto it = m_byOffset.upper_bound(infoOffset);
  if (it == m_byOffset.begin()) return nullptr;
  --it;
  return it->second->contains(infoOffset) ? it->second : nullptr;
}

DWARFCompilationUnit* referencedUnit(DWARFCompilationUnit* from, const AttrValue& ref) {
  if (!from) return nullptr;
  DwarfContext* context = from->context();
  if (ref.form == STORED_REF_ALT) {
    context = context->supplementary();
  } else if (ref.form != STORED_REF) {
    return nullptr;
  } else if (from->contains(ref.value)) {
    return from;
  }
  return context ? context->unitContaining(ref.value) : nullptr;
}

bool nameInMissingSupplementary(AttrBindings* entry) {
  if (!entry || !entry->unit() || entry->unit()->context()->supplementary()) return false;
  static const uint64_t kNaming[] = {DW_AT_name, DW_AT_linkage_name, DW_AT_MIPS_linkage_name, DW_AT_specification,
                                     DW_AT_abstract_origin};
  // Origins in the file itself are followed (getOrigin bounds the chain).
  for (AttrBindings* e = entry; e; e = e->getOrigin()) {
    for (uint64_t name : kNaming) {
      const AttrValue* v = e->getAttribute(name, true);
      if (v && (v->form == STORED_STRP_ALT || v->form == STORED_REF_ALT)) return true;
    }
  }
  return false;
}

}  // namespace dwarf
}  // namespace ZOR_3_12
