#include "kave/unicode.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace KAVE_3_1 {

namespace {

constexpr wchar_t kReplacement = static_cast<wchar_t>(0xFFFD);

static_assert(sizeof(wchar_t) == 4, "wide strings are UTF-32 on this platform");

}  // namespace

std::wstring utf8ToWide(const char* s, size_t n) {
  std::wstring out;
  if (s == nullptr || n == 0) return out;
  out.reserve(n);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(static_cast<wchar_t>(b));
      ++i;
      continue;
    }
    // The lead byte fixes the length and the allowed range of the second byte; the
    // narrowed ranges are what exclude overlong forms, surrogates and values > U+10FFFF.
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2; cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3; cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4; cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k < len; ++k) {
      if (i + k >= n) break;
      const unsigned char c = p[i + k];
      const unsigned char kLo = k == 1 ? lo : 0x80, kHi = k == 1 ? hi : 0xBF;
      if (c < kLo || c > kHi) break;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (k < len) {
      // The valid prefix is one invalid subpart; resume at the byte that broke it.
      out.push_back(kReplacement);
      i += k;
      continue;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += len;
  }
  return out;
}

std::wstring utf8ToWide(const char* s) {
  return s == nullptr ? std::wstring() : utf8ToWide(s, std::strlen(s));
}

std::wstring utf8ToWide(const std::string& s) { return utf8ToWide(s.data(), s.size()); }

std::string wideToUtf8(const wchar_t* s, size_t n) {
  std::string out;
  if (s == nullptr) return out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = static_cast<uint32_t>(s[i]);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string wideToUtf8(const wchar_t* s) {
  return s == nullptr ? std::string() : wideToUtf8(s, std::wcslen(s));
}

std::string wideToUtf8(const std::wstring& s) { return wideToUtf8(s.data(), s.size()); }

}  // namespace KAVE_3_1
