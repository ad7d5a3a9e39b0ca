// Text helpers shared by the command-line tools: UTF-8 <-> wide conversion (the library
// speaks wide strings, the terminal UTF-8), hexadecimal parsing and formatting.
#ifndef ZOR_TOOLS_TOOL_TEXT_H_
#define ZOR_TOOLS_TOOL_TEXT_H_

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <zor/zor.h>

namespace zortools {

inline void appendUtf8(std::string& out, const wchar_t* text) {
  if (text == nullptr) return;
  // Written through a pointer into room for the longest encoding, then cut to size: names
  // of templates run to hundreds of characters and are converted for every frame.
  const size_t length = std::wcslen(text);
  const size_t at = out.size();
  // ASCII goes eight characters at a time: narrowed by SSE2 where the processor has it,
  // else in loops the compiler vectorises.
  out.resize(at + length);
  char* p = &out[at];
  size_t ascii = 0;
#if defined(__SSE2__)
  static_assert(sizeof(wchar_t) == 4, "wide characters are 32 bits here");
  const __m128i high = _mm_set1_epi32(~0x7F);
  for (; ascii + 8 <= length; ascii += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + ascii));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + ascii + 4));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(_mm_or_si128(a, b), high), _mm_setzero_si128())) != 0xFFFF)
      break;
    // Values below 0x80 pass both saturating packs unchanged.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + ascii), _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_setzero_si128()));
  }
#else
  for (; ascii + 8 <= length; ascii += 8) {
    uint32_t any = 0;
    for (size_t k = 0; k < 8; ++k) any |= static_cast<uint32_t>(text[ascii + k]);
    if (any >= 0x80) break;
    for (size_t k = 0; k < 8; ++k) p[ascii + k] = static_cast<char>(text[ascii + k]);
  }
#endif
  for (; ascii < length && static_cast<uint32_t>(text[ascii]) < 0x80; ++ascii) p[ascii] = static_cast<char>(text[ascii]);
  if (ascii == length) return;
  out.resize(at + ascii + 4 * (length - ascii));
  p = &out[at + ascii];
  for (size_t i = ascii; i < length; ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if (c < 0x80) {
      *p++ = static_cast<char>(c);
      continue;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x800) {
      *p++ = static_cast<char>(0xC0 | (c >> 6));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *p++ = static_cast<char>(0xE0 | (c >> 12));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *p++ = static_cast<char>(0xF0 | (c >> 18));
      *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out.resize(static_cast<size_t>(p - out.data()));
}

inline std::string utf8(const wchar_t* text) {
  std::string out;
  appendUtf8(out, text);
  return out;
}

// Invalid sequences become U+FFFD, one per offending byte.
inline std::wstring wide(const std::string& text) {
  std::wstring out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    uint32_t c = *p;
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || end - p <= extra) {
      out += static_cast<wchar_t>(extra == 0 ? c : 0xFFFD);
      ++p;
      continue;
    }
    c &= extra == 0 ? 0x7F : (0x3F >> extra);
    bool ok = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += static_cast<wchar_t>(0xFFFD);
      ++p;
      continue;
    }
    out += static_cast<wchar_t>(c);
    p += extra + 1;
  }
  return out;
}

// Hexadecimal with or without "0x"/"0X"; surrounding blanks are ignored. False for anything
// else, an empty number or more than 16 digits.
inline bool parseHex(const std::string& text, uint64_t& value) {
  size_t i = 0, n = text.size();
  while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
  while (n > i && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\r')) --n;
  if (n - i >= 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  if (i == n || n - i > 16) return false;
  value = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    value = (value << 4) | d;
  }
  return true;
}

// "0x" and the value in lower-case hexadecimal, appended without formatting machinery: the
// symbolizer writes two for every answer.
inline void appendHex(std::string& out, uint64_t value) {
  char buf[16];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, 16);
  out += "0x";
  out.append(buf, r.ptr);
}

inline std::string hex(uint64_t value, int width = 0) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llx", width, static_cast<unsigned long long>(value));
  return buf;
}

// "NAME: 'path': message" for a module that cannot be loaded.
inline std::string loadFailure(const char* tool, const std::string& path, ZOR_3_12::status_t status) {
  return std::string(tool) + ": cannot load '" + path + "': " + utf8(ZOR_3_12::toUString(status));
}

}  // namespace zortools

#endif  // ZOR_TOOLS_TOOL_TEXT_H_
