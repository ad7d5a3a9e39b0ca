#include "kave/unicode.h"
#include "../tools/tool_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using namespace KAVE_3_1;

namespace {

const wchar_t kFFFD = static_cast<wchar_t>(0xFFFD);

// Decodes from a heap buffer exactly n bytes long so that a read past the end is an
// out-of-bounds access (visible under the address sanitizer), not a read of a terminator.
std::wstring decodeExact(const std::string& bytes) {
  std::unique_ptr<char[]> buffer(new char[bytes.size()]);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  return utf8ToWide(buffer.get(), bytes.size());
}

}  // namespace

TEST(Unicode, EveryScalarValueRoundTrips) {
  std::wstring all;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp)
    if (cp < 0xD800 || cp > 0xDFFF) all.push_back(static_cast<wchar_t>(cp));
  const std::string utf8 = wideToUtf8(all);
  EXPECT_EQ(utf8ToWide(utf8), all);
}

TEST(Unicode, InvalidSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string bytes;
    std::wstring expected;
  } cases[] = {
      {"\x80", {kFFFD}},                                  // stray continuation
      {"\xC0\xAF", {kFFFD, kFFFD}},                       // overlong '/'
      {"\xE0\x80\xAF", {kFFFD, kFFFD, kFFFD}},            // overlong 3-byte
      {"\xED\xA0\x80", {kFFFD, kFFFD, kFFFD}},            // surrogate D800
      {"\xF4\x90\x80\x80", {kFFFD, kFFFD, kFFFD, kFFFD}}, // above U+10FFFF
      {"\xF5x", {kFFFD, L'x'}},                           // impossible lead byte
      {"\xE2\x82" "A", {kFFFD, L'A'}},                    // cut short by a non-continuation
      {"\xF0\x9F\x98" "\xC3\xA9", {kFFFD, static_cast<wchar_t>(0xE9)}},
      {"\xF0\x9F\x98", {kFFFD}},                       // cut by the end of the input
      {"ab\xE2\x82", {L'a', L'b', kFFFD}},
      {"\xC3", {kFFFD}},
  };
  for (const Case& c : cases) EXPECT_EQ(decodeExact(c.bytes), c.expected) << c.bytes.size();
}

// ASCII is converted a word at a time: a character that is not ASCII must be found
// wherever it falls in or after the first words.
TEST(Unicode, NonAsciiAtEveryPositionAroundTheWordSize) {
  for (size_t before = 0; before <= 17; ++before) {
    for (size_t after = 0; after <= 9; after += 3) {
      const std::string head(before, 'a'), tail(after, 'z');
      const std::wstring wideHead(before, L'a'), wideTail(after, L'z');
      EXPECT_EQ(decodeExact(head + "\xC3\xA9" + tail), wideHead + static_cast<wchar_t>(0xE9) + wideTail);
      EXPECT_EQ(decodeExact(head + "\xFF" + tail), wideHead + kFFFD + wideTail);
      EXPECT_EQ(wideToUtf8(wideHead + static_cast<wchar_t>(0x1F600) + wideTail), head + "\xF0\x9F\x98\x80" + tail);
      EXPECT_EQ(wideToUtf8(wideHead + static_cast<wchar_t>(0xD800) + wideTail), head + "\xEF\xBF\xBD" + tail);
      EXPECT_EQ(decodeExact(head + tail), wideHead + wideTail);
      // The tools' own encoder, appending to text already there.
      const std::wstring mixed = wideHead + static_cast<wchar_t>(0xE9) + static_cast<wchar_t>(0xDFFF) + wideTail;
      std::string appended = "x";
      zortools::appendUtf8(appended, mixed.c_str());
      EXPECT_EQ(appended, "x" + wideToUtf8(mixed));
    }
  }
}

// The length, not a terminator, bounds the input; null input is empty, invalid wide
// characters are written as replacement characters.
TEST(Unicode, LengthBoundsAndNullOrInvalidInput) {
  EXPECT_EQ(utf8ToWide("\xC3\xA9", 1), std::wstring(1, kFFFD));
  EXPECT_EQ(utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(utf8ToWide(static_cast<const char*>(nullptr)), L"");
  EXPECT_EQ(wideToUtf8(static_cast<const wchar_t*>(nullptr)), "");
  const std::wstring bad{static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)};
  EXPECT_EQ(wideToUtf8(bad), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}
