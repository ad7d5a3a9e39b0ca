// Text conversions of the PDB plug-in: the interface speaks wide strings, the PDB and the
// file system speak UTF-8. The plug-in links nothing of libzor, so it carries its own.
#ifndef ZOR_DIA_WIDE_TEXT_H_
#define ZOR_DIA_WIDE_TEXT_H_

#include <string>

#include "dia/dia_interfaces.h"

namespace dia {
namespace plugin {

// Invalid UTF-8 sequences become U+FFFD, one per offending byte.
std::wstring utf8ToWide(const std::string& text);
std::string wideToUtf8(const wchar_t* text);

// A BSTR-like copy of `text`, released with freeString (exported as diaFreeString).
BSTR allocString(const wchar_t* text);
BSTR allocUtf8String(const std::string& text);
void freeString(BSTR text);

// Case-insensitive comparison of ASCII letters; other bytes compare exactly.
bool equalNames(const std::string& a, const std::string& b, bool ignoreCase);

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_WIDE_TEXT_H_
