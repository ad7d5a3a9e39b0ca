// Executable-file loaders, symbol-file candidates and debug-info loaders.
#ifndef ZOR_LOADER_H_
#define ZOR_LOADER_H_

#include <cstdint>

#include <zor/export.h>
#include <zor/fwd.h>
#include <zor/image.h>
#include <zor/lock.h>
#include <zor/object.h>
#include <zor/status.h>
#include <zor/types.h>

namespace ZOR_3_12 {

// A possible symbol file of an image (a PDB, a separate DWARF file, the image itself).
// Not counted: owned by the image's loader.
class ISymbolFileToResolve {
 public:
  virtual const wchar_t* fileName() = 0;
  virtual const wchar_t* imageFileName() = 0;
  virtual uint32_t format() = 0;  // sym_format_t
  virtual uint32_t state() = 0;   // resolve_state_t; only RESOLVE_STATE_FOUND is usable
  // Offers a file chosen by the caller: its index in the loader's list when accepted, else -1.
  virtual int32_t tryFile(const wchar_t* path) = 0;
  virtual uint32_t resolvable() = 0;

 protected:
  ~ISymbolFileToResolve() = default;
};

using SymbolFileIter = IIterator<ISymbolFileToResolve*>;
using SegmentIter = IIterator<ISegment*>;

// Chooses one candidate symbol file. Not counted.
class ISymbolFileResolver {
 public:
  // The 0-based index of the chosen candidate in iteration order, or -1 for none.
  virtual int32_t resolveSymbolFile(SymMgrObjectPtr<SymbolFileIter>& candidates) = 0;
  virtual ~ISymbolFileResolver() = default;
};

// The object that stands for one executable image on disk.
class IFileFormatLoader : public ISymMgrObject {
 public:
  virtual status_t symbolFilesToResolve(SymMgrObjectPtr<SymbolFileIter>& out) = 0;
  virtual status_t debugInfoLoader(SymMgrObjectPtr<IDebugInfoLoader>& out, int index) = 0;
  virtual const wchar_t* fileName() = 0;
  virtual exec_format_t execFormat() = 0;
  virtual uint32_t architecture() = 0;
  virtual uint64_t imageBase() = 0;
  virtual uint64_t imageSize() = 0;
  virtual status_t loadSymbols(ISymbolTable* table, uint32_t kindMask) = 0;
  virtual ISegment* segmentByAddress(uint64_t va) = 0;
  virtual ISegment* segmentByIndex(int n) = 0;  // 1-based, ascending start
  virtual ISegment* segmentByFileOffset(uint64_t offset) = 0;
  virtual SymMgrObjectPtr<IBuffer> readBytes(uint64_t offset, uint64_t size) = 0;
  virtual status_t address(SymMgrObjectPtr<IAddress>& out, uint64_t va) = 0;
  virtual status_t addressByFileOffset(SymMgrObjectPtr<IAddress>& out, uint64_t offset) = 0;
  virtual SymMgrObjectPtr<SegmentIter> segments() = 0;
  virtual ISegment* segmentByName(const wchar_t* name) = 0;
  virtual SymMgrObjectPtr<ISection> sectionByName(const wchar_t* name) = 0;

  // PE, then ELF; null for anything else or an unreadable file.
  ZOR_API static SymMgrObjectPtr<IFileFormatLoader> create(const wchar_t* path);
};

// Reads one symbol file into a module's symbol table and offers its line resolver.
class IDebugInfoLoader : public ISymMgrObject {
 public:
  virtual const wchar_t* symFileName() = 0;
  virtual uint32_t symFileFormat() = 0;  // sym_format_t
  virtual status_t loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* loadContext) = 0;
  virtual ISrcLineResolver* srcLineResolver(IScope* scope, ILock* lock) = 0;
};

}  // namespace ZOR_3_12

#endif  // ZOR_LOADER_H_
