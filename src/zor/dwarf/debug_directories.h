// Where separate debug files live outside the module's own directory: the global debug
// directories (distributions install debug files under one root), and the two layouts
// used below such a root — by build id and by the module's mirrored directory.
#ifndef ZOR_DWARF_DEBUG_DIRECTORIES_H_
#define ZOR_DWARF_DEBUG_DIRECTORIES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace ZOR_3_12 {
namespace internal {

// The environment variable whose colon-separated directories replace the default root.
extern const char* const kDebugDirectoriesVariable;

// The global debug directories in search order: the non-empty entries of
// ZOR_DEBUG_FILE_DIRECTORIES when that variable is set (an empty value disables the
// global search), otherwise /usr/lib/debug. Read anew on every call.
std::vector<std::wstring> globalDebugDirectories();

// <dir>/.build-id/xx/yyyy.debug where xx is the first byte of `buildId` and yyyy the rest,
// both as lowercase hex. Empty when the id has fewer than two bytes (no such layout).
std::wstring buildIdDebugPath(const std::wstring& dir, const unsigned char* buildId, size_t size);
std::wstring buildIdDebugPath(const std::wstring& dir, const std::vector<unsigned char>& buildId);

// <dir>/<imageDir>/<name>: the debug file kept under a root that mirrors the absolute
// directory of the module. Empty when `imageDir` is not absolute or `name` is empty.
std::wstring mirroredDebugPath(const std::wstring& dir, const std::wstring& imageDir, const std::wstring& name);

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DEBUG_DIRECTORIES_H_
