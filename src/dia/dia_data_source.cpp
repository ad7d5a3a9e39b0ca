#include "dia/dia_data_source.h"

#include <sys/stat.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <llvm/Support/MemoryBuffer.h>

#include "dia/com_object.h"
#include "dia/dia_session.h"
#include "dia/image_codeview.h"
#include "dia/pdb_reader.h"
#include "dia/wide_text.h"

namespace dia {
namespace plugin {

namespace {

bool isZero(const GUID& guid) { return guid == GUID{}; }

// The identity check of a PDB against what an image recorded: the GUID (or, for old
// records without one, the signature) and the age.
HRESULT validate(const PdbModel& model, const GUID* guid, DWORD signature, DWORD age) {
  if (guid && !isZero(*guid)) {
    if (!(model.guid == *guid)) return E_PDB_INVALID_SIG;
  } else if (model.signature != signature) {
    return E_PDB_INVALID_SIG;
  }
  if (model.age != age && !(model.hasDbiAge && model.dbiAge == age)) return E_PDB_INVALID_AGE;
  return S_OK;
}

bool isRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The last component of a path written with either separator.
std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

class DataSource final : public ComObject<IDiaDataSource> {
 public:
  HRESULT loadDataFromPdb(LPCOLESTR pdbPath) override {
    if (!pdbPath) return E_INVALIDARG;
    if (m_model) return E_UNEXPECTED;
    auto model = std::make_shared<PdbModel>();
    HRESULT hr = readPdbFile(wideToUtf8(pdbPath), *model);
    if (SUCCEEDED(hr)) m_model = std::move(model);
    return hr;
  }

  HRESULT loadAndValidateDataFromPdb(LPCOLESTR pdbPath, const GUID* guid, DWORD signature, DWORD age) override {
    if (!pdbPath) return E_INVALIDARG;
    if (m_model) return E_UNEXPECTED;
    return loadValidated(wideToUtf8(pdbPath), guid, signature, age);
  }

  HRESULT loadDataForExe(LPCOLESTR exePath, LPCOLESTR searchPath, IUnknown* callback) override {
    if (!exePath) return E_INVALIDARG;
    if (m_model) return E_UNEXPECTED;
    std::string image = wideToUtf8(exePath);
    auto bytes = llvm::MemoryBuffer::getFile(image, /*IsText=*/false, /*RequiresNullTerminator=*/false);
    if (!bytes) return E_PDB_NOT_FOUND;
    CodeViewRecord record;
    if (!readCodeViewRecord(reinterpret_cast<const uint8_t*>((*bytes)->getBufferStart()), (*bytes)->getBufferSize(),
                            record) ||
        record.pdbPath.empty())
      return E_PDB_NO_DEBUG_INFO;

    IDiaLoadCallback* notify = nullptr;
    if (callback && callback->QueryInterface(IID_IDiaLoadCallback, reinterpret_cast<void**>(&notify)) != S_OK)
      notify = nullptr;
    if (notify)
      notify->NotifyDebugDir(1, static_cast<DWORD>(record.debugDirectory.size()), record.debugDirectory.data());

    // The recorded path first, then the PDB's file name beside the image, then in each
    // directory of the search path.
    std::vector<std::string> candidates{record.pdbPath};
    std::string name = baseName(record.pdbPath);
    candidates.push_back(directoryOf(image) + name);
    std::string search = searchPath ? wideToUtf8(searchPath) : std::string();
    for (size_t begin = 0; begin < search.size();) {
      size_t end = search.find(';', begin);
      if (end == std::string::npos) end = search.size();
      std::string directory = search.substr(begin, end - begin);
      if (!directory.empty()) candidates.push_back(directory + (directory.back() == '/' ? "" : "/") + name);
      begin = end + 1;
    }

    HRESULT result = E_PDB_NOT_FOUND;
    std::vector<std::string> tried;
    for (const std::string& candidate : candidates) {
      bool seen = false;
      for (const std::string& earlier : tried) seen = seen || earlier == candidate;
      if (seen) continue;
      tried.push_back(candidate);
      HRESULT hr = isRegularFile(candidate)
                       ? loadValidated(candidate, record.isRsds ? &record.guid : nullptr, record.signature, record.age)
                       : E_PDB_NOT_FOUND;
      if (notify) notify->NotifyOpenPDB(utf8ToWide(candidate).c_str(), hr);
      if (SUCCEEDED(hr)) {
        result = S_OK;
        break;
      }
      // A file that exists but does not match says more than a missing one.
      if (hr != E_PDB_NOT_FOUND) result = hr;
    }
    if (notify) notify->Release();
    return result;
  }

  HRESULT openSession(IDiaSession** session) override {
    if (!session) return E_INVALIDARG;
    *session = nullptr;
    if (!m_model) return E_UNEXPECTED;
    *session = newSession(m_model);
    return S_OK;
  }

 protected:
  bool providesInterface(REFIID riid) const override { return riid == IID_IDiaDataSource; }

 private:
  HRESULT loadValidated(const std::string& path, const GUID* guid, DWORD signature, DWORD age) {
    auto model = std::make_shared<PdbModel>();
    HRESULT hr = readPdbFile(path, *model);
    if (FAILED(hr)) return hr;
    hr = validate(*model, guid, signature, age);
    if (SUCCEEDED(hr)) m_model = std::move(model);
    return hr;
  }

  std::shared_ptr<const PdbModel> m_model;
};

class ClassFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    DataSource* source = new DataSource();
    HRESULT hr = source->QueryInterface(riid, object);
    source->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 protected:
  bool providesInterface(REFIID riid) const override { return riid == IID_IClassFactory; }
};

}  // namespace

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!(clsid == CLSID_DiaSource)) return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = new ClassFactory();
  HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

}  // namespace plugin
}  // namespace dia
