// Base of the loaders that read one symbol file (DWARF sections, a PDB). It keeps the image's
// loader alive and takes itself out of that loader's cache when it dies.
#ifndef ZOR_MANAGER_DEBUG_INFO_LOADER_H_
#define ZOR_MANAGER_DEBUG_INFO_LOADER_H_

#include <zor/loader.h>

namespace ZOR_3_12 {

class DebugInfoLoader : public SymMgrObject<IDebugInfoLoader> {
 public:
  // `ffl` must be a FileFormatLoader: it is the cache the destructor removes us from.
  //
  // The count is guarded by the manager's load lock, not by `lock` (the lock the loader kind
  // offers): the image loader hands out cached references under its own lock, and a dying
  // debug-info loader leaves that cache under its count's lock. With the load lock as the
  // count's lock, which every such path already holds, the two lock orders cannot cross.
  DebugInfoLoader(IFileFormatLoader* ffl, ILock* lock);
  ~DebugInfoLoader() override;

  IFileFormatLoader* fileFormatLoader() const { return m_ffl.get(); }

 protected:
  SymMgrObjectPtr<IFileFormatLoader> m_ffl;
};

}  // namespace ZOR_3_12

#endif  // ZOR_MANAGER_DEBUG_INFO_LOADER_H_
