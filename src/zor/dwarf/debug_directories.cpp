#include "zor/dwarf/debug_directories.h"

#include <cstdlib>

#include "kave/unicode.h"

namespace ZOR_3_12 {
namespace internal {

const char* const kDebugDirectoriesVariable = "ZOR_DEBUG_FILE_DIRECTORIES";

namespace {

constexpr const wchar_t* kDefaultDebugDirectory = L"/usr/lib/debug";

// Joins two path pieces with exactly one separator between them.
std::wstring join(const std::wstring& head, const std::wstring& tail) {
  std::wstring out = head;
  while (!out.empty() && out.back() == L'/' && out.size() > 1) out.pop_back();
  size_t skip = 0;
  while (skip < tail.size() && tail[skip] == L'/') ++skip;
  if (out.empty() || out.back() != L'/') out += L'/';
  out.append(tail, skip, std::wstring::npos);
  return out;
}

}  // namespace

std::vector<std::wstring> globalDebugDirectories() {
  std::vector<std::wstring> dirs;
  const char* value = std::getenv(kDebugDirectoriesVariable);
  if (!value) {
    dirs.emplace_back(kDefaultDebugDirectory);
    return dirs;
  }
  const std::wstring list = KAVE_3_1::utf8ToWide(value);
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(L':', start);
    if (end == std::wstring::npos) end = list.size();
    if (end > start) dirs.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return dirs;
}

std::wstring buildIdDebugPath(const std::wstring& dir, const unsigned char* buildId, size_t size) {
  if (!buildId || size < 2 || dir.empty()) return std::wstring();
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring rel = L".build-id/";
  rel += kHex[buildId[0] >> 4];
  rel += kHex[buildId[0] & 0xF];
  rel += L'/';
  for (size_t i = 1; i < size; ++i) {
    rel += kHex[buildId[i] >> 4];
    rel += kHex[buildId[i] & 0xF];
  }
  rel += L".debug";
  return join(dir, rel);
}

std::wstring buildIdDebugPath(const std::wstring& dir, const std::vector<unsigned char>& buildId) {
  return buildIdDebugPath(dir, buildId.data(), buildId.size());
}

std::wstring mirroredDebugPath(const std::wstring& dir, const std::wstring& imageDir, const std::wstring& name) {
  if (dir.empty() || name.empty() || imageDir.empty() || imageDir[0] != L'/') return std::wstring();
  return join(join(dir, imageDir), name);
}

}  // namespace internal
}  // namespace ZOR_3_12
