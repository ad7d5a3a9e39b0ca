// The PDB candidate of a PE image: searches for the image's PDB through the DIA manager the
// first time it is asked, and accepts a PDB offered by the caller when it matches the image.
#ifndef ZOR_PDB_DIA_SYMBOL_FILE_TO_RESOLVE_H_
#define ZOR_PDB_DIA_SYMBOL_FILE_TO_RESOLVE_H_

#include <string>

#include "zor/pdb/dia_manager.h"
#include "zor/pe/pe_file_info.h"

namespace ZOR_3_12 {

class DiaSymbolFileToResolve : public PdbSymbolFileToResolve {
 public:
  // `imagePath` and `info` belong to the image's loader, which owns this candidate.
  // `manager` must be non-null.
  DiaSymbolFileToResolve(int32_t index, const wchar_t* imagePath, const PEFileInfo* info, IDiaManager* manager);

  const wchar_t* fileName() override;
  const wchar_t* imageFileName() override { return m_imagePath; }
  uint32_t format() override { return SYM_FORMAT_PDB; }
  uint32_t state() override;
  int32_t tryFile(const wchar_t* path) override;
  uint32_t resolvable() override { return 1; }

 private:
  void search();

  SymMgrObjectPtr<IDiaManager> m_diaManager;
  const PEFileInfo* m_info;
  const wchar_t* m_imagePath;
  std::wstring m_resolvedPath;
  uint32_t m_state = 0;
  int32_t m_index;
  status_t m_searchStatus = STATUS_NOT_INITIALIZED;
  ZorLock m_lock;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_SYMBOL_FILE_TO_RESOLVE_H_
