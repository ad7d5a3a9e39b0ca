// Format detection on real compiler output and on hand-made damaged headers.
#include <sys/stat.h>

#include <cstring>

#include <gtest/gtest.h>

#include "kave/trace.h"
#include "support/scratch.h"
#include "zor/loader/file_format_loader.h"
#include "zor/object/trace.h"

using namespace ZOR_3_12;
using scratch::TempFile;

namespace {

std::wstring fixture(const char* relative) {
  return KAVE_3_1::utf8ToWide(std::string(ZOR_FIXTURES_DIR) + "/" + relative);
}

// A DOS header whose e_lfanew is `lfanew`, padded to `size` bytes, with "PE\0\0" written at
// `signatureAt` when that fits.
std::string mzFile(int32_t lfanew, size_t size, int64_t signatureAt = -1) {
  std::string bytes(size, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  std::memcpy(&bytes[60], &lfanew, 4);
  if (signatureAt >= 0 && size_t(signatureAt) + 4 <= size) std::memcpy(&bytes[size_t(signatureAt)], "PE\0\0", 4);
  return bytes;
}

TEST(FormatDetectionTest, NeitherFormat) {
  KAVE_3_1::RecordCapture capture;
  for (const char* other : {"misc/text.txt", "misc/empty.bin", "misc/mz_not_pe.bin", "misc/mz_far_lfanew.bin",
                            "pe/hello64.pdb"}) {
    EXPECT_FALSE(internal::looksLikePe(fixture(other).c_str())) << other;
    EXPECT_FALSE(internal::looksLikeElf(fixture(other).c_str())) << other;
    EXPECT_FALSE(IFileFormatLoader::create(fixture(other).c_str())) << other;
  }
  // Readable files that are simply something else leave no assertion behind.
  EXPECT_EQ(capture.assertions(), 0u);
}

TEST(FormatDetectionTest, DamagedDosHeaders) {
  KAVE_3_1::RecordCapture capture;
  struct Case {
    const char* what;
    std::string bytes;
    bool pe;
  } cases[] = {
      {"signature right after the DOS header", mzFile(64, 64 + 248, 64), true},
      {"signature in the last four bytes", mzFile(124, 128, 124), true},
      {"signature one byte short of the end", mzFile(125, 128, 124), false},
      {"e_lfanew past the end", mzFile(4096, 128, 64), false},
      {"negative e_lfanew", mzFile(-4, 128, 64), false},
      {"most negative e_lfanew", mzFile(INT32_MIN, 128, 64), false},
      {"e_lfanew at the DOS header itself", mzFile(0, 128), false},
      {"wrong signature", mzFile(64, 128, -1), false},
      {"header shorter than 64 bytes", std::string("MZ") + std::string(30, '\0'), false},
      {"lower-case magic", std::string("mz") + mzFile(64, 128, 64).substr(2), false},
  };
  for (const Case& c : cases) {
    TempFile file(c.bytes);
    EXPECT_EQ(internal::looksLikePe(file.wpath().c_str()), c.pe) << c.what;
    EXPECT_FALSE(internal::looksLikeElf(file.wpath().c_str())) << c.what;
  }
  // A bad offset from the file is not an unreadable file: no assertion, no read issued.
  EXPECT_EQ(capture.assertions(), 0u);
}

TEST(FormatDetectionTest, UnreadablePathsAssertAndGiveNull) {
  const std::wstring fixturesDir = KAVE_3_1::utf8ToWide(ZOR_FIXTURES_DIR);
  for (const wchar_t* path : {L"/no/such/zor/image.exe", fixturesDir.c_str(), L""}) {
    KAVE_3_1::RecordCapture capture;
    EXPECT_FALSE(internal::looksLikePe(path));
    EXPECT_TRUE(capture.hasAssertion("false"));
    EXPECT_EQ(capture.records().back().source, internal::kPeSource);
    EXPECT_EQ(capture.records().back().line, 82u);
    EXPECT_FALSE(internal::looksLikeElf(path));
    EXPECT_EQ(capture.records().back().source, internal::kElfSource);
    EXPECT_EQ(capture.records().back().line, 155u);
    EXPECT_FALSE(IFileFormatLoader::create(path));
    EXPECT_EQ(capture.assertions(), 4u);
  }
  KAVE_3_1::RecordCapture capture;
  EXPECT_FALSE(IFileFormatLoader::create(nullptr));
  EXPECT_EQ(capture.assertions(), 2u);
}

}  // namespace
