// How the PE loader makes its PDB candidate and the PDB debug-info loader.
#include "zor/loader/file_format_loader.h"
#include "zor/object/globals.h"
#include "zor/pdb/dia_debug_info_loader.h"
#include "zor/pdb/dia_symbol_file_to_resolve.h"

namespace ZOR_3_12 {
namespace internal {

status_t makePdbCandidate(IFileFormatLoader*, const wchar_t* imagePath, const PEFileInfo* info,
                          std::unique_ptr<PdbSymbolFileToResolve>& out) {
  SymMgrObjectPtr<IDiaManager> manager;
  status_t status = IDiaManager::create(manager);
  if (status != STATUS_OK) return status;
  out.reset(new DiaSymbolFileToResolve(0, imagePath, info, manager.get()));
  return STATUS_OK;
}

IDebugInfoLoader* makeDiaDebugInfoLoader(FileFormatLoader* loader, const wchar_t* symbolFilePath,
                                         const PEFileInfo* info) {
  if (!loader || !info) return nullptr;
  return new DIADebugInfoLoader(loader, symbolFilePath, info,
                                &peDebugInfoLoaderLock());
}

}  // namespace internal
}  // namespace ZOR_3_12
