#include "zor/loader/file_format_loader.h"
#include "zor/pe/pe_exec_file_loader.h"

namespace ZOR_3_12 {
namespace internal {

SymMgrObjectPtr<IFileFormatLoader> makePeLoader(const wchar_t* path, ILock* lock) {
  return new PEExecFileLoader(path, lock);
}

// Fallbacks for programs built without the PDB layer: an image that names a PDB then
// reports that no PDB reader is available, as it would if the reader failed to load.
__attribute__((weak)) status_t makePdbCandidate(IFileFormatLoader*, const wchar_t*, const PEFileInfo*,
                                                std::unique_ptr<PdbSymbolFileToResolve>&) {
  return STATUS_NO_PDB_READER;
}

__attribute__((weak)) IDebugInfoLoader* makeDiaDebugInfoLoader(FileFormatLoader*, const wchar_t*,
                                                               const PEFileInfo*) {
  return nullptr;
}

}  // namespace internal
}  // namespace ZOR_3_12
