#ifndef ZOR_PDB_WOW64_FILE_HELPER_H_
#define ZOR_PDB_WOW64_FILE_HELPER_H_

#include <string>

#include <zor/object.h>

namespace ZOR_3_12 {

// Lets a file be read from wherever it can be opened. Images and PDBs inside a 64-bit
// system directory are invisible to a 32-bit Windows process, so there they are copied to a
// temporary directory first; elsewhere, and on every system without such a directory, the
// file is opened in place.
class WOW64FileHelper : public SymMgrObjectImpl {
 public:
  // `hint`: a temporary directory to copy into (the image's, for its PDB); may be null.
  WOW64FileHelper(const wchar_t* path, const wchar_t* hint);
  ~WOW64FileHelper() override;

  const wchar_t* sourcePath() const { return m_sourcePath.c_str(); }
  const wchar_t* effectivePath() const { return m_effectivePath.c_str(); }
  // The directory holding the copy; null when none was made.
  const wchar_t* tempDirectory() const { return m_tempDirectory.empty() ? nullptr : m_tempDirectory.c_str(); }

 private:
  void redirect();
  static std::wstring makeTempDirectory();

  std::wstring m_sourcePath;
  std::wstring m_effectivePath;
  std::wstring m_tempDirectory;
  std::wstring m_tempDirectoryHint;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_WOW64_FILE_HELPER_H_
