// The debug-info loader of PE images whose PDB the resolver chose: opens a session on the
// PDB through the DIA manager and fills the module's symbol table with the PDB's public
// symbols, functions, data, labels and thunks, together with the image's incremental-link
// trampolines. Images rearranged after linking have their public symbols mapped through
// the PDB's OMAP tables.
#ifndef ZOR_PDB_DIA_DEBUG_INFO_LOADER_H_
#define ZOR_PDB_DIA_DEBUG_INFO_LOADER_H_

#include <cstdint>
#include <map>
#include <string>

#include "dia/dia_interfaces.h"
#include "zor/manager/debug_info_loader.h"
#include "zor/pdb/com_ptr.h"
#include "zor/pdb/dia_child_iterator.h"
#include "zor/pdb/dia_manager.h"
#include "zor/pdb/omap_loader.h"
#include "zor/pe/pe_file_info.h"

namespace ZOR_3_12 {

// The incremental-link trampolines of a module, by the RVA they jump to.
struct IltThunkMap {
  struct Entry {
    uint32_t rva;
    uint64_t length;
  };
  uint32_t base = ~0u;  // RVA of the first trampoline
  std::multimap<uint32_t, Entry> byTarget;
  bool empty() const { return byTarget.empty(); }
};

class DIADebugInfoLoader : public DebugInfoLoader {
 public:
  DIADebugInfoLoader(IFileFormatLoader* ffl, const wchar_t* pdbPath, const PEFileInfo* info, ILock* lock);
  ~DIADebugInfoLoader() override;

  const wchar_t* symFileName() override { return m_pdbPath.c_str(); }
  uint32_t symFileFormat() override { return SYM_FORMAT_PDB; }
  status_t loadDebugInfo(ISymbolTable* table, uint32_t kindMask, ISrcLineResolver* loadContext) override;
  // A new line resolver on every call (the caller keeps it); null without a session.
  ISrcLineResolver* srcLineResolver(IScope* scope, ILock* lock) override;

  // Opens the session once; false when the PDB cannot be opened.
  bool openSession();
  dia::IDiaSession* session() const { return m_session.get(); }

  // Inserts one scope per acceptable symbol of `symbols` into `table`; answers how many
  // were inserted. `thunks` may be null.
  size_t loadChildren(dia::IDiaEnumSymbols* symbols, uint32_t compiland, ISymbolTable* table, IltThunkMap* thunks,
                      ISrcLineResolver* context);

 private:
  void buildThunkMap(dia::IDiaSymbol* global, IltThunkMap& map);
  // STATUS_FALSE when no public symbol qualifies, so that the plain path runs instead.
  status_t loadPublicsThroughOmap(const OMAPLoader& omap, dia::IDiaEnumSymbols* publics, ISymbolTable* table,
                                  ISrcLineResolver* context, size_t& inserted);
  size_t loadTag(dia::IDiaSymbol* parent, uint32_t tag, uint32_t compiland, ISymbolTable* table, IltThunkMap* thunks,
                 ISrcLineResolver* context);

  SymMgrObjectPtr<IDiaManager> m_manager;  // keeps the plug-in loaded while DIA objects live
  const PEFileInfo* m_peInfo;
  std::wstring m_pdbPath;
  internal::ComPtr<dia::IDiaSession> m_session;
  ZorLock m_lock;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_DEBUG_INFO_LOADER_H_
