#include "zor/loader/file_format_loader.h"

namespace ZOR_3_12 {
namespace internal {

// The PE reader is not built yet: until it is, a PE image is treated like an unknown format
// (the caller turns the null into STATUS_BAD_FILE_FORMAT).
SymMgrObjectPtr<IFileFormatLoader> makePeLoader(const wchar_t* /*path*/, ILock* /*lock*/) {
  return SymMgrObjectPtr<IFileFormatLoader>();
}

}  // namespace internal
}  // namespace ZOR_3_12
