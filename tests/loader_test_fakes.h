// Small stand-ins for the format-specific parts of a loader, shared by the loader and image
// object suites: a loader with hand-made segments over a real file, candidates with a fixed
// state, and a debug-info loader that leaves its loader's cache when it dies.
#ifndef ZOR_TESTS_LOADER_TEST_FAKES_H_
#define ZOR_TESTS_LOADER_TEST_FAKES_H_

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <zor/symbol.h>

#include "kave/unicode.h"
#include "zor/image/address.h"
#include "zor/image/segment.h"
#include "zor/loader/file_format_loader.h"

namespace zor_test {

using namespace ZOR_3_12;

// A file in the temporary directory, removed again when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char name[] = "/tmp/zor_loader_testXXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    m_path = name;
    write(bytes);
  }
  ~TempFile() { std::remove(m_path.c_str()); }
  void write(const std::string& bytes) const {
    std::ofstream(m_path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
  }
  const std::string& path() const { return m_path; }
  std::wstring wpath() const { return KAVE_3_1::utf8ToWide(m_path); }

 private:
  std::string m_path;
};

class FakeCandidate : public ISymbolFileToResolve {
 public:
  FakeCandidate(std::wstring path, uint32_t state, uint32_t format = SYM_FORMAT_DWARF)
      : m_path(std::move(path)), m_state(state), m_format(format) {}
  const wchar_t* fileName() override { return m_path.c_str(); }
  const wchar_t* imageFileName() override { return L""; }
  uint32_t format() override { return m_format; }
  uint32_t state() override {
    ++stateCalls;
    return m_state;
  }
  int32_t tryFile(const wchar_t*) override { return -1; }
  uint32_t resolvable() override { return 1; }
  int stateCalls = 0;

 private:
  std::wstring m_path;
  uint32_t m_state;
  uint32_t m_format;
};

class FakeDebugInfoLoader : public SymMgrObject<IDebugInfoLoader> {
 public:
  FakeDebugInfoLoader(FileFormatLoader* owner, std::wstring path, int format)
      : SymMgrObject<IDebugInfoLoader>(nullptr), m_owner(owner), m_path(std::move(path)), m_format(format) {}
  ~FakeDebugInfoLoader() override { m_owner->removeDebugInfoLoader(this); }
  const wchar_t* symFileName() override { return m_path.c_str(); }
  uint32_t symFileFormat() override { return uint32_t(m_format); }
  status_t loadDebugInfo(ISymbolTable*, uint32_t, ISrcLineResolver*) override { return STATUS_OK; }
  ISrcLineResolver* srcLineResolver(IScope*, ILock*) override { return nullptr; }

 private:
  FileFormatLoader* m_owner;
  std::wstring m_path;
  int m_format;
};

// Segments are keyed by absolute start, as the real loaders key theirs.
class FakeLoader : public SymMgrObject<FileFormatLoader> {
 public:
  explicit FakeLoader(std::wstring path = L"", uint64_t imageBase = 0)
      : SymMgrObject<FileFormatLoader>(nullptr), m_path(std::move(path)), m_imageBase(imageBase) {}
  ~FakeLoader() override {
    for (auto& entry : m_segments) delete entry.second;
  }

  Segment* addSegment(const std::wstring& name, uint64_t rva, uint64_t fileOffset, uint64_t fileSize, uint64_t size) {
    Segment* s = new Segment(this, name, rva, fileOffset, fileSize, size, SEGMENT_KIND_CODE);
    m_segments[m_imageBase + rva] = s;
    return s;
  }

  // What collectSymbolFilesToResolve hands over, and what it answers.
  std::vector<ISymbolFileToResolve*> candidates;
  status_t collectStatus = STATUS_OK;
  bool makeNullDebugInfoLoaders = false;
  int collectCalls = 0;
  int createCalls = 0;
  int segmentLookups = 0;

  status_t collectSymbolFilesToResolve(std::vector<ISymbolFileToResolve*>& list) override {
    ++collectCalls;
    list = candidates;
    return collectStatus;
  }
  IDebugInfoLoader* createDebugInfoLoader(const wchar_t* path, int format) override {
    ++createCalls;
    if (makeNullDebugInfoLoaders) return nullptr;
    return new FakeDebugInfoLoader(this, path, format);
  }
  void addSectionEnds(ISymbolTable*) override {}

  const wchar_t* fileName() override { return m_path.c_str(); }
  exec_format_t execFormat() override { return EXEC_FORMAT_ELF; }
  uint32_t architecture() override { return ARCH_X86_64; }
  uint64_t imageBase() override { return m_imageBase; }
  uint64_t imageSize() override { return 0; }
  status_t loadSymbols(ISymbolTable*, uint32_t) override { return STATUS_OK; }
  ISegment* segmentByAddress(uint64_t va) override {
    ++segmentLookups;
    auto it = m_segments.upper_bound(va);
    if (it == m_segments.begin()) return nullptr;
    --it;
    return va - it->first <= it->second->size() ? it->second : nullptr;
  }
  ISegment* segmentByIndex(int) override { return nullptr; }
  ISegment* segmentByFileOffset(uint64_t) override { return nullptr; }
  SymMgrObjectPtr<IBuffer> readBytes(uint64_t offset, uint64_t size) override {
    return internal::readFileBytes(m_path.c_str(), offset, size);
  }
  status_t address(SymMgrObjectPtr<IAddress>& out, uint64_t va) override {
    if (segmentByAddress(va) == nullptr) return STATUS_UNSPECIFIED_ERROR;
    out = new Address(this, va);
    return STATUS_OK;
  }
  status_t addressByFileOffset(SymMgrObjectPtr<IAddress>&, uint64_t) override { return STATUS_UNSPECIFIED_ERROR; }
  SymMgrObjectPtr<SegmentIter> segments() override { return nullptr; }
  ISegment* segmentByName(const wchar_t*) override { return nullptr; }
  SymMgrObjectPtr<ISection> sectionByName(const wchar_t*) override { return nullptr; }

 private:
  std::wstring m_path;
  uint64_t m_imageBase;
  std::map<uint64_t, Segment*> m_segments;
};

}  // namespace zor_test

#endif  // ZOR_TESTS_LOADER_TEST_FAKES_H_
