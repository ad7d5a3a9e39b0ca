// The source-line side of a module whose symbols come from a PDB: every question is passed
// to the PDB's session as it comes. Source files are made once per PDB file id and kept;
// compilation-unit details are made once per compiland.
#ifndef ZOR_PDB_DIA_LINE_RESOLVER_H_
#define ZOR_PDB_DIA_LINE_RESOLVER_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include <zor/line_table.h>
#include <zor/loader.h>
#include <zor/source.h>

#include "dia/dia_interfaces.h"
#include "zor/pdb/com_ptr.h"

namespace ZOR_3_12 {

class SourceFile;
class DiaLineResolver;

// One compiland's details: object file, compiler, language and version, the directory and
// the primary source named by its environment block.
class DiaCompUnitDetails : public ICompUnitDetails {
 public:
  DiaCompUnitDetails(DiaLineResolver* resolver, dia::IDiaSymbol* compiland);
  virtual ~DiaCompUnitDetails() = default;

  uint64_t getId() override;
  ISourceFile* getPrimarySourceFile() override;
  ISourceFile* getSourceFile(const wchar_t* name) override;
  const wchar_t* getObjectFileName() override { return m_libraryName.c_str(); }
  const wchar_t* getCompilationDirectory() override { return m_cwd.c_str(); }
  const wchar_t* getOptReportFile() override { return nullptr; }
  const wchar_t* getCompilerName() override { return m_compilerName.c_str(); }
  int32_t getMajorVersion() override { return m_majorVersion; }
  int32_t getMinorVersion() override { return m_minorVersion; }
  int32_t getLanguage() override { return m_language; }

  const wchar_t* sourcePath() const { return m_srcPath.c_str(); }

 private:
  void fillNameMap();

  DiaLineResolver* m_resolver;
  internal::ComPtr<dia::IDiaSymbol> m_compiland;
  std::map<std::wstring, uint32_t> m_fileIds;
  bool m_fileIdsFilled = false;
  std::wstring m_libraryName;
  std::wstring m_cwd;
  std::wstring m_srcPath;
  std::wstring m_compilerName;
  int32_t m_majorVersion = 0;
  int32_t m_minorVersion = 0;
  int32_t m_language = LANGUAGE_C;
  std::mutex m_lock;  // the name map may be asked for from several threads
};

class DiaLineResolver : public SymMgrObject<ISrcLineResolver> {
 public:
  DiaLineResolver(IFileFormatLoader* fileFormatLoader, dia::IDiaSession* session, ILock* lock);
  ~DiaLineResolver() override;

  status_t sourceLocationsByAddress(uint64_t address, uint64_t compUnitKey,
                                    SymMgrObjectPtr<SourceLocationIter>& out) override;
  status_t sourceLinesForFile(uint64_t compUnitKey, uint32_t fileIndex, uint64_t from, uint64_t to,
                              SymMgrObjectPtr<SourceLineIter>& out) override;
  ISourceFile* sourceFile(uint32_t fileIndex) override;
  ICompUnitDetails* compUnitDetails(uint64_t compUnitKey) override;
  SymMgrObjectPtr<ISourceLocation> sourceLocationByAddress(uint64_t address, uint64_t compUnitKey) override;
  // Inline call sites are not read from PDBs.
  SymMgrObjectPtr<ISourceLocation> inlineCallSite(uint64_t, uint64_t) override { return nullptr; }

  dia::IDiaSession* session() const { return m_session.get(); }
  IFileFormatLoader* fileFormatLoader() const { return m_fileFormatLoader; }
  size_t compilandCount() const { return m_compilandCount; }

 private:
  // The session's lines at one address; false when the address is outside the image.
  bool linesAt(uint64_t address, internal::ComPtr<dia::IDiaEnumLineNumbers>& out);

  // Slots of the source-file cache, zeroed when made.
  struct index_to_src_file_item_t {
    SourceFile* file;
  };
  class FileCache : public TChunkArray<index_to_src_file_item_t> {
   public:
    ~FileCache() override { release(); }

   protected:
    index_to_src_file_item_t* allocateChunk(size_t count) override;
    void freeChunk(index_to_src_file_item_t* chunk) override;
  };

  internal::ComPtr<dia::IDiaSession> m_session;
  FileCache m_sourceFileCache;
  // File ids too large for the chunked cache (the ids are the PDB's choice).
  std::map<uint32_t, SourceFile*> m_largeIdFiles;
  IFileFormatLoader* m_fileFormatLoader;  // not counted: the module outlives its resolver
  std::map<uint32_t, DiaCompUnitDetails*> m_compUnitCache;
  size_t m_compilandCount = 0;
  ZorLock m_sourceFileLock;
  ZorLock m_compUnitLock;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_LINE_RESOLVER_H_
