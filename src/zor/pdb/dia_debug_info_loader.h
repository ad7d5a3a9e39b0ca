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
#include <vector>

#include "dia/dia_interfaces.h"
#include "zor/manager/debug_info_loader.h"
#include "zor/pdb/com_ptr.h"
#include "zor/pdb/dia_manager.h"
#include "zor/pe/pe_file_info.h"

namespace ZOR_3_12 {

// A cursor over a DIA symbol enumeration.
class DIAChildIterator {
 public:
  // Stands on the first symbol, if any. A null enumeration is empty.
  explicit DIAChildIterator(dia::IDiaEnumSymbols* symbols);
  bool valid() const { return m_valid; }
  dia::IDiaSymbol* current() const { return m_current.get(); }
  void step();

 private:
  internal::ComPtr<dia::IDiaEnumSymbols> m_symbols;
  internal::ComPtr<dia::IDiaSymbol> m_current;
  bool m_valid = false;
};

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

// The address maps of an image rearranged after linking: pairs {rva, rvaTo} sorted by rva,
// each mapping the stretch up to the next pair's rva (rvaTo 0: the stretch was dropped).
class OMAPLoader : public SymMgrObjectImpl {
 public:
  struct Record {
    uint32_t rva;
    uint32_t rvaTo;
  };
  // Reads both tables; `from` stays empty when the PDB has no "OMAPFROM" stream.
  explicit OMAPLoader(dia::IDiaSession* session);

  bool present() const { return m_present; }
  const std::vector<Record>& from() const { return m_from; }
  const std::vector<Record>& to() const { return m_to; }

  // The image pieces of the PDB stretch [start, end): {image rva, length}, in order.
  std::vector<std::pair<uint32_t, uint64_t>> mapRange(uint64_t start, uint64_t end) const;

 private:
  static bool readTable(dia::IDiaEnumDebugStreams* streams, const wchar_t* name, std::vector<Record>& out);

  std::vector<Record> m_from;
  std::vector<Record> m_to;
  bool m_present = false;
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
