#include "zor/dwarf/split_units.h"

#include <sys/stat.h>

#include "kave/unicode.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace dwarf {

namespace {

Section sectionOf(ElfHelper& file, const char* name) {
  int64_t index = file.sectionIndexByName(name);
  if (index < 0) return Section();
  elf::Span span = file.sectionBytes(static_cast<uint32_t>(index));
  Section s;
  if (!span.empty()) {
    s.data = span.data;
    s.size = span.size;
  }
  return s;
}

// The part of `whole` a package gives a unit, or the whole section for a .dwo file. False
// when the part does not lie inside the section.
bool cut(const Section& whole, const Contribution* c, Section& out) {
  out = Section();
  if (!c) {
    out = whole;
    return true;
  }
  if (!c->present) return true;
  if (!whole.present() || c->offset > whole.size || c->size > whole.size - c->offset) return false;
  out.data = whole.data + c->offset;
  out.size = c->size;
  return true;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Bytes before the first string offset of a DWARF 5 split unit's .debug_str_offsets
// contribution: its header, when it has one (unit length, version 5, padding).
uint64_t strOffsetsHeaderSize(const Section& strOffsets) {
  DwarfReader r(strOffsets.data, strOffsets.size);
  uint64_t length = r.readU32();
  uint64_t size = 8;
  if (length == 0xFFFFFFFFu) {
    r.readU64();
    size = 16;
  }
  uint16_t version = r.readU16();
  return r.ok() && version == 5 ? size : 0;
}

}  // namespace

// --- SplitUnitContext ------------------------------------------------------------------

SplitUnitContext::SplitUnitContext(DwarfContext* parent, const DwarfSections& sections)
    : m_parent(parent), m_sections(sections) {}

SplitUnitContext::~SplitUnitContext() = default;

DWARFCompilationUnit* SplitUnitContext::unitContaining(uint64_t infoOffset) {
  return m_unit && m_unit->contains(infoOffset) ? m_unit.get() : nullptr;
}

DWARFCompilationUnit* SplitUnitContext::adoptSplitUnit(DWARFCompilationUnit* skeleton, uint64_t dwoId) {
  if (!m_sections.info.present() || m_unit) return nullptr;
  DwarfReader reader(m_sections.info.data, m_sections.info.size);
  bool sawOther = false;
  while (reader.remaining() > 0 && reader.ok()) {
    UnitHeader header;
    uint64_t before = reader.offset();
    if (!readUnitHeader(reader, header) || reader.offset() <= before) break;
    bool v5 = header.version >= 5;
    if (v5 ? header.unitType != DW_UT_split_compile : header.unitType != DW_UT_compile) continue;
    if (header.version < 2 || header.version > 5) continue;
    SymMgrObjectPtr<DWARFCompilationUnit> unit(new DWARFCompilationUnit(header, this));
    uint64_t id = header.dwoId;
    bool haveId = v5;
    if (!v5) {
      // Before DWARF 5 the id is an attribute of the unit entry.
      SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit.get()));
      DwarfReader r = unit->entryReader();
      haveId = entry->decode(r) && unit->constant(entry->getAttribute(DW_AT_GNU_dwo_id, true), id);
    }
    if (!haveId || id != dwoId) {
      sawOther = true;
      continue;
    }
    uint64_t strBase = v5 ? strOffsetsHeaderSize(m_sections.strOffsets) : 0;
    unit->attachSkeleton(skeleton, strBase);
    m_unit = unit;
    m_unitList.push_back(unit.get());
    return m_unit.get();
  }
  // A file of another build (or a damaged one): its entries would describe other code.
  if (sawOther) ZOR_ASSERT_TEXT("splitUnit.dwoId == skeleton.dwoId", internal::kDwarfSource, __LINE__);
  return nullptr;
}

// --- skeleton facts --------------------------------------------------------------------

SkeletonFacts readSkeletonFacts(DWARFCompilationUnit* unit) {
  SkeletonFacts facts;
  if (!unit) return facts;
  const UnitHeader& h = unit->header();
  bool v5Skeleton = h.version >= 5 && h.unitType == DW_UT_skeleton;
  bool maybeGnu = h.version < 5 && h.unitType == DW_UT_compile;
  if (!v5Skeleton && !maybeGnu) return facts;
  SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit));
  DwarfReader reader = unit->entryReader();
  if (!entry->decode(reader)) return facts;
  unit->ensureUnitEntry();  // the bases the names and addresses need
  const AttrValue* name = entry->getAttribute(v5Skeleton ? DW_AT_dwo_name : DW_AT_GNU_dwo_name, true);
  if (!name && v5Skeleton) name = entry->getAttribute(DW_AT_GNU_dwo_name, true);
  if (!name) return facts;
  const char* text = unit->string(name);
  if (!text || !*text) {
    ZOR_ASSERT_TEXT("dwoName != nullptr", internal::kDwarfSource, __LINE__);
    return facts;
  }
  facts.dwoName = text;
  if (v5Skeleton) {
    facts.dwoId = h.dwoId;
  } else if (!unit->constant(entry->getAttribute(DW_AT_GNU_dwo_id, true), facts.dwoId)) {
    ZOR_ASSERT_TEXT("skeleton has DW_AT_GNU_dwo_id", internal::kDwarfSource, __LINE__);
    return facts;
  }
  facts.compDir = KAVE_3_1::wideToUtf8(unit->compDir());
  if (!v5Skeleton) unit->constant(entry->getAttribute(DW_AT_GNU_ranges_base, true), facts.rangesBase);
  facts.isSkeleton = true;
  return facts;
}

bool splitSections(const DwarfSections& whole, const Contribution* c, DwarfSections& out) {
  out = DwarfSections();
  bool ok = cut(whole.info, c ? &c[DWP_INFO] : nullptr, out.info) &&
            cut(whole.abbrev, c ? &c[DWP_ABBREV] : nullptr, out.abbrev) &&
            cut(whole.strOffsets, c ? &c[DWP_STR_OFFSETS] : nullptr, out.strOffsets) &&
            cut(whole.rnglists, c ? &c[DWP_RNGLISTS] : nullptr, out.rnglists);
  if (!ok) {
    ZOR_ASSERT_TEXT("contribution inside its section", internal::kDwarfSource, __LINE__);
    out = DwarfSections();
    return false;
  }
  // Strings are shared by every unit of a package.
  out.str = whole.str;
  if (!out.info.present() || !out.abbrev.present()) {
    ZOR_ASSERT_TEXT("split unit has .debug_info.dwo and .debug_abbrev.dwo", internal::kDwarfSource, __LINE__);
    return false;
  }
  return true;
}

void addSkeletonSections(const DwarfSections& skeleton, uint16_t version, uint64_t rangesBase, DwarfSections& out) {
  out.addr = skeleton.addr;
  if (version < 5 && skeleton.ranges.present() && rangesBase < skeleton.ranges.size) {
    out.ranges.data = skeleton.ranges.data + rangesBase;
    out.ranges.size = skeleton.ranges.size - rangesBase;
  }
}

bool splitSectionsFromFile(ElfHelper& file, const Contribution* c, DwarfSections& out) {
  DwarfSections whole;
  whole.info = sectionOf(file, ".debug_info.dwo");
  whole.abbrev = sectionOf(file, ".debug_abbrev.dwo");
  whole.str = sectionOf(file, ".debug_str.dwo");
  whole.strOffsets = sectionOf(file, ".debug_str_offsets.dwo");
  whole.rnglists = sectionOf(file, ".debug_rnglists.dwo");
  return splitSections(whole, c, out);
}

// --- SplitUnits ------------------------------------------------------------------------

SplitUnits::SplitUnits(DwarfContext* parent, const std::wstring& debugFilePath, const std::wstring& imagePath)
    : m_parent(parent),
      m_debugFilePath(KAVE_3_1::wideToUtf8(debugFilePath)),
      m_imagePath(KAVE_3_1::wideToUtf8(imagePath)) {}

SplitUnits::~SplitUnits() {
  // The units refer to their contexts and the contexts to the files' bytes.
  m_bySkeleton.clear();
  m_contexts.clear();
  m_files.clear();
}

DWARFCompilationUnit* SplitUnits::splitUnitOf(DWARFCompilationUnit* skeleton) {
  if (!skeleton) return nullptr;
  std::lock_guard<std::mutex> guard(m_mutex);
  auto it = m_bySkeleton.find(skeleton);
  if (it != m_bySkeleton.end()) return it->second;
  DWARFCompilationUnit* split = findSplitUnit(skeleton);
  m_bySkeleton.emplace(skeleton, split);
  return split;
}

DWARFCompilationUnit* SplitUnits::findSplitUnit(DWARFCompilationUnit* skeleton) {
  SkeletonFacts facts = readSkeletonFacts(skeleton);
  if (!facts.isSkeleton) return nullptr;
  if (DWARFCompilationUnit* unit = fromPackage(skeleton, facts)) return unit;
  return fromDwoFile(skeleton, facts);
}

ElfHelper* SplitUnits::openFile(const std::string& path) {
  auto it = m_files.find(path);
  if (it != m_files.end()) return it->second.get();
  SymMgrObjectPtr<ElfHelper> file;
  if (isRegularFile(path)) {
    std::wstring wide = KAVE_3_1::utf8ToWide(path);
    file = new ElfHelper(wide.c_str());
    if (!file->valid()) {
      ZOR_ASSERT_TEXT("split DWARF file is a valid ELF file", internal::kDwarfSource, __LINE__);
      file = nullptr;
    }
  }
  m_files.emplace(path, file);
  return file.get();
}

void SplitUnits::openPackage() {
  if (m_packageLooked) return;
  m_packageLooked = true;
  // Named after the debug file, else after the module, with ".dwp" appended.
  for (const std::string& base : {m_debugFilePath, m_imagePath}) {
    if (base.empty()) continue;
    ElfHelper* file = openFile(base + ".dwp");
    if (!file) continue;
    if (!m_packageIndex.parse(sectionOf(*file, ".debug_cu_index"))) continue;
    m_package = file;
    return;
  }
}

DWARFCompilationUnit* SplitUnits::makeUnit(DWARFCompilationUnit* skeleton, const SkeletonFacts& facts,
                                           ElfHelper& file, const Contribution* contributions) {
  DwarfSections sections;
  if (!splitSectionsFromFile(file, contributions, sections)) return nullptr;
  addSkeletonSections(m_parent->sections(), skeleton->version(), facts.rangesBase, sections);
  std::unique_ptr<SplitUnitContext> context(new SplitUnitContext(m_parent, sections));
  DWARFCompilationUnit* unit = context->adoptSplitUnit(skeleton, facts.dwoId);
  if (!unit) return nullptr;
  m_contexts.push_back(std::move(context));
  return unit;
}

DWARFCompilationUnit* SplitUnits::fromPackage(DWARFCompilationUnit* skeleton, const SkeletonFacts& facts) {
  openPackage();
  if (!m_package) return nullptr;
  Contribution contributions[DWP_SECTION_COUNT];
  if (!m_packageIndex.lookup(facts.dwoId, contributions)) return nullptr;
  return makeUnit(skeleton, facts, *m_package, contributions);
}

DWARFCompilationUnit* SplitUnits::fromDwoFile(DWARFCompilationUnit* skeleton, const SkeletonFacts& facts) {
  // As named (a relative name from the compilation directory), then beside the debug file
  // and the module under its base name: a tree that moved since the build keeps its files.
  std::vector<std::string> candidates;
  const std::string& name = facts.dwoName;
  if (name[0] == '/' || facts.compDir.empty())
    candidates.push_back(name);
  else
    candidates.push_back(facts.compDir + (facts.compDir.back() == '/' ? "" : "/") + name);
  for (const std::string& beside : {m_debugFilePath, m_imagePath}) {
    if (!beside.empty()) candidates.push_back(directoryOf(beside) + baseName(name));
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    bool seen = false;
    for (size_t j = 0; j < i; ++j) seen = seen || candidates[j] == candidates[i];
    if (seen) continue;
    ElfHelper* file = openFile(candidates[i]);
    if (!file) continue;
    if (DWARFCompilationUnit* unit = makeUnit(skeleton, facts, *file, nullptr)) return unit;
  }
  return nullptr;
}

}  // namespace dwarf
}  // namespace ZOR_3_12
