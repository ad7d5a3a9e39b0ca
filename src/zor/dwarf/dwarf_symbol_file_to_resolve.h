// The one candidate symbol file of an ELF module: the separate debug file its
// .gnu_debuglink names, or the module itself when it carries no debug link.
//
// A linked debug file is looked for beside the module, in the module's .debug directory,
// then under each global debug directory: by the module's build id
// (<root>/.build-id/xx/yyyy.debug) and by the module's directory mirrored below the root
// (<root>/<module dir>/<link>). Files found by name need the CRC the link records; a file
// found by build id needs the same build id instead. A module with neither link nor debug
// information of its own still gets the build-id search.
#ifndef ZOR_DWARF_DWARF_SYMBOL_FILE_TO_RESOLVE_H_
#define ZOR_DWARF_DWARF_SYMBOL_FILE_TO_RESOLVE_H_

#include <cstdint>
#include <string>

#include <zor/loader.h>
#include <zor/lock.h>

#include "zor/elf/elf_helper.h"

namespace ZOR_3_12 {

class DWARFSymbolFileToResolve : public ISymbolFileToResolve {
 public:
  // Runs the search at once. `imagePath` is borrowed from the module's loader.
  DWARFSymbolFileToResolve(int32_t index, const wchar_t* imagePath, ElfHelper* elfHelper);
  virtual ~DWARFSymbolFileToResolve() = default;

  const wchar_t* fileName() override { return m_path.c_str(); }
  const wchar_t* imageFileName() override { return m_imagePath; }
  uint32_t format() override { return SYM_FORMAT_DWARF; }
  uint32_t state() override { return m_state; }
  int32_t tryFile(const wchar_t* path) override;
  uint32_t resolvable() override { return 1; }

  bool hasDebugLink() const { return m_hasDebugLink; }
  uint32_t expectedCrc() const { return m_expectedCrc; }

  // The CRC-32 of the whole file read in 8 KiB chunks; a file that cannot be opened gives the
  // CRC of nothing read (0). `ok` tells whether the file opened.
  static uint32_t fileCrc(const std::wstring& path, bool* ok = nullptr);

 private:
  void search();
  bool readDebugLink(std::wstring& name);
  bool crcMatches(const std::wstring& path) const;
  bool buildIdMatches(const std::wstring& path) const;
  // The build-id candidates under the global debug directories; true with `found` set when
  // one carries the module's build id. `someExisted` is set when any candidate exists.
  bool searchByBuildId(std::wstring& found, bool& someExisted) const;

  const wchar_t* m_imagePath;
  SymMgrObjectPtr<ElfHelper> m_elfHelper;
  std::wstring m_path;
  uint32_t m_state = RESOLVE_STATE_NONE;
  uint32_t m_expectedCrc = 0;
  bool m_hasDebugLink = false;
  ZorLock m_lock;
  int32_t m_index;
};

}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DWARF_SYMBOL_FILE_TO_RESOLVE_H_
