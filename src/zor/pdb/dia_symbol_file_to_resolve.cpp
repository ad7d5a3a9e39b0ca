#include "zor/pdb/dia_symbol_file_to_resolve.h"

#include "zor/manager/absolute_path.h"

namespace ZOR_3_12 {

DiaSymbolFileToResolve::DiaSymbolFileToResolve(int32_t index, const wchar_t* imagePath, const PEFileInfo* info,
                                               IDiaManager* manager)
    : m_diaManager(manager), m_info(info), m_imagePath(imagePath), m_index(index) {}

void DiaSymbolFileToResolve::search() {
  ScopedLock guard(&m_lock);
  if (m_searchStatus != STATUS_NOT_INITIALIZED) return;
  const wchar_t* found = nullptr;
  const dia::GUID guid = internal::guidFromBytes(m_info->pdbGuid);
  m_searchStatus = m_diaManager->findPdb(&found, m_imagePath, &guid, m_info->pdbSignature, m_info->pdbAge,
                                         m_info->pdbPath.c_str());
  if (m_searchStatus == STATUS_OK) {
    m_resolvedPath = found ? found : L"";
    m_state = RESOLVE_STATE_FOUND;
  } else if (!m_info->pdbPath.empty()) {
    m_resolvedPath = m_info->pdbPath;
    m_state = RESOLVE_STATE_NOT_FOUND;
  } else {
    m_state = RESOLVE_STATE_NO_PATH;
  }
}

const wchar_t* DiaSymbolFileToResolve::fileName() {
  search();
  return m_resolvedPath.c_str();
}

uint32_t DiaSymbolFileToResolve::state() {
  search();
  return m_state;
}

int32_t DiaSymbolFileToResolve::tryFile(const wchar_t* path) {
  ScopedLock guard(&m_lock);
  if (!path) return -1;
  if (!m_resolvedPath.empty() && m_state == RESOLVE_STATE_FOUND &&
      internal::absolutePath(path) == internal::absolutePath(m_resolvedPath.c_str()))
    return m_index;
  const dia::GUID guid = internal::guidFromBytes(m_info->pdbGuid);
  if (m_diaManager->validatePdb(path, &guid, m_info->pdbSignature, m_info->pdbAge) != STATUS_OK) return -1;
  m_state = RESOLVE_STATE_FOUND;
  m_resolvedPath = path;
  m_searchStatus = STATUS_OK;
  return m_index;
}

}  // namespace ZOR_3_12
