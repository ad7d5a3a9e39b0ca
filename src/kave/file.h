// File and path service: wide path strings, path arithmetic, read-only file access with a
// content checksum, read-only mappings, and the few directory operations needed to keep
// temporary copies of files. Wide paths are converted to UTF-8 for the system calls.
// Nothing here throws; failures are reported through FileOpStatus values or the
// documented failure results.
#ifndef KAVE_FILE_H_
#define KAVE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace KAVE_3_1 {

// A wide string holder. Both accessors give the same wide text.
class String {
 public:
  String();
  String(const wchar_t* s);  // null gives an empty string
  String(const std::wstring& s);

  const wchar_t* wcharPtr() const;
  const wchar_t* ucharPtr() const;
  bool empty() const;
  const std::wstring& str() const;
  std::string utf8() const;

 private:
  std::wstring m_text;
};

enum Format { FORMAT_NATIVE = 0 };

// A path, kept as spelled. Separators are '/'. Operations are lexical except canonical().
//  - path(): the directory part without a trailing '/' unless it is the root:
//      "/usr/lib/libc.so" -> "/usr/lib", "/libc.so" -> "/", "a.out" -> "", "dir/" -> "dir".
//  - baseWithExtension(): the text after the last '/': "/usr/lib/libc.so" -> "libc.so",
//      "dir/" -> "".
//  - setBaseWithExtension(s): replaces that text, so a spelling ending in '/' gets s
//      appended and one without any '/' becomes s.
//  - toAbsoluteFilename(base): an absolute spelling is returned unchanged; a relative one
//      is joined to base (itself made absolute; an empty base means the current
//      directory). No normalisation is done.
//  - canonical(): made absolute against the current directory, then normalised lexically
//      ('.', '..', repeated and trailing '/' removed; ".." at the root stays at the root),
//      then symbolic links are resolved if the path exists. Two paths naming the same
//      existing file therefore have equal canonical spellings.
class Filename {
 public:
  Filename();
  Filename(const String& s, int format = FORMAT_NATIVE, bool flag = false);

  Filename canonical() const;
  Filename toAbsoluteFilename(const Filename& base) const;

  const String& spelling() const;
  String path() const;
  String baseWithExtension() const;
  void setBaseWithExtension(const String& s);

  bool empty() const;
  bool isAbsolute() const;
  std::string utf8() const;

 private:
  String m_spelling;
};

// Results of file operations. Only FILE_OK means success.
using FileOpStatus = int;
constexpr FileOpStatus FILE_OK = 0;
constexpr FileOpStatus FILE_NOT_FOUND = 1;
constexpr FileOpStatus FILE_ACCESS_DENIED = 2;
constexpr FileOpStatus FILE_IS_DIRECTORY = 3;
constexpr FileOpStatus FILE_ALREADY_EXISTS = 4;
constexpr FileOpStatus FILE_IO_ERROR = 5;
constexpr FileOpStatus FILE_NOT_OPEN = 6;
constexpr FileOpStatus FILE_INVALID_NAME = 7;
constexpr FileOpStatus FILE_NOT_DIRECTORY = 8;
constexpr FileOpStatus FILE_NOT_EMPTY = 9;
constexpr FileOpStatus FILE_NOT_REGULAR = 10;  // a device, pipe or socket

// Read failure result of File::read().
constexpr uint64_t FILE_READ_FAILED = ~uint64_t(0);

// A regular file opened read-only. Directories and other non-regular files do not open.
// One thread at a time per object.
class File {
 public:
  explicit File(const Filename& f);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // FILE_OK after a successful open; set again by a failing read.
  FileOpStatus lastOpStatus() const;
  // Positions the next read; returns the new offset.
  uint64_t setOffset(uint64_t offset);
  uint64_t offset() const;
  // Reads up to count bytes at the current offset and advances it. Returns the number of
  // bytes read (less than count only at end of file, 0 there) or FILE_READ_FAILED.
  uint64_t read(uint64_t count, unsigned char* buffer);
  // XXH64 (seed 0) of the whole contents, read in large chunks; the offset is untouched.
  // Returns 0 if the file is not open or cannot be read.
  uint64_t checksum();
  // Size from fstat; 0 if not open.
  uint64_t size() const;

 private:
  int m_fd;
  uint64_t m_offset;
  FileOpStatus m_status;
};

// The XXH64 (seed 0) checksum of a buffer: what File::checksum computes for the contents.
uint64_t checksum64(const unsigned char* data, size_t size);

// A whole regular file mapped read-only. The mapping lives as long as the object.
class MappedFile {
 public:
  // Null if the file cannot be opened or mapped (or is not a regular file). An empty file
  // gives data() == nullptr and size() == 0.
  static std::shared_ptr<MappedFile> open(const std::string& utf8Path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const unsigned char* data() const;
  uint64_t size() const;

 private:
  MappedFile(const unsigned char* data, uint64_t size);

  const unsigned char* m_data;
  uint64_t m_size;
};

bool isDirectory(const Filename& f);
// FILE_OK when created, FILE_ALREADY_EXISTS when the directory was already there (both
// mean it now exists); FILE_NOT_DIRECTORY if something else has that name.
FileOpStatus createDirectory(const Filename& f);
// $TMPDIR if set and non-empty, otherwise /tmp.
Filename tempDirectory();
// Copies contents and permission bits. Without overwrite an existing destination gives
// FILE_ALREADY_EXISTS. A failed copy leaves no partial destination behind.
FileOpStatus copyFile(const Filename& from, const Filename& to, bool overwrite);
FileOpStatus deleteFile(const Filename& f);
// Non-recursive deletion of a non-empty directory gives FILE_NOT_EMPTY. Recursive deletion
// removes symbolic links, never what they point to.
FileOpStatus deleteDirectory(const Filename& f, bool recursive);
// True for a regular file that opens for reading.
bool fileExists(const Filename& f);

}  // namespace KAVE_3_1

#endif  // KAVE_FILE_H_
