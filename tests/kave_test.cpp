#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "kave/file.h"
#include "kave/trace.h"
#include "kave/unicode.h"

using namespace KAVE_3_1;

namespace {

const uint64_t kFailed = 0xFFFFFFFFFFFFFFFFull;

Filename fn(const std::wstring& s) { return Filename(String(s), FORMAT_NATIVE, false); }
std::wstring wide(const std::string& s) { return utf8ToWide(s); }

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = tempDirectory().utf8() + "/kave_test_XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    m_dir = pattern;
  }
  void TearDown() override { EXPECT_EQ(deleteDirectory(fn(wide(m_dir)), true), FILE_OK); }

  std::string write(const std::string& name, const std::string& contents) {
    std::string path = m_dir + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  Filename at(const std::string& name) const { return fn(wide(m_dir + "/" + name)); }

  std::string m_dir;
};

std::string readAll(File& f) {
  std::string out;
  unsigned char buffer[3];
  for (uint64_t n; (n = f.read(sizeof buffer, buffer)) != 0 && n != kFailed;)
    out.append(reinterpret_cast<char*>(buffer), n);
  return out;
}

}  // namespace

TEST_F(FileTest, MissingFilesAndDirectoriesDoNotOpen) {
  unsigned char buffer[4];
  for (const Filename& name : {at("missing"), fn(wide(m_dir)), Filename()}) {
    File f(name);
    EXPECT_NE(f.lastOpStatus(), FILE_OK);
    EXPECT_EQ(f.read(4, buffer), kFailed);
    EXPECT_EQ(f.size(), 0u);
    EXPECT_EQ(f.checksum(), 0u);
    EXPECT_FALSE(fileExists(name));
    EXPECT_EQ(MappedFile::open(name.utf8()), nullptr);
  }
  EXPECT_EQ(File(at("missing")).lastOpStatus(), FILE_NOT_FOUND);
  EXPECT_EQ(File(fn(wide(m_dir))).lastOpStatus(), FILE_IS_DIRECTORY);
}

TEST_F(FileTest, NonAsciiNamesReachTheFileSystem) {
  const std::string name = "d\xC3\xA4t\xC3\xA4\xF0\x9F\x98\x80.bin";
  write(name, "payload");
  File f(fn(wide(m_dir) + L"/d\u00e4t\u00e4\U0001F600.bin"));
  ASSERT_EQ(f.lastOpStatus(), FILE_OK);
  EXPECT_EQ(readAll(f), "payload");
}

TEST_F(FileTest, ChecksumFollowsContentsAcrossReadChunks) {
  // Published values for short input.
  EXPECT_EQ(checksum64(nullptr, 0), 0xEF46DB3751D8E999ull);
  EXPECT_EQ(checksum64(reinterpret_cast<const unsigned char*>("abc"), 3), 0x44BC2CF5AD770999ull);
  // Larger than one read chunk and not a multiple of the stripe size.
  std::string data((5u << 20) + 13, '\0');
  std::mt19937_64 random(7);
  for (char& c : data) c = static_cast<char>(random());
  write("a", data);
  write("b", data);
  std::string changed = data;
  changed[changed.size() / 2] ^= 1;
  write("c", changed);

  File a(at("a")), b(at("b")), c(at("c"));
  a.setOffset(17);
  const uint64_t sum = a.checksum();
  EXPECT_EQ(a.read(0, nullptr), 0u);
  EXPECT_EQ(sum, checksum64(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
  EXPECT_EQ(sum, b.checksum());
  EXPECT_EQ(sum, a.checksum());
  EXPECT_NE(sum, c.checksum());
  unsigned char byte;
  EXPECT_EQ(a.read(1, &byte), 1u);  // checksum left the offset alone
  EXPECT_EQ(byte, static_cast<unsigned char>(data[17]));

  // Sizes at the stripe and chunk boundaries.
  for (size_t size : {size_t(0), size_t(31), size_t(64), size_t(4) << 20}) {
    write("d", data.substr(0, size));
    EXPECT_EQ(File(at("d")).checksum(),
              checksum64(reinterpret_cast<const unsigned char*>(data.data()), size)) << size;
  }
}

TEST(FilenameTest, SplitsAndReplacesTheLastComponent) {
  Filename lib = fn(L"/usr/lib/x86_64-linux-gnu/libc.so.6");
  EXPECT_EQ(lib.path().str(), L"/usr/lib/x86_64-linux-gnu");
  EXPECT_EQ(lib.baseWithExtension().str(), L"libc.so.6");
  lib.setBaseWithExtension(String(L"libm.so.6"));
  EXPECT_EQ(lib.spelling().str(), L"/usr/lib/x86_64-linux-gnu/libm.so.6");

  EXPECT_EQ(fn(L"/libc.so").path().str(), L"/");
  EXPECT_EQ(fn(L"a.out").path().str(), L"");
  EXPECT_EQ(fn(L"a.out").baseWithExtension().str(), L"a.out");
  EXPECT_EQ(fn(L"build//bin/a.out").path().str(), L"build//bin");
  EXPECT_EQ(fn(L"dir//").path().str(), L"dir");

  Filename dir = fn(L"/usr/lib/debug/");
  EXPECT_EQ(dir.baseWithExtension().str(), L"");
  dir.setBaseWithExtension(String(L"x.debug"));
  EXPECT_EQ(dir.spelling().str(), L"/usr/lib/debug/x.debug");
  Filename bare = fn(L"a.out");
  bare.setBaseWithExtension(String(L"b.out"));
  EXPECT_EQ(bare.spelling().str(), L"b.out");
}

TEST(FilenameTest, AbsoluteAndCanonicalForms) {
  EXPECT_EQ(fn(L"sub/x").toAbsoluteFilename(fn(L"/opt/app")).spelling().str(), L"/opt/app/sub/x");
  EXPECT_EQ(fn(L"x").toAbsoluteFilename(fn(L"/opt/app/")).spelling().str(), L"/opt/app/x");
  EXPECT_EQ(fn(L"/etc/x").toAbsoluteFilename(fn(L"/opt")).spelling().str(), L"/etc/x");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::wstring here = wide(cwd);
  EXPECT_EQ(fn(L"rel").toAbsoluteFilename(Filename()).spelling().str(),
            here == L"/" ? L"/rel" : here + L"/rel");

  const wchar_t* missing = L"/no_such_dir_kave/./a/../b//c/";
  EXPECT_EQ(fn(missing).canonical().spelling().str(), L"/no_such_dir_kave/b/c");
  EXPECT_EQ(fn(L"/../..").canonical().spelling().str(), L"/");
  EXPECT_TRUE(fn(L"").canonical().spelling().empty());
  EXPECT_EQ(fn(L"rel/../other").canonical().spelling().str(),
            fn(here + L"/other").canonical().spelling().str());
}

TEST(TraceTest, RecordsFromManyThreadsAreCountedAndWholeLines) {
  std::ostringstream out;
  Log log("ZOR3", &out);
  RecordCapture capture;
  const unsigned long errorsBefore = errorCount();
  const int kThreads = 8, kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kRounds; ++i) {
        Trace on(&log, "work", "Worker", true);
        on.start("src/w", static_cast<unsigned long>(t), false) << " i=" << i << std::endl;
        Trace off(&log, "work", "Worker", false);
        off.start("src/e", 99, true) << " ERROR: " << i << std::endl;
        assertFailed("worker", "src/a", static_cast<unsigned>(i));
      }
    });
  }
  for (std::thread& th : threads) th.join();

  EXPECT_EQ(capture.assertions(), size_t(kThreads * kRounds));
  EXPECT_EQ(capture.errors(), size_t(kThreads * kRounds));
  EXPECT_EQ(errorCount(), errorsBefore + kThreads * kRounds);
  for (const RecordInfo& r : capture.records()) {
    if (r.kind == RecordInfo::Error) {
      EXPECT_EQ(r.source + ":" + std::to_string(r.line), "src/e:99");
    }
  }

  std::istringstream lines(out.str());
  size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const bool scope = line.find("> Worker::work") != std::string::npos ||
                       line.find("< Worker::work") != std::string::npos;
    const bool text = line.find("[src/w:") != std::string::npos &&
                      line.find("] i=") != std::string::npos;
    ASSERT_TRUE(line.rfind("ZOR3 ", 0) == 0 && (scope || text)) << line;
  }
  EXPECT_EQ(count, size_t(3 * kThreads * kRounds));
}
