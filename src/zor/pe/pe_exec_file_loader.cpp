#include "zor/pe/pe_exec_file_loader.h"

#include <cstring>

#include <zor/symbol.h>

#include "kave/unicode.h"
#include "zor/image/address.h"
#include "zor/image/section.h"
#include "zor/object/trace.h"
#include "zor/pe/pe_file_bytes.h"

namespace ZOR_3_12 {
namespace {

constexpr unsigned kLineDosHeader = 366;
constexpr unsigned kLineNtHeaders32 = 373;
constexpr unsigned kLineNtHeaders64 = 414;
constexpr unsigned kLineSectionTable = 461;
constexpr unsigned kLineExportDirectory = 505;

uint32_t architectureOf(uint16_t machine) {
  switch (machine) {
    case 0x14C: return ARCH_I386;
    case 0x200: return ARCH_IA64;
    case 0x8664: return ARCH_X86_64;
    case 0x1C0: return ARCH_ARM;
    case 0x1C2: return ARCH_THUMB;
    default: return ARCH_UNKNOWN;
  }
}

}  // namespace

namespace pe {

std::wstring sectionName(const SectionHeader& h) {
  size_t n = 0;
  while (n < sizeof(h.name) && h.name[n]) ++n;
  return KAVE_3_1::utf8ToWide(reinterpret_cast<const char*>(h.name), n);
}

}  // namespace pe

PEExecFileLoader::PEExecFileLoader(const wchar_t* path, ILock* lock)
    : SymMgrObject<FileFormatLoader>(lock), m_path(path ? path : L"") {}

PEExecFileLoader::~PEExecFileLoader() {
  for (auto& entry : m_segmentMap) delete entry.second;
  m_segmentMap.clear();
  m_pdbCandidate.reset();
}

void PEExecFileLoader::readFileInfo() {
  ZOR_TRACE("readFileInfo", "PEExecFileLoader");
  ScopedLock guard(&m_lock);
  if (m_fileInfoRead) return;
  // Set first: a damaged image is not read again.
  m_fileInfoRead = true;

  pe::FileBytes file(m_path);
  uint32_t pointerToSymbolTable = 0;
  if (!readHeaders(file, pointerToSymbolTable)) return;
  if (!readSectionTable(file)) return;
  pe::readDebugInfo(file, pointerToSymbolTable, m_info);
}

bool PEExecFileLoader::readHeaders(const pe::FileBytes& file, uint32_t& pointerToSymbolTable) {
  unsigned char dos[pe::kDosHeaderSize];
  if (!file.read(0, sizeof(dos), dos)) {
    ZOR_ASSERT_TEXT("false", internal::kPeSource, kLineDosHeader);
    return false;
  }
  const int32_t lfanew = static_cast<int32_t>(pe::le32(dos + pe::kLfanewOffset));
  unsigned char nt[pe::kNtHeaders64Size];
  if (lfanew < 0 || !file.read(uint64_t(lfanew), pe::kNtHeaders32Size, nt)) {
    ZOR_ASSERT_TEXT("false", internal::kPeSource, kLineNtHeaders32);
    return false;
  }
  const unsigned char* fh = nt + pe::kFileHeaderOffset;
  const unsigned char* oh = nt + pe::kOptionalHeaderOffset;
  const uint16_t sizeOfOptionalHeader = pe::le16(fh + 16);
  // Kept in 32 bits as the record has it; a table that does not fit fails to read later.
  m_info.sectionTableOffset = uint32_t(lfanew) + pe::kOptionalHeaderOffset + sizeOfOptionalHeader;
  m_info.sectionCount = pe::le16(fh + 2);
  pointerToSymbolTable = pe::le32(fh + 8);
  m_info.architecture = architectureOf(pe::le16(fh));

  const uint32_t kDataDirectories32 = 96;
  m_info.exportRva = pe::le32(oh + kDataDirectories32 + 8 * pe::kDirExport);
  if (pe::le16(oh) == pe::kMagicPe32Plus) {
    if (!file.read(uint64_t(lfanew), pe::kNtHeaders64Size, nt)) {
      ZOR_ASSERT_TEXT("false", internal::kPeSource, kLineNtHeaders64);
      return false;
    }
    const uint32_t kDataDirectories64 = 112;
    m_info.imageBase = pe::le64(oh + 24);
    m_info.imageSize = pe::le32(oh + 56);
    m_info.debugDirectory.virtualAddress = pe::le32(oh + kDataDirectories64 + 8 * pe::kDirDebug);
    m_info.debugDirectory.size = pe::le32(oh + kDataDirectories64 + 8 * pe::kDirDebug + 4);
    m_info.exportRva = pe::le32(oh + kDataDirectories64 + 8 * pe::kDirExport);
    m_info.globalPointerRva = pe::le32(oh + kDataDirectories64 + 8 * pe::kDirGlobalPtr);
    m_info.baseOfCode = pe::le32(oh + 20);
    m_info.entryPoint = pe::le32(oh + 16);
  } else {
    m_info.imageBase = pe::le32(oh + 28);
    m_info.imageSize = pe::le32(oh + 56);
    m_info.debugDirectory.virtualAddress = pe::le32(oh + kDataDirectories32 + 8 * pe::kDirDebug);
    m_info.debugDirectory.size = pe::le32(oh + kDataDirectories32 + 8 * pe::kDirDebug + 4);
    m_info.baseOfCode = pe::le32(oh + 20);
    m_info.entryPoint = pe::le32(oh + 16);
  }
  return true;
}

bool PEExecFileLoader::readSectionTable(const pe::FileBytes& file) {
  // Only the headers that lie in the file are read: a count beyond it is damage, recorded,
  // and the table keeps the headers that were there.
  const uint64_t offset = m_info.sectionTableOffset;
  const uint64_t room = offset < file.size() ? (file.size() - offset) / pe::kSectionHeaderSize : 0;
  const uint64_t count = m_info.sectionCount < room ? m_info.sectionCount : room;
  m_info.sectionHeaders.reserve(size_t(count));
  for (uint64_t i = 0; i < count; ++i)
    m_info.sectionHeaders.push_back(pe::SectionHeader::decode(file.at(offset + i * pe::kSectionHeaderSize,
                                                                      pe::kSectionHeaderSize)));
  if (count < m_info.sectionCount) {
    ZOR_ASSERT_TEXT("false", internal::kPeSource, kLineSectionTable);
    return false;
  }

  const uint32_t debugVa = m_info.debugDirectory.virtualAddress;
  uint64_t exportOffset = 0;
  for (const pe::SectionHeader& h : m_info.sectionHeaders) {
    const uint64_t start = h.virtualAddress;
    const uint64_t end = start + h.sizeOfRawData;
    if (debugVa != 0 && debugVa >= start && debugVa < end) {
      m_info.debugDirectoryOffset = debugVa - h.virtualAddress + h.pointerToRawData;
      m_info.debugDirectorySize = m_info.debugDirectory.size;
    }
    if (m_info.exportRva != 0 && m_info.exportRva >= start && m_info.exportRva < end) {
      m_info.exportDelta = h.virtualAddress - h.pointerToRawData;
      exportOffset = uint32_t(m_info.exportRva - m_info.exportDelta);
    }
    if (exportOffset != 0 && !m_info.exportDirectory) {
      unsigned char raw[pe::kExportDirectorySize];
      if (!file.read(exportOffset, sizeof(raw), raw)) {
        ZOR_ASSERT_TEXT("false", internal::kPeSource, kLineExportDirectory);
        return false;
      }
      m_info.exportDirectory.reset(new pe::ExportDirectory(pe::ExportDirectory::decode(raw)));
    }
  }
  return true;
}

void PEExecFileLoader::buildSegments() {
  if (m_segmentsBuilt.load(std::memory_order_acquire)) return;
  ScopedLock guard(&m_lock);
  if (m_segmentsBuilt.load(std::memory_order_relaxed)) return;
  // Before the headers are read there is nothing to build from; the map is built once they are.
  if (!m_fileInfoRead) return;
  for (const pe::SectionHeader& h : m_info.sectionHeaders) {
    const uint64_t start = m_info.imageBase + h.virtualAddress;
    if (m_segmentMap.count(start)) continue;  // the first section at a start keeps it
    const uint32_t kind = (h.characteristics & pe::kScnCntCode) ? SEGMENT_KIND_CODE : SEGMENT_KIND_DATA;
    m_segmentMap[start] =
        new Segment(this, pe::sectionName(h), h.virtualAddress, h.pointerToRawData, h.sizeOfRawData, h.virtualSize, kind);
  }
  m_segmentsBuilt.store(true, std::memory_order_release);
}

ISegment* PEExecFileLoader::segmentByAddress(uint64_t va) {
  buildSegments();
  if (!m_segmentsBuilt.load(std::memory_order_acquire)) return nullptr;
  return m_segmentMap.byAddress(va);
}

ISegment* PEExecFileLoader::segmentByIndex(int n) {
  buildSegments();
  if (!m_segmentsBuilt.load(std::memory_order_acquire)) return nullptr;
  return m_segmentMap.byIndex(n);
}

ISegment* PEExecFileLoader::segmentByFileOffset(uint64_t offset) {
  buildSegments();
  if (!m_segmentsBuilt.load(std::memory_order_acquire)) return nullptr;
  return m_segmentMap.byFileOffset(offset);
}

SymMgrObjectPtr<IBuffer> PEExecFileLoader::readBytes(uint64_t offset, uint64_t size) {
  return internal::readFileBytes(m_path.c_str(), offset, size);
}

status_t PEExecFileLoader::address(SymMgrObjectPtr<IAddress>& out, uint64_t va) {
  if (!segmentByAddress(va)) return STATUS_UNSPECIFIED_ERROR;
  out = new Address(this, va);
  return STATUS_OK;
}

status_t PEExecFileLoader::addressByFileOffset(SymMgrObjectPtr<IAddress>& out, uint64_t offset) {
  ISegment* s = segmentByFileOffset(offset);
  if (!s) return STATUS_UNSPECIFIED_ERROR;
  const uint64_t rel = offset - s->fileOffset();
  // File bytes past the section's size in memory (alignment padding) have no address.
  if (rel > s->size()) return STATUS_UNSPECIFIED_ERROR;
  out = new Address(this, imageBase() + s->rva() + rel);
  return STATUS_OK;
}

SymMgrObjectPtr<SegmentIter> PEExecFileLoader::segments() {
  buildSegments();
  return m_segmentMap.segmentIterator();
}

ISegment* PEExecFileLoader::segmentByName(const wchar_t* name) {
  buildSegments();
  if (!m_segmentsBuilt.load(std::memory_order_acquire)) return nullptr;
  return m_segmentMap.byName(name);
}

SymMgrObjectPtr<ISection> PEExecFileLoader::sectionByName(const wchar_t* name) {
  if (!name) return nullptr;
  for (const pe::SectionHeader& h : m_info.sectionHeaders) {
    const std::wstring n = pe::sectionName(h);
    if (n == name) return new Section(this, n, h.virtualAddress, h.pointerToRawData, h.sizeOfRawData);
  }
  return nullptr;
}

void PEExecFileLoader::addSectionEnds(ISymbolTable* table) {
  for (const pe::SectionHeader& h : m_info.sectionHeaders) {
    const uint64_t end = m_info.imageBase + h.virtualAddress + h.virtualSize;
    table->insert(end, end, nullptr);
  }
}

status_t PEExecFileLoader::collectSymbolFilesToResolve(std::vector<ISymbolFileToResolve*>& list) {
  readFileInfo();
  if (m_info.pdbPath.empty()) return STATUS_OK;
  if (!m_pdbCandidate) {
    const status_t status = internal::makePdbCandidate(this, m_path.c_str(), &m_info, m_pdbCandidate);
    if (failed(status) || !m_pdbCandidate) {
      m_pdbCandidate.reset();
      return failed(status) ? status : STATUS_NO_PDB_READER;
    }
  }
  list.push_back(m_pdbCandidate.get());
  return STATUS_OK;
}

IDebugInfoLoader* PEExecFileLoader::createDebugInfoLoader(const wchar_t* symbolFilePath, int) {
  return internal::makeDiaDebugInfoLoader(this, symbolFilePath, &m_info);
}

}  // namespace ZOR_3_12
