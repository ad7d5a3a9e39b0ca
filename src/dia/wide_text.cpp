#include "dia/wide_text.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace dia {
namespace plugin {

namespace {

// Length of the sequence a lead byte announces, 0 for bytes that cannot lead.
int sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::wstring utf8ToWide(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int length = sequenceLength(lead);
    if (length == 1) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    uint32_t code = length == 2 ? (lead & 0x1Fu) : length == 3 ? (lead & 0x0Fu) : (lead & 0x07u);
    bool valid = length != 0 && i + length <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (c & 0x3Fu);
    }
    // Overlong three-byte forms, surrogates and values past U+10FFFF are not characters.
    if (valid && ((length == 3 && code < 0x800) || (code >= 0xD800 && code <= 0xDFFF) ||
                  (length == 4 && (code < 0x10000 || code > 0x10FFFF))))
      valid = false;
    if (!valid) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(code));
    i += length;
  }
  return out;
}

std::string wideToUtf8(const wchar_t* text) {
  std::string out;
  if (!text) return out;
  for (; *text; ++text) {
    uint32_t code = static_cast<uint32_t>(*text);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

BSTR allocString(const wchar_t* text) {
  if (!text) text = L"";
  size_t length = std::wcslen(text);
  BSTR copy = static_cast<BSTR>(std::malloc((length + 1) * sizeof(wchar_t)));
  if (!copy) return nullptr;
  std::memcpy(copy, text, (length + 1) * sizeof(wchar_t));
  return copy;
}

BSTR allocUtf8String(const std::string& text) { return allocString(utf8ToWide(text).c_str()); }

void freeString(BSTR text) { std::free(text); }

bool equalNames(const std::string& a, const std::string& b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  if (!ignoreCase) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace plugin
}  // namespace dia
