#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "kave/file.h"
#include "kave/unicode.h"

namespace KAVE_3_1 {

// ---- String ----

String::String() = default;

String::String(const wchar_t* s) : m_text(s != nullptr ? s : L"") {}

String::String(const std::wstring& s) : m_text(s) {}

const wchar_t* String::wcharPtr() const { return m_text.c_str(); }

const wchar_t* String::ucharPtr() const { return m_text.c_str(); }

bool String::empty() const { return m_text.empty(); }

const std::wstring& String::str() const { return m_text; }

std::string String::utf8() const { return wideToUtf8(m_text); }

// ---- Filename ----

namespace {

std::wstring currentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return utf8ToWide(buffer.data());
    if (errno != ERANGE || buffer.size() > (1u << 20)) return L"/";
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring joinPath(const std::wstring& dir, const std::wstring& rel) {
  if (rel.empty()) return dir;
  if (dir.empty()) return rel;
  if (dir.back() == L'/') return dir + rel;
  return dir + L'/' + rel;
}

// Lexical normalisation of an absolute path.
std::wstring normalise(const std::wstring& absolute) {
  std::vector<std::wstring> parts;
  size_t i = 0;
  while (i <= absolute.size()) {
    size_t j = absolute.find(L'/', i);
    if (j == std::wstring::npos) j = absolute.size();
    std::wstring part = absolute.substr(i, j - i);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  std::wstring out;
  for (const std::wstring& part : parts) out += L'/' + part;
  return out.empty() ? L"/" : out;
}

}  // namespace

Filename::Filename() = default;

Filename::Filename(const String& s, int /*format*/, bool /*flag*/) : m_spelling(s) {}

bool Filename::empty() const { return m_spelling.empty(); }

bool Filename::isAbsolute() const {
  return !m_spelling.empty() && m_spelling.str()[0] == L'/';
}

std::string Filename::utf8() const { return m_spelling.utf8(); }

Filename Filename::toAbsoluteFilename(const Filename& base) const {
  if (isAbsolute()) return *this;
  std::wstring dir;
  if (base.empty()) {
    dir = currentDirectory();
  } else {
    dir = base.toAbsoluteFilename(Filename()).spelling().str();
  }
  return Filename(String(joinPath(dir, m_spelling.str())));
}

Filename Filename::canonical() const {
  if (empty()) return Filename();
  std::wstring lexical = normalise(toAbsoluteFilename(Filename()).spelling().str());
  // realpath resolves links only for paths that exist; a missing file keeps its lexical
  // form so that it can still be compared and reported.
  char* resolved = realpath(wideToUtf8(lexical).c_str(), nullptr);
  if (resolved != nullptr) {
    lexical = utf8ToWide(resolved);
    free(resolved);
  }
  return Filename(String(lexical));
}

const String& Filename::spelling() const { return m_spelling; }

String Filename::path() const {
  const std::wstring& s = m_spelling.str();
  size_t slash = s.rfind(L'/');
  if (slash == std::wstring::npos) return String();
  size_t end = slash;
  while (end > 0 && s[end - 1] == L'/') --end;
  if (end == 0) return String(L"/");
  return String(s.substr(0, end));
}

String Filename::baseWithExtension() const {
  const std::wstring& s = m_spelling.str();
  size_t slash = s.rfind(L'/');
  return String(slash == std::wstring::npos ? s : s.substr(slash + 1));
}

void Filename::setBaseWithExtension(const String& base) {
  const std::wstring& s = m_spelling.str();
  size_t slash = s.rfind(L'/');
  if (slash == std::wstring::npos) {
    m_spelling = base;
  } else {
    m_spelling = String(s.substr(0, slash + 1) + base.str());
  }
}

}  // namespace KAVE_3_1
