// A file format loader made by hand, for suites that need a module without a real image:
// segments, image base and candidate symbol files are set by the test; addresses, segments
// by address and reads are the library's own; the loading calls run a callback and count
// their calls. Also a debug-info loader and a candidate of the same kind.
#ifndef ZOR_TESTS_SUPPORT_FAKE_LOADER_H_
#define ZOR_TESTS_SUPPORT_FAKE_LOADER_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <zor/loader.h>
#include <zor/source.h>
#include <zor/symbol.h>

#include "zor/image/segment.h"
#include "zor/loader/file_format_loader.h"

namespace zor_fake {

using namespace ZOR_3_12;

class FakeCandidate final : public ISymbolFileToResolve {
 public:
  FakeCandidate(std::wstring path, uint32_t state, uint32_t format = SYM_FORMAT_DWARF)
      : m_path(std::move(path)), m_state(state), m_format(format) {}
  const wchar_t* fileName() override { return m_path.c_str(); }
  const wchar_t* imageFileName() override { return L""; }
  uint32_t format() override { return m_format; }
  uint32_t state() override { return ++stateCalls, m_state; }
  int32_t tryFile(const wchar_t*) override { return -1; }
  uint32_t resolvable() override { return 1; }
  int stateCalls = 0;

 private:
  std::wstring m_path;
  uint32_t m_state, m_format;
};

class FakeLoader : public SymMgrObject<FileFormatLoader> {
 public:
  // Reads come from the file at `path` (none: every read is empty).
  explicit FakeLoader(exec_format_t format = EXEC_FORMAT_ELF, uint64_t imageBase = 0, std::wstring path = L"");
  ~FakeLoader() override;

  // A segment at absolute address [start, start + size); fileSize defaults to size.
  Segment* addSegment(const std::wstring& name, uint64_t start, uint64_t size, uint32_t kind = SEGMENT_KIND_CODE,
                      uint64_t fileOffset = 0, uint64_t fileSize = ~0ull);

  // What collectSymbolFilesToResolve hands over, and what the factory makes.
  std::vector<ISymbolFileToResolve*> candidates;
  int collectCalls = 0, createCalls = 0;
  // Runs for loadSymbols; STATUS_OK when unset.
  std::function<status_t(ISymbolTable*, uint32_t)> onLoadSymbols;
  int loadSymbolsCalls = 0;

  status_t collectSymbolFilesToResolve(std::vector<ISymbolFileToResolve*>& list) override;
  IDebugInfoLoader* createDebugInfoLoader(const wchar_t* path, int format) override;
  void addSectionEnds(ISymbolTable*) override {}
  const wchar_t* fileName() override { return m_path.c_str(); }
  exec_format_t execFormat() override { return m_format; }
  uint32_t architecture() override { return ARCH_X86_64; }
  uint64_t imageBase() override { return m_imageBase; }
  // What no suite asks of a hand-made module answers nothing.
  uint64_t imageSize() override { return 0; }
  status_t loadSymbols(ISymbolTable* table, uint32_t kindMask) override;
  ISegment* segmentByAddress(uint64_t va) override;
  ISegment* segmentByIndex(int) override { return nullptr; }
  ISegment* segmentByFileOffset(uint64_t) override { return nullptr; }
  SymMgrObjectPtr<IBuffer> readBytes(uint64_t offset, uint64_t size) override;
  status_t address(SymMgrObjectPtr<IAddress>& out, uint64_t va) override;
  status_t addressByFileOffset(SymMgrObjectPtr<IAddress>&, uint64_t) override { return STATUS_NOT_IMPLEMENTED; }
  SymMgrObjectPtr<SegmentIter> segments() override { return nullptr; }
  ISegment* segmentByName(const wchar_t*) override { return nullptr; }
  SymMgrObjectPtr<ISection> sectionByName(const wchar_t*) override { return nullptr; }

 private:
  exec_format_t m_format;
  uint64_t m_imageBase;
  std::wstring m_path;
  std::map<uint64_t, ISegment*> m_segments;  // by absolute start; owned
};

// Leaves its owner's cache when it dies, as the real debug-info loaders do.
class FakeDebugInfo : public SymMgrObject<IDebugInfoLoader> {
 public:
  // `resolver` is what srcLineResolver hands out (may be null).
  explicit FakeDebugInfo(ISrcLineResolver* resolver = nullptr, FileFormatLoader* owner = nullptr,
                         std::wstring path = L"fake.debug", uint32_t format = SYM_FORMAT_DWARF);
  ~FakeDebugInfo() override;

  std::function<status_t(ISymbolTable*, uint32_t, ISrcLineResolver*)> onLoadDebugInfo;  // STATUS_OK when unset
  int loadDebugInfoCalls = 0;

  const wchar_t* symFileName() override { return m_path.c_str(); }
  uint32_t symFileFormat() override { return m_format; }
  status_t loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* loadContext) override;
  ISrcLineResolver* srcLineResolver(IScope* scope, ILock* lock) override;

 private:
  SymMgrObjectPtr<ISrcLineResolver> m_resolver;
  FileFormatLoader* m_owner;
  std::wstring m_path;
  uint32_t m_format;
};

}  // namespace zor_fake

#endif  // ZOR_TESTS_SUPPORT_FAKE_LOADER_H_
