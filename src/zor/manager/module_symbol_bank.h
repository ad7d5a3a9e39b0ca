// One loaded module: the pair of its image loader and its optional symbol-file loader. Symbols
// are found through the module's global scope; properties come from the two loaders.
// Banks are made only by the symbol manager, which shares a live bank between callers.
#ifndef ZOR_MANAGER_MODULE_SYMBOL_BANK_H_
#define ZOR_MANAGER_MODULE_SYMBOL_BANK_H_

#include <mutex>
#include <string>

#include <zor/manager.h>

#include "zor/store/scope.h"

namespace ZOR_3_12 {

class ModuleSymbolBank : public SymMgrObject<IModuleSymbolBank> {
 public:
  // `lock` guards the count: the manager's load lock, so that the manager's cache can never
  // hand out a bank whose last release is under way.
  ModuleSymbolBank(IFileFormatLoader* ffl, IDebugInfoLoader* debugInfoLoader, ILock* lock);
  ~ModuleSymbolBank() override;

  const wchar_t* execFileName() override;
  const wchar_t* checkSum() override;
  const wchar_t* symFileName() override;
  exec_format_t execFileFormat() override;
  uint32_t symFileFormat() override;
  uint32_t architecture() override;
  uint64_t preferredLoadAddress() override;
  uint64_t imageSize() override;
  status_t compUnitDetailsById(uint64_t id, ICompUnitDetails*& details) override;
  status_t symbolRangeByAddress(IAddress* address, SymMgrObjectPtr<ISymbolRange>& range, uint32_t kindMask,
                                ISymbolSelector* selector) override;
  status_t originalSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& ranges, uint32_t kindMask, IAddress* from,
                                IAddress* to) override;
  status_t nonOverlappedSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& ranges, uint32_t kindMask, IAddress* from,
                                     IAddress* to, ISymbolSelector* selector) override;
  status_t sourceFileByName(const wchar_t* name, uint64_t compUnitKey, void* reserved, ISourceFile** file) override;
  status_t sourceLocationsByAddress(IAddress* address, SymMgrObjectPtr<ISourceLocation>& location,
                                    uint64_t compUnitKey, ISourceLocationSelector* selector) override;
  status_t sectionByName(const wchar_t* name, SymMgrObjectPtr<ISection>& section) override;
  status_t segments(SymMgrObjectPtr<SegmentIter>& segments) override;
  status_t segmentByName(const wchar_t* name, ISegment** segment) override;
  status_t addressByRva(uint64_t rva, SymMgrObjectPtr<IAddress>& address) override;
  status_t addressByVa(uint64_t va, SymMgrObjectPtr<IAddress>& address) override;
  status_t addressBySectionOffset(ISection* section, uint64_t offset, SymMgrObjectPtr<IAddress>& address) override;
  status_t addressByFileOffset(uint64_t offset, SymMgrObjectPtr<IAddress>& address) override;
  uint64_t sizeEstimate() override;

  // The module's line resolver (null without debug information); used by the extensions.
  ISrcLineResolver* lineResolver() const { return m_globalScope.lineResolver(); }

 private:
  SymMgrObjectPtr<ISymbolManager> m_symbolManager;  // keeps the manager alive
  SymMgrObjectPtr<IFileFormatLoader> m_ffl;         // never null
  SymMgrObjectPtr<IDebugInfoLoader> m_debugInfoLoader;
  std::wstring m_checkSum;  // filled once, by the first checkSum()
  std::once_flag m_checkSumOnce;  // concurrent first calls must not write the text together
  // The scope's lock is built before the scope and outlives it: the scope (and ranges it
  // hands out, while the bank lives) use it until the scope's own destructor has run.
  ZorLock m_scopeLock;
  GlobalScope m_globalScope;
};

}  // namespace ZOR_3_12

#endif  // ZOR_MANAGER_MODULE_SYMBOL_BANK_H_
