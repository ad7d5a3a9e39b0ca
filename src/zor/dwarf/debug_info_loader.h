// The debug-info loader of ELF modules with DWARF: opens the file that holds the DWARF (the
// module or its separate debug file), works out the load bias between the two, reads the
// units, walks .debug_info into the module's symbol table on request (function bodies later,
// on demand) and hands out the module's one line resolver.
#ifndef ZOR_DWARF_DEBUG_INFO_LOADER_H_
#define ZOR_DWARF_DEBUG_INFO_LOADER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include <zor/loader.h>

#include "zor/dwarf/attr_bindings.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_context.h"
#include "zor/dwarf/dwarf_sections.h"
#include "zor/dwarf/line_resolver.h"
#include "zor/dwarf/range_lists.h"
#include "zor/dwarf/split_units.h"
#include "zor/dwarf/supplementary_file.h"
#include "zor/elf/elf_helper.h"
#include "zor/manager/debug_info_loader.h"
#include "zor/store/scope.h"

namespace ZOR_3_12 {

class DwarfSourcePosition;

// Request bits of a walk: the symbol kinds, plus the mark of the inside of an inlined call.
enum dwarf_walk_mask_t : uint32_t {
  WALK_FUNCTIONS = 0x01,
  WALK_LABELS = 0x02,
  WALK_VARIABLES = 0x04,
  WALK_ENTRY_POINTS = 0x10,
  WALK_INSIDE_INLINE = 0x20,
};

class DWARFDebugInfoLoader : public DebugInfoLoader, public dwarf::DwarfContext {
 public:
  // `imageElf` is the module's own structure reader; when `symFilePath` names another file,
  // that file gets a reader of its own.
  DWARFDebugInfoLoader(IFileFormatLoader* ffl, const wchar_t* symFilePath, ElfHelper* imageElf, ILock* lock);
  ~DWARFDebugInfoLoader() override;

  // IDebugInfoLoader
  const wchar_t* symFileName() override { return m_symFilePath.c_str(); }
  uint32_t symFileFormat() override { return SYM_FORMAT_DWARF; }
  status_t loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* loadContext) override;
  ISrcLineResolver* srcLineResolver(IScope* scope, ILock* lock) override;

  // DwarfContext
  const dwarf::DwarfSections& sections() const override { return m_sections; }
  DWARFCompilationUnit* unitContaining(uint64_t infoOffset) override;
  uint64_t loadBias() const override { return m_loadBias; }
  DWARFLineResolver* lineResolver() override { return m_lineResolver.get(); }
  const std::vector<DWARFCompilationUnit*>& units() override;
  DWARFCompilationUnit* unitInOrder(size_t index) override;
  bool inCodeOrDataRange(uint64_t address) override;
  bool codeOrDataRangeAround(uint64_t address, uint64_t& start, uint64_t& end) override;
  // Opened on first use, once, whichever thread asks (imported_units.cpp).
  dwarf::DwarfContext* supplementary() override;

  // The unit that starts exactly at `offset`, or null.
  DWARFCompilationUnit* unitAt(uint64_t offset);
  // The split unit of a skeleton unit (from its .dwo file or package, found on first use);
  // null for other units and where the split unit is missing or rejected.
  DWARFCompilationUnit* splitUnitOf(DWARFCompilationUnit* skeleton);
  ElfHelper* debugElf() const { return m_elf.get(); }
  ISymbolTable* globalTable() const { return m_globalTable; }
  // Whether [start, end] lies inside one allocated section of the module.
  bool isInModuleSection(uint64_t start, uint64_t end);

  // Reads the children of `entry` (beginning at `childrenOffset`) into `scope`'s own table
  // for the kinds of `kindMask` it has not loaded yet: the lazy body of a function or an
  // inlined call. Once per scope and kind, whichever thread asks first; a thread asking for
  // a body that another thread is reading waits for it. Bodies of different scopes are read
  // side by side; the walk over all units excludes them while it runs.
  status_t loadBody(Scope* scope, const dwarf::EntryPlace& entry, uint64_t childrenOffset, uint32_t kindMask);

  // Deepest nesting of entries walked; deeper subtrees are reported and skipped.
  static constexpr int kMaxDepth = 256;

 private:
  // What one walk keeps while it runs: each walk has its own, so that walks on several
  // threads do not meet. The walk running on a thread is its current one (walk()).
  struct Walk {
    // Scopes made from entries whose children are still being read.
    std::deque<Scope*> openScopes;
    // Partial units already walked into the unit being walked (by context and offset): a
    // unit imported twice is walked once, and an import cycle ends.
    std::set<std::pair<const dwarf::DwarfContext*, uint64_t>> importsWalked;
    // While the walk is inside imported partial units: the compile unit that imports them,
    // to which the symbols found there belong.
    DWARFCompilationUnit* importingUnit = nullptr;
    // The ranges of the entry being handled: bodies hold hundreds of thousands of blocks
    // and calls, and each would otherwise allocate its own list.
    dwarf::AddressRanges ranges;
  };
  // Makes a walk current on this thread for its lifetime; the previous one comes back after.
  class CurrentWalk {
   public:
    explicit CurrentWalk(Walk& walk) : m_previous(s_walk) { s_walk = &walk; }
    ~CurrentWalk() { s_walk = m_previous; }
    CurrentWalk(const CurrentWalk&) = delete;
    CurrentWalk& operator=(const CurrentWalk&) = delete;

   private:
    Walk* m_previous;
  };
  static Walk& walk() { return *s_walk; }
  static thread_local Walk* s_walk;

  struct ImageSection {
    uint64_t start;
    uint64_t end;  // inclusive bound of the test, as the section's start + size
  };

  void readSections();
  void readUnits();
  // Reads the unit header at the cursor (and the unit's abbreviations). False when there is
  // none left. Under m_unitsLock.
  bool readNextUnit();
  void readImageSections();

  // --- tree walk (tree_walker.cpp) ---
  // Decodes the next entry; false on a null entry or a failed decode.
  bool readEntry(dwarf::DwarfReader& reader, DWARFCompilationUnit* unit, ISymbolTable* parentSink, uint32_t mask,
                 bool process, int depth);
  void walkChildren(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink, uint32_t mask,
                    int depth);
  void skipChildren(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry);
  // Moves past the children of an entry already read (its DW_AT_sibling target, or 0).
  void skipSubtree(dwarf::DwarfReader& reader, DWARFCompilationUnit* unit, uint64_t sibling);
  // Walks a function's body only for function definitions nested in it.
  void scanNestedDefinitions(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink,
                             uint32_t mask, int depth);
  void dispatchEntry(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink, uint32_t mask,
                     int depth);
  // DW_TAG_imported_unit: the imported partial unit's entries are walked here, as if they
  // were children of the importing entry (imported_units.cpp).
  void importUnit(dwarf::AttrBindings* entry, ISymbolTable* parentSink, uint32_t mask, int depth);
  // Whether a partial unit can hold anything a walk makes scopes of (code or static data).
  bool importWorthWalking(DWARFCompilationUnit* unit);

  // --- entry handlers (tree_walker.cpp) ---
  // Answers whether the entry's children are walked with processing (a function's body is
  // not: it is read on demand).
  bool handleSubprogram(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink,
                        symbol_kind_t kind);
  // False when the entry names a range list that holds no range.
  bool handleInlinedSubroutine(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink);
  void handleLexicalBlock(dwarf::AttrBindings* entry);
  // An inlined call without addresses whose nested calls have them.
  void readAddresslessInline(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink,
                             uint32_t mask, int depth);
  static bool hasAddresses(dwarf::AttrBindings* entry);
  void handleLabel(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink);
  void handleVariable(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink);

 public:
  // Helpers shared with the scopes and inline instances.
  // The entry's name (origins followed): its linkage name for C++ definitions that refer to
  // a declaration, else DW_AT_name; null when it has none.
  static const char* entryName(dwarf::AttrBindings* entry);
  // The name of an inlined function as callers see it: the linkage name whenever a C++
  // entry has one (so that it reads like the out-of-line copies), else DW_AT_name.
  static const char* inlinedFunctionName(dwarf::AttrBindings* entry);
  // DW_AT_linkage_name (or its earlier vendor spelling), origins followed; null when absent.
  static const char* linkageName(dwarf::AttrBindings* entry);
  // A subprogram, inlined call or entry point without any address and not an abstract
  // instance: a declaration.
  static bool isSkippable(dwarf::AttrBindings* entry);
  // low_pc / high_pc of the entry (origins followed); false when neither exists.
  static bool entryBounds(dwarf::AttrBindings* entry, bool& haveLow, uint64_t& low, bool& haveHigh, uint64_t& high);
  bool typeByteSize(DWARFCompilationUnit* unit, uint64_t typeOffset, uint64_t& size);

  // What the inlined calls of one function have in common, worked out by the first of them
  // that is asked for its function and reused by the others (a function is inlined in
  // hundreds of places, and working it out reads a chain of entries and searches the table).
  struct InlinedOrigin {
    ISymbol* outOfLine = nullptr;  // the symbol of the function's out-of-line copy, if any
    // Otherwise what a symbol made for one call takes: the name (in the string data of the
    // file, which lives as long as the loader), the unit (null when the origin lies in the
    // supplementary file, whose units are another offset space) and the declaration, which
    // each symbol gets a copy of.
    const char* name = nullptr;
    DWARFCompilationUnit* unit = nullptr;
    std::shared_ptr<const DwarfSourcePosition> declaration;
  };
  // By the origin entry (its file's context and offset); false when not worked out yet.
  bool inlinedOrigin(const dwarf::DwarfContext* context, uint64_t offset, InlinedOrigin& out);
  void rememberInlinedOrigin(const dwarf::DwarfContext* context, uint64_t offset, const InlinedOrigin& origin);

 private:
  void createFunctionScope(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink,
                           const char* name, uint64_t start, uint64_t end, symbol_kind_t kind);
  void createFunctionScopeFromRanges(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry,
                                     ISymbolTable* parentSink, const char* name, const dwarf::AddressRanges& ranges,
                                     uint64_t start, symbol_kind_t kind);
  void createInlineScope(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink,
                         uint64_t start, uint64_t end);
  void createInlineScopeFromRanges(dwarf::DwarfReader& reader, dwarf::AttrBindings* entry, ISymbolTable* parentSink,
                                   const dwarf::AddressRanges& ranges);
  // Walks the children of an entry of `unit`, which start at `childrenOffset`, into
  // `scope`'s table on a walk of their own.
  void loadChildren(Scope* scope, DWARFCompilationUnit* unit, uint64_t childrenOffset, uint32_t mask);
  void pushOpenScope(Scope* scope) { walk().openScopes.push_back(scope); }
  // Destroys scopes left open above `size` (only after a walk was cut short).
  void dropOpenScopes(size_t size);

  // The units are read in order, one at a time under m_unitsLock, by whichever thread
  // needs the next one first: the walk and the line programs start on the first units
  // while the others are still being read. Once m_unitsRead, they never change again.
  std::map<uint64_t, SymMgrObjectPtr<DWARFCompilationUnit>> m_units;  // by offset
  std::vector<DWARFCompilationUnit*> m_unitList;                      // the same, in order
  std::atomic<bool> m_unitsRead{false};
  std::mutex m_unitsLock;
  uint64_t m_unitCursor = 0;  // where the next unit header starts
  SymMgrObjectPtr<ElfHelper> m_elf;       // the file holding the DWARF
  SymMgrObjectPtr<ElfHelper> m_imageElf;  // the module
  dwarf::DwarfSections m_sections;
  ISymbolTable* m_globalTable = nullptr;
  std::wstring m_symFilePath;
  std::unique_ptr<dwarf::SplitUnits> m_splitUnits;  // null without skeleton units
  SymMgrObjectPtr<DWARFLineResolver> m_lineResolver;
  uint64_t m_loadBias = 0;
  std::mutex m_typeSizesLock;
  std::map<uint64_t, uint64_t> m_typeSizes;  // guarded by m_typeSizesLock
  std::vector<ImageSection> m_imageSections;
  std::once_flag m_imageSectionsOnce;
  // Held by the walk over all units and by the creation of the line resolver.
  ZorLock m_walkLock;
  bool m_walkedOnce = false;  // guarded by m_walkLock
  // Body walks hold it shared, the walk over all units exclusively: the latter adds to and
  // merges scopes of the module's table, whose bodies the former read.
  std::shared_mutex m_bodyWalks;
  // The scopes whose bodies are being read, and the signal that one of them is done.
  std::mutex m_bodiesLock;
  std::condition_variable m_bodyDone;
  std::vector<const Scope*> m_bodiesLoading;
  std::once_flag m_supplementaryOnce;
  std::unique_ptr<dwarf::SupplementaryFile> m_supplementary;
  std::mutex m_originsLock;
  std::map<std::pair<const dwarf::DwarfContext*, uint64_t>, InlinedOrigin> m_origins;  // guarded by it
  std::mutex m_importWorthLock;
  std::map<std::pair<const dwarf::DwarfContext*, uint64_t>, bool> m_importWorth;  // guarded by m_importWorthLock
};

namespace internal {
// Used by the ELF file loader to make the debug-info loader of a module.
IDebugInfoLoader* makeDwarfDebugInfoLoader(IFileFormatLoader* ffl, const wchar_t* symbolFilePath, ElfHelper* imageElf,
                                           ILock* lock);
}  // namespace internal

}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DEBUG_INFO_LOADER_H_
