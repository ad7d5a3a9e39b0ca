// UTF-8 <-> wide (wchar_t, UTF-32 on Linux) conversion: the one converter every part of
// the library uses for paths and names, so that invalid input is treated the same way
// everywhere. Never throws; malformed input becomes U+FFFD.
#ifndef KAVE_UNICODE_H_
#define KAVE_UNICODE_H_

#include <cstddef>
#include <string>

namespace KAVE_3_1 {

// Decodes exactly n bytes (embedded NULs are kept). Each maximal invalid subpart
// (stray continuation byte, overlong form, surrogate, value above U+10FFFF, sequence cut
// short by the end of input or by a non-continuation byte) becomes one U+FFFD.
// Never reads s[n] or beyond.
std::wstring utf8ToWide(const char* s, size_t n);
// Null-terminated; a null pointer gives an empty string.
std::wstring utf8ToWide(const char* s);
std::wstring utf8ToWide(const std::string& s);

// The length of the leading run of ASCII bytes (below 0x80) of s[0, n): a name made of
// ASCII alone is its own UTF-8 spelling and decodes to itself.
size_t asciiPrefix(const char* s, size_t n);

// Encodes each wchar_t as one code point; surrogates and values above U+10FFFF become
// U+FFFD. A null pointer gives an empty string.
std::string wideToUtf8(const wchar_t* s);
std::string wideToUtf8(const std::wstring& s);
std::string wideToUtf8(const wchar_t* s, size_t n);

}  // namespace KAVE_3_1

#endif  // KAVE_UNICODE_H_
