#include "kave/file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kave/unicode.h"

namespace KAVE_3_1 {

namespace {

FileOpStatus statusFromErrno(int error) {
  switch (error) {
    case 0: return FILE_OK;
    case ENOENT: return FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return FILE_ACCESS_DENIED;
    case EISDIR: return FILE_IS_DIRECTORY;
    case EEXIST: return FILE_ALREADY_EXISTS;
    case ENOTDIR: return FILE_NOT_DIRECTORY;
    case ENOTEMPTY: return FILE_NOT_EMPTY;
    case ENAMETOOLONG:
    case EINVAL: return FILE_INVALID_NAME;
    default: return FILE_IO_ERROR;
  }
}

// Opens a regular file read-only. O_NONBLOCK keeps a FIFO from blocking the open; it has no
// effect on reads of regular files, the only kind accepted.
int openRegular(const std::string& path, FileOpStatus* status) {
  if (path.empty()) {
    *status = FILE_INVALID_NAME;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *status = statusFromErrno(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *status = S_ISDIR(st.st_mode) ? FILE_IS_DIRECTORY : FILE_NOT_REGULAR;
    ::close(fd);
    return -1;
  }
  *status = FILE_OK;
  return fd;
}

// Reads until count bytes, end of file or an error; returns -1 on error.
int64_t preadFully(int fd, unsigned char* buffer, uint64_t count, uint64_t offset) {
  uint64_t done = 0;
  while (done < count) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, 1u << 30));
    ssize_t got = ::pread(fd, buffer + done, want, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int64_t>(done);
}

// XXH64 with seed 0, fed in whole 32-byte stripes followed by one tail.
class Xxh64 {
 public:
  void stripes(const unsigned char* p, size_t count) {
    for (size_t i = 0; i < count; ++i, p += 32) {
      for (int lane = 0; lane < 4; ++lane) m_v[lane] = round(m_v[lane], read64(p + 8 * lane));
    }
    m_length += 32 * static_cast<uint64_t>(count);
  }

  uint64_t finish(const unsigned char* p, size_t n) {
    uint64_t h;
    if (m_length >= 32) {
      h = rotl(m_v[0], 1) + rotl(m_v[1], 7) + rotl(m_v[2], 12) + rotl(m_v[3], 18);
      for (uint64_t v : m_v) {
        h ^= round(0, v);
        h = h * kP1 + kP4;
      }
    } else {
      h = kP5;
    }
    h += m_length + n;
    for (; n >= 8; n -= 8, p += 8) {
      h ^= round(0, read64(p));
      h = rotl(h, 27) * kP1 + kP4;
    }
    if (n >= 4) {
      uint32_t k;
      std::memcpy(&k, p, 4);
      h ^= uint64_t(k) * kP1;
      h = rotl(h, 23) * kP2 + kP3;
      n -= 4;
      p += 4;
    }
    for (; n > 0; --n, ++p) {
      h ^= (*p) * kP5;
      h = rotl(h, 11) * kP1;
    }
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
  }

 private:
  static constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
  static constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
  static constexpr uint64_t kP3 = 0x165667B19E3779F9ull;
  static constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ull;
  static constexpr uint64_t kP5 = 0x27D4EB2F165667C5ull;

  static uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
  static uint64_t read64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);  // little-endian host
    return v;
  }
  static uint64_t round(uint64_t acc, uint64_t input) {
    acc += input * kP2;
    return rotl(acc, 31) * kP1;
  }

  uint64_t m_v[4] = {kP1 + kP2, kP2, 0, uint64_t(0) - kP1};
  uint64_t m_length = 0;
};

}  // namespace

uint64_t checksum64(const unsigned char* data, size_t size) {
  Xxh64 hash;
  hash.stripes(data, size / 32);
  return hash.finish(data + (size & ~size_t(31)), size % 32);
}

// ---- File ----

File::File(const Filename& f) : m_fd(-1), m_offset(0), m_status(FILE_NOT_OPEN) {
  m_fd = openRegular(f.utf8(), &m_status);
}

File::~File() {
  if (m_fd >= 0) ::close(m_fd);
}

FileOpStatus File::lastOpStatus() const { return m_status; }

uint64_t File::setOffset(uint64_t offset) {
  m_offset = offset;
  return m_offset;
}

uint64_t File::offset() const { return m_offset; }

uint64_t File::read(uint64_t count, unsigned char* buffer) {
  if (m_fd < 0) return FILE_READ_FAILED;
  if (count == 0) return 0;
  if (buffer == nullptr || m_offset > uint64_t(INT64_MAX)) {
    m_status = FILE_IO_ERROR;
    return FILE_READ_FAILED;
  }
  int64_t got = preadFully(m_fd, buffer, count, m_offset);
  if (got < 0) {
    m_status = statusFromErrno(errno);
    if (m_status == FILE_OK) m_status = FILE_IO_ERROR;
    return FILE_READ_FAILED;
  }
  m_offset += static_cast<uint64_t>(got);
  return static_cast<uint64_t>(got);
}

uint64_t File::checksum() {
  if (m_fd < 0) return 0;
  constexpr size_t kChunk = size_t(4) << 20;  // a multiple of the 32-byte stripe
  // Larger than a small file so that its first read already meets the end; a multiple of
  // 32 so that every full read is whole stripes.
  const uint64_t wanted = (size() / 32 + 1) * 32;
  std::vector<unsigned char> buffer(static_cast<size_t>(std::min<uint64_t>(kChunk, wanted)));
  Xxh64 hash;
  uint64_t offset = 0;
  for (;;) {
    int64_t got = preadFully(m_fd, buffer.data(), buffer.size(), offset);
    if (got < 0) return 0;
    size_t n = static_cast<size_t>(got);
    offset += n;
    hash.stripes(buffer.data(), n / 32);
    if (n < buffer.size()) return hash.finish(buffer.data() + (n & ~size_t(31)), n % 32);
  }
}

uint64_t File::size() const {
  if (m_fd < 0) return 0;
  struct stat st;
  if (fstat(m_fd, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

// ---- MappedFile ----

std::shared_ptr<MappedFile> MappedFile::open(const std::string& utf8Path) {
  FileOpStatus status;
  int fd = openRegular(utf8Path, &status);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    ::close(fd);
    return nullptr;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const unsigned char* data = nullptr;
  if (size != 0) {
    void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      ::close(fd);
      return nullptr;
    }
    data = static_cast<const unsigned char*>(p);
  }
  ::close(fd);  // the mapping keeps its own reference
  return std::shared_ptr<MappedFile>(new MappedFile(data, size));
}

MappedFile::MappedFile(const unsigned char* data, uint64_t size) : m_data(data), m_size(size) {}

MappedFile::~MappedFile() {
  if (m_data != nullptr) munmap(const_cast<unsigned char*>(m_data), static_cast<size_t>(m_size));
}

const unsigned char* MappedFile::data() const { return m_data; }

uint64_t MappedFile::size() const { return m_size; }

// ---- Directories and copies ----

bool isDirectory(const Filename& f) {
  struct stat st;
  return !f.empty() && ::stat(f.utf8().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileOpStatus createDirectory(const Filename& f) {
  if (f.empty()) return FILE_INVALID_NAME;
  if (::mkdir(f.utf8().c_str(), 0777) == 0) return FILE_OK;
  if (errno == EEXIST) return isDirectory(f) ? FILE_ALREADY_EXISTS : FILE_NOT_DIRECTORY;
  return statusFromErrno(errno);
}

Filename tempDirectory() {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  return Filename(String(utf8ToWide(dir)));
}

FileOpStatus copyFile(const Filename& from, const Filename& to, bool overwrite) {
  FileOpStatus status;
  int in = openRegular(from.utf8(), &status);
  if (in < 0) return status;
  struct stat st;
  if (fstat(in, &st) != 0) {
    ::close(in);
    return FILE_IO_ERROR;
  }
  const std::string target = to.utf8();
  if (target.empty()) {
    ::close(in);
    return FILE_INVALID_NAME;
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
  int out = ::open(target.c_str(), flags, st.st_mode & 0777);
  if (out < 0) {
    status = statusFromErrno(errno);
    ::close(in);
    return status;
  }
  std::vector<unsigned char> buffer(1 << 20);
  uint64_t offset = 0;
  status = FILE_OK;
  for (;;) {
    int64_t got = preadFully(in, buffer.data(), buffer.size(), offset);
    if (got < 0) {
      status = FILE_IO_ERROR;
      break;
    }
    if (got == 0) break;
    size_t written = 0;
    while (written < static_cast<size_t>(got)) {
      ssize_t w = ::write(out, buffer.data() + written, static_cast<size_t>(got) - written);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        status = FILE_IO_ERROR;
        break;
      }
      written += static_cast<size_t>(w);
    }
    if (status != FILE_OK) break;
    offset += static_cast<uint64_t>(got);
  }
  if (::close(out) != 0 && status == FILE_OK) status = FILE_IO_ERROR;
  ::close(in);
  if (status != FILE_OK) ::unlink(target.c_str());
  return status;
}

FileOpStatus deleteFile(const Filename& f) {
  if (f.empty()) return FILE_INVALID_NAME;
  if (::unlink(f.utf8().c_str()) == 0) return FILE_OK;
  return statusFromErrno(errno);
}

namespace {

FileOpStatus removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return statusFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? FILE_OK : statusFromErrno(errno);
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return statusFromErrno(errno);
  std::vector<std::string> children;
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    children.push_back(path + "/" + entry->d_name);
  }
  ::closedir(dir);
  FileOpStatus status = FILE_OK;
  for (const std::string& child : children) {
    FileOpStatus s = removeTree(child);
    if (status == FILE_OK) status = s;
  }
  if (::rmdir(path.c_str()) != 0 && status == FILE_OK) status = statusFromErrno(errno);
  return status;
}

}  // namespace

FileOpStatus deleteDirectory(const Filename& f, bool recursive) {
  if (f.empty()) return FILE_INVALID_NAME;
  const std::string path = f.utf8();
  if (!isDirectory(f)) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? FILE_NOT_DIRECTORY : statusFromErrno(errno);
  }
  if (recursive) return removeTree(path);
  if (::rmdir(path.c_str()) == 0) return FILE_OK;
  return errno == EEXIST ? FILE_NOT_EMPTY : statusFromErrno(errno);
}

bool fileExists(const Filename& f) {
  FileOpStatus status;
  int fd = openRegular(f.utf8(), &status);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace KAVE_3_1
