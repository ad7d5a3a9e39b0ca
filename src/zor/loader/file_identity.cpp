#include "zor/loader/file_identity.h"

#include <sys/stat.h>

#include <cwchar>

#include "kave/unicode.h"

namespace ZOR_3_12 {

FileIdentity FileIdentity::of(const wchar_t* path) {
  FileIdentity id;
  if (path == nullptr || *path == L'\0') return id;
  id.path = path;
  struct stat st;
  if (::stat(KAVE_3_1::wideToUtf8(path).c_str(), &st) == 0) {
    // The cache key keeps only the low 32 bits of the size, as the status record it was
    // designed around did; the modification time disambiguates rebuilt files anyway.
    id.size = static_cast<uint32_t>(st.st_size);
    id.modificationTime = static_cast<uint64_t>(st.st_mtime);
  }
  return id;
}

bool FileIdentity::operator<(const FileIdentity& o) const {
  if (size != o.size) return size < o.size;
  if (modificationTime != o.modificationTime) return modificationTime < o.modificationTime;
  return std::wcscmp(path.c_str(), o.path.c_str()) < 0;
}

}  // namespace ZOR_3_12
