#include "zor/pe/pe_file_bytes.h"

#include <cstring>

#include "kave/unicode.h"

namespace ZOR_3_12 {
namespace pe {

FileBytes::FileBytes(const std::wstring& path) : m_file(KAVE_3_1::MappedFile::open(KAVE_3_1::wideToUtf8(path))) {
  if (m_file) {
    m_data = m_file->data();
    m_size = m_data ? m_file->size() : 0;
  }
}

bool FileBytes::read(uint64_t offset, uint64_t n, void* out) const {
  const unsigned char* p = at(offset, n);
  if (!p) return false;
  if (n) std::memcpy(out, p, size_t(n));
  return true;
}

bool FileBytes::readString(uint64_t offset, size_t limit, std::string& out) const {
  out.clear();
  if (offset >= m_size) return false;
  const uint64_t avail = m_size - offset;
  const size_t max = avail < limit ? size_t(avail) : limit;
  const unsigned char* p = m_data + offset;
  const void* nul = std::memchr(p, 0, max);
  out.assign(reinterpret_cast<const char*>(p), nul ? size_t(static_cast<const unsigned char*>(nul) - p) : max);
  return true;
}

}  // namespace pe
}  // namespace ZOR_3_12
