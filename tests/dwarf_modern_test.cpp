// DWARF 4/5 images as current toolchains and distributions ship them: C and 32-bit builds,
// compressed debug sections, and stripped images whose debug files are found by build id or
// under a mirrored global debug directory. Each is loaded through the symbol manager and
// checked against llvm-symbolizer-14, or, where that oracle cannot find the debug file, frame
// by frame against the unstripped build (checked itself against the oracle). The zstd images,
// which the oracle cannot read, decode byte for byte as their twins (compressed-sections suite).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <zor/zor.h>

#include "kave/unicode.h"
#include "support/dwarf_test_support.h"
#include "support/loaded_module.h"
#include "support/scratch.h"
#include "support/symbolizer_agreement.h"
#include "zor/dwarf/debug_directories.h"
#include "zor/elf/elf_helper.h"

namespace {

using namespace ZOR_3_12;
namespace fs = std::filesystem;

std::string modern(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/modern/" + name; }
std::string dwarfFixture(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/dwarf/" + name; }
std::wstring wide(const std::string& s) { return KAVE_3_1::utf8ToWide(s); }
std::string utf8(const std::wstring& s) { return KAVE_3_1::wideToUtf8(s); }

// Sets (or, with null, removes) the debug-directory variable for one scope.
struct DebugDirectories : scratch::ScopedEnv {
  explicit DebugDirectories(const char* value) : ScopedEnv(internal::kDebugDirectoriesVariable, value) {}
};

using scratch::TempDir;

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
