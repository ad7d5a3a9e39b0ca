// The identity of a file on disk: size, modification time and path. A rebuilt file gets a new
// identity, so caches keyed by it never hand out a loader for stale contents.
#ifndef ZOR_LOADER_FILE_IDENTITY_H_
#define ZOR_LOADER_FILE_IDENTITY_H_

#include <cstdint>
#include <string>

namespace ZOR_3_12 {

struct FileIdentity {
  uint32_t size = 0;              // the 32-bit size of the file's status record
  uint64_t modificationTime = 0;  // seconds since the epoch
  std::wstring path;              // as given (callers pass absolute spellings)

  // One status query of the file system; numbers stay 0 for a null/empty path or a failed query.
  static FileIdentity of(const wchar_t* path);

  bool operator<(const FileIdentity& o) const;
  bool operator==(const FileIdentity& o) const {
    return size == o.size && modificationTime == o.modificationTime && path == o.path;
  }
};

}  // namespace ZOR_3_12

#endif  // ZOR_LOADER_FILE_IDENTITY_H_
