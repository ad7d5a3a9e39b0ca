// The process-wide owner of the PDB plug-in: loads it from this library's directory, makes
// its data sources, finds or validates the PDB of an image and keeps every opened PDB for
// reuse, so that modules naming the same PDB share one open data source.
#ifndef ZOR_PDB_DIA_MANAGER_H_
#define ZOR_PDB_DIA_MANAGER_H_

#include <cstdint>
#include <map>
#include <string>

#include <zor/object.h>
#include <zor/status.h>

#include "dia/dia_interfaces.h"
#include "zor/pdb/com_ptr.h"
#include "zor/pdb/dia_load_callback.h"
#include "zor/pdb/wow64_file_helper.h"

namespace ZOR_3_12 {

class IDiaManager : public ISymMgrObject {
 public:
  // Opens the PDB at `pdbPath` when it matches the identity (STATUS_NO_VALID_PDB otherwise).
  virtual status_t validatePdb(const wchar_t* pdbPath, const dia::GUID* guid, uint32_t signature,
                               uint32_t age) = 0;
  // Lets the plug-in find the image's PDB. `foundPath` belongs to the manager.
  virtual status_t findPdb(const wchar_t** foundPath, const wchar_t* imagePath, const dia::GUID* guid,
                           uint32_t signature, uint32_t age, const wchar_t* pdbPath) = 0;
  // The open data source of that PDB, or null when it was never opened.
  virtual internal::ComPtr<dia::IDiaDataSource> findDataSource(const wchar_t* pdbPath, const dia::GUID* guid,
                                                               uint32_t signature, uint32_t age) = 0;

  // The one manager; STATUS_NO_PDB_READER when the plug-in cannot be loaded.
  static status_t create(SymMgrObjectPtr<IDiaManager>& out);

 protected:
  ~IDiaManager() = default;
};

class DiaManager : public SymMgrObject<IDiaManager> {
 public:
  // One opened PDB: its identity and the file helper of its path.
  class Module : public SymMgrObjectImpl {
   public:
    Module(WOW64FileHelper* helper, const dia::GUID* guid, uint32_t signature, uint32_t age);
    const wchar_t* sourcePath() const { return m_helper->sourcePath(); }
    // GUID bytes, signature, age, then the path (case-sensitive).
    bool operator<(const Module& o) const;

   private:
    SymMgrObjectPtr<WOW64FileHelper> m_helper;
    std::string m_pdbGuid;  // the 16 GUID bytes
    uint32_t m_pdbSignature;
    uint32_t m_pdbAge;
  };

  // `library` is the plug-in's handle (null for an installed test double); the entry
  // points are already looked up.
  DiaManager(void* library, dia::DllGetClassObjectFn getClassObject, dia::DiaFreeStringFn freeString,
             const dia::GUID* classId, ILock* lock);
  ~DiaManager() override;

  status_t validatePdb(const wchar_t* pdbPath, const dia::GUID* guid, uint32_t signature, uint32_t age) override;
  status_t findPdb(const wchar_t** foundPath, const wchar_t* imagePath, const dia::GUID* guid, uint32_t signature,
                   uint32_t age, const wchar_t* pdbPath) override;
  internal::ComPtr<dia::IDiaDataSource> findDataSource(const wchar_t* pdbPath, const dia::GUID* guid,
                                                       uint32_t signature, uint32_t age) override;

  // The number of PDBs held open (for tests).
  size_t openModuleCount();

 private:
  struct ModuleLess {
    bool operator()(const Module* a, const Module* b) const { return *a < *b; }
  };

  status_t createDataSource(internal::ComPtr<dia::IDiaDataSource>& out);
  // Stores `module` (taking a reference) unless an equal one is there; returns the stored one.
  Module* remember(Module* module, const internal::ComPtr<dia::IDiaDataSource>& source);

  std::map<Module*, internal::ComPtr<dia::IDiaDataSource>, ModuleLess> m_modules;
  void* m_library;
  const dia::GUID* m_classId;
  ZorLock m_moduleLock;
  dia::DllGetClassObjectFn m_getClassObject;
};

namespace internal {

// Opens `name` from the directory this library was loaded from; null when it cannot.
void* loadLibraryBesideSelf(const char* name);

// Test hooks. A directory other than this library's to load the plug-in from (empty
// restores the default), and an in-process stand-in for the plug-in's entry points (null
// restores loading). Both take effect at the next creation of the manager.
struct DiaPluginOverride {
  dia::DllGetClassObjectFn getClassObject;
  dia::DiaFreeStringFn freeString;
};
void setDiaPluginDirectory(const std::string& directory);
void setDiaPluginOverride(const DiaPluginOverride* standIn);

// The GUID of a CodeView record's 16 bytes, as stored in the file (little-endian fields).
dia::GUID guidFromBytes(const unsigned char bytes[16]);

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_MANAGER_H_
