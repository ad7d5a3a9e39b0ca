#include "zor/dwarf/compilation_unit.h"

#include <cstdlib>
#include <cstring>

#include "kave/unicode.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/line_resolver.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {

using namespace dwarf;

bool readUnitHeader(DwarfReader& reader, UnitHeader& out) {
  out = UnitHeader();
  out.offset = reader.offset();
  uint64_t length = reader.readU32();
  uint8_t lengthSize = 4;
  if (length == 0xFFFFFFFFu) {
    length = reader.readU64();
    lengthSize = 12;
    out.offsetSize = 8;
  }
  if (!reader.ok()) return false;
  // A unit that claims more than the section holds ends with the section.
  if (length > reader.remaining()) length = reader.remaining();
  out.size = length + lengthSize;
  DwarfReader unit = reader.sub(length);
  reader.skip(length);

  unit.setOffsetSize(out.offsetSize);
  out.version = unit.readU16();
  if (out.version >= 5) {
    out.unitType = unit.readU8();
    out.addrSize = unit.readU8();
    out.abbrevOffset = unit.readOffset();
    switch (out.unitType) {
      case DW_UT_skeleton:
      case DW_UT_split_compile:
        out.dwoId = unit.readU64();
        break;
      case DW_UT_type:
      case DW_UT_split_type:
        out.typeSignature = unit.readU64();
        out.typeOffset = unit.readOffset();
        break;
      default:
        break;
    }
  } else {
    out.unitType = DW_UT_compile;
    out.abbrevOffset = unit.readOffset();
    out.addrSize = unit.readU8();
  }
  if (!unit.ok()) {
    // The header does not fit in its unit: nothing of it can be read.
    reader.fail();
    return false;
  }
  if (out.addrSize == 0) ZOR_ASSERT_TEXT("m_addrSize == 0 && addrSize != 0", internal::kDwarfSource, __LINE__);
  out.headerSize = static_cast<uint32_t>(unit.offset() - out.offset);
  return true;
}

DWARFCompilationUnit::DWARFCompilationUnit(const UnitHeader& header, DwarfContext* context)
    : m_header(header), m_context(context), m_abbrevs(context->abbreviationTable(header.abbrevOffset)) {
  m_lineInfo.firstFileNumber = header.version >= 5 ? 0 : 1;
}

DWARFCompilationUnit::~DWARFCompilationUnit() = default;

void DWARFCompilationUnit::attachSkeleton(DWARFCompilationUnit* skeleton, uint64_t strOffsetsBase) {
  if (!skeleton) return;
  skeleton->ensureUnitEntry();
  m_skeleton = skeleton;
  m_addrBase = skeleton->addrBase();
  m_strOffsetsBase = strOffsetsBase;
  m_baseAddress = skeleton->baseAddress();
}

DwarfReader DWARFCompilationUnit::readerAt(uint64_t infoOffset) const {
  const Section& info = m_context->sections().info;
  uint64_t end = m_header.offset + m_header.size;
  if (end > info.size) end = info.size;
  DwarfReader r(info.data, end);
  r.setAddrSize(m_header.addrSize);
  r.setOffsetSize(m_header.offsetSize);
  // An offset inside the header or outside the unit leaves the cursor failed.
  if (infoOffset < m_header.firstEntryOffset()) {
    r.fail();
    return r;
  }
  r.seek(infoOffset);
  return r;
}

DwarfReader DWARFCompilationUnit::entryReader() const { return readerAt(m_header.firstEntryOffset()); }

int32_t DWARFCompilationUnit::languageCode(uint64_t lang) {
  switch (lang) {
    case DW_LANG_Ada83:
      return LANGUAGE_ADA;
    // The later C++ and Fortran codes are what current compilers put in DWARF 4 and 5
    // units; older producers never emit them.
    case DW_LANG_C_plus_plus:
    case DW_LANG_C_plus_plus_03:
    case DW_LANG_C_plus_plus_11:
    case DW_LANG_C_plus_plus_14:
      return LANGUAGE_CPP;
    case DW_LANG_Fortran77:
    case DW_LANG_Fortran90:
    case DW_LANG_Fortran95:
    case DW_LANG_Fortran03:
    case DW_LANG_Fortran08:
      return LANGUAGE_FORTRAN;
    default:
      return LANGUAGE_C;
  }
}

void DWARFCompilationUnit::ensureUnitEntry() {
  if (m_unitEntryRead.load(std::memory_order_acquire)) return;
  SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(this));
  DwarfReader reader = entryReader();
  if (!entry->decode(reader)) return;
  uint64_t tag = entry->getTag();
  if (tag == DW_TAG_compile_unit || tag == DW_TAG_partial_unit || tag == DW_TAG_skeleton_unit) {
    handleCompileUnitEntry(entry.get());
  }
}

void DWARFCompilationUnit::handleCompileUnitEntry(AttrBindings* entry) {
  if (!entry) return;
  ScopedLock guard(&m_entryLock);
  // Another thread may be asking for the same values (the line programs are read beside the
  // walk): they are published only once all are set. Reading them may come back here on
  // this thread, which then uses what is set so far.
  if (m_unitEntryRead.load(std::memory_order_relaxed) || m_unitEntryBusy) return;
  m_unitEntryBusy = true;
  readUnitEntry(entry);
  m_unitEntryBusy = false;
  m_unitEntryRead.store(true, std::memory_order_release);
}

void DWARFCompilationUnit::readUnitEntry(AttrBindings* entry) {
  uint64_t v = 0;
  // The bases come first: index-form attributes before them in the same entry need them.
  if (const AttrValue* a = entry->getAttribute(DW_AT_str_offsets_base, true)) {
    if (constant(a, v)) m_strOffsetsBase = v;
  }
  const AttrValue* addrBase = entry->getAttribute(DW_AT_addr_base, true);
  if (!addrBase) addrBase = entry->getAttribute(DW_AT_GNU_addr_base, true);
  if (addrBase && constant(addrBase, v)) m_addrBase = v;
  if (const AttrValue* a = entry->getAttribute(DW_AT_rnglists_base, true)) {
    if (constant(a, v)) m_rnglistsBase = v;
  }

  const AttrValue* lang = entry->getAttribute(DW_AT_language);
  m_language = languageCode(lang && constant(lang, v) ? v : DW_LANG_C);
  if (const AttrValue* producer = entry->getAttribute(DW_AT_producer)) parseProducer(string(producer));
  if (const AttrValue* dir = entry->getAttribute(DW_AT_comp_dir)) {
    const char* s = string(dir);
    m_compDir = s ? KAVE_3_1::utf8ToWide(s) : std::wstring();
  }
  const AttrValue* name = entry->getAttribute(DW_AT_name);
  const char* nameText = name ? string(name) : nullptr;
  m_name = nameText ? KAVE_3_1::utf8ToWide(nameText) : std::wstring();
  uint64_t low = 0;
  const AttrValue* lowPc = entry->getAttribute(DW_AT_low_pc);
  if (lowPc && address(lowPc, low))
    m_baseAddress = low;
  else if (!m_skeleton)
    m_baseAddress = 0;
  if (const AttrValue* stmt = entry->getAttribute(DW_AT_stmt_list)) {
    if (constant(stmt, v)) {
      m_lineOffset = v;
      m_hasLineProgram = true;
    }
  }
}

void DWARFCompilationUnit::parseProducer(const char* p) {
  if (!p) return;
  m_producerKind = PRODUCER_UNKNOWN;
  m_majorVersion = 0;
  m_minorVersion = 0;
  if (std::strncmp(p, "GNU ", 4) == 0) {
    m_producerKind = PRODUCER_GNU;
    const char* q = std::strstr(p, "GNU C++ ");
    size_t prefix = 8;
    if (!q) {
      q = std::strstr(p, "GNU C ");
      prefix = 6;
    }
    if (!q) return;
    if (std::strlen(q) > prefix) {
      const char* version = q + prefix;
      m_majorVersion = std::atoi(version);
      const char* dot = std::strchr(version, '.');
      if (dot && std::strlen(dot) > 1) {
        m_minorVersion = std::atoi(dot + 1);
        if (m_majorVersion == 2 && m_minorVersion == 96) m_producerKind = PRODUCER_GNU_2_96;
      }
    }
    return;
  }
  const char* vanor = std::strstr(p, "Vanor(R) ");
  if (!vanor) vanor = std::strstr(p, "Vanor");
  if (vanor != p) return;
  m_producerKind = PRODUCER_VANOR;
  static const char kVersion[] = "Version ";
  const char* version = std::strstr(p, kVersion);
  if (std::strstr(p, "C++") && version && std::strlen(version) > sizeof(kVersion) - 1) {
    m_majorVersion = std::atoi(version + sizeof(kVersion) - 1);
    if (m_majorVersion >= 8) m_producerKind = PRODUCER_VANOR_CPP_8;
  }
  static const char kReport[] = "Opt_report_file ";
  if (const char* report = std::strstr(p, kReport)) {
    const char* s = report + sizeof(kReport) - 1;
    // The name ends at a space, or just after a backslash (a Windows path is cut there).
    size_t n = 0;
    while (s[n] != '\0' && s[n] != ' ' && (n == 0 || s[n - 1] != '\\')) ++n;
    m_optReportFile = KAVE_3_1::utf8ToWide(s, n);
  }
}

const wchar_t* DWARFCompilationUnit::getCompilerName() {
  if (m_compilerName.empty()) {
    if (m_producerKind == PRODUCER_VANOR || m_producerKind == PRODUCER_VANOR_CPP_8) {
      m_compilerName = L"Vanor(R)";
    } else if (m_producerKind == PRODUCER_GNU || m_producerKind == PRODUCER_GNU_2_96) {
      m_compilerName = L"GNU";
    }
  }
  return m_compilerName.c_str();
}

const char* DWARFCompilationUnit::string(const AttrValue* v) const {
  if (!v) return nullptr;
  switch (v->form) {
    case STORED_STRING:
    case STORED_STRP:
      return reinterpret_cast<const char*>(v->data);
    case STORED_STRP_ALT: {
      // A string of the supplementary file; absent with the file.
      DwarfContext* supplementary = m_context->supplementary();
      if (!supplementary) return nullptr;
      const Section& str = supplementary->sections().str;
      return stringAt(str.data, str.size, v->value);
    }
    case STORED_STRX: {
      const DwarfSections& s = m_context->sections();
      if (!s.strOffsets.present()) return nullptr;
      uint8_t size = m_header.offsetSize;
      if (v->value > (UINT64_MAX - m_strOffsetsBase) / size) return nullptr;
      DwarfReader r(s.strOffsets.data, s.strOffsets.size, m_strOffsetsBase + v->value * size);
      uint64_t offset = r.readUnsigned(size);
      if (!r.ok()) return nullptr;
      return stringAt(s.str.data, s.str.size, offset);
    }
    default:
      return nullptr;
  }
}

bool DWARFCompilationUnit::address(const AttrValue* v, uint64_t& out) const {
  if (!v) return false;
  if (v->form == STORED_ADDR) {
    out = v->value;
    return true;
  }
  if (v->form != STORED_ADDRX) return false;
  const Section& addr = m_context->sections().addr;
  uint8_t size = m_header.addrSize;
  if (!addr.present() || size == 0 || v->value > (UINT64_MAX - m_addrBase) / size) return false;
  DwarfReader r(addr.data, addr.size, m_addrBase + v->value * size);
  r.setAddrSize(size);
  uint64_t a = r.readAddress();
  if (!r.ok()) return false;
  out = a + loadBias();
  return true;
}

bool DWARFCompilationUnit::constant(const AttrValue* v, uint64_t& out) const {
  if (!v) return false;
  switch (v->form) {
    case STORED_DATA:
    case STORED_UDATA:
    case STORED_SDATA:
    case STORED_SEC_OFFSET:
    case STORED_FLAG:
      out = v->value;
      return true;
    default:
      return false;
  }
}

bool DWARFCompilationUnit::highPc(const AttrValue* v, bool haveLow, uint64_t low, uint64_t& out) const {
  if (!v) return false;
  if (address(v, out)) return true;
  uint64_t offset = 0;
  if (m_header.version >= 4 && haveLow && v->form != STORED_SEC_OFFSET && constant(v, offset)) {
    out = low + offset;
    return true;
  }
  return false;
}

bool DWARFCompilationUnit::rangeListOffset(const AttrValue* v, uint64_t& out) const {
  if (!v) return false;
  if (v->form != STORED_RNGLISTX) return constant(v, out);
  const Section& lists = m_context->sections().rnglists;
  uint8_t size = m_header.offsetSize;
  // Without DW_AT_rnglists_base the offsets table follows the first contribution's header.
  uint64_t base = m_rnglistsBase ? m_rnglistsBase : (size == 8 ? 20 : 12);
  if (!lists.present() || v->value > (UINT64_MAX - base) / size) return false;
  DwarfReader r(lists.data, lists.size, base + v->value * size);
  uint64_t relative = r.readUnsigned(size);
  if (!r.ok()) return false;
  out = base + relative;
  return true;
}

int32_t DWARFCompilationUnit::globalFileIndex(uint64_t file) {
  // A split unit's file numbers name the files of its skeleton's line program (a .dwo line
  // table, where there is one, lists the same files).
  if (m_skeleton) return m_skeleton->globalFileIndex(file);
  DWARFLineResolver* resolver = m_context->lineResolver();
  if (!resolver) return -1;
  resolver->readLineProgram(this);
  ScopedLock guard(&m_lineLock);
  if (file < m_lineInfo.firstFileNumber) return -1;
  uint64_t slot = file - m_lineInfo.firstFileNumber;
  if (slot >= m_lineInfo.fileTable.size()) return -1;
  return m_lineInfo.fileTable[static_cast<size_t>(slot)];
}

ISourceFile* DWARFCompilationUnit::getPrimarySourceFile() {
  if (m_primarySourceFile) return m_primarySourceFile;
  DWARFLineResolver* resolver = m_context->lineResolver();
  if (!resolver) return nullptr;
  DWARFCompilationUnit* lines = m_skeleton ? m_skeleton : this;
  resolver->readLineProgram(lines);
  ScopedLock guard(&lines->m_lineLock);
  const std::vector<int32_t>& table = lines->m_lineInfo.fileTable;
  if (table.empty()) return nullptr;
  if (!m_name.empty()) {
    for (int32_t index : table) {
      if (index < 0) continue;
      ISourceFile* file = resolver->sourceFile(static_cast<uint32_t>(index));
      if (!file) continue;
      std::wstring path = file->name();
      if (path.size() >= m_name.size() && path.compare(path.size() - m_name.size(), m_name.size(), m_name) == 0) {
        m_primarySourceFile = file;
        break;
      }
    }
  }
  if (!m_primarySourceFile && table.front() >= 0) m_primarySourceFile = resolver->sourceFile(static_cast<uint32_t>(table.front()));
  return m_primarySourceFile;
}

ISourceFile* DWARFCompilationUnit::getSourceFile(const wchar_t* name) {
  DWARFLineResolver* resolver = m_context->lineResolver();
  if (!resolver || !name) return nullptr;
  uint32_t index = 0;
  if (!resolver->findSourceFile(KAVE_3_1::wideToUtf8(name).c_str(), index)) return nullptr;
  return resolver->sourceFile(index);
}

}  // namespace ZOR_3_12
