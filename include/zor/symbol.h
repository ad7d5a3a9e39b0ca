// Symbols, their ranges and the scopes that hold them.
#ifndef ZOR_SYMBOL_H_
#define ZOR_SYMBOL_H_

#include <cstdint>

#include <zor/fwd.h>
#include <zor/image.h>
#include <zor/object.h>
#include <zor/status.h>
#include <zor/types.h>

namespace ZOR_3_12 {

using SymbolRangeIter = IIterator<SymMgrObjectPtr<ISymbolRange>>;
using SymbolIter = IIterator<SymMgrObjectPtr<ISymbol>>;
using SourceLineIter = IIterator<SymMgrObjectPtr<ISourceLine>>;
using SourceLocationIter = IIterator<SymMgrObjectPtr<ISourceLocation>>;

// A named thing at an address: a function, a data object or a public label.
class ISymbol : public ISymMgrObject {
 public:
  virtual status_t sourceLocation(SymMgrObjectPtr<ISourceLocation>& out) = 0;
  virtual status_t compUnitId(uint32_t& out) = 0;
  virtual const wchar_t* name() = 0;
  virtual const wchar_t* demangledName(bool flag) = 0;
  virtual const wchar_t* shortName() = 0;
  virtual const wchar_t* alternateName() = 0;
  virtual symbol_kind_t kind() = 0;
  virtual SymMgrObjectPtr<IAddress> address() = 0;
  virtual SymMgrObjectPtr<SymbolRangeIter> ranges() = 0;
  virtual int32_t linkage() = 0;
  virtual SymMgrObjectPtr<SymbolRangeIter> thunkRanges() = 0;
  virtual SymMgrObjectPtr<SourceLineIter> sourceLines() = 0;
};

// One contiguous address range of one scope, made on demand for a query.
class ISymbolRange : public ISymMgrObject {
 public:
  virtual SymMgrObjectPtr<IAddress> startAddress() = 0;
  virtual SymMgrObjectPtr<IAddress> endAddress() = 0;
  virtual uint64_t size() = 0;
  virtual uint64_t extentToNext() = 0;
  virtual ISymbol* symbol() = 0;
  virtual IInlineInstance* inlineInstance() = 0;
  virtual IThunk* thunk() = 0;
  virtual SymMgrObjectPtr<ISymbolRange> parentRange() = 0;
  virtual bool isSymbolStart() = 0;
  virtual SymMgrObjectPtr<SymbolRangeIter> childRanges() = 0;
  virtual SymMgrObjectPtr<ISymbolRange> childRangeByAddress(IAddress* address) = 0;
};

// Chooses among several symbols that cover one address. Supplied by the caller.
class ISymbolSelector {
 public:
  virtual SymMgrObjectPtr<ISymbol> select(SymMgrObjectPtr<SymbolIter> candidates) = 0;

 protected:
  ~ISymbolSelector() = default;
};

// A node of the module's address tree: the global scope, a symbol's scope or an inlined call.
class IScope : public ISymMgrObject {
 public:
  virtual IScope* parentScope() = 0;
  virtual ISymbol* symbol() = 0;
  virtual IInlineInstance* inlineInstance() = 0;
  virtual status_t originalSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& out, uint64_t from, uint64_t to,
                                        uint32_t kindMask) = 0;
  virtual status_t symbolRangeByAddress(SymMgrObjectPtr<ISymbolRange>& out, uint64_t address, uint32_t kindMask,
                                        ISymbolSelector* selector) = 0;
};

// An inlined call: the inlined function, where it was called from, and its ranges.
class IInlineInstance : public ISymMgrObject {
 public:
  virtual SymMgrObjectPtr<ISourceLocation> callSite() = 0;
  virtual ISymbol* symbol() = 0;
  virtual SymMgrObjectPtr<SymbolRangeIter> ranges() = 0;
  virtual bool hasCallSite() = 0;
  virtual SymMgrObjectPtr<SourceLineIter> sourceLines() = 0;
};

// The address index of one scope. A scope handed to insert/insertScope is consumed: the
// table keeps it, or destroys it at once when it was merged into a scope already there.
class ISymbolTable : public ISymMgrObject {
 public:
  virtual void insert(uint64_t start, uint64_t end, IScope* scope) = 0;
  virtual void insertScope(IScope* scope) = 0;
  virtual SymMgrObjectPtr<ISymbolRange> symbolRangeByAddress(uint64_t address, uint32_t kindMask,
                                                             ISymbolSelector* selector) = 0;
  virtual SymMgrObjectPtr<SymbolRangeIter> originalSymbolRanges(uint64_t from, uint64_t to,
                                                                    uint32_t kindMask) = 0;
  virtual SymMgrObjectPtr<SymbolRangeIter> nonOverlappedSymbolRanges(uint64_t from, uint64_t to,
                                                                         uint32_t kindMask,
                                                                         ISymbolSelector* selector) = 0;
  virtual IScope* ownerScope() = 0;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SYMBOL_H_
