#include "zor/elf/elf_helper.h"

#include <cstring>
#include <initializer_list>

#include <zor/types.h>

#include "kave/file.h"
#include "kave/unicode.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace {

const char* const kNamedSectionNames[kNamedSectionCount] = {
    ".symtab",    ".strtab",      ".dynsym",    ".dynstr",       ".plt",       ".gnu_debuglink",
    ".debug_info", ".debug_abbrev", ".debug_str", ".debug_ranges", ".debug_line",
};

// Line of the assertion record for a section whose bytes lie outside the file.
constexpr unsigned kLineSectionRead = 270;

void reportFailure(unsigned line) { ZOR_ASSERT_TEXT("false", internal::kElfSource, line); }

bool addOverflows(uint64_t a, uint64_t b) { return a + b < a; }

// True when section `actual` serves for the name `wanted`: the same name, or the .zdebug_x
// form of a wanted .debug_x.
bool servesName(const char* actual, const char* wanted) {
  if (std::strcmp(actual, wanted) == 0) return true;
  return std::strncmp(actual, ".zdebug_", 8) == 0 && std::strncmp(wanted, ".debug_", 7) == 0 &&
         std::strcmp(actual + 7, wanted + 6) == 0;
}

constexpr uint32_t kNoteGnuBuildId = 3;
// A build id longer than this is not a digest of any known kind.
constexpr uint32_t kMaxBuildIdSize = 64;

}  // namespace

const char* namedSectionName(NamedSection which) {
  return which < kNamedSectionCount ? kNamedSectionNames[which] : nullptr;
}

elf::Span SectionData::span() {
  std::call_once(m_resolved, [this] {
    const elf::SectionHeader* h = m_owner->sectionHeader(m_index);
    if (h && h->sh_type != elf::kShtNobits && h->sh_size != 0) {
      if (m_owner->file().holds(h->sh_offset, h->sh_size))
        m_span = m_owner->sectionBytes(m_index);
      else
        reportFailure(kLineSectionRead);
    }
  });
  return m_span;
}

ElfHelper::ElfHelper(const wchar_t* path) {
  std::shared_ptr<KAVE_3_1::MappedFile> mapping =
      KAVE_3_1::MappedFile::open(KAVE_3_1::wideToUtf8(path ? path : L""));
  if (!mapping) {
    reportFailure(__LINE__);
    return;
  }
  m_file.data = mapping->data();
  m_file.size = mapping->size();
  m_keepAlive = mapping;
  read();
}

ElfHelper::ElfHelper(std::shared_ptr<const void> keepAlive, const unsigned char* data, uint64_t size)
    : m_keepAlive(std::move(keepAlive)) {
  m_file.data = data;
  m_file.size = data ? size : 0;
  read();
}

ElfHelper::~ElfHelper() = default;

void ElfHelper::read() {
  m_valid = readHeader() && readProgramHeaders() && readSectionHeaders();
  if (m_valid) readBuildId();
}

bool ElfHelper::readHeader() {
  if (!m_file.holds(0, 16)) {
    reportFailure(__LINE__);
    return false;
  }
  const unsigned char* p = m_file.data;
  std::memcpy(m_header.e_ident, p, 16);
  uint32_t headerSize;
  switch (p[elf::kIdentClass]) {
    case elf::kClass32:
      m_is64 = false;
      headerSize = elf::kEhdr32Size;
      break;
    case elf::kClass64:
      m_is64 = true;
      headerSize = elf::kEhdr64Size;
      break;
    default:
      reportFailure(__LINE__);
      return false;
  }
  if (!m_file.holds(0, headerSize)) {
    reportFailure(__LINE__);
    return false;
  }
  m_header.e_type = elf::load16(p + 16);
  m_header.e_machine = elf::load16(p + 18);
  m_header.e_version = elf::load32(p + 20);
  if (m_is64) {
    m_header.e_entry = elf::load64(p + 24);
    m_header.e_phoff = elf::load64(p + 32);
    m_header.e_shoff = elf::load64(p + 40);
    m_header.e_flags = elf::load32(p + 48);
    m_header.e_ehsize = elf::load16(p + 52);
    p += 54;
  } else {
    m_header.e_entry = elf::load32(p + 24);
    m_header.e_phoff = elf::load32(p + 28);
    m_header.e_shoff = elf::load32(p + 32);
    m_header.e_flags = elf::load32(p + 36);
    p += 42;  // e_ehsize is not kept for 32-bit images
  }
  m_header.e_phentsize = elf::load16(p);
  m_header.e_phnum = elf::load16(p + 2);
  m_header.e_shentsize = elf::load16(p + 4);
  m_header.e_shnum = elf::load16(p + 6);
  m_header.e_shstrndx = elf::load16(p + 8);

  // Fields are always read little-endian; the one big-endian machine tolerated is the one
  // whose files carry the same layout.
  if (m_header.e_ident[elf::kIdentData] == elf::kDataMsb && m_header.e_machine == elf::kMachineQuirk31) {
    m_header.e_ident[elf::kIdentData] = elf::kDataLsb;
  } else if (m_header.e_ident[elf::kIdentData] != elf::kDataLsb) {
    reportFailure(__LINE__);
    return false;
  }
  switch (m_header.e_machine) {
    case elf::kMachine386: m_architecture = ARCH_I386; break;
    case elf::kMachineIa64: m_architecture = ARCH_IA64; break;
    case elf::kMachineX8664: m_architecture = ARCH_X86_64; break;
    case elf::kMachineArm: m_architecture = ARCH_ARM; break;
    case elf::kMachine180: m_architecture = ARCH_EM180; break;
    // Machine 31 has no architecture code of its own, but its images are read (with their
    // longer symbol entries), so it is not refused.
    case elf::kMachineQuirk31: m_architecture = ARCH_UNKNOWN; break;
    default:
      reportFailure(__LINE__);
      return false;
  }
  return true;
}

bool ElfHelper::readProgramHeaders() {
  if (m_header.e_phnum == 0) return true;
  const uint32_t recordSize = m_is64 ? elf::kPhdr64Size : elf::kPhdr32Size;
  const uint64_t tableSize = uint64_t(m_header.e_phnum) * m_header.e_phentsize;
  if (m_header.e_phentsize < recordSize || !m_file.holds(m_header.e_phoff, tableSize)) {
    reportFailure(__LINE__);
    return false;
  }
  for (uint32_t i = 0; i < m_header.e_phnum; ++i) {
    const unsigned char* p = m_file.data + m_header.e_phoff + uint64_t(i) * m_header.e_phentsize;
    elf::ProgramHeader h;
    h.p_type = elf::load32(p);
    if (h.p_type != elf::kPtLoad && h.p_type != elf::kPtNote) continue;
    if (m_is64) {
      h.p_flags = elf::load32(p + 4);
      h.p_offset = elf::load64(p + 8);
      h.p_vaddr = elf::load64(p + 16);
      h.p_paddr = elf::load64(p + 24);
      h.p_filesz = elf::load64(p + 32);
      h.p_memsz = elf::load64(p + 40);
      h.p_align = elf::load64(p + 48);
    } else {
      h.p_offset = elf::load32(p + 4);
      h.p_vaddr = elf::load32(p + 8);
      h.p_paddr = elf::load32(p + 12);
      h.p_filesz = elf::load32(p + 16);
      h.p_memsz = elf::load32(p + 20);
      h.p_flags = elf::load32(p + 24);
      h.p_align = elf::load32(p + 28);
    }
    if (h.p_type == elf::kPtNote)
      m_noteHeaders.push_back(h);
    else
      m_loadHeaders.push_back(h);
  }
  chooseWindows();
  return true;
}

void ElfHelper::chooseWindows() {
  if (m_loadHeaders.empty()) return;
  const elf::ProgramHeader& first = m_loadHeaders[0];
  m_imageBase = first.p_vaddr;
  m_imageSize = first.p_memsz;
  // Classic layout: the first loadable segment holds the code, the second the data.
  size_t code = 0;
  size_t data = 1;
  // Linkers that keep code apart from headers and read-only data (the default of current
  // toolchains) put a read-only segment first; the code window is then the first executable
  // segment and the data window the first writable one after it, so that symbols in .text
  // and .data are still recognised.
  if (!(first.p_flags & elf::kPfExec)) {
    size_t exec = m_loadHeaders.size();
    for (size_t i = 0; i < m_loadHeaders.size() && exec == m_loadHeaders.size(); ++i)
      if (m_loadHeaders[i].p_flags & elf::kPfExec) exec = i;
    if (exec != m_loadHeaders.size()) {
      code = exec;
      data = m_loadHeaders.size();
      for (size_t i = exec + 1; i < m_loadHeaders.size() && data == m_loadHeaders.size(); ++i)
        if (m_loadHeaders[i].p_flags & elf::kPfWrite) data = i;
    }
  }
  m_codeStart = m_loadHeaders[code].p_vaddr;
  m_codeSize = m_loadHeaders[code].p_memsz;
  if (data < m_loadHeaders.size()) {
    m_dataStart = m_loadHeaders[data].p_vaddr;
    m_dataSize = m_loadHeaders[data].p_memsz;
  }
}

bool ElfHelper::readSectionHeaders() {
  if (m_header.e_shnum != 0) {
    const uint32_t recordSize = m_is64 ? elf::kShdr64Size : elf::kShdr32Size;
    const uint64_t tableSize = uint64_t(m_header.e_shnum) * m_header.e_shentsize;
    if (m_header.e_shentsize < recordSize || !m_file.holds(m_header.e_shoff, tableSize)) {
      reportFailure(__LINE__);
      return false;
    }
    m_sectionHeaders.resize(m_header.e_shnum);
    for (uint32_t i = 0; i < m_header.e_shnum; ++i) {
      const unsigned char* p = m_file.data + m_header.e_shoff + uint64_t(i) * m_header.e_shentsize;
      elf::SectionHeader& h = m_sectionHeaders[i];
      h.sh_name = elf::load32(p);
      h.sh_type = elf::load32(p + 4);
      if (m_is64) {
        h.sh_flags = elf::load64(p + 8);
        h.sh_addr = elf::load64(p + 16);
        h.sh_offset = elf::load64(p + 24);
        h.sh_size = elf::load64(p + 32);
        h.sh_link = elf::load32(p + 40);
        h.sh_info = elf::load32(p + 44);
        h.sh_addralign = elf::load64(p + 48);
        h.sh_entsize = elf::load64(p + 56);
      } else {
        h.sh_flags = elf::load32(p + 8);
        h.sh_addr = elf::load32(p + 12);
        h.sh_offset = elf::load32(p + 16);
        h.sh_size = elf::load32(p + 20);
        h.sh_link = elf::load32(p + 24);
        h.sh_info = elf::load32(p + 28);
        h.sh_addralign = elf::load32(p + 32);
        h.sh_entsize = elf::load32(p + 36);
      }
      // Images of machine 31 mark allocated sections with a flag of their own.
      if (m_header.e_machine == elf::kMachineQuirk31 && h.sh_flags == 0x100 && h.sh_type != elf::kShtNull)
        h.sh_flags = elf::kShfAlloc;
    }
  }
  if (m_header.e_shstrndx != 0) {
    const elf::SectionHeader* names = sectionHeader(m_header.e_shstrndx);
    // A damaged name table only costs the names; the rest of the image stays usable.
    if (!names) {
      reportFailure(__LINE__);
    } else if (names->sh_type != elf::kShtNobits) {
      if (m_file.holds(names->sh_offset, names->sh_size)) {
        m_sectionNames.data = m_file.data + names->sh_offset;
        m_sectionNames.size = names->sh_size;
      } else {
        reportFailure(__LINE__);
      }
    }
  }
  classifySections();
  return true;
}

bool ElfHelper::fitsCode(uint64_t start, uint64_t end) const {
  return start >= m_codeStart && start - m_codeStart < m_codeSize && end - m_codeStart <= m_codeSize;
}

bool ElfHelper::fitsData(uint64_t start, uint64_t end) const {
  return start >= m_dataStart && start - m_dataStart < m_dataSize && end - m_dataStart <= m_dataSize;
}

void ElfHelper::classifySections() {
  auto inCode = [this](uint64_t a) { return a >= m_codeStart && a - m_codeStart < m_codeSize; };
  auto inData = [this](uint64_t a) { return a >= m_dataStart && a - m_dataStart < m_dataSize; };
  const uint32_t count = sectionCount();
  for (uint32_t i = 0; i < count; ++i) {
    const elf::SectionHeader& h = m_sectionHeaders[i];
    if (h.sh_size == 0) continue;
    const uint64_t start = h.sh_addr;
    // A section that wraps around the address space cannot be a range.
    const bool rangeOk = !addOverflows(start, h.sh_size);
    uint64_t end = start + h.sh_size;
    if (rangeOk && i + 1 < count) {
      const uint64_t next = m_sectionHeaders[i + 1].sh_addr;
      // Padding up to the next section of the same window belongs to this one.
      if (end < next && ((inCode(start) && inCode(next)) || (inData(start) && inData(next)))) end = next;
    }
    if (rangeOk) {
      if (h.sh_flags & elf::kShfExecInstr) {
        if (fitsCode(start, end)) m_codeRanges[start] = end;
      } else if ((h.sh_flags & elf::kShfWrite) || ((h.sh_flags & elf::kShfAlloc) && h.sh_type == elf::kShtProgbits)) {
        if (fitsData(start, end))
          m_dataRanges[start] = end;
        else if (fitsCode(start, end))
          m_dataRanges[start] = end;
      }
    }
    if (h.sh_type == elf::kShtRela || h.sh_type == elf::kShtRel) {
      if (m_relocations.find(h.sh_info) == m_relocations.end()) {
        std::unique_ptr<RelocationAddends> reader;
        if (h.sh_type == elf::kShtRela)
          reader.reset(new RELARelocationAddends(i));
        else
          reader.reset(new RELRelocationAddends(i));
        m_relocations.emplace(h.sh_info, std::move(reader));
      }
      continue;
    }
    const char* name = sectionName(i);
    const internal::SectionCompression compression = internal::sectionCompression(h, name);
    if (compression != internal::SectionCompression::kNone) {
      std::unique_ptr<DecodedSection> decoded(new DecodedSection);
      decoded->kind = compression;
      m_decoded.emplace(i, std::move(decoded));
    }
    if (!name) continue;
    bool taken = false;
    for (unsigned n = 0; n < kNamedSectionCount && !taken; ++n) {
      if (!m_named[n] && servesName(name, kNamedSectionNames[n])) {
        m_named[n] = new SectionData(this, i);
        taken = true;
      }
    }
    if (!taken && rangeOk && std::strcmp(name, ".rodata") == 0) m_dataRanges.emplace(start, end);
  }
}

void ElfHelper::replaceCodeWindow(uint64_t start, uint64_t size) {
  m_imageBase = start;
  m_imageSize = size;
  m_codeStart = start;
  m_codeSize = size;
  m_codeRanges.clear();
  m_codeRanges[start] = start + size;
}

void ElfHelper::replaceDataWindow(uint64_t start, uint64_t size) {
  m_dataStart = start;
  m_dataSize = size;
  m_dataRanges.clear();
  m_dataRanges[start] = start + size;
}

namespace {

// A module has a handful of ranges; the lookup keeps no cache, since several threads ask.
bool rangeLookup(const std::map<uint64_t, uint64_t>& ranges, uint64_t a) {
  auto it = ranges.upper_bound(a);
  if (it == ranges.begin()) return false;
  --it;
  return it->first <= a && a < it->second;
}

}  // namespace

bool ElfHelper::inCodeRange(uint64_t a) const { return rangeLookup(m_codeRanges, a); }

bool ElfHelper::rangeAround(uint64_t a, uint64_t& start, uint64_t& end) const {
  for (const std::map<uint64_t, uint64_t>* ranges : {&m_codeRanges, &m_dataRanges}) {
    auto it = ranges->upper_bound(a);
    if (it == ranges->begin()) continue;
    --it;
    if (it->first <= a && a < it->second) {
      start = it->first;
      end = it->second;
      return true;
    }
  }
  return false;
}

bool ElfHelper::inDataRange(uint64_t a) const { return rangeLookup(m_dataRanges, a); }

bool ElfHelper::walkProgramHeaders(IProgramHeadersCallback& callback) {
  if (!m_valid) return false;
  for (uint32_t i = 0; i < m_loadHeaders.size(); ++i) callback.onProgramHeader(m_loadHeaders[i], i);
  return true;
}

bool ElfHelper::walkSectionHeaders(ISectionHeadersCallback& callback) {
  if (!m_valid) return false;
  for (uint32_t i = 0; i < m_sectionHeaders.size(); ++i) callback.onSectionHeader(m_sectionHeaders[i], i);
  return true;
}

const elf::SectionHeader* ElfHelper::sectionHeader(uint32_t index) const {
  return index < m_sectionHeaders.size() ? &m_sectionHeaders[index] : nullptr;
}

const char* ElfHelper::sectionName(uint32_t index) const {
  const elf::SectionHeader* h = sectionHeader(index);
  if (!h || m_sectionNames.empty() || h->sh_name >= m_sectionNames.size) return nullptr;
  const char* s = reinterpret_cast<const char*>(m_sectionNames.data) + h->sh_name;
  // The name must end inside the table, or it is no name at all.
  if (!std::memchr(s, 0, m_sectionNames.size - h->sh_name)) return nullptr;
  return s;
}

int64_t ElfHelper::sectionIndexByName(const char* name) const {
  if (!name) return -1;
  for (uint32_t i = 0; i < m_sectionHeaders.size(); ++i) {
    const char* n = sectionName(i);
    if (n && std::strcmp(n, name) == 0) return i;
  }
  // The exact name wins; only then may a compressed .zdebug_ twin stand in.
  if (std::strncmp(name, ".debug_", 7) != 0) return -1;
  for (uint32_t i = 0; i < m_sectionHeaders.size(); ++i) {
    const char* n = sectionName(i);
    if (n && servesName(n, name)) return i;
  }
  return -1;
}

const elf::SectionHeader* ElfHelper::sectionHeaderByName(const char* name) const {
  int64_t i = sectionIndexByName(name);
  return i < 0 ? nullptr : &m_sectionHeaders[static_cast<size_t>(i)];
}

elf::Span ElfHelper::rawSectionBytes(uint32_t index) const {
  elf::Span s;
  const elf::SectionHeader* h = sectionHeader(index);
  if (!h || h->sh_type == elf::kShtNobits || h->sh_size == 0 || !m_file.holds(h->sh_offset, h->sh_size)) return s;
  s.data = m_file.data + h->sh_offset;
  s.size = h->sh_size;
  return s;
}

internal::SectionCompression ElfHelper::sectionCompression(uint32_t index) const {
  auto it = m_decoded.find(index);
  return it == m_decoded.end() ? internal::SectionCompression::kNone : it->second->kind;
}

elf::Span ElfHelper::sectionBytes(uint32_t index) const {
  const elf::Span raw = rawSectionBytes(index);
  auto it = m_decoded.find(index);
  if (it == m_decoded.end()) return raw;
  DecodedSection& decoded = *it->second;
  std::call_once(decoded.once, [&] {
    if (raw.empty()) return;  // out of the file: already nothing to decode
    if (internal::decodeSection(decoded.kind, raw, m_is64, decoded.bytes) != internal::DecodeStatus::kOk)
      reportFailure(__LINE__);
  });
  elf::Span s;
  if (!decoded.bytes.empty()) {
    s.data = decoded.bytes.data();
    s.size = decoded.bytes.size();
  }
  return s;
}

bool ElfHelper::buildIdInNotes(const elf::Span& notes, uint64_t alignment) {
  // Each note: name size, descriptor size, type, then name and descriptor, each padded to
  // the alignment of the note table (4, or 8 in tables aligned so).
  const uint64_t pad = alignment == 8 ? 8 : 4;
  auto padded = [pad](uint64_t n) { return (n + pad - 1) & ~(pad - 1); };
  uint64_t pos = 0;
  while (notes.holds(pos, 12)) {
    const uint32_t nameSize = elf::load32(notes.data + pos);
    const uint32_t descSize = elf::load32(notes.data + pos + 4);
    const uint32_t type = elf::load32(notes.data + pos + 8);
    const uint64_t nameAt = pos + 12;
    const uint64_t descAt = nameAt + padded(nameSize);
    if (!notes.holds(nameAt, nameSize) || !notes.holds(descAt, descSize)) return false;
    if (type == kNoteGnuBuildId && nameSize == 4 && std::memcmp(notes.data + nameAt, "GNU", 4) == 0 &&
        descSize != 0 && descSize <= kMaxBuildIdSize) {
      m_buildId.assign(notes.data + descAt, notes.data + descAt + descSize);
      return true;
    }
    pos = descAt + padded(descSize);  // both sizes are 32-bit: no wrap in 64 bits
  }
  return false;
}

void ElfHelper::readBuildId() {
  for (uint32_t i = 0; i < m_sectionHeaders.size(); ++i) {
    const elf::SectionHeader& h = m_sectionHeaders[i];
    if (h.sh_type == elf::kShtNote && m_decoded.find(i) == m_decoded.end() &&
        buildIdInNotes(rawSectionBytes(i), h.sh_addralign))
      return;
  }
  // Without note sections (stripped section headers) the note segments still tell.
  for (const elf::ProgramHeader& p : m_noteHeaders) {
    if (p.p_filesz == 0 || !m_file.holds(p.p_offset, p.p_filesz)) continue;
    elf::Span notes;
    notes.data = m_file.data + p.p_offset;
    notes.size = p.p_filesz;
    if (buildIdInNotes(notes, p.p_align)) return;
  }
}

RelocationAddends* ElfHelper::relocationsFor(uint32_t targetIndex) const {
  auto it = m_relocations.find(targetIndex);
  return it == m_relocations.end() ? nullptr : it->second.get();
}

RelocationAddends* ElfHelper::relocationSection(uint32_t relIndex) const {
  for (const auto& entry : m_relocations)
    if (entry.second->sectionIndex() == relIndex) return entry.second.get();
  return nullptr;
}

RelocationTable* ElfHelper::fillRelocationTable(RelocationAddends* reader) {
  if (!reader) return nullptr;
  const elf::SectionHeader* rel = sectionHeader(reader->sectionIndex());
  if (!rel || rel->sh_link >= sectionCount()) return nullptr;

  SymMgrObjectPtr<SectionData> symbols;
  SymMgrObjectPtr<SectionData> strings;
  if (m_named[kSecSymtab] && m_named[kSecSymtab]->index() == rel->sh_link && m_named[kSecStrtab]) {
    symbols = m_named[kSecSymtab];
    strings = m_named[kSecStrtab];
  } else if (m_named[kSecDynsym] && m_named[kSecDynsym]->index() == rel->sh_link && m_named[kSecDynstr]) {
    symbols = m_named[kSecDynsym];
    strings = m_named[kSecDynstr];
  } else {
    symbols = new SectionData(this, rel->sh_link);
  }

  const elf::SectionHeader* relHeader = sectionHeader(reader->sectionIndex());
  ByteCursor cursor;
  if (relHeader->sh_type != elf::kShtNobits && relHeader->sh_size != 0) {
    if (!m_file.holds(relHeader->sh_offset, relHeader->sh_size)) {
      reportFailure(kLineSectionRead);
      return nullptr;
    }
    cursor.span = sectionBytes(reader->sectionIndex());
  }
  const elf::Span symSpan = symbols->span();
  const uint64_t symSize =
      (m_is64 ? elf::kSym64Size : elf::kSym32Size) + (m_header.e_machine == elf::kMachineQuirk31 ? 4 : 0);
  RelocationTable& table = reader->table();
  uint64_t offset, info, addend;
  for (uint32_t ordinal = 0; reader->readEntry(cursor, m_is64, offset, info, addend); ++ordinal) {
    const uint64_t symIndex = m_is64 ? info >> 32 : (info & 0xFFFFFFFFu) >> 8;
    const uint32_t type = m_is64 ? static_cast<uint32_t>(info) : static_cast<uint32_t>(info & 0xFF);
    if (symIndex > symSpan.size / symSize || !symSpan.holds(symIndex * symSize, symSize)) continue;
    const elf::Symbol sym = elf::readSymbol(symSpan.data + symIndex * symSize, m_is64);
    if (symIndex != 0 && (sym.st_info & 0xF) > elf::kSttSection) continue;
    RelocationRecord r;
    r.offset = offset;
    r.nameOffset = sym.st_name;
    r.target = sym.st_value + addend;
    r.ordinal = ordinal;
    r.type = type;
    r.width = relocationWidth(m_header.e_machine, type, m_is64);
    r.symbols = symbols;
    r.strings = strings;
    table.emplace(offset, std::move(r));
  }
  return &table;
}

RelocationTable* ElfHelper::relocationTable(uint32_t sectionIndex) {
  return fillRelocationTable(relocationsFor(sectionIndex));
}

const RelocationTable* ElfHelper::cachedTable(NamedSection which, bool& done, RelocationTable*& table) {
  if (!done) {
    done = true;
    if (m_named[which]) table = relocationTable(m_named[which]->index());
  }
  return table;
}

const RelocationTable* ElfHelper::debugInfoRelocations() {
  std::lock_guard<std::recursive_mutex> guard(m_relocLock);
  return cachedTable(kSecDebugInfo, m_debugInfoRelocDone, m_debugInfoReloc);
}

const RelocationTable* ElfHelper::debugLineRelocations() {
  std::lock_guard<std::recursive_mutex> guard(m_relocLock);
  return cachedTable(kSecDebugLine, m_debugLineRelocDone, m_debugLineReloc);
}

elf::Span ElfHelper::relocatedSection(NamedSection which) {
  std::lock_guard<std::recursive_mutex> guard(m_relocLock);
  elf::Span mapped;
  if (which >= kNamedSectionCount || !m_named[which]) return mapped;
  mapped = m_named[which]->span();
  const RelocationTable* table = nullptr;
  if (which == kSecDebugInfo)
    table = debugInfoRelocations();
  else if (which == kSecDebugLine)
    table = debugLineRelocations();
  else
    table = relocationTable(m_named[which]->index());
  if (!table || table->empty() || mapped.empty()) return mapped;
  std::vector<unsigned char>& copy = m_relocatedCopy[which];
  if (!m_relocatedDone[which]) {
    m_relocatedDone[which] = true;
    copy.assign(mapped.data, mapped.data + mapped.size);
    RelocationAddends* reader = relocationsFor(m_named[which]->index());
    ByteWriter writer(copy);
    for (const auto& entry : *table) reader->apply(writer, entry.second);  // places outside are skipped
  }
  elf::Span s;
  s.data = copy.data();
  s.size = copy.size();
  return s;
}

elf::Span ElfHelper::relocatedSectionBytes(uint32_t index) {
  std::lock_guard<std::recursive_mutex> guard(m_relocLock);
  const elf::Span bytes = sectionBytes(index);
  if (bytes.empty()) return bytes;
  auto done = m_relocatedByIndex.find(index);
  if (done == m_relocatedByIndex.end()) {
    std::vector<unsigned char> copy;
    RelocationAddends* reader = relocationsFor(index);
    const RelocationTable* table = reader ? fillRelocationTable(reader) : nullptr;
    if (table && !table->empty()) {
      copy.assign(bytes.data, bytes.data + bytes.size);
      ByteWriter writer(copy);
      for (const auto& entry : *table) reader->apply(writer, entry.second);  // places outside are skipped
    }
    done = m_relocatedByIndex.emplace(index, std::move(copy)).first;
  }
  if (done->second.empty()) return bytes;
  elf::Span s;
  s.data = done->second.data();
  s.size = done->second.size();
  return s;
}

}  // namespace ZOR_3_12
