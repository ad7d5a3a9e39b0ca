#include "zor/pdb/dia_manager.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "kave/file.h"
#include "kave/unicode.h"
#include "zor/object/globals.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {

namespace {

DiaManager* s_diaManager = nullptr;  // no reference: the manager clears it when it dies

std::mutex s_hookMutex;
std::string s_pluginDirectory;
internal::DiaPluginOverride s_override{nullptr, nullptr};
bool s_haveOverride = false;

std::atomic<dia::DiaFreeStringFn> s_freeString{nullptr};

const char kPluginName[] = "torvik_msdia100.so";

// The platform has no critical-error dialogs to suppress; kept so the search reads as the
// sequence it is everywhere.
unsigned setErrorMode(unsigned) { return 0; }

// Whether a file can be opened for reading, as the symbol manager tests a module path.
bool canOpen(const std::wstring& path) {
  KAVE_3_1::File file{KAVE_3_1::Filename(KAVE_3_1::String(path))};
  return file.lastOpStatus() == KAVE_3_1::FILE_OK;
}

}  // namespace

namespace internal {

void freeDiaString(dia::BSTR text) {
  if (!text) return;
  dia::DiaFreeStringFn fn = s_freeString.load(std::memory_order_acquire);
  if (fn) fn(text);  // without a plug-in there is nothing that could free it: keep it
}

void setDiaStringFree(dia::DiaFreeStringFn fn) { s_freeString.store(fn, std::memory_order_release); }

void setDiaPluginDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> guard(s_hookMutex);
  s_pluginDirectory = directory;
}

void setDiaPluginOverride(const DiaPluginOverride* standIn) {
  std::lock_guard<std::mutex> guard(s_hookMutex);
  s_haveOverride = standIn != nullptr;
  if (standIn) s_override = *standIn;
}

dia::GUID guidFromBytes(const unsigned char b[16]) {
  dia::GUID g;
  g.Data1 = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  g.Data2 = uint16_t(b[4] | b[5] << 8);
  g.Data3 = uint16_t(b[6] | b[7] << 8);
  std::memcpy(g.Data4, b + 8, 8);
  return g;
}

void* loadLibraryBesideSelf(const char* name) {
  std::string directory;
  {
    std::lock_guard<std::mutex> guard(s_hookMutex);
    directory = s_pluginDirectory;
  }
  if (directory.empty()) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&loadLibraryBesideSelf), &info) == 0 || !info.dli_fname) return nullptr;
    directory = info.dli_fname;
    size_t slash = directory.rfind('/');
    // A bare file name means the current directory, as the loader found it.
    directory = slash == std::string::npos ? std::string(".") : directory.substr(0, slash);
  }
  std::string path = directory + "/" + name;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace internal

// --- IDiaManager::create --------------------------------------------------------------

status_t IDiaManager::create(SymMgrObjectPtr<IDiaManager>& out) {
  ScopedLock guard(&internal::diaLock());
  ZOR_TRACE("create", "IDiaManager");
  out = s_diaManager;
  if (!s_diaManager) {
    internal::DiaPluginOverride standIn{nullptr, nullptr};
    bool haveOverride;
    {
      std::lock_guard<std::mutex> hooks(s_hookMutex);
      haveOverride = s_haveOverride;
      standIn = s_override;
    }
    void* library = nullptr;
    dia::DllGetClassObjectFn getClassObject = standIn.getClassObject;
    dia::DiaFreeStringFn freeString = standIn.freeString;
    if (!haveOverride) {
      library = internal::loadLibraryBesideSelf(kPluginName);
      if (!library) return STATUS_NO_PDB_READER;
      getClassObject = reinterpret_cast<dia::DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
      freeString = reinterpret_cast<dia::DiaFreeStringFn>(dlsym(library, "diaFreeString"));
    }
    s_diaManager = new DiaManager(library, getClassObject, freeString, &dia::CLSID_DiaSource, &internal::diaLock());
    out = s_diaManager;
  }
  return STATUS_OK;
}

// --- DiaManager -----------------------------------------------------------------------

DiaManager::DiaManager(void* library, dia::DllGetClassObjectFn getClassObject, dia::DiaFreeStringFn freeString,
                       const dia::GUID* classId, ILock* lock)
    : SymMgrObject<IDiaManager>(lock),
      m_library(library),
      m_classId(classId),
      m_getClassObject(getClassObject) {
  // Strings are freed from many places that do not know the manager: the free function is
  // process-wide while this manager lives.
  internal::setDiaStringFree(freeString);
}

DiaManager::~DiaManager() {
  for (auto& entry : m_modules) {
    entry.second.reset();
    entry.first->release();
  }
  m_modules.clear();
  internal::setDiaStringFree(nullptr);
  if (m_library) dlclose(m_library);
  ScopedLock guard(&internal::diaLock());
  if (s_diaManager == this) s_diaManager = nullptr;
}

status_t DiaManager::createDataSource(internal::ComPtr<dia::IDiaDataSource>& out) {
  out.reset();
  if (!m_getClassObject) return STATUS_UNSPECIFIED_ERROR;
  void* object = nullptr;
  if (dia::FAILED(m_getClassObject(*m_classId, dia::IID_IClassFactory, &object)) || !object)
    return STATUS_UNSPECIFIED_ERROR;
  auto* factory = static_cast<dia::IClassFactory*>(object);
  void* source = nullptr;
  dia::HRESULT hr = factory->CreateInstance(nullptr, dia::IID_IDiaDataSource, &source);
  factory->Release();
  if (dia::FAILED(hr) || !source) return STATUS_UNSPECIFIED_ERROR;
  *out.out() = static_cast<dia::IDiaDataSource*>(source);
  return STATUS_OK;
}

DiaManager::Module* DiaManager::remember(Module* module, const internal::ComPtr<dia::IDiaDataSource>& source) {
  module->addRef();
  auto found = m_modules.find(module);
  if (found != m_modules.end()) {
    module->release();
    return found->first;
  }
  m_modules.emplace(module, source);
  return module;
}

status_t DiaManager::validatePdb(const wchar_t* pdbPath, const dia::GUID* guid, uint32_t signature, uint32_t age) {
  ScopedLock guard(&m_moduleLock);
  if (findDataSource(pdbPath, guid, signature, age)) return STATUS_OK;
  internal::ComPtr<dia::IDiaDataSource> source;
  status_t status = createDataSource(source);
  if (status != STATUS_OK) return status;
  SymMgrObjectPtr<WOW64FileHelper> helper(new WOW64FileHelper(pdbPath, nullptr));
  if (dia::FAILED(source->loadAndValidateDataFromPdb(helper->effectivePath(), guid, signature, age)))
    return STATUS_NO_VALID_PDB;
  remember(new Module(helper.get(), guid, signature, age), source);
  return STATUS_OK;
}

status_t DiaManager::findPdb(const wchar_t** foundPath, const wchar_t* imagePath, const dia::GUID* guid,
                             uint32_t signature, uint32_t age, const wchar_t* pdbPath) {
  ScopedLock guard(&m_moduleLock);
  *foundPath = nullptr;
  DiaLoadCallBack callback;
  SymMgrObjectPtr<WOW64FileHelper> pdbHelper;
  internal::ComPtr<dia::IDiaDataSource> source;
  status_t status = createDataSource(source);
  if (status != STATUS_OK) return status;

  unsigned previousMode = setErrorMode(1);
  SymMgrObjectPtr<WOW64FileHelper> imageHelper(new WOW64FileHelper(imagePath, nullptr));
  if (pdbPath && *pdbPath && imageHelper->tempDirectory()) {
    // The image was copied: put its PDB beside the copy, so the search finds it there.
    KAVE_3_1::Filename pdbName{KAVE_3_1::String(pdbPath)};
    KAVE_3_1::Filename besideImage{KAVE_3_1::String(imagePath)};
    std::wstring base = pdbName.baseWithExtension().str();
    size_t backslash = base.rfind(L'\\');
    if (backslash != std::wstring::npos) base = base.substr(backslash + 1);
    besideImage.setBaseWithExtension(KAVE_3_1::String(base));
    const std::wstring candidate = besideImage.spelling().str();
    if (canOpen(candidate)) pdbHelper = new WOW64FileHelper(candidate.c_str(), imageHelper->tempDirectory());
  }
  dia::HRESULT hr = source->loadDataForExe(imageHelper->effectivePath(), nullptr, &callback);
  setErrorMode(previousMode);
  if (dia::FAILED(hr)) return STATUS_NO_VALID_PDB;

  if (pdbHelper && callback.openedPath() != pdbHelper->effectivePath()) pdbHelper.reset();
  if (!pdbHelper) pdbHelper = new WOW64FileHelper(callback.openedPath().c_str(), nullptr);
  Module* stored = remember(new Module(pdbHelper.get(), guid, signature, age), source);
  *foundPath = stored->sourcePath();
  return STATUS_OK;
}

internal::ComPtr<dia::IDiaDataSource> DiaManager::findDataSource(const wchar_t* pdbPath, const dia::GUID* guid,
                                                                 uint32_t signature, uint32_t age) {
  SymMgrObjectPtr<WOW64FileHelper> helper(new WOW64FileHelper(pdbPath, nullptr));
  Module key(helper.get(), guid, signature, age);
  ScopedLock guard(&m_moduleLock);
  auto found = m_modules.find(&key);
  if (found == m_modules.end()) return internal::ComPtr<dia::IDiaDataSource>();
  return found->second;
}

size_t DiaManager::openModuleCount() {
  ScopedLock guard(&m_moduleLock);
  return m_modules.size();
}

// --- Module ---------------------------------------------------------------------------

DiaManager::Module::Module(WOW64FileHelper* helper, const dia::GUID* guid, uint32_t signature, uint32_t age)
    : m_helper(helper), m_pdbGuid(16, '\0'), m_pdbSignature(signature), m_pdbAge(age) {
  if (guid) {
    unsigned char* b = reinterpret_cast<unsigned char*>(&m_pdbGuid[0]);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(guid->Data1 >> (8 * i));
    b[4] = static_cast<unsigned char>(guid->Data2);
    b[5] = static_cast<unsigned char>(guid->Data2 >> 8);
    b[6] = static_cast<unsigned char>(guid->Data3);
    b[7] = static_cast<unsigned char>(guid->Data3 >> 8);
    std::memcpy(b + 8, guid->Data4, 8);
  }
}

bool DiaManager::Module::operator<(const Module& o) const {
  int c = std::memcmp(m_pdbGuid.data(), o.m_pdbGuid.data(), 16);
  if (c != 0) return c < 0;
  if (m_pdbSignature != o.m_pdbSignature) return m_pdbSignature < o.m_pdbSignature;
  if (m_pdbAge != o.m_pdbAge) return m_pdbAge < o.m_pdbAge;
  return std::wcscmp(sourcePath(), o.sourcePath()) < 0;
}

}  // namespace ZOR_3_12
