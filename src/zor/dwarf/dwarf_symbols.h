// The store objects made from DWARF entries: a function, label or variable becomes a
// DWARFScope holding its DWARFSymbol; an inlined call becomes a DWARFInlineInstanceScope
// holding its DWARFInlineInstance. Both scope kinds keep the place of their entry and read
// their body (nested blocks, labels, inlined calls) only when it is first asked for.
#ifndef ZOR_DWARF_DWARF_SYMBOLS_H_
#define ZOR_DWARF_DWARF_SYMBOLS_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include <zor/source.h>

#include "zor/dwarf/attr_bindings.h"
#include "zor/store/scope.h"
#include "zor/store/symbols.h"

namespace ZOR_3_12 {

class DWARFCompilationUnit;
class DWARFDebugInfoLoader;

// A declaration or call position (file number, line, column) of one entry. Its file number
// is turned into the line resolver's file index on first use, which may read the unit's
// line-program header.
class DwarfSourcePosition {
 public:
  // Null unless both the file and the line attribute are present (and the line non-zero);
  // `isCall` picks DW_AT_call_* instead of DW_AT_decl_*.
  static DwarfSourcePosition* read(dwarf::AttrBindings* entry, DWARFDebugInfoLoader* loader, bool isCall);

  uint64_t file() const { return m_file; }
  uint64_t line() const { return m_line; }
  uint64_t column() const { return m_column; }
  DWARFCompilationUnit* unit() const { return m_unit; }
  // The resolver's index of the file, -1 when the file table does not name it.
  int32_t fileIndex();
  // A new location of this position; null when the file is unknown.
  SymMgrObjectPtr<ISourceLocation> makeLocation();
  // The same position, not yet resolved to a file index.
  DwarfSourcePosition* copy() const { return new DwarfSourcePosition(m_file, m_line, m_column, m_unit, m_loader); }

 private:
  DwarfSourcePosition(uint64_t file, uint64_t line, uint64_t column, DWARFCompilationUnit* unit,
                      DWARFDebugInfoLoader* loader)
      : m_file(file), m_line(line), m_column(column), m_unit(unit), m_loader(loader) {}

  uint64_t m_file;
  uint64_t m_line;
  uint64_t m_column;
  int32_t m_fileIndex = -1;
  bool m_resolved = false;
  DWARFCompilationUnit* m_unit;
  DWARFDebugInfoLoader* m_loader;  // its line resolver is asked for lazily
};

// Compilation-unit ids: a symbol's compUnitId is its unit's .debug_info offset plus one, so
// that the unit at offset 0 is not mistaken for "no unit" by the symbol table's choice rule.
// The module's line resolver (see debug_info_loader.cpp) looks ids up by that rule, and also
// accepts the plain offset, which is the compilation-unit key of locations and lines.
inline uint32_t compUnitIdOf(uint64_t unitOffset) { return static_cast<uint32_t>(unitOffset + 1); }

class DWARFSymbol : public Symbol {
 public:
  // Takes ownership of `declaration` (may be null). `unit` may be null for symbols that
  // stand for no entry.
  DWARFSymbol(IFileFormatLoader* ffl, SymbolName name, uint64_t address, IScope* scope, symbol_kind_t kind,
              DWARFCompilationUnit* unit, DwarfSourcePosition* declaration);

  status_t sourceLocation(SymMgrObjectPtr<ISourceLocation>& out) override;
  status_t compUnitId(uint32_t& out) override;
  SymMgrObjectPtr<SourceLineIter> sourceLines() override;

  DWARFCompilationUnit* unit() const { return m_unit; }

 private:
  std::unique_ptr<DwarfSourcePosition> m_declaration;
  DWARFCompilationUnit* m_unit;
  SymMgrObjectPtr<ISourceLocation> m_sourceLocationCache;
  ZorLock m_cacheLock;
};

// A function, entry point, label or static variable. Its symbol belongs to `unit` when one
// is given (an entry of an imported partial unit belongs to the unit importing it), else to
// the entry's own unit.
class DWARFScope : public SymbolScope {
 public:
  DWARFScope(IFileFormatLoader* ffl, DWARFDebugInfoLoader* loader, DwarfSourcePosition* declaration,
             SymbolName name, uint64_t start, IScope* parent, symbol_kind_t kind, dwarf::AttrBindings* entry,
             uint64_t childrenOffset, DWARFCompilationUnit* unit = nullptr);

  uint32_t mergeFlags(IScope* other) override;
  void merge(IScope* other, uint32_t flags) override;
  // Reads the body for the kinds not read yet.
  status_t loadSymbols(uint32_t kindMask) override;

 private:
  // The name objects of this scope's symbol and of a newcomer's; both null unless both
  // symbols are the store's named symbols.
  struct NamePair {
    SymMgrObjectPtr<ISymbolNameDemangler> mine;
    SymMgrObjectPtr<ISymbolNameDemangler> theirs;
  };
  static NamePair nameObjects(ISymbol* s, ISymbol* o);
  // Whether the entry's linkage name is the newcomer's name and not this one's, told in
  // ASCII without demangling or widening either; `told` is false when it cannot tell (a
  // linkage name that is not ASCII, or symbols that are not the store's). Worked out once
  // per merge, on first need: the entry is read again for it.
  struct LinkageVerdict {
    bool asked = false;
    bool told = false;
    bool says = false;
  };
  bool linkageNames(const NamePair& names, LinkageVerdict& verdict);
  // mergeFlags' name comparisons for names that are not mangled; false when it cannot tell.
  bool plainNameFlags(const NamePair& names, bool isFunction, bool sameEnd, LinkageVerdict& linkage,
                      uint32_t& flags);
  // The entry's linkage name (its origin's when it has none), read from the entry anew.
  const char* linkageName() const;

  DWARFDebugInfoLoader* m_loader;
  uint64_t m_childrenOffset;
  dwarf::EntryPlace m_entry;
};

class DWARFInlineInstance;

// One inlined call of a function.
class DWARFInlineInstanceScope : public InlineInstanceScope {
 public:
  DWARFInlineInstanceScope(IFileFormatLoader* ffl, DWARFDebugInfoLoader* loader, ISymbolTable* globalTable,
                           DwarfSourcePosition* call, IScope* parent, dwarf::AttrBindings* entry,
                           uint64_t childrenOffset);

  status_t loadSymbols(uint32_t kindMask) override;

 private:
  uint64_t m_childrenOffset;
  dwarf::EntryPlace m_entry;
  DWARFDebugInfoLoader* m_loader;
};

class DWARFInlineInstance : public SymMgrObject<IInlineInstance> {
 public:
  DWARFInlineInstance(IFileFormatLoader* ffl, DWARFDebugInfoLoader* loader, ISymbolTable* globalTable,
                      dwarf::AttrBindings* entry, DwarfSourcePosition* call);
  ~DWARFInlineInstance() override;

  SymMgrObjectPtr<ISourceLocation> callSite() override;
  ISymbol* symbol() override;
  SymMgrObjectPtr<SymbolRangeIter> ranges() override;
  bool hasCallSite() override;
  SymMgrObjectPtr<SourceLineIter> sourceLines() override;

  void setScope(IScope* scope) { m_scope = scope; }

 private:
  // The module's symbol for the out-of-line copy of `origin`'s function; null when there
  // is none.
  ISymbol* outOfLineCopy(dwarf::AttrBindings* origin);

  IFileFormatLoader* m_ffl;
  DWARFDebugInfoLoader* m_loader;
  // Borrowed from the global table (which outlives every scope), or m_madeSymbol. Not
  // counted: the table's scopes may go before this instance when the table is torn down.
  // Set once under m_lock; read without it afterwards (every frame of every answer asks).
  std::atomic<ISymbol*> m_inlinedFunction{nullptr};
  SymMgrObjectPtr<ISymbol> m_madeSymbol;  // a symbol made for the instance alone
  bool m_resolving = false;                // inside symbol()'s lookup of the out-of-line copy
  ISymbolTable* m_globalTable;
  DWARFCompilationUnit* m_unit;  // the call's
  // The call's DW_AT_abstract_origin (else DW_AT_specification); name 0 when it has none.
  dwarf::AttrValue m_originRef{0, 0, 0, nullptr};
  std::unique_ptr<DwarfSourcePosition> m_call;
  SymMgrObjectPtr<ISourceLocation> m_callSiteCache;
  IScope* m_scope = nullptr;  // the instance's scope, which owns this instance
  ZorLock m_lock;
};

}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DWARF_SYMBOLS_H_
