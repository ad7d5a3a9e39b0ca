// The DWARF side of a module's source lines: runs every unit's line-number program into the
// module's LineTable on the first query, and owns the module-wide list of source files
// (one per distinct full path, keyed by the CRC-32 of the path).
#ifndef ZOR_DWARF_LINE_RESOLVER_H_
#define ZOR_DWARF_LINE_RESOLVER_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include <zor/line_table.h>
#include <zor/lock.h>
#include <zor/loader.h>
#include <zor/source.h>

#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_context.h"
#include "zor/dwarf/line_program.h"

namespace ZOR_3_12 {

class SourceFile;

class DWARFLineResolver : public SymMgrObject<ISrcLineResolver> {
 public:
  // `scope` is the module's global scope (for inline call sites); `lock` guards the count.
  DWARFLineResolver(IFileFormatLoader* fileLoader, dwarf::DwarfContext* context, IScope* scope, ILock* lock);
  ~DWARFLineResolver() override;

  // ISrcLineResolver
  status_t sourceLocationsByAddress(uint64_t address, uint64_t compUnitKey,
                                    SymMgrObjectPtr<SourceLocationIter>& out) override;
  status_t sourceLinesForFile(uint64_t compUnitKey, uint32_t fileIndex, uint64_t from, uint64_t to,
                              SymMgrObjectPtr<SourceLineIter>& out) override;
  ISourceFile* sourceFile(uint32_t fileIndex) override;
  ICompUnitDetails* compUnitDetails(uint64_t compUnitKey) override;
  SymMgrObjectPtr<ISourceLocation> sourceLocationByAddress(uint64_t address, uint64_t compUnitKey) override;
  SymMgrObjectPtr<ISourceLocation> inlineCallSite(uint64_t address, uint64_t compUnitKey) override;

  // Runs every unit's program once; the first unit that succeeds makes the status OK for good.
  status_t ensureAllLinesLoaded();
  // Reads one unit's line-program header and file table, and runs its program (once).
  status_t readLineProgram(DWARFCompilationUnit* unit);
  // The module-wide index of a full path (new file when unseen), appended to the unit's table.
  int32_t addSourceFile(const char* path, DWARFCompilationUnit* unit, uint64_t mtime, uint64_t length);
  bool findSourceFile(const char* path, uint32_t& index) const;
  LineTable& lineTable() { return *m_lineTable; }
  size_t sourceFileCount() const;

 private:
  // Runs one unit's program into the line table (rows per the previous-row rule).
  void runProgram(DWARFCompilationUnit* unit, const dwarf::LineProgramHeader& header, const std::string& compDir);
  int32_t addFileEntry(DWARFCompilationUnit* unit, const dwarf::LineProgramHeader& header,
                       const dwarf::LineFileEntry& entry, const std::string& compDir);

  IFileFormatLoader* m_fileLoader;
  dwarf::DwarfContext* m_context;
  IScope* m_scope;
  std::unique_ptr<LineTable> m_lineTable;
  std::deque<std::unique_ptr<SourceFile>> m_sourceFiles;
  std::map<uint32_t, int32_t> m_fileIndexByCrc;
  // The file of a file entry by its directory and name texts (see addFileEntry).
  using EntryKey = std::pair<const char*, const char*>;
  struct EntryFile {
    std::string compDir;
    int32_t index;
  };
  std::map<EntryKey, EntryFile> m_filesByEntry;
  // Programs already run, by .debug_line offset: a unit that names one again (damaged
  // files do, unit after unit) takes over its file table instead of running it again.
  struct ProgramRun {
    uint32_t firstFileNumber;
    bool directoryZeroListed;
    std::vector<int32_t> fileTable;
  };
  std::map<uint64_t, ProgramRun> m_programsRun;
  // Set once, when every unit's program has been read; queries that find it set read the
  // finished table without a lock.
  std::atomic<status_t> m_status{STATUS_NOT_INITIALIZED};
  ZorLock m_loadLock;   // the module-wide loading step
  mutable ZorLock m_lock;  // the line table while it is filled; taken after a unit's lineLock
  // The source files, which single units may add to at any time (their headers are read
  // for declaration positions too); readers share it.
  mutable std::shared_mutex m_filesLock;
};

}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_LINE_RESOLVER_H_
