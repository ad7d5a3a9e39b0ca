#include "zor/manager/symbol_manager.h"

#include <memory>

#include "kave/file.h"
#include "zor/loader/file_format_loader.h"
#include "zor/manager/absolute_path.h"
#include "zor/manager/module_symbol_bank.h"
#include "zor/loader/symbol_file_resolver.h"
#include "zor/object/globals.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace {

// Holds no reference: the manager lives exactly as long as its count says.
SymbolManager* s_instance = nullptr;

// Drops the loader references a load took, under the load lock. Every final release of a
// cached loader must happen under that lock: otherwise a dying loader (holding its count's
// lock, waiting for the load lock to leave the cache) and a load that found it in the cache
// (holding the load lock, waiting for the count's lock to take a reference) would deadlock,
// and the load would revive an object already being destroyed.
class LoaderRefs {
 public:
  ~LoaderRefs() {
    ScopedLock guard(&internal::loadLock());
    debugInfoLoader.reset();
    iterator.reset();
    ffl.reset();
  }
  SymMgrObjectPtr<IFileFormatLoader> ffl;
  SymMgrObjectPtr<SymbolFileIter> iterator;
  SymMgrObjectPtr<IDebugInfoLoader> debugInfoLoader;
};

}  // namespace

status_t ISymbolManager::create(SymMgrObjectPtr<ISymbolManager>& out) {
  // Makes the log (and reads ZORTRACE) before any trace looks at the switch: this is the
  // first call of nearly every program.
  getLog();
  ScopedLock guard(&internal::managerLock());
  ZOR_TRACE("create", "ISymbolManager");
  if (s_instance == nullptr) s_instance = new SymbolManager(&internal::managerLock());
  out = s_instance;
  if (!out) {
    ZOR_ERROR(internal::kSymbolManagerSource, 550) << "can't instantiate ISymbolManager object" << std::endl;
    return STATUS_UNSPECIFIED_ERROR;
  }
  return STATUS_OK;
}

SymbolManager::SymbolManager(ILock* lock) : SymMgrObject<ISymbolManager>(lock) {
  ZOR_TRACE("SymbolManager", "SymbolManager");
}

SymbolManager::~SymbolManager() {
  ScopedLock guard(&internal::managerLock());
  s_instance = nullptr;
  // The cached raw pointers belong to their objects; they are not touched.
}

SymbolManager* SymbolManager::instance() { return s_instance; }

status_t SymbolManager::loadSymbolsFromModule(const wchar_t* path, ISymbolFileResolver* resolver,
                                              SymMgrObjectPtr<IModuleSymbolBank>& bank) {
  ZOR_TRACE("loadSymbolsFromModule", "SymbolManager");
  {
    KAVE_3_1::File file{KAVE_3_1::Filename(KAVE_3_1::String(path), KAVE_3_1::FORMAT_NATIVE, false)};
    if (file.lastOpStatus() != KAVE_3_1::FILE_OK) {
      ZOR_ERROR(internal::kSymbolManagerSource, 672) << "could not open file" << std::endl;
      return STATUS_CANT_OPEN_FILE;
    }
  }
  const std::wstring absolute = internal::absolutePath(path);
  const FileIdentity identity = FileIdentity::of(absolute.c_str());

  LoaderRefs refs;
  {
    ScopedLock guard(&internal::loadLock());
    auto it = m_fflCache.find(identity);
    if (it != m_fflCache.end()) {
      refs.ffl = it->second;
    } else {
      refs.ffl = IFileFormatLoader::create(absolute.c_str());
      m_fflCache[identity] = refs.ffl.get();
    }
  }
  // The null entry stays, so an unchanged non-image is not examined again.
  if (!refs.ffl) return STATUS_BAD_FILE_FORMAT;

  std::unique_ptr<SymbolFileResolver> defaultResolver;
  if (resolver == nullptr) {
    defaultResolver.reset(new SymbolFileResolver());
    resolver = defaultResolver.get();
  }

  status_t status = refs.ffl->symbolFilesToResolve(refs.iterator);
  if (status != STATUS_OK) return status;
  // Outside both global locks: a caller's resolver may take its time (or ask a user).
  const int32_t index = resolver->resolveSymbolFile(refs.iterator);

  ScopedLock guard(&internal::loadLock());
  // An index outside the list gives STATUS_FALSE and no debug-info loader: the module is
  // then served from the image's own symbols.
  status = refs.ffl->debugInfoLoader(refs.debugInfoLoader, index);
  if (failed(status)) return status;

  const BankKey key(refs.ffl.get(), refs.debugInfoLoader.get());
  auto it = m_bankCache.find(key);
  if (it != m_bankCache.end()) {
    bank = it->second;
  } else {
    IModuleSymbolBank* created = new ModuleSymbolBank(refs.ffl.get(), refs.debugInfoLoader.get(),
                                                      &internal::loadLock());
    bank = created;
    m_bankCache[key] = created;
  }
  // Let go of the loaders before the load lock: the bank now holds them, and no other
  // thread can drop that bank while we hold the lock, so none of them dies here, and none
  // outlives its bank's scope because of us.
  refs.debugInfoLoader.reset();
  refs.iterator.reset();
  refs.ffl.reset();
  return STATUS_OK;
}

void SymbolManager::releaseFFL(IFileFormatLoader* loader) {
  ZOR_TRACE("releaseFFL", "SymbolManager");
  ScopedLock guard(&internal::loadLock());
  for (auto it = m_fflCache.begin(); it != m_fflCache.end(); ++it) {
    if (it->second == loader) {
      m_fflCache.erase(it);
      return;
    }
  }
}

void SymbolManager::releaseBank(IFileFormatLoader* loader, IDebugInfoLoader* debugInfoLoader) {
  ScopedLock guard(&internal::loadLock());
  m_bankCache.erase(BankKey(loader, debugInfoLoader));
}

size_t SymbolManager::cachedLoaderCount() {
  ScopedLock guard(&internal::loadLock());
  return m_fflCache.size();
}

size_t SymbolManager::cachedBankCount() {
  ScopedLock guard(&internal::loadLock());
  return m_bankCache.size();
}

namespace internal {

// Called from the image loader's destructor. The load lock comes first, as everywhere else;
// the manager lock keeps the manager from dying while we edit its cache.
void notifyLoaderDestroyed(IFileFormatLoader* loader) {
  ScopedLock load(&loadLock());
  ScopedLock manager(&managerLock());
  if (s_instance != nullptr) s_instance->releaseFFL(loader);
}

}  // namespace internal
}  // namespace ZOR_3_12
