// The .gnu_debuglink candidate of an ELF module: which file it settles on and in which
// state, the CRC check against files objcopy linked, and tryFile. Also the CRC-32 itself.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "kave/file.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "support/scratch.h"
#include "zor/util/crc32.h"

using namespace ZOR_3_12;

namespace {

std::string fixture(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/elf/" + name; }
std::wstring wide(const std::string& s) { return KAVE_3_1::utf8ToWide(s); }

using dwarf_test::Candidate;

// A scratch directory that takes copies of fixtures.
struct TempDir : scratch::TempDir {
  std::string copy(const std::string& from, const std::string& name) const { return add(name, scratch::readFile(from)); }
};

TEST(Crc32, MatchesTheStandardChecksumInAnyPieces) {
  EXPECT_EQ(internal::crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(internal::crc32("", 0), 0u);
  std::mt19937 rng(7);
  std::vector<unsigned char> data(10000);
  for (unsigned char& b : data) b = static_cast<unsigned char>(rng());
  for (size_t size : {size_t(1), size_t(7), size_t(8), size_t(9), size_t(63), size_t(4096), data.size()}) {
    const uint32_t want = static_cast<uint32_t>(::crc32(0, data.data(), static_cast<uInt>(size)));
    EXPECT_EQ(internal::crc32(data.data(), size), want) << size;
    // Unaligned starts and arbitrary split points give the same value.
    internal::Crc32 pieces;
    size_t at = 0;
    while (at < size) {
      size_t n = std::min(size - at, size_t(rng() % 13));
      pieces.update(data.data() + at, n);
      at += n;
    }
    EXPECT_EQ(pieces.value(), want) << size;
  }
}

TEST(DebugLink, FileBesideWinsOverTheDebugDirectory) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string image = dir.copy(fixture("hello_stripped"), "hello_stripped");
  KAVE_3_1::createDirectory(KAVE_3_1::Filename(wide(dir / ".debug")));
  dir.copy(fixture("hello_stripped.debug"), ".debug/hello_stripped.debug");
  {
    Candidate m(image);
    EXPECT_EQ(m.c.state(), uint32_t(RESOLVE_STATE_FOUND));
    EXPECT_EQ(std::wstring(m.c.fileName()), wide(dir.path() + "/.debug/hello_stripped.debug"));
  }
  dir.copy(fixture("hello_stripped.debug"), "hello_stripped.debug");
  Candidate m(image);
  EXPECT_EQ(std::wstring(m.c.fileName()), wide(dir.path() + "/hello_stripped.debug"));
  // A wrong file beside the module does not hide the right one in .debug.
  dir.copy(fixture("hello_pie"), "hello_stripped.debug");
  Candidate wrongBeside(image);
  EXPECT_EQ(wrongBeside.c.state(), uint32_t(RESOLVE_STATE_FOUND));
  EXPECT_EQ(std::wstring(wrongBeside.c.fileName()), wide(dir.path() + "/.debug/hello_stripped.debug"));
}

TEST(DebugLink, WrongCrcIsRejectedAndMissingFileIsNotFound) {
  Candidate bad(fixture("badcrc/hello_badcrc"));
  EXPECT_EQ(bad.c.state(), uint32_t(RESOLVE_STATE_REJECTED));
  EXPECT_EQ(std::wstring(bad.c.fileName()), L"hello_badcrc.debug");

  TempDir dir;
  const std::string lonely = dir.copy(fixture("hello_stripped"), "hello_stripped");
  Candidate missing(lonely);
  EXPECT_EQ(missing.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
  EXPECT_EQ(std::wstring(missing.c.fileName()), L"hello_stripped.debug");
}

TEST(DebugLink, TryFileAcceptsOnlyAMatchingFile) {
  // No debug link: every offer is refused, even an existing file.
  Candidate plain(fixture("nodebug/hello_nodebug"));
  EXPECT_EQ(plain.c.tryFile(wide(fixture("hello_stripped.debug")).c_str()), -1);

  Candidate m(fixture("hello_stripped"));
  const std::wstring found = m.c.fileName();
  EXPECT_EQ(m.c.tryFile(found.c_str()), 0);
  EXPECT_EQ(m.c.tryFile(wide(fixture("no-such-file.debug")).c_str()), -1);
  EXPECT_EQ(m.c.tryFile(wide(fixture("hello_pie")).c_str()), -1);
  EXPECT_EQ(std::wstring(m.c.fileName()), found);
  TempDir dir;
  const std::string elsewhere = dir.copy(fixture("hello_stripped.debug"), "renamed.dbg");
  EXPECT_EQ(m.c.tryFile(wide(elsewhere).c_str()), 0);
  EXPECT_EQ(std::wstring(m.c.fileName()), wide(elsewhere));
  EXPECT_EQ(m.c.state(), uint32_t(RESOLVE_STATE_FOUND));

  // A rejected candidate becomes usable when offered the right file.
  Candidate missing(dir.copy(fixture("hello_stripped"), "hello_stripped"));
  ASSERT_EQ(missing.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
  EXPECT_EQ(missing.c.tryFile(wide(fixture("hello_stripped.debug")).c_str()), 0);
  EXPECT_EQ(missing.c.state(), uint32_t(RESOLVE_STATE_FOUND));
}

}  // namespace
