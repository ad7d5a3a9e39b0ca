#include "zor/elf/elf_file_loader.h"

#include <cstring>

#include "kave/unicode.h"
#include "zor/dwarf/debug_info_loader.h"
#include "zor/dwarf/dwarf_symbol_file_to_resolve.h"
#include "zor/elf/elf_symbols.h"
#include "zor/image/address.h"
#include "zor/image/section.h"
#include "zor/object/globals.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace {

constexpr unsigned kLineInvalidImage = 833;

// One segment per loadable program header: the first holds the code, the others data.
class LoadableProgramHeadersWalker : public ElfHelper::IProgramHeadersCallback {
 public:
  explicit LoadableProgramHeadersWalker(ElfFileLoader& loader) : m_loader(loader) {}
  void onProgramHeader(const elf::ProgramHeader& h, uint32_t index) override {
    const bool code = index == 0;
    m_loader.addSegment(h.p_vaddr, code ? L".text" : L".data", h.p_vaddr - m_loader.imageBase(), h.p_offset,
                        h.p_filesz, h.p_memsz, code ? SEGMENT_KIND_CODE : SEGMENT_KIND_DATA);
  }

 private:
  ElfFileLoader& m_loader;
};

// A relocatable object has no program headers: each allocated section is a segment.
class DriverSegmentsWalker : public ElfHelper::ISectionHeadersCallback {
 public:
  DriverSegmentsWalker(ElfFileLoader& loader, ElfHelper& helper) : m_loader(loader), m_helper(helper) {}
  void onSectionHeader(const elf::SectionHeader& h, uint32_t index) override {
    if (!(h.sh_flags & elf::kShfAlloc)) return;
    const char* name = m_helper.sectionName(index);
    uint32_t kind = SEGMENT_KIND_OTHER;
    if (name && std::strcmp(name, ".text") == 0) {
      kind = SEGMENT_KIND_CODE;
      textAddress = h.sh_addr;
      textSize = h.sh_size;
    } else if (name && std::strcmp(name, ".data") == 0) {
      kind = SEGMENT_KIND_DATA;
    }
    const bool added = m_loader.addSegment(h.sh_addr, KAVE_3_1::utf8ToWide(name), h.sh_addr - textAddress,
                                           h.sh_offset, h.sh_size, h.sh_size, kind);
    if (added && kind == SEGMENT_KIND_DATA) {
      dataAddress = h.sh_addr;
      dataSize = h.sh_size;
    }
  }

  uint64_t textAddress = 0;
  uint64_t textSize = 0;
  uint64_t dataAddress = 0;
  uint64_t dataSize = 0;

 private:
  ElfFileLoader& m_loader;
  ElfHelper& m_helper;
};

// An empty, scope-less record at each allocated section's end keeps size-0 symbols inside
// their section.
class SectionEndWalker : public ElfHelper::ISectionHeadersCallback {
 public:
  explicit SectionEndWalker(ISymbolTable* table) : m_table(table) {}
  void onSectionHeader(const elf::SectionHeader& h, uint32_t) override {
    if (!(h.sh_flags & elf::kShfAlloc)) return;
    const uint64_t end = h.sh_addr + h.sh_size;
    if (end < h.sh_addr) return;  // wraps: not a place in the image
    m_table->insert(end, end, nullptr);
  }

 private:
  ISymbolTable* m_table;
};

}  // namespace

ElfFileLoader::ElfFileLoader(const wchar_t* path, ILock* lock)
    : SymMgrObject<FileFormatLoader>(lock), m_path(path ? path : L"") {
  m_elfHelper = new ElfHelper(m_path.c_str());
  readFileInfo();
}

ElfFileLoader::ElfFileLoader(const wchar_t* path, ElfHelper* helper, ILock* lock)
    : SymMgrObject<FileFormatLoader>(lock), m_path(path ? path : L""), m_elfHelper(helper) {
  readFileInfo();
}

ElfFileLoader::~ElfFileLoader() {
  for (auto& entry : m_segmentMap) delete entry.second;
  m_segmentMap.clear();
  m_debugFile.reset();
  m_elfHelper.reset();
}

void ElfFileLoader::readFileInfo() {
  ZOR_TRACE("readFileInfo", "ElfFileLoader");
  if (m_fileInfoRead) return;
  if (m_segmentMap.empty()) {
    if (!m_elfHelper->valid()) return;
    LoadableProgramHeadersWalker walker(*this);
    m_elfHelper->walkProgramHeaders(walker);
  }
  if (m_segmentMap.empty()) {
    DriverSegmentsWalker walker(*this, *m_elfHelper);
    m_elfHelper->walkSectionHeaders(walker);
    m_elfHelper->replaceCodeWindow(walker.textAddress, walker.textSize);
    m_elfHelper->replaceDataWindow(walker.dataAddress, walker.dataSize);
  }
  m_fileInfoRead = true;
}

bool ElfFileLoader::addSegment(uint64_t start, const std::wstring& name, uint64_t rva, uint64_t fileOffset,
                               uint64_t fileSize, uint64_t memorySize, uint32_t kind) {
  // A segment that would wrap around the address space ends at the top.
  const uint64_t end = start + memorySize < start ? ~uint64_t(0) : start + memorySize;
  auto overlaps = [&](SegmentMap::iterator it) {
    const uint64_t s = it->first;
    const uint64_t size = it->second->size();
    return (s <= start && start - s < size) || (start <= s && s < end);
  };
  SegmentMap::iterator from = m_segmentMap.lower_bound(start);
  if ((from == m_segmentMap.end() || from->first > start) && from != m_segmentMap.begin()) --from;

  bool replace = false;
  for (auto it = from; it != m_segmentMap.end() && it->first <= end; ++it) {
    if (!overlaps(it)) continue;
    // Only a segment with a known kind may push out one without.
    if (kind == SEGMENT_KIND_OTHER || it->second->kind() != SEGMENT_KIND_OTHER) return false;
    replace = true;
  }
  if (replace) {
    for (auto it = from; it != m_segmentMap.end() && it->first <= end;) {
      if (overlaps(it)) {
        delete it->second;
        it = m_segmentMap.erase(it);
      } else {
        ++it;
      }
    }
  }
  Segment* segment = new Segment(this, name, rva, fileOffset, fileSize, memorySize, kind);
  Segment*& slot = m_segmentMap[start];
  delete slot;  // an empty segment at the same start gives way to the newcomer
  slot = segment;
  return true;
}

ISegment* ElfFileLoader::segmentByAddress(uint64_t va) { return m_segmentMap.byAddress(va); }

ISegment* ElfFileLoader::segmentByIndex(int n) { return m_segmentMap.byIndex(n); }

ISegment* ElfFileLoader::segmentByFileOffset(uint64_t offset) { return m_segmentMap.byFileOffset(offset); }

SymMgrObjectPtr<IBuffer> ElfFileLoader::readBytes(uint64_t offset, uint64_t size) {
  return internal::readFileBytes(m_path.c_str(), offset, size);
}

status_t ElfFileLoader::address(SymMgrObjectPtr<IAddress>& out, uint64_t va) {
  if (!segmentByAddress(va)) return STATUS_UNSPECIFIED_ERROR;
  out = new Address(this, va);
  return STATUS_OK;
}

status_t ElfFileLoader::addressByFileOffset(SymMgrObjectPtr<IAddress>& out, uint64_t offset) {
  ISegment* s = segmentByFileOffset(offset);
  if (!s) return STATUS_UNSPECIFIED_ERROR;
  out = new Address(this, imageBase() + s->rva() + (offset - s->fileOffset()));
  return STATUS_OK;
}

SymMgrObjectPtr<SegmentIter> ElfFileLoader::segments() { return m_segmentMap.segmentIterator(); }

ISegment* ElfFileLoader::segmentByName(const wchar_t* name) { return m_segmentMap.byName(name); }

SymMgrObjectPtr<ISection> ElfFileLoader::sectionByName(const wchar_t* name) {
  if (!name) return nullptr;
  const std::string utf8 = KAVE_3_1::wideToUtf8(name);
  const elf::SectionHeader* h = m_elfHelper->sectionHeaderByName(utf8.c_str());
  if (!h) return nullptr;
  return new Section(this, name, h->sh_addr, h->sh_offset, h->sh_size);
}

status_t ElfFileLoader::loadSymbols(ISymbolTable* table, uint32_t kindMask) {
  ElfHelper& helper = *m_elfHelper;
  if (!helper.valid()) {
    ZOR_ASSERT_TEXT("false", internal::kElfSource, kLineInvalidImage);
    return STATUS_UNSPECIFIED_ERROR;
  }
  const uint32_t mask = kindMask | SYMBOL_KIND_PUBLIC;  // untyped symbols are always wanted
  RegularSymbolCallBack regular(this, table);
  if (helper.section(kSecSymtab) && helper.section(kSecStrtab))
    scanSymbolTable(helper, helper.section(kSecSymtab), helper.section(kSecStrtab), mask, regular);
  if (helper.section(kSecDynsym) && helper.section(kSecDynstr)) {
    scanSymbolTable(helper, helper.section(kSecDynsym), helper.section(kSecDynstr), mask, regular);
    // PLT entries are named whatever the mask asks for.
    if (RelocationAddends* reader = pltRelocations(helper)) {
      if (RelocationTable* records = helper.fillRelocationTable(reader)) {
        const elf::SectionHeader* plt = helper.sectionHeader(helper.section(kSecPlt)->index());
        SymMgrObjectPtr<ISection> section =
            new Section(this, L".plt", plt->sh_addr, plt->sh_offset, plt->sh_size);
        PLTEntryCallBack callback(this, table, section->address());
        for (const auto& entry : *records) callback.onRecord(entry.second);
      }
    }
  }
  addSectionEnds(table);
  return STATUS_OK;
}

void ElfFileLoader::addSectionEnds(ISymbolTable* table) {
  SectionEndWalker walker(table);
  m_elfHelper->walkSectionHeaders(walker);
}

status_t ElfFileLoader::collectSymbolFilesToResolve(std::vector<ISymbolFileToResolve*>& list) {
  if (m_path.empty()) return STATUS_OK;
  readFileInfo();
  if (!m_debugFile)
    m_debugFile.reset(
        new DWARFSymbolFileToResolve(static_cast<int32_t>(list.size()), m_path.c_str(), m_elfHelper.get()));
  list.push_back(m_debugFile.get());
  return STATUS_OK;
}

IDebugInfoLoader* ElfFileLoader::createDebugInfoLoader(const wchar_t* symbolFilePath, int) {
  return internal::makeDwarfDebugInfoLoader(this, symbolFilePath, m_elfHelper.get(), &internal::elfDebugInfoLoaderLock());
}

namespace internal {

SymMgrObjectPtr<IFileFormatLoader> makeElfLoader(const wchar_t* path, ILock* lock) {
  return new ElfFileLoader(path, lock);
}

}  // namespace internal
}  // namespace ZOR_3_12
