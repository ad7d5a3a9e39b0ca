// The one way the ELF file loader makes DWARF debug-info loaders.
#include "zor/dwarf/debug_info_loader.h"

namespace ZOR_3_12 {
namespace internal {

IDebugInfoLoader* makeDwarfDebugInfoLoader(IFileFormatLoader* ffl, const wchar_t* symbolFilePath, ElfHelper* imageElf,
                                           ILock* lock) {
  return new DWARFDebugInfoLoader(ffl, symbolFilePath, imageElf, lock);
}

}  // namespace internal
}  // namespace ZOR_3_12
