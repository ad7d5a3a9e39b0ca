// Stand-ins for the module around the structures the benchmarks measure: a loader that only
// makes addresses, and a line resolver that knows no files.
#ifndef ZOR_BENCH_BENCH_FAKES_H_
#define ZOR_BENCH_BENCH_FAKES_H_

#include <cstdint>

#include <zor/loader.h>
#include <zor/source.h>
#include <zor/types.h>

namespace zor_bench {

using namespace ZOR_3_12;

class PlainAddress : public SymMgrObject<IAddress> {
 public:
  explicit PlainAddress(uint64_t va) : SymMgrObject<IAddress>(nullptr), m_va(va) {}
  uint64_t rva() override { return m_va; }
  uint64_t va() override { return m_va; }
  ISegment* segment() override { return nullptr; }
  uint64_t segmentOffset() override { return 0; }
  uint64_t fileOffset() override { return 0; }
  bool equals(IAddress& o) override { return o.va() == m_va; }
  bool notEquals(IAddress& o) override { return o.va() != m_va; }
  bool greater(IAddress& o) override { return m_va > o.va(); }
  bool less(IAddress& o) override { return m_va < o.va(); }

 private:
  uint64_t m_va;
};

// Only address() does anything: that is all the line store and the symbol table ask of a
// loader.
class AddressOnlyLoader : public SymMgrObject<IFileFormatLoader> {
 public:
  AddressOnlyLoader() : SymMgrObject<IFileFormatLoader>(nullptr) {}
  status_t symbolFilesToResolve(SymMgrObjectPtr<SymbolFileIter>&) override { return STATUS_NOT_IMPLEMENTED; }
  status_t debugInfoLoader(SymMgrObjectPtr<IDebugInfoLoader>&, int) override { return STATUS_NOT_IMPLEMENTED; }
  const wchar_t* fileName() override { return L"fake"; }
  exec_format_t execFormat() override { return EXEC_FORMAT_ELF; }
  uint32_t architecture() override { return ARCH_X86_64; }
  uint64_t imageBase() override { return 0; }
  uint64_t imageSize() override { return 0; }
  status_t loadSymbols(ISymbolTable*, uint32_t) override { return STATUS_NOT_IMPLEMENTED; }
  ISegment* segmentByAddress(uint64_t) override { return nullptr; }
  ISegment* segmentByIndex(int) override { return nullptr; }
  ISegment* segmentByFileOffset(uint64_t) override { return nullptr; }
  SymMgrObjectPtr<IBuffer> readBytes(uint64_t, uint64_t) override { return {}; }
  status_t address(SymMgrObjectPtr<IAddress>& out, uint64_t va) override {
    out = new PlainAddress(va);
    return STATUS_OK;
  }
  status_t addressByFileOffset(SymMgrObjectPtr<IAddress>&, uint64_t) override { return STATUS_NOT_IMPLEMENTED; }
  SymMgrObjectPtr<SegmentIter> segments() override { return {}; }
  ISegment* segmentByName(const wchar_t*) override { return nullptr; }
  SymMgrObjectPtr<ISection> sectionByName(const wchar_t*) override { return {}; }
};

// Answers nothing: the line table asks its resolver only for files, which the benchmarks never
// read back.
class NoFilesResolver : public SymMgrObject<ISrcLineResolver> {
 public:
  NoFilesResolver() : SymMgrObject<ISrcLineResolver>(nullptr) {}
  status_t sourceLocationsByAddress(uint64_t, uint64_t, SymMgrObjectPtr<SourceLocationIter>&) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  status_t sourceLinesForFile(uint64_t, uint32_t, uint64_t, uint64_t, SymMgrObjectPtr<SourceLineIter>&) override {
    return STATUS_FALSE;
  }
  ISourceFile* sourceFile(uint32_t) override { return nullptr; }
  ICompUnitDetails* compUnitDetails(uint64_t) override { return nullptr; }
  SymMgrObjectPtr<ISourceLocation> sourceLocationByAddress(uint64_t, uint64_t) override { return {}; }
  SymMgrObjectPtr<ISourceLocation> inlineCallSite(uint64_t, uint64_t) override { return {}; }
};

}  // namespace zor_bench

#endif  // ZOR_BENCH_BENCH_FAKES_H_
