// Checked access to the bytes of an image: the file is mapped read-only for the duration of
// one operation and every read must lie wholly inside it.
#ifndef ZOR_PE_PE_FILE_BYTES_H_
#define ZOR_PE_PE_FILE_BYTES_H_

#include <cstdint>
#include <memory>
#include <string>

#include "kave/file.h"

namespace ZOR_3_12 {
namespace pe {

class FileBytes {
 public:
  explicit FileBytes(const std::wstring& path);

  // False when the file could not be opened (an empty file opens).
  bool opened() const { return m_file != nullptr; }
  uint64_t size() const { return m_size; }
  // The `n` bytes at `offset`, or null unless all of them are in the file.
  const unsigned char* at(uint64_t offset, uint64_t n) const {
    if (offset > m_size || n > m_size - offset) return nullptr;
    return m_data + offset;
  }
  // Copies the `n` bytes at `offset` into `out`; false (nothing copied) unless all of them
  // are in the file.
  bool read(uint64_t offset, uint64_t n, void* out) const;
  // The NUL-terminated text at `offset`, at most `limit` bytes, cut at the end of the file.
  // False when `offset` itself is not in the file.
  bool readString(uint64_t offset, size_t limit, std::string& out) const;

 private:
  std::shared_ptr<KAVE_3_1::MappedFile> m_file;
  const unsigned char* m_data = nullptr;
  uint64_t m_size = 0;
};

}  // namespace pe
}  // namespace ZOR_3_12

#endif  // ZOR_PE_PE_FILE_BYTES_H_
