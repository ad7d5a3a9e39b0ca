#include "kave/unicode.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace KAVE_3_1 {

namespace {

constexpr wchar_t kReplacement = static_cast<wchar_t>(0xFFFD);

static_assert(sizeof(wchar_t) == 4, "wide strings are UTF-32 on this platform");

// The length of the leading run of ASCII wide characters; four are tested at a time.
size_t wideAsciiPrefix(const wchar_t* p, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t any = static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) |
                         static_cast<uint32_t>(p[i + 2]) | static_cast<uint32_t>(p[i + 3]);
    if (any >= 0x80) break;
  }
  while (i < n && static_cast<uint32_t>(p[i]) < 0x80) ++i;
  return i;
}

}  // namespace

std::wstring utf8ToWide(const char* s, size_t n) {
  std::wstring out;
  if (s == nullptr || n == 0) return out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t i = asciiPrefix(s, n);
  // Every byte gives at most one character: written through a pointer, then cut to size.
  out.resize(n);
  wchar_t* w = &out[0];
  for (size_t k = 0; k < i; ++k) *w++ = static_cast<wchar_t>(p[k]);
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      *w++ = static_cast<wchar_t>(b);
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
      *w++ = kReplacement;
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
      *w++ = kReplacement;
      i += k;
      continue;
    }
    *w++ = static_cast<wchar_t>(cp);
    i += len;
  }
  out.resize(static_cast<size_t>(w - out.data()));
  return out;
}

// Names and paths are mostly ASCII: eight bytes are tested at a time, and an ASCII run is
// then converted in one tight loop without per-character growth checks.
size_t asciiPrefix(const char* s, size_t n) {
  if (s == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

std::wstring utf8ToWide(const char* s) {
  return s == nullptr ? std::wstring() : utf8ToWide(s, std::strlen(s));
}

std::wstring utf8ToWide(const std::string& s) { return utf8ToWide(s.data(), s.size()); }

std::string wideToUtf8(const wchar_t* s, size_t n) {
  std::string out;
  if (s == nullptr) return out;
  const size_t ascii = wideAsciiPrefix(s, n);
  // Sized exactly first: callers keep the result (the name table does).
  size_t size = ascii;
  for (size_t i = ascii; i < n; ++i) {
    const uint32_t cp = static_cast<uint32_t>(s[i]);
    size += cp < 0x80 ? 1 : cp < 0x800 ? 2 : (cp < 0x10000 || cp > 0x10FFFF) ? 3 : 4;
  }
  out.resize(size);
  char* u = &out[0];
  for (size_t k = 0; k < ascii; ++k) *u++ = static_cast<char>(s[k]);
  for (size_t i = ascii; i < n; ++i) {
    uint32_t cp = static_cast<uint32_t>(s[i]);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
      *u++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *u++ = static_cast<char>(0xC0 | (cp >> 6));
      *u++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *u++ = static_cast<char>(0xE0 | (cp >> 12));
      *u++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *u++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *u++ = static_cast<char>(0xF0 | (cp >> 18));
      *u++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *u++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *u++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string wideToUtf8(const wchar_t* s) {
  return s == nullptr ? std::string() : wideToUtf8(s, std::wcslen(s));
}

std::string wideToUtf8(const std::wstring& s) { return wideToUtf8(s.data(), s.size()); }

}  // namespace KAVE_3_1
