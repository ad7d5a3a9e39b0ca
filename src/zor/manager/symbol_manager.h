// The one process-wide symbol manager. It turns a module path into a bank and keeps two caches
// of raw pointers (image loaders by file identity, banks by their pair of loaders) so that an
// unchanged module loaded twice while alive yields the same objects.
//
// Locks: the manager lock guards the singleton and its count; the load lock guards both
// caches, the creation of debug-info loaders and banks, and every bank's count. When both are
// needed the load lock is taken first.
#ifndef ZOR_MANAGER_SYMBOL_MANAGER_H_
#define ZOR_MANAGER_SYMBOL_MANAGER_H_

#include <map>
#include <utility>

#include <zor/manager.h>

#include "zor/loader/file_identity.h"

namespace ZOR_3_12 {

class SymbolManager : public SymMgrObject<ISymbolManager> {
 public:
  explicit SymbolManager(ILock* lock);
  ~SymbolManager() override;

  status_t loadSymbolsFromModule(const wchar_t* path, ISymbolFileResolver* resolver,
                                 SymMgrObjectPtr<IModuleSymbolBank>& bank) override;

  // Called by a dying image loader and a dying bank, to drop their cache entries.
  void releaseFFL(IFileFormatLoader* loader);
  void releaseBank(IFileFormatLoader* loader, IDebugInfoLoader* debugInfoLoader);

  // The live manager, or null. Read it only under the manager lock.
  static SymbolManager* instance();

  // Sizes of the caches, for tests.
  size_t cachedLoaderCount();
  size_t cachedBankCount();

 private:
  using BankKey = std::pair<IFileFormatLoader*, IDebugInfoLoader*>;
  std::map<BankKey, IModuleSymbolBank*> m_bankCache;
  std::map<FileIdentity, IFileFormatLoader*> m_fflCache;  // null value: not an image
};

}  // namespace ZOR_3_12

#endif  // ZOR_MANAGER_SYMBOL_MANAGER_H_
