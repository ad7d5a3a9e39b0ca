// The absolute spelling of a path, used wherever two module or symbol-file paths are compared.
#ifndef ZOR_MANAGER_ABSOLUTE_PATH_H_
#define ZOR_MANAGER_ABSOLUTE_PATH_H_

#include <string>

namespace ZOR_3_12 {
namespace internal {

// Joined to the current directory when relative; no normalisation, so two spellings of one
// file may still differ ("a/../b"), which only costs a second loader, never a wrong one.
std::wstring absolutePath(const wchar_t* path);

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_MANAGER_ABSOLUTE_PATH_H_
