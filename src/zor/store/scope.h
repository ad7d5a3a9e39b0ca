// Scopes: nodes of a module's address tree. A scope holds its own address ranges and thunks
// and, created on first use, a symbol table indexing the scopes nested in it.
#ifndef ZOR_STORE_SCOPE_H_
#define ZOR_STORE_SCOPE_H_

#include <atomic>
#include <vector>

#include <zor/loader.h>
#include <zor/source.h>
#include <zor/symbol.h>

#include "zor/image/thunk.h"
#include "zor/store/range_list.h"
#include "zor/store/symbols.h"

namespace ZOR_3_12 {

// mergeFlags bits, as the symbol table acts on them (any other non-zero value merges
// without a change of ranges).
enum merge_flag_t : uint32_t {
  MERGE_TAKE_END = 2,       // the newcomer's extent replaces the existing range's end
  MERGE_COLLAPSE = 4,       // drop the existing scope's extra ranges, extend its first one
  MERGE_TAKE_NAME = 8,      // take the newcomer's symbol name
  MERGE_TAKE_LINKAGE = 16,  // take the newcomer's linkage
  MERGE_TAKE_KEY = 0x20,    // take the newcomer's compilation-unit key
  MERGE_TAKE_KIND = 0x40,   // take the newcomer's kind
};

class Scope : public SymMgrObject<IScope> {
 public:
  Scope(IFileFormatLoader* loader, IScope* parent, ILock* lock);
  ~Scope() override;

  IScope* parentScope() override { return m_parent; }
  ISymbol* symbol() override { return nullptr; }
  IInlineInstance* inlineInstance() override { return nullptr; }
  status_t originalSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& out, uint64_t from, uint64_t to,
                                uint32_t kindMask) override;
  status_t symbolRangeByAddress(SymMgrObjectPtr<ISymbolRange>& out, uint64_t address, uint32_t kindMask,
                                ISymbolSelector* selector) override;

  virtual bool rangeContaining(uint64_t& start, uint64_t& end, uint64_t address);
  virtual status_t nonOverlappedSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& out, uint64_t from, uint64_t to,
                                             uint32_t kindMask, ISymbolSelector* selector);
  virtual uint32_t mergeFlags(IScope* other);
  virtual void merge(IScope* other, uint32_t flags);
  virtual uint64_t compUnitKey() { return COMP_UNIT_ALL; }
  virtual status_t loadSymbols(uint32_t kindMask) = 0;
  virtual ISymbolTable* symbolTable();  // created on first use
  // In attachment order. A vector rather than a deque: most scopes have no thunk, and an
  // empty deque still allocates its first block.
  virtual std::vector<Thunk*>& thunks() { return m_thunkList; }
  virtual RangeList& rangeList() { return m_ranges; }

  // Used by the loaders and the symbol table.
  void addRange(uint64_t start, uint64_t end);
  bool removeRangeStartingAt(uint64_t start) { return m_ranges.removeStartingAt(start); }
  // Keeps the thunk unless one already covers its start; the scope then owns it and sets
  // itself as the thunk's owner. A declined thunk that belongs to no other scope (its owner
  // is this scope or none) is destroyed at once, so callers may hand over new thunks and
  // forget them; one still owned by another scope stays with that scope. True when kept.
  bool attachThunk(Thunk* thunk);
  Thunk* thunkContaining(uint64_t address) const;
  IFileFormatLoader* fileLoader() const { return m_loader; }
  uint64_t lowest() const { return m_lowest; }
  uint64_t highest() const { return m_highest; }
  // True when the scope was given its ranges as an explicit list (DWARF range lists).
  bool hasExplicitRanges() const { return m_explicitRanges; }
  void setExplicitRanges(bool v) { m_explicitRanges = v; }

  // The kinds whose symbols are in the table, and the record that more of them are: for
  // loaders, which must publish a kind only once its symbols are all there.
  uint32_t loadedKinds() const { return m_loadedKinds.load(std::memory_order_acquire); }
  void markLoaded(uint32_t kinds) { m_loadedKinds.fetch_or(kinds, std::memory_order_release); }

 protected:
  // True when the symbols of every kind in `kindMask` are loaded: queries then go on
  // without taking the loading lock that other threads may hold for other scopes.
  bool hasLoaded(uint32_t kindMask) const { return (kindMask & ~m_loadedKinds.load(std::memory_order_acquire)) == 0; }

  RangeList m_ranges;
  SymMgrObjectPtr<ISymbolTable> m_table;
  IScope* m_parent;
  // Kinds whose symbols are in the table; read without a lock by queries that find their
  // kinds loaded, written under the loading lock once the table holds them.
  std::atomic<uint32_t> m_loadedKinds{0};
  IFileFormatLoader* m_loader;
  uint64_t m_lowest = ~0ull;
  uint64_t m_highest = 0;
  std::vector<Thunk*> m_thunkList;
  bool m_explicitRanges = false;
};

// Extent helpers shared by the mergeFlags implementations.
inline Scope* asScope(IScope* s) { return static_cast<Scope*>(s); }

// The scope of one symbol; owns the symbol and destroys it with itself.
class SymbolScope : public Scope {
 public:
  // Adopts a symbol made by a debug-information loader.
  SymbolScope(IFileFormatLoader* loader, IScope* parent, ISymbol* symbol);
  // Creates a plain Symbol with no compilation unit.
  SymbolScope(IFileFormatLoader* loader, SymbolName name, uint64_t address, IScope* parent, int32_t linkage,
              symbol_kind_t kind);
  ~SymbolScope() override;

  ISymbol* symbol() override { return m_symbol; }
  uint64_t compUnitKey() override;
  status_t loadSymbols(uint32_t) override { return STATUS_FALSE; }

 protected:
  ISymbol* m_symbol;
};

// The scope of one inlined call.
class InlineInstanceScope : public Scope {
 public:
  InlineInstanceScope(IFileFormatLoader* loader, IScope* parent, IInlineInstance* instance);

  ISymbol* symbol() override;
  IInlineInstance* inlineInstance() override { return m_instance.get(); }
  status_t loadSymbols(uint32_t) override { return STATUS_FALSE; }

 protected:
  SymMgrObjectPtr<IInlineInstance> m_instance;
};

// The root of a module's tree; its table is filled lazily, a group of kinds at a time,
// first from the debug information, then from the image's own symbols.
class GlobalScope : public Scope {
 public:
  GlobalScope(IFileFormatLoader* fileLoader, IDebugInfoLoader* debugInfoLoader, ILock* lock);
  ~GlobalScope() override;

  status_t loadSymbols(uint32_t kindMask) override;
  ISrcLineResolver* lineResolver() const { return m_loadContext.get(); }

 private:
  IFileFormatLoader* m_fileLoader;
  IDebugInfoLoader* m_debugInfoLoader;
  SymMgrObjectPtr<ISrcLineResolver> m_loadContext;
  ZorLock m_loadLock;
};

}  // namespace ZOR_3_12

#endif  // ZOR_STORE_SCOPE_H_
