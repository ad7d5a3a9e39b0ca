// The source-line side of a module whose symbols come from a PDB: every question is passed
// to the PDB's session as it comes. Source files are made once per PDB file id and kept;
// compilation-unit details are made once per compiland.
#ifndef ZOR_PDB_DIA_LINE_RESOLVER_H_
#define ZOR_PDB_DIA_LINE_RESOLVER_H_

#include <cstdint>
#include <map>
#include <string>

#include <zor/line_table.h>
#include <zor/loader.h>
#include <zor/source.h>

#include "dia/dia_interfaces.h"
#include "zor/pdb/com_ptr.h"

namespace ZOR_3_12 {

class SourceFile;
class DiaCompUnitDetails;

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
