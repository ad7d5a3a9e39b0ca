#include "zor/manager/absolute_path.h"

#include "kave/file.h"

namespace ZOR_3_12 {
namespace internal {

std::wstring absolutePath(const wchar_t* path) {
  KAVE_3_1::Filename name(KAVE_3_1::String(path), KAVE_3_1::FORMAT_NATIVE, false);
  return name.toAbsoluteFilename(KAVE_3_1::Filename()).spelling().str();
}

}  // namespace internal
}  // namespace ZOR_3_12
