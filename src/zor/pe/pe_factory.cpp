#include "zor/loader/file_format_loader.h"
#include "zor/pe/pe_exec_file_loader.h"

namespace ZOR_3_12 {
namespace internal {

SymMgrObjectPtr<IFileFormatLoader> makePeLoader(const wchar_t* path, ILock* lock) {
  return new PEExecFileLoader(path, lock);
}

}  // namespace internal
}  // namespace ZOR_3_12
