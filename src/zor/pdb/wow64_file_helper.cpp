#include "zor/pdb/wow64_file_helper.h"

#include <stdlib.h>

#include "kave/file.h"
#include "kave/unicode.h"

namespace ZOR_3_12 {

namespace {

// There is no 64-bit system directory to redirect out of on this platform.
bool windowsDirectory(std::wstring&) { return false; }
bool systemDirectory(std::wstring&) { return false; }

std::wstring canonicalSpelling(const std::wstring& path) {
  return KAVE_3_1::Filename(KAVE_3_1::String(path))
      .toAbsoluteFilename(KAVE_3_1::Filename())
      .canonical()
      .spelling()
      .str();
}

}  // namespace

WOW64FileHelper::WOW64FileHelper(const wchar_t* path, const wchar_t* hint)
    : m_sourcePath(path ? path : L""), m_tempDirectoryHint(hint ? hint : L"") {
  redirect();
  if (m_effectivePath.empty()) m_effectivePath = m_sourcePath;
}

WOW64FileHelper::~WOW64FileHelper() {
  if (m_tempDirectory.empty()) return;
  if (m_effectivePath != m_sourcePath) {
    KAVE_3_1::deleteFile(
        KAVE_3_1::Filename(KAVE_3_1::String(m_effectivePath)).toAbsoluteFilename(KAVE_3_1::Filename()));
  }
  // A PDB copied beside its image shares the image's directory: whichever goes last
  // succeeds in removing it.
  KAVE_3_1::deleteDirectory(KAVE_3_1::Filename(KAVE_3_1::String(m_tempDirectory)), false);
}

void WOW64FileHelper::redirect() {
  if (m_sourcePath.empty()) return;
  std::wstring systemDir, windowsDir;
  if (!systemDirectory(systemDir)) return;
  if (!windowsDirectory(windowsDir)) return;
  const std::wstring wow64 = canonicalSpelling(windowsDir + L"/SysWOW64");
  if (!KAVE_3_1::isDirectory(KAVE_3_1::Filename(KAVE_3_1::String(wow64)))) return;  // not a 64-bit Windows
  if (canonicalSpelling(m_sourcePath).find(canonicalSpelling(systemDir)) != 0) return;
  m_tempDirectory = m_tempDirectoryHint.empty() ? makeTempDirectory() : m_tempDirectoryHint;
  if (m_tempDirectory.empty()) return;
  KAVE_3_1::Filename source{KAVE_3_1::String(m_sourcePath)};
  KAVE_3_1::Filename copy{KAVE_3_1::String(m_tempDirectory + L"/")};
  copy.setBaseWithExtension(source.baseWithExtension());
  if (KAVE_3_1::copyFile(source, copy, true) == KAVE_3_1::FILE_OK) m_effectivePath = copy.spelling().str();
}

std::wstring WOW64FileHelper::makeTempDirectory() {
  KAVE_3_1::Filename temp = KAVE_3_1::tempDirectory();
  if (temp.empty()) return std::wstring();
  KAVE_3_1::FileOpStatus s = KAVE_3_1::createDirectory(temp);
  if (s != KAVE_3_1::FILE_OK && s != KAVE_3_1::FILE_ALREADY_EXISTS) return std::wstring();
  std::string pattern = temp.utf8() + "/ZORXXXXXX";
  if (!mkdtemp(&pattern[0])) return std::wstring();
  return KAVE_3_1::utf8ToWide(pattern);
}

}  // namespace ZOR_3_12
