// A file format loader and a debug-info loader made by hand, for suites that need a module
// without a file: segments, image base and format are set by the test, addresses behave as
// the library's own, and the two symbol-loading calls run a callback and count their calls.
#ifndef ZOR_TESTS_SUPPORT_FAKE_LOADER_H_
#define ZOR_TESTS_SUPPORT_FAKE_LOADER_H_

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <zor/loader.h>
#include <zor/source.h>
#include <zor/symbol.h>

namespace zor_fake {

using namespace ZOR_3_12;

class FakeSegment : public ISegment {
 public:
  FakeSegment(IFileFormatLoader* loader, std::wstring name, uint64_t rva, uint64_t size, uint32_t kind,
              uint64_t fileOffset, uint64_t fileSize);
  virtual ~FakeSegment() = default;
  const wchar_t* name() override { return m_name.c_str(); }
  uint64_t fileSize() override { return m_fileSize; }
  uint64_t size() override { return m_size; }
  uint64_t rva() override { return m_rva; }
  uint64_t fileOffset() override { return m_fileOffset; }
  uint32_t kind() override { return m_kind; }
  bool readData(uint64_t offset, uint64_t size, SymMgrObjectPtr<IBuffer>& out) override;
  bool readAllData(SymMgrObjectPtr<IBuffer>& out) override;

 private:
  IFileFormatLoader* m_loader;
  std::wstring m_name;
  uint64_t m_rva, m_size;
  uint32_t m_kind;
  uint64_t m_fileOffset, m_fileSize;
};

class FakeLoader : public SymMgrObject<IFileFormatLoader> {
 public:
  explicit FakeLoader(exec_format_t format = EXEC_FORMAT_ELF, uint64_t imageBase = 0);
  ~FakeLoader() override;

  // A segment at absolute address [start, start + size); rva is taken relative to imageBase.
  FakeSegment* addSegment(const std::wstring& name, uint64_t start, uint64_t size,
                          uint32_t kind = SEGMENT_KIND_CODE, uint64_t fileOffset = 0);
  void setImageBase(uint64_t base) { m_imageBase = base; }
  void setExecFormat(exec_format_t format) { m_format = format; }
  void setFileBytes(std::string bytes) { m_bytes = std::move(bytes); }

  // Runs for loadSymbols; STATUS_OK when unset.
  std::function<status_t(ISymbolTable*, uint32_t)> onLoadSymbols;
  int loadSymbolsCalls = 0;
  uint32_t lastKindMask = 0;

  status_t symbolFilesToResolve(SymMgrObjectPtr<SymbolFileIter>& out) override;
  status_t debugInfoLoader(SymMgrObjectPtr<IDebugInfoLoader>& out, int index) override;
  const wchar_t* fileName() override { return L"fake.bin"; }
  exec_format_t execFormat() override { return m_format; }
  uint32_t architecture() override { return ARCH_X86_64; }
  uint64_t imageBase() override { return m_imageBase; }
  uint64_t imageSize() override;
  status_t loadSymbols(ISymbolTable* table, uint32_t kindMask) override;
  ISegment* segmentByAddress(uint64_t va) override;
  ISegment* segmentByIndex(int n) override;
  ISegment* segmentByFileOffset(uint64_t offset) override;
  SymMgrObjectPtr<IBuffer> readBytes(uint64_t offset, uint64_t size) override;
  status_t address(SymMgrObjectPtr<IAddress>& out, uint64_t va) override;
  status_t addressByFileOffset(SymMgrObjectPtr<IAddress>& out, uint64_t offset) override;
  SymMgrObjectPtr<SegmentIter> segments() override;
  ISegment* segmentByName(const wchar_t* name) override;
  SymMgrObjectPtr<ISection> sectionByName(const wchar_t* name) override;

 private:
  exec_format_t m_format;
  uint64_t m_imageBase;
  std::string m_bytes;
  std::map<uint64_t, ISegment*> m_segments;  // by absolute start; owned
};

// A line resolver that knows nothing; enough for objects that only hold one.
class FakeLineResolver : public SymMgrObject<ISrcLineResolver> {
 public:
  FakeLineResolver() : SymMgrObject<ISrcLineResolver>(nullptr) {}
  status_t sourceLocationsByAddress(uint64_t, uint64_t, SymMgrObjectPtr<SourceLocationIter>&) override {
    return STATUS_FALSE;
  }
  status_t sourceLinesForFile(uint64_t, uint32_t, uint64_t, uint64_t, SymMgrObjectPtr<SourceLineIter>&) override {
    return STATUS_FALSE;
  }
  ISourceFile* sourceFile(uint32_t) override { return nullptr; }
  ICompUnitDetails* compUnitDetails(uint64_t) override { return nullptr; }
  SymMgrObjectPtr<ISourceLocation> sourceLocationByAddress(uint64_t, uint64_t) override { return nullptr; }
  SymMgrObjectPtr<ISourceLocation> inlineCallSite(uint64_t, uint64_t) override { return nullptr; }
};

class FakeDebugInfo : public SymMgrObject<IDebugInfoLoader> {
 public:
  // `resolver` is what srcLineResolver hands out (may be null).
  explicit FakeDebugInfo(ISrcLineResolver* resolver = nullptr);

  std::function<status_t(ISymbolTable*, uint32_t, ISrcLineResolver*)> onLoadDebugInfo;  // STATUS_OK when unset
  int loadDebugInfoCalls = 0;
  int srcLineResolverCalls = 0;
  uint32_t lastKindMask = 0;
  IScope* lastScope = nullptr;
  ILock* lastLock = nullptr;
  ISrcLineResolver* lastContext = nullptr;

  const wchar_t* symFileName() override { return L"fake.debug"; }
  uint32_t symFileFormat() override { return SYM_FORMAT_DWARF; }
  status_t loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* loadContext) override;
  ISrcLineResolver* srcLineResolver(IScope* scope, ILock* lock) override;

 private:
  SymMgrObjectPtr<ISrcLineResolver> m_resolver;
};

}  // namespace zor_fake

#endif  // ZOR_TESTS_SUPPORT_FAKE_LOADER_H_
