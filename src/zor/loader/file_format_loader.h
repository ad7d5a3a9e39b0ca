// Common base of the PE and ELF loaders: the candidate symbol files (listed once, on first
// demand) and the cache of debug-info loaders keyed by the symbol file's identity.
#ifndef ZOR_LOADER_FILE_FORMAT_LOADER_H_
#define ZOR_LOADER_FILE_FORMAT_LOADER_H_

#include <map>
#include <vector>

#include <zor/loader.h>

#include "zor/loader/file_identity.h"

namespace ZOR_3_12 {

class FileFormatLoader : public IFileFormatLoader {
 public:
  FileFormatLoader() = default;
  virtual ~FileFormatLoader();

  status_t symbolFilesToResolve(SymMgrObjectPtr<SymbolFileIter>& out) override;
  status_t debugInfoLoader(SymMgrObjectPtr<IDebugInfoLoader>& out, int index) override;

  // Format-specific: fill the candidate list (the candidates stay owned by the subclass).
  virtual status_t collectSymbolFilesToResolve(std::vector<ISymbolFileToResolve*>& list) = 0;
  // Format-specific: a new debug-info loader for the chosen symbol file (may be null).
  virtual IDebugInfoLoader* createDebugInfoLoader(const wchar_t* symbolFilePath, int symbolFileFormat) = 0;
  // Inserts an empty, scope-less record at every section's end into the table.
  virtual void addSectionEnds(ISymbolTable* table) = 0;

  // Called by a dying debug-info loader so the cache never holds a dangling pointer.
  void removeDebugInfoLoader(IDebugInfoLoader* loader);

 protected:
  ZorLock m_lock;

 private:
  std::map<FileIdentity, IDebugInfoLoader*> m_loaderCache;
  std::vector<ISymbolFileToResolve*> m_symbolFiles;
};

// What every loader shares: reading bytes of its file and making addresses in its segments.
namespace internal {

// Opens `path` anew, reads `size` bytes at `offset` into a new buffer. Null only when the
// buffer object itself cannot be allocated; a failed read is not reported.
SymMgrObjectPtr<IBuffer> readFileBytes(const wchar_t* path, uint64_t offset, uint64_t size);

// The format-specific factories that format detection dispatches to. Each lives with its
// loader (src/zor/elf, src/zor/pe); `lock` is the static lock shared by that loader kind.
SymMgrObjectPtr<IFileFormatLoader> makeElfLoader(const wchar_t* path, ILock* lock);
SymMgrObjectPtr<IFileFormatLoader> makePeLoader(const wchar_t* path, ILock* lock);

// Format detection on the first bytes of a file (the magic numbers only). A read that the
// file library reports as failed leaves an assertion record and answers false.
bool looksLikePe(const wchar_t* path);
bool looksLikeElf(const wchar_t* path);

// Called by every dying loader so that the symbol manager forgets it (a loader made through
// the exported create may outlive the manager; the manager then has nothing to do). The
// manager provides the real definition; a do-nothing weak one in the loader base keeps the
// loaders usable in programs that never link the manager.
void notifyLoaderDestroyed(IFileFormatLoader* loader);

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_LOADER_FILE_FORMAT_LOADER_H_
