#include "zor/dwarf/line_resolver.h"

#include <cstring>

#include "kave/unicode.h"
#include "zor/image/address.h"
#include "zor/object/trace.h"
#include "zor/source/inline_caller_source_line_iterator.h"
#include "zor/source/source_file.h"
#include "zor/util/crc32.h"

namespace ZOR_3_12 {

using namespace dwarf;

DWARFLineResolver::DWARFLineResolver(IFileFormatLoader* fileLoader, DwarfContext* context, IScope* scope, ILock* lock)
    : SymMgrObject<ISrcLineResolver>(lock),
      m_fileLoader(fileLoader),
      m_context(context),
      m_scope(scope),
      m_lineTable(new LineTable(*fileLoader, *this)) {}

DWARFLineResolver::~DWARFLineResolver() = default;

status_t DWARFLineResolver::ensureAllLinesLoaded() {
  status_t known = m_status.load(std::memory_order_acquire);
  if (known != STATUS_NOT_INITIALIZED) return known;
  ScopedLock guard(&m_loadLock);
  if (m_status != STATUS_NOT_INITIALIZED) return m_status;
  if (!m_context->sections().line.present()) {
    m_status = STATUS_NO_DEBUG_INFO;
    return m_status;
  }
  m_lineTable->expectProgramBytes(m_context->sections().line.size);
  status_t status = STATUS_UNSPECIFIED_ERROR;
  // Unit by unit as they are read: the walk over the same units may be reading them now.
  for (size_t i = 0; DWARFCompilationUnit* unit = m_context->unitInOrder(i); ++i) {
    // Type units and split units describe no code of this module.
    if (!unit->header().walked()) continue;
    status_t unitStatus = readLineProgram(unit);
    if (status != STATUS_OK) status = unitStatus;
  }
  m_status.store(status, std::memory_order_release);
  return status;
}

status_t DWARFLineResolver::readLineProgram(DWARFCompilationUnit* unit) {
  if (!unit) return STATUS_INVALID_ARGUMENT;
  ScopedLock unitGuard(&unit->lineLock());
  DWARFCompilationUnit::LineProgramInfo& info = unit->lineInfo();
  if (info.status != STATUS_NOT_INITIALIZED) return info.status;
  unit->ensureUnitEntry();
  const Section& line = m_context->sections().line;
  if (!unit->hasLineProgram() || !line.present()) {
    info.status = STATUS_NO_DEBUG_INFO;
    return info.status;
  }
  if (line.size <= unit->lineOffset()) {
    info.status = STATUS_BAD_DEBUG_INFO;
    return info.status;
  }
  {
    ScopedLock guard(&m_lock);
    auto run = m_programsRun.find(unit->lineOffset());
    if (run != m_programsRun.end()) {
      info.firstFileNumber = run->second.firstFileNumber;
      info.directoryZeroListed = run->second.directoryZeroListed;
      info.fileTable = run->second.fileTable;
      info.status = STATUS_OK;
      return info.status;
    }
  }
  LineProgramHeader header;
  status_t status = readLineProgramHeader(m_context->sections(), unit->lineOffset(), unit->addrSize(), unit, header);
  if (status != STATUS_OK) {
    info.status = status;
    return info.status;
  }
  info.firstFileNumber = header.firstFileNumber;
  info.directoryZeroListed = header.version >= 5;
  for (const char* dir : header.directories) info.includeDirectories.emplace_back(dir ? dir : "");
  std::string compDir = KAVE_3_1::wideToUtf8(unit->compDir());
  for (const LineFileEntry& file : header.files) addFileEntry(unit, header, file, compDir);
  runProgram(unit, header, compDir);
  {
    ScopedLock guard(&m_lock);
    m_programsRun[unit->lineOffset()] = ProgramRun{info.firstFileNumber, info.directoryZeroListed, info.fileTable};
  }
  info.status = STATUS_OK;
  return info.status;
}

int32_t DWARFLineResolver::addFileEntry(DWARFCompilationUnit* unit, const LineProgramHeader& header,
                                        const LineFileEntry& entry, const std::string& compDir) {
  if (!entry.name || entry.name[0] == '\0') {
    ZOR_ASSERT_TEXT("fileName && strlen(fileName) > 0", internal::kDwarfSource, __LINE__);
    // The slot is kept so that later file numbers still name their own entries.
    unit->lineInfo().fileTable.push_back(-1);
    return -1;
  }
  // The units of a module name the same headers over and over, through the same strings of
  // the string sections (texts in the section bytes never change): an entry's file is
  // worked out once per directory text, name text and compilation directory.
  const char* listed = nullptr;
  const bool directoryKnown = dwarf::lineFileDirectory(header, entry, listed);
  const EntryKey key{listed, entry.name};
  if (directoryKnown) {
    int32_t index = -1;
    {
      std::shared_lock<std::shared_mutex> guard(m_filesLock);
      auto it = m_filesByEntry.find(key);
      if (it != m_filesByEntry.end() && it->second.compDir == compDir) index = it->second.index;
    }
    if (index >= 0) {
      unit->lineInfo().fileTable.push_back(index);
      return index;
    }
  }
  std::string path = lineFilePath(header, entry, compDir);
  if (!directoryKnown) ZOR_ASSERT_TEXT("directoryIndex <= includeDirectories.size()", internal::kDwarfSource, __LINE__);
  const int32_t index = addSourceFile(path.c_str(), unit, entry.mtime, entry.length);
  if (directoryKnown && index >= 0) {
    std::unique_lock<std::shared_mutex> guard(m_filesLock);
    m_filesByEntry[key] = EntryFile{compDir, index};
  }
  return index;
}

int32_t DWARFLineResolver::addSourceFile(const char* path, DWARFCompilationUnit* unit, uint64_t mtime,
                                         uint64_t length) {
  if (!path || !*path) return -1;
  uint32_t crc = internal::crc32(path, std::strlen(path));
  int32_t index;
  {
    std::unique_lock<std::shared_mutex> guard(m_filesLock);
    auto it = m_fileIndexByCrc.find(crc);
    if (it != m_fileIndexByCrc.end()) {
      index = it->second;
    } else {
      index = static_cast<int32_t>(m_sourceFiles.size());
      m_sourceFiles.emplace_back(new SourceFile(this, static_cast<uint32_t>(index), path, mtime, length));
      m_fileIndexByCrc.emplace(crc, index);
    }
  }
  if (unit) unit->lineInfo().fileTable.push_back(index);
  return index;
}

bool DWARFLineResolver::findSourceFile(const char* path, uint32_t& index) const {
  if (!path) return false;
  uint32_t crc = internal::crc32(path, std::strlen(path));
  std::shared_lock<std::shared_mutex> guard(m_filesLock);
  auto it = m_fileIndexByCrc.find(crc);
  if (it == m_fileIndexByCrc.end()) return false;
  index = static_cast<uint32_t>(it->second);
  return true;
}

size_t DWARFLineResolver::sourceFileCount() const {
  std::shared_lock<std::shared_mutex> guard(m_filesLock);
  return m_sourceFiles.size();
}

void DWARFLineResolver::runProgram(DWARFCompilationUnit* unit, const LineProgramHeader& header,
                                   const std::string& compDir) {
  LineStateMachine machine(header, m_context->sections(), [&](const LineFileEntry& entry) {
    addFileEntry(unit, header, entry, compDir);
  });
  const std::vector<int32_t>& files = unit->lineInfo().fileTable;
  const uint64_t bias = unit->loadBias();
  const uint32_t firstFile = header.firstFileNumber;
  LineRow row, previous;
  bool sequenceStart = true;
  // The module range that held the last row kept: the next rows mostly lie in it too.
  uint64_t keptStart = 1, keptEnd = 0;
  auto inModule = [&](uint64_t address) {
    if (address >= keptStart && address < keptEnd) return true;
    uint64_t start = 0, end = 0;
    if (!m_context->codeOrDataRangeAround(address, start, end)) return false;
    keptStart = start;
    keptEnd = end;
    return true;
  };
  ScopedLock guard(&m_lock);
  while (machine.step(row)) {
    if (sequenceStart) {
      previous = row;
      sequenceStart = row.endSequence;
      continue;
    }
    // A row covers the addresses up to the next row of its sequence; rows that go backwards
    // or lie outside the module's code and data are not kept.
    if (row.address >= previous.address && previous.file >= firstFile && previous.file - firstFile < files.size() &&
        inModule(bias + previous.address)) {
      int32_t index = files[static_cast<size_t>(previous.file - firstFile)];
      if (index >= 0) {
        m_lineTable->insert(unit->offset(), static_cast<uint32_t>(index), static_cast<uint32_t>(previous.line),
                            static_cast<uint32_t>(previous.column), bias + previous.address,
                            row.address - previous.address);
      }
    }
    if (row.endSequence)
      sequenceStart = true;
    else
      previous = row;
  }
}

status_t DWARFLineResolver::sourceLocationsByAddress(uint64_t address, uint64_t compUnitKey,
                                                     SymMgrObjectPtr<SourceLocationIter>& out) {
  out = nullptr;
  status_t status = ensureAllLinesLoaded();
  if (status != STATUS_OK) return status;
  // Loaded means every program has been read: the table is only read from now on.
  out = m_lineTable->locsByAddr(address, compUnitKey);
  return out ? status : STATUS_FALSE;
}

status_t DWARFLineResolver::sourceLinesForFile(uint64_t compUnitKey, uint32_t fileIndex, uint64_t from, uint64_t to,
                                               SymMgrObjectPtr<SourceLineIter>& out) {
  out = nullptr;
  status_t status = ensureAllLinesLoaded();
  if (status != STATUS_OK) return status;
  SymMgrObjectPtr<SourceLineIter> lines = m_lineTable->linesForSrc(compUnitKey, fileIndex, from, to);
  if (!lines) return STATUS_FALSE;
  // Code inlined into this file is reported at its call sites, which only the scope knows.
  if (m_scope)
    out = new InlineCallerSourceLineIterator(m_scope, lines, from, to, sourceFile(fileIndex));
  else
    out = lines;
  return status;
}

ISourceFile* DWARFLineResolver::sourceFile(uint32_t fileIndex) {
  std::shared_lock<std::shared_mutex> guard(m_filesLock);
  return fileIndex < m_sourceFiles.size() ? m_sourceFiles[fileIndex].get() : nullptr;
}

ICompUnitDetails* DWARFLineResolver::compUnitDetails(uint64_t compUnitKey) {
  for (DWARFCompilationUnit* unit : m_context->units()) {
    if (unit->offset() == compUnitKey) return unit;
  }
  return nullptr;
}

SymMgrObjectPtr<ISourceLocation> DWARFLineResolver::sourceLocationByAddress(uint64_t, uint64_t) { return nullptr; }

SymMgrObjectPtr<ISourceLocation> DWARFLineResolver::inlineCallSite(uint64_t address, uint64_t) {
  if (!m_scope) return nullptr;
  SymMgrObjectPtr<ISymbolRange> range;
  if (failed(m_scope->symbolRangeByAddress(range, address, SYMBOL_KIND_FUNCTION, nullptr)) || !range) return nullptr;
  SymMgrObjectPtr<IAddress> where(new Address(m_fileLoader, address));
  SymMgrObjectPtr<ISymbolRange> child = range->childRangeByAddress(where.get());
  if (!child) return nullptr;
  IInlineInstance* inlined = child->inlineInstance();
  if (!inlined || !inlined->hasCallSite()) return nullptr;
  return inlined->callSite();
}

}  // namespace ZOR_3_12
