#include "zor/dwarf/debug_info_loader.h"

#include <algorithm>
#include <cwchar>
#include <thread>
#include <vector>

#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/dwarf_symbols.h"
#include "zor/object/globals.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {

namespace {

constexpr unsigned kLineImageBase = 141;
constexpr uint64_t kShfAlloc = 0x2;

dwarf::Section toSection(const elf::Span& span) {
  dwarf::Section s;
  if (!span.empty()) {
    s.data = span.data;
    s.size = span.size;
  }
  return s;
}

// The module's resolver. Beside the plain unit keys (.debug_info offsets) it accepts the
// compilation-unit ids that DWARFSymbol::compUnitId hands out (offset + 1): a unit is at
// least a header long, so an id can never be mistaken for another unit's offset.
class ModuleLineResolver : public DWARFLineResolver {
 public:
  ModuleLineResolver(IFileFormatLoader* ffl, DWARFDebugInfoLoader* loader, IScope* scope, ILock* lock)
      : DWARFLineResolver(ffl, loader, scope, lock), m_loader(loader) {}

  ICompUnitDetails* compUnitDetails(uint64_t key) override {
    if (key == COMP_UNIT_ALL) return nullptr;
    m_loader->units();
    DWARFCompilationUnit* unit = m_loader->unitAt(key);
    if (!unit && key != 0) unit = m_loader->unitAt(key - 1);
    if (!unit) return nullptr;
    // A skeleton's details (producer, language, name) are those of its split unit.
    DWARFCompilationUnit* split = m_loader->splitUnitOf(unit);
    return split ? split : unit;
  }

 private:
  DWARFDebugInfoLoader* m_loader;
};

}  // namespace

DWARFDebugInfoLoader::DWARFDebugInfoLoader(IFileFormatLoader* ffl, const wchar_t* symFilePath, ElfHelper* imageElf,
                                           ILock* lock)
    : DebugInfoLoader(ffl, lock),
      m_elf(imageElf),
      m_imageElf(imageElf),
      m_symFilePath(symFilePath ? symFilePath : L"") {
  const wchar_t* imagePath = ffl ? ffl->fileName() : nullptr;
  if (!imagePath || std::wcscmp(imagePath, m_symFilePath.c_str()) != 0) m_elf = new ElfHelper(m_symFilePath.c_str());
  if (m_elf && m_imageElf && m_elf.get() != m_imageElf.get() &&
      m_elf->imageBase() != m_imageElf->imageBase()) {
    // A separate debug file describes the module at its own preferred base; a debug file
    // linked at 0 (a shared object's) is moved to the module's base.
    ZOR_ASSERT(!(m_elf->imageBase()), internal::kDwarfSource, kLineImageBase);
    m_loadBias = m_imageElf->imageBase();
  }
  readSections();
}

DWARFDebugInfoLoader::~DWARFDebugInfoLoader() {
  // The resolver's rows and files refer to the units; let it go first.
  m_lineResolver.reset();
  m_splitUnits.reset();  // split units refer to the skeletons
  m_units.clear();
  m_unitList.clear();
}

void DWARFDebugInfoLoader::readSections() {
  if (!m_elf || !m_elf->valid()) return;
  ElfHelper& e = *m_elf;
  // Compressed sections are decoded here, once; the line and range sections are decoded on
  // a second thread while this one decodes .debug_info and the rest.
  std::vector<uint32_t> aside;
  for (const char* name : {".debug_line", ".debug_ranges", ".debug_rnglists", ".debug_addr", ".debug_str_offsets"}) {
    int64_t index = e.sectionIndexByName(name);
    if (index >= 0 && e.sectionCompression(static_cast<uint32_t>(index)) != internal::SectionCompression::kNone)
      aside.push_back(static_cast<uint32_t>(index));
  }
  std::thread decoder;
  if (!aside.empty()) {
    decoder = std::thread([&e, &aside] {
      // A section that fails here (out of memory) is decoded again by its first reader.
      try {
        for (uint32_t index : aside) e.sectionBytes(index);
      } catch (...) {
      }
    });
  }
  struct Joiner {
    std::thread& thread;
    ~Joiner() {
      if (thread.joinable()) thread.join();
    }
  } joiner{decoder};
  m_sections.info = toSection(e.relocatedSection(kSecDebugInfo));
  if (SectionData* abbrev = e.section(kSecDebugAbbrev)) m_sections.abbrev = toSection(abbrev->span());
  if (SectionData* str = e.section(kSecDebugStr)) m_sections.str = toSection(str->span());
  m_sections.ranges = toSection(e.relocatedSection(kSecDebugRanges));
  m_sections.line = toSection(e.relocatedSection(kSecDebugLine));
  auto byName = [&e](const char* name) {
    int64_t index = e.sectionIndexByName(name);
    return index < 0 ? dwarf::Section() : toSection(e.relocatedSectionBytes(static_cast<uint32_t>(index)));
  };
  m_sections.addr = byName(".debug_addr");
  m_sections.strOffsets = byName(".debug_str_offsets");
  m_sections.rnglists = byName(".debug_rnglists");
  m_sections.lineStr = byName(".debug_line_str");
  m_sections.types = byName(".debug_types");
  const wchar_t* imagePath = m_ffl ? m_ffl->fileName() : nullptr;
  m_splitUnits.reset(new dwarf::SplitUnits(this, m_symFilePath, imagePath ? imagePath : L""));
}

void DWARFDebugInfoLoader::readUnits() {
  if (m_unitsRead.load(std::memory_order_acquire)) return;
  // A unit at a time, so that a thread that wants only the next one gets it in between.
  for (size_t i = 0; unitInOrder(i); ++i) {
  }
}

bool DWARFDebugInfoLoader::readNextUnit() {
  if (!m_sections.info.present()) return false;
  dwarf::DwarfReader reader(m_sections.info.data, m_sections.info.size, m_unitCursor);
  if (reader.remaining() == 0 || !reader.ok()) return false;
  UnitHeader header;
  if (!readUnitHeader(reader, header)) return false;
  if (reader.offset() <= m_unitCursor) return false;  // no progress: a damaged length
  m_unitCursor = reader.offset();
  SymMgrObjectPtr<DWARFCompilationUnit> unit(new DWARFCompilationUnit(header, this));
  if (m_units.emplace(header.offset, unit).second) m_unitList.push_back(unit.get());
  return true;
}

const std::vector<DWARFCompilationUnit*>& DWARFDebugInfoLoader::units() {
  // Read once; afterwards the list never changes, so the line side may read it freely.
  readUnits();
  return m_unitList;
}

DWARFCompilationUnit* DWARFDebugInfoLoader::unitInOrder(size_t index) {
  if (m_unitsRead.load(std::memory_order_acquire)) return index < m_unitList.size() ? m_unitList[index] : nullptr;
  std::lock_guard<std::mutex> guard(m_unitsLock);
  while (index >= m_unitList.size() && !m_unitsRead.load(std::memory_order_relaxed)) {
    if (!readNextUnit()) m_unitsRead.store(true, std::memory_order_release);
  }
  return index < m_unitList.size() ? m_unitList[index] : nullptr;
}

DWARFCompilationUnit* DWARFDebugInfoLoader::unitContaining(uint64_t infoOffset) {
  units();
  auto it = m_units.upper_bound(infoOffset);
  if (it == m_units.begin()) return nullptr;
  --it;
  return it->second->contains(infoOffset) ? it->second.get() : nullptr;
}

DWARFCompilationUnit* DWARFDebugInfoLoader::unitAt(uint64_t offset) {
  auto it = m_units.find(offset);
  return it == m_units.end() ? nullptr : it->second.get();
}

DWARFCompilationUnit* DWARFDebugInfoLoader::splitUnitOf(DWARFCompilationUnit* skeleton) {
  if (!m_splitUnits || !skeleton) return nullptr;
  const UnitHeader& h = skeleton->header();
  if (h.unitType != dwarf::DW_UT_skeleton && !(h.version < 5 && h.unitType == dwarf::DW_UT_compile)) return nullptr;
  return m_splitUnits->splitUnitOf(skeleton);
}

bool DWARFDebugInfoLoader::inCodeOrDataRange(uint64_t address) {
  // Addresses reaching this test carry the load bias: they are the module's addresses.
  return m_imageElf ? m_imageElf->inAnyRange(address) : false;
}

bool DWARFDebugInfoLoader::codeOrDataRangeAround(uint64_t address, uint64_t& start, uint64_t& end) {
  return m_imageElf ? m_imageElf->rangeAround(address, start, end) : false;
}

void DWARFDebugInfoLoader::readImageSections() {
  if (!m_imageElf || !m_imageElf->valid()) return;
  for (uint32_t i = 0; i < m_imageElf->sectionCount(); ++i) {
    const elf::SectionHeader* h = m_imageElf->sectionHeader(i);
    // Only sections that occupy memory: the others sit at address 0, where the leftovers of
    // discarded functions also point.
    if (!h || !(h->sh_flags & kShfAlloc) || h->sh_size == 0) continue;
    // ELF section addresses are absolute already; no image base is added.
    m_imageSections.push_back({h->sh_addr, h->sh_addr + h->sh_size});
  }
}

bool DWARFDebugInfoLoader::isInModuleSection(uint64_t start, uint64_t end) {
  std::call_once(m_imageSectionsOnce, [this] { readImageSections(); });
  for (const ImageSection& s : m_imageSections) {
    if (s.start <= start && start <= s.end) return end <= s.end;
  }
  return false;
}

status_t DWARFDebugInfoLoader::loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver*) {
  ZOR_TRACE("loadDebugInfo", "DWARFDebugInfoLoader");
  ScopedLock guard(&m_walkLock);
  std::unique_lock<std::shared_mutex> noBodyWalks(m_bodyWalks);
  Walk walk;
  CurrentWalk current(walk);
  m_globalTable = table;
  if (!m_sections.info.present()) return STATUS_NO_DEBUG_INFO;
  // A request for kinds the walk never makes (public symbols, data objects) would step over
  // every entry of the module and keep nothing. The first walk still runs whatever the
  // request: it reads each unit's own entry.
  constexpr uint32_t kWalkedKinds = WALK_FUNCTIONS | WALK_LABELS | WALK_VARIABLES | WALK_ENTRY_POINTS;
  if (m_walkedOnce && !(kindMask & kWalkedKinds)) return STATUS_OK;
  m_walkedOnce = true;
  // Unit by unit as they are read: the line programs may be reading them now.
  for (size_t i = 0; DWARFCompilationUnit* unit = unitInOrder(i); ++i) {
    uint8_t type = unit->header().unitType;
    // Type units and split units carry no code of this module; partial units are read only
    // where a unit imports them.
    if (type != dwarf::DW_UT_compile && type != dwarf::DW_UT_skeleton) continue;
    dwarf::DwarfReader reader = unit->entryReader();
    dropOpenScopes(0);
    readEntry(reader, unit, table, kindMask, true, 0);
    // A skeleton's entries are those of its split unit, walked as if they were its own.
    if (DWARFCompilationUnit* split = splitUnitOf(unit)) {
      dwarf::DwarfReader splitReader = split->entryReader();
      dropOpenScopes(0);
      readEntry(splitReader, split, table, kindMask, true, 0);
    }
  }
  dropOpenScopes(0);
  return STATUS_OK;
}

ISrcLineResolver* DWARFDebugInfoLoader::srcLineResolver(IScope* scope, ILock*) {
  ScopedLock guard(&m_walkLock);
  // The resolver's count is guarded by the process-wide lock of DWARF loaders, not by the
  // lock the global scope offers nor by one of ours: the scope and this loader hold the two
  // references, and either may go first when a bank dies, taking a member lock with it.
  if (!m_lineResolver)
    m_lineResolver = new ModuleLineResolver(m_ffl.get(), this, scope, &internal::elfDebugInfoLoaderLock());
  return m_lineResolver.get();
}

status_t DWARFDebugInfoLoader::loadBody(Scope* scope, const dwarf::EntryPlace& place, uint64_t childrenOffset,
                                        uint32_t kindMask) {
  uint32_t newKinds = 0;
  {
    std::unique_lock<std::mutex> lock(m_bodiesLock);
    m_bodyDone.wait(lock, [&] {
      return std::find(m_bodiesLoading.begin(), m_bodiesLoading.end(), scope) == m_bodiesLoading.end();
    });
    newKinds = kindMask & ~scope->loadedKinds();
    if (!newKinds) return STATUS_OK;
    m_bodiesLoading.push_back(scope);
  }
  // Whatever happens below, the scope leaves the list and the threads waiting for it wake.
  struct Done {
    DWARFDebugInfoLoader& loader;
    const Scope* scope;
    ~Done() {
      {
        std::lock_guard<std::mutex> lock(loader.m_bodiesLock);
        auto& loading = loader.m_bodiesLoading;
        loading.erase(std::find(loading.begin(), loading.end(), scope));
      }
      loader.m_bodyDone.notify_all();
    }
  } done{*this, scope};
  if (!place.hasChildren()) {
    scope->markLoaded(newKinds);
    return STATUS_OK;
  }
  if (!m_sections.info.present()) return STATUS_NO_DEBUG_INFO;
  {
    std::shared_lock<std::shared_mutex> bodyWalk(m_bodyWalks);
    loadChildren(scope, place.unit, childrenOffset, newKinds);
  }
  scope->markLoaded(newKinds);
  return STATUS_OK;
}

void DWARFDebugInfoLoader::loadChildren(Scope* scope, DWARFCompilationUnit* unit, uint64_t childrenOffset,
                                        uint32_t mask) {
  dwarf::DwarfReader reader = unit->readerAt(childrenOffset);
  // The body is walked on a walk of its own: scopes opened inside it close inside it. Its
  // entries are one level below the scope's, as walkChildren would read them.
  Walk walk;
  CurrentWalk current(walk);
  ISymbolTable* table = scope->symbolTable();
  while (readEntry(reader, unit, table, mask, true, 1)) {
  }
  dropOpenScopes(0);
}

void DWARFDebugInfoLoader::dropOpenScopes(size_t size) {
  std::deque<Scope*>& open = walk().openScopes;
  while (open.size() > size) {
    delete open.back();
    open.pop_back();
  }
}

bool DWARFDebugInfoLoader::inlinedOrigin(const dwarf::DwarfContext* context, uint64_t offset, InlinedOrigin& out) {
  std::lock_guard<std::mutex> guard(m_originsLock);
  auto it = m_origins.find(std::make_pair(context, offset));
  if (it == m_origins.end()) return false;
  out = it->second;
  return true;
}

void DWARFDebugInfoLoader::rememberInlinedOrigin(const dwarf::DwarfContext* context, uint64_t offset,
                                                 const InlinedOrigin& origin) {
  std::lock_guard<std::mutex> guard(m_originsLock);
  m_origins.emplace(std::make_pair(context, offset), origin);
}

thread_local DWARFDebugInfoLoader::Walk* DWARFDebugInfoLoader::s_walk = nullptr;

}  // namespace ZOR_3_12
