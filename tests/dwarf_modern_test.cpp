// DWARF 4/5 images as current toolchains and distributions ship them: C and 32-bit builds,
// compressed debug sections, and stripped images whose debug files are found by build id or
// under a mirrored global debug directory. Each is loaded through the symbol manager and
// checked against llvm-symbolizer-14, or, where that oracle cannot find the debug file, frame
// by frame against the unstripped build (checked itself against the oracle). The zstd images,
// which the oracle cannot read, decode byte for byte as their twins (compressed-sections suite).
// Also the .gnu_debuglink candidate: which file it settles on and in which state, the CRC
// check against files objcopy linked, tryFile, and the CRC-32 itself.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <zor/zor.h>

#include "kave/file.h"
#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "support/loaded_module.h"
#include "support/scratch.h"
#include "support/symbolizer_agreement.h"
#include "zor/dwarf/debug_directories.h"
#include "zor/elf/elf_helper.h"
#include "zor/util/crc32.h"

namespace {

using namespace ZOR_3_12;
namespace fs = std::filesystem;

std::string modern(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/modern/" + name; }
std::string dwarfFixture(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/dwarf/" + name; }
std::string elfFixture(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/elf/" + name; }
std::wstring wide(const std::string& s) { return KAVE_3_1::utf8ToWide(s); }
std::string utf8(const std::wstring& s) { return KAVE_3_1::wideToUtf8(s); }

// Sets (or, with null, removes) the debug-directory variable for one scope.
struct DebugDirectories : scratch::ScopedEnv {
  explicit DebugDirectories(const char* value) : ScopedEnv(internal::kDebugDirectoriesVariable, value) {}
};

// A scratch directory that takes copies of fixtures.
struct TempDir : scratch::TempDir {
  std::string copy(const std::string& from, const std::string& name) const { return add(name, scratch::readFile(from)); }
};

using Loaded = zor_test::LoadedModule;

std::vector<unsigned char> buildIdOf(const std::string& path) {
  SymMgrObjectPtr<ElfHelper> h(new ElfHelper(wide(path).c_str()));
  return h->buildId();
}

// Our inline chains for `bank` must equal those for the twin image at every address the
// harness would check; most addresses must resolve to something at all.
void expectSameFrames(IModuleSymbolBank* bank, const std::string& twin) {
  ASSERT_NE(bank, nullptr);
  Loaded reference(twin);
  ASSERT_NE(reference.bank, nullptr);
  const std::vector<uint64_t> addresses = agreement::addressesToCheck(twin);
  ASSERT_GT(addresses.size(), 100u);
  size_t same = 0, resolved = 0;
  for (uint64_t a : addresses) {
    const std::vector<agreement::Frame> ours = agreement::ourFrames(bank, a);
    const std::vector<agreement::Frame> theirs = agreement::ourFrames(reference.bank.get(), a);
    if (ours == theirs) ++same;
    if (!ours.empty() && ours[0].line != 0) ++resolved;
  }
  EXPECT_EQ(same, addresses.size());
  EXPECT_GT(resolved, addresses.size() * 3 / 4);
}

class ModernAgreement : public ::testing::TestWithParam<const char*> {};

TEST_P(ModernAgreement, AgreesWithTheSymbolizer) {
  const std::string path = modern(GetParam());
  agreement::expectAgreement(GetParam(), path, path);
}

// The oracle reads zlib and .zdebug sections itself.
INSTANTIATE_TEST_SUITE_P(Modern, ModernAgreement,
                         ::testing::Values("c_gcc_d4_O2", "c_gcc_d5_O2", "c_clang_d4_O2", "c_clang_d5_O2",
                                           "c_gcc_d4_O2_32", "cpp_gcc_d5_O2_32", "c_gcc_d5_O2_zlib",
                                           "c_gcc_d4_O2_zdebug", "cpp_gcc_d5_O2_32_zlib"));

TEST(DwarfModern, DebugDirectoryListAndPaths) {
  const std::pair<const char*, std::vector<std::wstring>> lists[] = {
      {nullptr, {L"/usr/lib/debug"}}, {"/a/b::rel/:", {L"/a/b", L"rel/"}}, {"", {}}};
  for (const auto& list : lists) {
    DebugDirectories dirs(list.first);
    EXPECT_EQ(internal::globalDebugDirectories(), list.second) << (list.first ? list.first : "unset");
  }
  const std::vector<unsigned char> id = {0xAB, 0x01, 0xFF};
  EXPECT_EQ(internal::buildIdDebugPath(L"/r/", id), L"/r/.build-id/ab/01ff.debug");
  EXPECT_EQ(internal::buildIdDebugPath(L"/r", id), L"/r/.build-id/ab/01ff.debug");
  EXPECT_EQ(internal::buildIdDebugPath(L"/r", std::vector<unsigned char>{0xAB}), L"");
  EXPECT_EQ(internal::mirroredDebugPath(L"/r/", L"/usr/lib/", L"x.debug"), L"/r/usr/lib/x.debug");
  EXPECT_EQ(internal::mirroredDebugPath(L"/r", L"lib", L"x.debug"), L"");
}

using dwarf_test::Candidate;

std::string buildIdPathUnder(const std::string& root, const std::string& image) {
  return utf8(internal::buildIdDebugPath(wide(root), buildIdOf(image)));
}

TEST(DwarfModern, BuildIdTreeServesLinkedAndUnlinkedImages) {
  DebugDirectories root(modern("debugroot").c_str());
  struct Case {
    const char* image;
    std::string twin;
  };
  for (const Case& c : {Case{"cpp_gcc_d5_O2_buildid", dwarfFixture("cpp_gcc_d5_O2")},
                        Case{"c_clang_d4_O2_nolink", modern("c_clang_d4_O2")}}) {
    SCOPED_TRACE(c.image);
    const std::string image = modern(c.image);
    const std::string expected = buildIdPathUnder(modern("debugroot"), image);
    ASSERT_TRUE(fs::is_regular_file(expected));
    // The twin is the same build before stripping.
    ASSERT_EQ(buildIdOf(image), buildIdOf(c.twin));
    Loaded l(image);
    ASSERT_NE(l.bank, nullptr);
    EXPECT_EQ(l.bank->symFileFormat(), uint32_t(SYM_FORMAT_DWARF));
    EXPECT_EQ(utf8(l.bank->symFileName()), expected);
    expectSameFrames(l.bank.get(), c.twin);
  }
}

TEST(DwarfModern, WrongBuildIdIsRejectedAndDirectoriesAreSkipped) {
  const std::string image = modern("cpp_gcc_d5_O2_buildid");
  const std::string good = buildIdPathUnder(modern("debugroot"), image);
  TempDir wrong, directory;
  ASSERT_FALSE(wrong.path().empty());
  ASSERT_FALSE(directory.path().empty());
  // Under `wrong`, the image's build-id path holds another image's debug file.
  const std::string impostor = buildIdPathUnder(wrong.path(), image);
  fs::create_directories(fs::path(impostor).parent_path());
  fs::copy_file(buildIdPathUnder(modern("debugroot"), modern("c_clang_d4_O2_nolink")), impostor);
  // Under `directory`, it is a directory.
  fs::create_directories(buildIdPathUnder(directory.path(), image));
  {
    DebugDirectories dirs(wrong.path().c_str());
    Candidate c(image);
    EXPECT_EQ(c.c.state(), uint32_t(RESOLVE_STATE_REJECTED));
    // A module without a link keeps itself as the candidate.
    Candidate unlinked(modern("c_clang_d4_O2_nolink"));
    fs::create_directories(fs::path(buildIdPathUnder(wrong.path(), modern("c_clang_d4_O2_nolink"))).parent_path());
    fs::copy_file(good, buildIdPathUnder(wrong.path(), modern("c_clang_d4_O2_nolink")));
    Candidate unlinkedAgain(modern("c_clang_d4_O2_nolink"));
    EXPECT_EQ(unlinked.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
    EXPECT_EQ(unlinkedAgain.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
    EXPECT_EQ(std::wstring(unlinkedAgain.c.fileName()), unlinkedAgain.imagePath);
  }
  {
    DebugDirectories dirs(directory.path().c_str());
    Candidate c(image);
    EXPECT_EQ(c.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
  }
  {
    const std::string both = directory.path() + ":" + wrong.path() + ":" + modern("debugroot");
    DebugDirectories dirs(both.c_str());
    Candidate c(image);
    EXPECT_EQ(c.c.state(), uint32_t(RESOLVE_STATE_FOUND));
    EXPECT_EQ(utf8(c.c.fileName()), good);
  }
}

TEST(DwarfModern, MirroredImageDirectoryUnderAGlobalRoot) {
  const std::string image = modern("cpp_clang_d5_O2_mirror");
  TempDir root;
  ASSERT_FALSE(root.path().empty());
  {
    // Not beside the image, not in its .debug directory: nothing is found yet.
    DebugDirectories dirs(root.path().c_str());
    Candidate c(image);
    EXPECT_EQ(c.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
  }
  const std::string imageDir = fs::path(image).parent_path().string();
  const std::string mirrored = root.path() + imageDir + "/cpp_clang_d5_O2_mirror.debug";
  fs::create_directories(fs::path(mirrored).parent_path());
  fs::copy_file(modern("mirror/cpp_clang_d5_O2_mirror.debug"), mirrored);
  DebugDirectories dirs(root.path().c_str());
  Candidate c(image);
  EXPECT_EQ(c.c.state(), uint32_t(RESOLVE_STATE_FOUND));
  EXPECT_EQ(utf8(c.c.fileName()), mirrored);
  Loaded l(image);
  ASSERT_NE(l.bank, nullptr);
  EXPECT_EQ(utf8(l.bank->symFileName()), mirrored);
  ASSERT_EQ(buildIdOf(image), buildIdOf(dwarfFixture("cpp_clang_d5_O2")));
  expectSameFrames(l.bank.get(), dwarfFixture("cpp_clang_d5_O2"));
}

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
  const std::string image = dir.copy(elfFixture("hello_stripped"), "hello_stripped");
  KAVE_3_1::createDirectory(KAVE_3_1::Filename(wide(dir / ".debug")));
  dir.copy(elfFixture("hello_stripped.debug"), ".debug/hello_stripped.debug");
  {
    Candidate m(image);
    EXPECT_EQ(m.c.state(), uint32_t(RESOLVE_STATE_FOUND));
    EXPECT_EQ(std::wstring(m.c.fileName()), wide(dir.path() + "/.debug/hello_stripped.debug"));
  }
  dir.copy(elfFixture("hello_stripped.debug"), "hello_stripped.debug");
  Candidate m(image);
  EXPECT_EQ(std::wstring(m.c.fileName()), wide(dir.path() + "/hello_stripped.debug"));
  // A wrong file beside the module does not hide the right one in .debug.
  dir.copy(elfFixture("hello_pie"), "hello_stripped.debug");
  Candidate wrongBeside(image);
  EXPECT_EQ(wrongBeside.c.state(), uint32_t(RESOLVE_STATE_FOUND));
  EXPECT_EQ(std::wstring(wrongBeside.c.fileName()), wide(dir.path() + "/.debug/hello_stripped.debug"));
}

TEST(DebugLink, WrongCrcIsRejectedAndMissingFileIsNotFound) {
  Candidate bad(elfFixture("badcrc/hello_badcrc"));
  EXPECT_EQ(bad.c.state(), uint32_t(RESOLVE_STATE_REJECTED));
  EXPECT_EQ(std::wstring(bad.c.fileName()), L"hello_badcrc.debug");

  TempDir dir;
  const std::string lonely = dir.copy(elfFixture("hello_stripped"), "hello_stripped");
  Candidate missing(lonely);
  EXPECT_EQ(missing.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
  EXPECT_EQ(std::wstring(missing.c.fileName()), L"hello_stripped.debug");
}

TEST(DebugLink, TryFileAcceptsOnlyAMatchingFile) {
  // No debug link: every offer is refused, even an existing file.
  Candidate plain(elfFixture("nodebug/hello_nodebug"));
  EXPECT_EQ(plain.c.tryFile(wide(elfFixture("hello_stripped.debug")).c_str()), -1);

  Candidate m(elfFixture("hello_stripped"));
  const std::wstring found = m.c.fileName();
  EXPECT_EQ(m.c.tryFile(found.c_str()), 0);
  EXPECT_EQ(m.c.tryFile(wide(elfFixture("no-such-file.debug")).c_str()), -1);
  EXPECT_EQ(m.c.tryFile(wide(elfFixture("hello_pie")).c_str()), -1);
  EXPECT_EQ(std::wstring(m.c.fileName()), found);
  TempDir dir;
  const std::string elsewhere = dir.copy(elfFixture("hello_stripped.debug"), "renamed.dbg");
  EXPECT_EQ(m.c.tryFile(wide(elsewhere).c_str()), 0);
  EXPECT_EQ(std::wstring(m.c.fileName()), wide(elsewhere));
  EXPECT_EQ(m.c.state(), uint32_t(RESOLVE_STATE_FOUND));

  // A rejected candidate becomes usable when offered the right file.
  Candidate missing(dir.copy(elfFixture("hello_stripped"), "hello_stripped"));
  ASSERT_EQ(missing.c.state(), uint32_t(RESOLVE_STATE_NOT_FOUND));
  EXPECT_EQ(missing.c.tryFile(wide(elfFixture("hello_stripped.debug")).c_str()), 0);
  EXPECT_EQ(missing.c.state(), uint32_t(RESOLVE_STATE_FOUND));
}

// The machine's own C library, stripped, with the distribution's debug file installed
// under /usr/lib/debug/.build-id (zlib-compressed sections). Skipped without libc6-dbg.
class SystemLibc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_regular_file(libc)) GTEST_SKIP() << "no " << libc;
    const std::vector<unsigned char> id = buildIdOf(libc);
    ASSERT_FALSE(id.empty());
    debugFile = utf8(internal::buildIdDebugPath(L"/usr/lib/debug", id));
    if (!fs::is_regular_file(debugFile)) GTEST_SKIP() << "libc6-dbg not installed (" << debugFile << ")";
  }

  const std::string libc = "/lib/x86_64-linux-gnu/libc.so.6";
  std::string debugFile;
  DebugDirectories defaults{nullptr};
};

// Found by build id; the debug file's symbol table gives the addresses (the library itself
// has none).
TEST_F(SystemLibc, DebugFileIsFoundByBuildIdAndAgreesWithTheSymbolizer) {
  Loaded l(libc);
  ASSERT_NE(l.bank, nullptr);
  EXPECT_EQ(l.bank->symFileFormat(), uint32_t(SYM_FORMAT_DWARF));
  EXPECT_EQ(utf8(l.bank->symFileName()), debugFile);
  agreement::expectAgreement("libc.so.6", libc, debugFile);
}

}  // namespace
