// The entry point: the process-wide symbol manager and the per-module symbol bank.
#ifndef ZOR_MANAGER_H_
#define ZOR_MANAGER_H_

#include <cstdint>

#include <zor/export.h>
#include <zor/fwd.h>
#include <zor/image.h>
#include <zor/loader.h>
#include <zor/object.h>
#include <zor/source.h>
#include <zor/status.h>
#include <zor/symbol.h>

namespace ZOR_3_12 {

// A loaded module: the pair of its image loader and its optional symbol-file loader.
class IModuleSymbolBank : public ISymMgrObject {
 public:
  virtual const wchar_t* execFileName() = 0;
  virtual const wchar_t* checkSum() = 0;  // 16 lowercase hexadecimal digits
  virtual const wchar_t* symFileName() = 0;
  virtual exec_format_t execFileFormat() = 0;
  virtual uint32_t symFileFormat() = 0;
  virtual uint32_t architecture() = 0;
  virtual uint64_t preferredLoadAddress() = 0;
  virtual uint64_t imageSize() = 0;
  virtual status_t compUnitDetailsById(uint64_t id, ICompUnitDetails*& details) = 0;
  virtual status_t symbolRangeByAddress(IAddress* address, SymMgrObjectPtr<ISymbolRange>& range, uint32_t kindMask,
                                        ISymbolSelector* selector) = 0;
  virtual status_t originalSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& ranges, uint32_t kindMask, IAddress* from,
                                        IAddress* to) = 0;
  virtual status_t nonOverlappedSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& ranges, uint32_t kindMask,
                                             IAddress* from, IAddress* to, ISymbolSelector* selector) = 0;
  // Reserved; always STATUS_NOT_IMPLEMENTED.
  virtual status_t sourceFileByName(const wchar_t* name, uint64_t compUnitKey, void* reserved,
                                    ISourceFile** file) = 0;
  virtual status_t sourceLocationsByAddress(IAddress* address, SymMgrObjectPtr<ISourceLocation>& location,
                                            uint64_t compUnitKey, ISourceLocationSelector* selector) = 0;
  virtual status_t sectionByName(const wchar_t* name, SymMgrObjectPtr<ISection>& section) = 0;
  virtual status_t segments(SymMgrObjectPtr<SegmentIter>& segments) = 0;
  virtual status_t segmentByName(const wchar_t* name, ISegment** segment) = 0;
  virtual status_t addressByRva(uint64_t rva, SymMgrObjectPtr<IAddress>& address) = 0;
  virtual status_t addressByVa(uint64_t va, SymMgrObjectPtr<IAddress>& address) = 0;
  // The address of the byte `offset` bytes into `section`: image base plus the section's
  // address when that address is relative to the image (PE), or the section's address alone
  // when it is absolute (ELF); it must fall inside a segment of the image.
  virtual status_t addressBySectionOffset(ISection* section, uint64_t offset, SymMgrObjectPtr<IAddress>& address) = 0;
  virtual status_t addressByFileOffset(uint64_t offset, SymMgrObjectPtr<IAddress>& address) = 0;
  virtual uint64_t sizeEstimate() = 0;
};

// The one process-wide manager: turns module paths into banks and shares them while alive.
class ISymbolManager : public ISymMgrObject {
 public:
  // resolver may be null: the first usable candidate symbol file is taken.
  virtual status_t loadSymbolsFromModule(const wchar_t* path, ISymbolFileResolver* resolver,
                                         SymMgrObjectPtr<IModuleSymbolBank>& bank) = 0;

  ZOR_API static status_t create(SymMgrObjectPtr<ISymbolManager>& out);
};

}  // namespace ZOR_3_12

#endif  // ZOR_MANAGER_H_
