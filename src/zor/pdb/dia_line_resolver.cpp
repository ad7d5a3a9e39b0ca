#include "zor/pdb/dia_line_resolver.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "zor/pdb/dia_comp_unit_details.h"
#include "zor/source/source_file.h"
#include "zor/source/source_line.h"
#include "zor/source/source_location.h"

namespace ZOR_3_12 {

using internal::Bstr;
using internal::ComPtr;

namespace {

constexpr uint32_t kChunkedFileIds = 0x10000;

// The next line of an enumeration, or null.
ComPtr<dia::IDiaLineNumber> nextLine(dia::IDiaEnumLineNumbers* lines) {
  ComPtr<dia::IDiaLineNumber> line;
  dia::ULONG fetched = 0;
  dia::IDiaLineNumber* raw = nullptr;
  if (lines && lines->Next(1, &raw, &fetched) == dia::S_OK && fetched == 1 && raw)
    *line.out() = raw;
  else if (raw)
    raw->Release();
  return line;
}

bool compilandMatches(dia::IDiaLineNumber* line, uint64_t filter) {
  if (filter == COMP_UNIT_ALL) return true;
  dia::DWORD id = 0;
  return line->get_compilandId(&id) == dia::S_OK && id == filter;
}

SymMgrObjectPtr<ISourceLocation> locationOf(ISrcLineResolver* resolver, dia::IDiaLineNumber* line, uint64_t key) {
  dia::DWORD number = 0, column = 0, file = 0;
  line->get_lineNumber(&number);
  line->get_columnNumber(&column);
  line->get_sourceFileId(&file);
  return SymMgrObjectPtr<ISourceLocation>(new SourceLocation(resolver, key, file, number, column));
}

// Source locations of the lines at one address, of one compiland or of all.
class DiaSourceLocationIterator : public SymMgrObject<SourceLocationIter> {
 public:
  DiaSourceLocationIterator(DiaLineResolver* resolver, uint64_t filter, dia::IDiaEnumLineNumbers* lines)
      : SymMgrObject<SourceLocationIter>(nullptr), m_resolver(resolver), m_filter(filter), m_lines(lines) {
    reset();
  }

  SymMgrObjectPtr<ISourceLocation> current() override {
    if (!m_current) return nullptr;
    return locationOf(m_resolver.get(), m_current.get(), m_filter);
  }
  bool next() override {
    for (m_current = nextLine(m_lines.get()); m_current; m_current = nextLine(m_lines.get()))
      if (compilandMatches(m_current.get(), m_filter)) return true;
    return false;
  }
  void reset() override {
    m_current.reset();
    if (m_lines) m_lines->Reset();
    next();
  }

 private:
  SymMgrObjectPtr<DiaLineResolver> m_resolver;
  uint64_t m_filter;
  ComPtr<dia::IDiaEnumLineNumbers> m_lines;
  ComPtr<dia::IDiaLineNumber> m_current;
};

// Lines of one compiland and source file that overlap an address window.
class DiaSourceLineIteratorForCU : public SymMgrObject<SourceLineIter> {
 public:
  DiaSourceLineIteratorForCU(IFileFormatLoader* ffl, DiaLineResolver* resolver, uint32_t compiland,
                             dia::IDiaEnumLineNumbers* lines, uint64_t from, uint64_t to)
      : SymMgrObject<SourceLineIter>(nullptr),
        m_ffl(ffl),
        m_resolver(resolver),
        m_compiland(compiland),
        m_lines(lines),
        m_from(from),
        m_to(to) {
    reset();
  }

  SymMgrObjectPtr<ISourceLine> current() override {
    if (!m_current) return nullptr;
    dia::DWORD number = 0, column = 0, file = 0, length = 0;
    dia::ULONGLONG va = 0;
    m_current->get_lineNumber(&number);
    m_current->get_columnNumber(&column);
    m_current->get_sourceFileId(&file);
    m_current->get_virtualAddress(&va);
    m_current->get_length(&length);
    const uint64_t start = m_ffl->imageBase() + va;
    return SymMgrObjectPtr<ISourceLine>(
        new SourceLine(m_ffl, m_resolver.get(), m_compiland, file, number, column, start, start + length));
  }
  bool next() override {
    for (m_current = nextLine(m_lines.get()); m_current; m_current = nextLine(m_lines.get()))
      if (passes(m_current.get())) return true;
    return false;
  }
  void reset() override {
    m_current.reset();
    if (m_lines) m_lines->Reset();
    next();
  }

 private:
  bool passes(dia::IDiaLineNumber* line) {
    dia::DWORD rva = 0, length = 0;
    if (line->get_relativeVirtualAddress(&rva) != dia::S_OK) return false;
    const uint64_t start = m_ffl->imageBase() + rva;
    SymMgrObjectPtr<IAddress> address;
    if (m_ffl->address(address, start) != STATUS_OK) return false;
    // A line of unknown length still occupies its first byte.
    if (line->get_length(&length) != dia::S_OK || length == 0) length = 1;
    return start < m_to && start + length > m_from;
  }

  IFileFormatLoader* m_ffl;
  SymMgrObjectPtr<DiaLineResolver> m_resolver;
  uint32_t m_compiland;
  ComPtr<dia::IDiaEnumLineNumbers> m_lines;
  ComPtr<dia::IDiaLineNumber> m_current;
  uint64_t m_from;
  uint64_t m_to;
};

// Lines of one source file in every compiland that has some, compiland after compiland.
class DiaSourceLineIterator : public SymMgrObject<SourceLineIter> {
 public:
  DiaSourceLineIterator(IFileFormatLoader* ffl, DiaLineResolver* resolver, dia::IDiaEnumSymbols* compilands,
                        dia::IDiaSourceFile* file, uint64_t from, uint64_t to)
      : SymMgrObject<SourceLineIter>(nullptr),
        m_ffl(ffl),
        m_resolver(resolver),
        m_compilands(compilands),
        m_file(file),
        m_from(from),
        m_to(to) {
    reset();
  }

  SymMgrObjectPtr<ISourceLine> current() override { return m_perCompiland ? m_perCompiland->current() : nullptr; }
  bool next() override {
    if (m_perCompiland && m_perCompiland->next()) return true;
    m_perCompiland.reset();
    for (;;) {
      ComPtr<dia::IDiaSymbol> compiland;
      dia::ULONG fetched = 0;
      dia::IDiaSymbol* raw = nullptr;
      if (!m_compilands || m_compilands->Next(1, &raw, &fetched) != dia::S_OK || fetched != 1 || !raw) {
        if (raw) raw->Release();
        return false;
      }
      *compiland.out() = raw;
      ComPtr<dia::IDiaEnumLineNumbers> lines;
      if (m_resolver->session()->findLines(compiland.get(), m_file.get(), lines.out()) != dia::S_OK || !lines)
        continue;
      dia::DWORD id = 0;
      compiland->get_symIndexId(&id);
      SymMgrObjectPtr<DiaSourceLineIteratorForCU> perCompiland(
          new DiaSourceLineIteratorForCU(m_ffl, m_resolver.get(), id, lines.get(), m_from, m_to));
      if (perCompiland->current()) {
        m_perCompiland = perCompiland;
        return true;
      }
    }
  }
  void reset() override {
    m_perCompiland.reset();
    if (m_compilands) m_compilands->Reset();
    next();
  }

 private:
  IFileFormatLoader* m_ffl;
  SymMgrObjectPtr<DiaLineResolver> m_resolver;
  ComPtr<dia::IDiaEnumSymbols> m_compilands;
  ComPtr<dia::IDiaSourceFile> m_file;
  SymMgrObjectPtr<DiaSourceLineIteratorForCU> m_perCompiland;
  uint64_t m_from;
  uint64_t m_to;
};

}  // namespace

// --- DiaLineResolver ------------------------------------------------------------------

DiaLineResolver::DiaLineResolver(IFileFormatLoader* fileFormatLoader, dia::IDiaSession* session, ILock* lock)
    : SymMgrObject<ISrcLineResolver>(lock), m_session(session), m_fileFormatLoader(fileFormatLoader) {
  ComPtr<dia::IDiaSymbol> global;
  ComPtr<dia::IDiaEnumSymbols> compilands;
  dia::LONG count = 0;
  if (m_session && m_session->get_globalScope(global.out()) == dia::S_OK && global &&
      m_session->findChildren(global.get(), dia::SymTagCompiland, nullptr, 0, compilands.out()) == dia::S_OK &&
      compilands && compilands->get_Count(&count) == dia::S_OK && count > 0)
    m_compilandCount = static_cast<size_t>(count);
}

DiaLineResolver::~DiaLineResolver() {
  for (size_t i = 0; i < m_sourceFileCache.size(); ++i) delete m_sourceFileCache.at(i)->file;
  for (auto& entry : m_largeIdFiles) delete entry.second;
  for (auto& entry : m_compUnitCache) delete entry.second;
}

DiaLineResolver::index_to_src_file_item_t* DiaLineResolver::FileCache::allocateChunk(size_t count) {
  return static_cast<index_to_src_file_item_t*>(std::calloc(count, sizeof(index_to_src_file_item_t)));
}

void DiaLineResolver::FileCache::freeChunk(index_to_src_file_item_t* chunk) { std::free(chunk); }

bool DiaLineResolver::linesAt(uint64_t address, ComPtr<dia::IDiaEnumLineNumbers>& out) {
  const uint64_t base = m_fileFormatLoader->imageBase();
  if (!m_session || address < base || address - base > 0xFFFFFFFFull) return false;
  return m_session->findLinesByRVA(static_cast<dia::DWORD>(address - base), 1, out.out()) == dia::S_OK && out;
}

status_t DiaLineResolver::sourceLocationsByAddress(uint64_t address, uint64_t compUnitKey,
                                                   SymMgrObjectPtr<SourceLocationIter>& out) {
  ComPtr<dia::IDiaEnumLineNumbers> lines;
  if (!linesAt(address, lines)) return STATUS_FALSE;
  out = new DiaSourceLocationIterator(this, compUnitKey, lines.get());
  return STATUS_OK;
}

status_t DiaLineResolver::sourceLinesForFile(uint64_t compUnitKey, uint32_t fileIndex, uint64_t from, uint64_t to,
                                             SymMgrObjectPtr<SourceLineIter>& out) {
  if (!m_session) return STATUS_FALSE;
  ComPtr<dia::IDiaSymbol> compiland;
  if (compUnitKey > 0xFFFFFFFFull ||
      m_session->symbolById(static_cast<dia::DWORD>(compUnitKey), compiland.out()) != dia::S_OK)
    compiland.reset();
  ComPtr<dia::IDiaSourceFile> file;
  if (m_session->findFileById(fileIndex, file.out()) != dia::S_OK || !file) return STATUS_FALSE;
  if (compiland) {
    ComPtr<dia::IDiaEnumLineNumbers> lines;
    if (m_session->findLines(compiland.get(), file.get(), lines.out()) != dia::S_OK || !lines) return STATUS_FALSE;
    out = new DiaSourceLineIteratorForCU(m_fileFormatLoader, this, static_cast<uint32_t>(compUnitKey), lines.get(),
                                         from, to);
    return STATUS_OK;
  }
  ComPtr<dia::IDiaEnumSymbols> compilands;
  if (file->get_compilands(compilands.out()) != dia::S_OK || !compilands) return STATUS_FALSE;
  out = new DiaSourceLineIterator(m_fileFormatLoader, this, compilands.get(), file.get(), from, to);
  return STATUS_OK;
}

ISourceFile* DiaLineResolver::sourceFile(uint32_t fileIndex) {
  ScopedLock guard(&m_sourceFileLock);
  // Ids are small and dense in practice; an id far out (a caller's guess) must not size
  // the array, so those live in a map.
  const bool chunked = fileIndex < kChunkedFileIds;
  index_to_src_file_item_t* slot = chunked ? m_sourceFileCache.at(fileIndex) : nullptr;
  if (slot && slot->file) return slot->file;
  if (!chunked) {
    auto found = m_largeIdFiles.find(fileIndex);
    if (found != m_largeIdFiles.end()) return found->second;
  }
  ComPtr<dia::IDiaSourceFile> file;
  if (!m_session || m_session->findFileById(fileIndex, file.out()) != dia::S_OK || !file) return nullptr;
  std::string checksumText;
  dia::DWORD checksumType = 0;
  if (file->get_checksumType(&checksumType) != dia::S_OK) checksumType = 0;
  if (checksumType != 0) {
    dia::DWORD size = 0;
    // Checksums are digests of at most a few dozen bytes; anything larger is not one.
    if (file->get_checksum(0, &size, nullptr) == dia::S_OK && size > 0 && size <= 1024) {
      std::vector<dia::BYTE> bytes(size);
      dia::DWORD got = 0;
      if (file->get_checksum(size, &got, bytes.data()) == dia::S_OK) {
        static const char kDigits[] = "0123456789abcdef";
        for (dia::DWORD i = 0; i < got && i < size; ++i) {
          checksumText += kDigits[bytes[i] >> 4];
          checksumText += kDigits[bytes[i] & 15];
        }
      }
    }
  }
  Bstr name;
  if (file->get_fileName(name.out()) != dia::S_OK || !name.get()) return nullptr;
  auto* made = new SourceFile(this, fileIndex, name.get(), checksumText.c_str(), checksumType);
  if (slot) {
    slot->file = made;
  } else if (!chunked) {
    m_largeIdFiles[fileIndex] = made;
  } else {
    delete made;  // the cache could not grow: no file rather than one nobody frees
    return nullptr;
  }
  return made;
}

ICompUnitDetails* DiaLineResolver::compUnitDetails(uint64_t compUnitKey) {
  if (!m_session || compUnitKey > 0xFFFFFFFFull) return nullptr;
  const auto id = static_cast<uint32_t>(compUnitKey);
  ScopedLock guard(&m_compUnitLock);
  auto found = m_compUnitCache.find(id);
  if (found != m_compUnitCache.end()) return found->second;
  ComPtr<dia::IDiaSymbol> compiland;
  if (m_session->symbolById(id, compiland.out()) != dia::S_OK || !compiland) return nullptr;
  auto* details = new DiaCompUnitDetails(this, compiland.get());
  m_compUnitCache.emplace(id, details);
  return details;
}

SymMgrObjectPtr<ISourceLocation> DiaLineResolver::sourceLocationByAddress(uint64_t address, uint64_t compUnitKey) {
  ComPtr<dia::IDiaEnumLineNumbers> lines;
  if (!linesAt(address, lines)) return nullptr;
  for (ComPtr<dia::IDiaLineNumber> line = nextLine(lines.get()); line; line = nextLine(lines.get())) {
    if (!compilandMatches(line.get(), compUnitKey)) continue;
    dia::ULONGLONG va = 0;
    dia::DWORD compiland = 0;
    line->get_virtualAddress(&va);
    line->get_compilandId(&compiland);
    return locationOf(this, line.get(), compiland);
  }
  return nullptr;
}

}  // namespace ZOR_3_12
