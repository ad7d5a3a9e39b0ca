// The symbol manager: the singleton's life, the two caches (loaders by file identity, banks
// by pair of loaders), the load statuses and the choice of a symbol file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <zor/zor.h>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/scratch.h"
#include "zor/manager/absolute_path.h"
#include "zor/manager/symbol_manager.h"

using namespace ZOR_3_12;

namespace {

std::wstring fixture(const char* relative) {
  return KAVE_3_1::utf8ToWide(std::string(ZOR_FIXTURES_DIR) + "/" + relative);
}

SymbolManager* impl(SymMgrObjectPtr<ISymbolManager>& m) { return static_cast<SymbolManager*>(m.get()); }

// A copy of a fixture in a private directory, so a test may rewrite it.
class TempCopy {
 public:
  explicit TempCopy(const char* relative)
      : m_path(m_dir.add("module", scratch::readFile(std::string(ZOR_FIXTURES_DIR) + "/" + relative))) {}
  // Appends bytes (the image stays valid) and moves the modification time, as a rebuild would.
  void rewrite() {
    std::ofstream(m_path, std::ios::binary | std::ios::app) << std::string(64, '\0');
    struct stat st;
    stat(m_path.c_str(), &st);
    struct timespec times[2] = {{st.st_atime, 0}, {st.st_mtime + 10, 0}};
    utimensat(AT_FDCWD, m_path.c_str(), times, 0);
  }
  std::wstring path() const { return KAVE_3_1::utf8ToWide(m_path); }

 private:
  scratch::TempDir m_dir;
  std::string m_path;
};

// Picks a fixed index, whatever the candidates.
class FixedResolver : public ISymbolFileResolver {
 public:
  explicit FixedResolver(int32_t index) : m_index(index) {}
  int32_t resolveSymbolFile(SymMgrObjectPtr<SymbolFileIter>& candidates) override {
    ++calls;
    sawCandidates = candidates && candidates->current() != nullptr;
    return m_index;
  }
  int calls = 0;
  bool sawCandidates = false;

 private:
  int32_t m_index;
};

class SymbolManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ISymbolManager::create(m), STATUS_OK); }
  SymMgrObjectPtr<ISymbolManager> m;
};

TEST_F(SymbolManagerTest, BankSharedWhileReferencedAndRebuiltAfter) {
  const std::wstring path = fixture("elf/hello_nopie");
  SymMgrObjectPtr<IModuleSymbolBank> first, second;
  ASSERT_EQ(m->loadSymbolsFromModule(path.c_str(), nullptr, first), STATUS_OK);
  ASSERT_EQ(m->loadSymbolsFromModule(path.c_str(), nullptr, second), STATUS_OK);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(impl(m)->cachedBankCount(), 1u);
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 1u);

  // A relative spelling of the same file is the same identity.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(ZOR_FIXTURES_DIR), 0);
  SymMgrObjectPtr<IModuleSymbolBank> relative;
  EXPECT_EQ(m->loadSymbolsFromModule(L"elf/hello_nopie", nullptr, relative), STATUS_OK);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(relative.get(), first.get());
  relative.reset();

  first.reset();
  EXPECT_EQ(impl(m)->cachedBankCount(), 1u);  // `second` still holds it
  second.reset();
  // The last reference took the bank and its loader out of both caches.
  EXPECT_EQ(impl(m)->cachedBankCount(), 0u);
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 0u);

  SymMgrObjectPtr<IModuleSymbolBank> third;
  ASSERT_EQ(m->loadSymbolsFromModule(path.c_str(), nullptr, third), STATUS_OK);
  EXPECT_EQ(impl(m)->cachedBankCount(), 1u);
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 1u);
  EXPECT_EQ(std::wstring(third->execFileName()), internal::absolutePath(path.c_str()));
}

TEST_F(SymbolManagerTest, RewrittenModuleGetsNewLoaderAndBank) {
  TempCopy copy("elf/hello_nopie");
  SymMgrObjectPtr<IModuleSymbolBank> before, after;
  ASSERT_EQ(m->loadSymbolsFromModule(copy.path().c_str(), nullptr, before), STATUS_OK);
  const std::wstring sumBefore = before->checkSum();
  copy.rewrite();
  ASSERT_EQ(m->loadSymbolsFromModule(copy.path().c_str(), nullptr, after), STATUS_OK);
  EXPECT_NE(before.get(), after.get());
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 2u);
  EXPECT_EQ(impl(m)->cachedBankCount(), 2u);
  EXPECT_NE(sumBefore, std::wstring(after->checkSum()));
  before.reset();
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 1u);
}

TEST_F(SymbolManagerTest, UnopenablePathLeavesBankUntouched) {
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  ASSERT_EQ(m->loadSymbolsFromModule(fixture("elf/hello_nopie").c_str(), nullptr, bank), STATUS_OK);
  IModuleSymbolBank* held = bank.get();

  for (const std::wstring& path : {fixture("no/such/file"), fixture("elf"), std::wstring()}) {
    KAVE_3_1::RecordCapture capture;
    EXPECT_EQ(m->loadSymbolsFromModule(path.c_str(), nullptr, bank), STATUS_CANT_OPEN_FILE);
    EXPECT_EQ(bank.get(), held);
    ASSERT_EQ(capture.errors(), 1u);
    EXPECT_EQ(capture.records()[0].line, 672u);
    EXPECT_NE(capture.records()[0].source.find("zor_symbolmanager"), std::string::npos);
  }
  EXPECT_EQ(m->loadSymbolsFromModule(nullptr, nullptr, bank), STATUS_CANT_OPEN_FILE);
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 1u);
}

TEST_F(SymbolManagerTest, NonImageIsBadFormatEveryTime) {
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  for (const char* file : {"misc/text.txt", "misc/mz_not_pe.bin", "misc/empty.bin"}) {
    SCOPED_TRACE(file);
    KAVE_3_1::RecordCapture quiet;
    EXPECT_EQ(m->loadSymbolsFromModule(fixture(file).c_str(), nullptr, bank), STATUS_BAD_FILE_FORMAT);
    EXPECT_EQ(m->loadSymbolsFromModule(fixture(file).c_str(), nullptr, bank), STATUS_BAD_FILE_FORMAT);
    EXPECT_FALSE(bank);
  }
  // Each non-image is remembered once, by a null entry.
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 3u);
  EXPECT_EQ(impl(m)->cachedBankCount(), 0u);
}

TEST_F(SymbolManagerTest, ResolverIndexOutsideTheListGivesBankWithoutDebugInfo) {
  for (int32_t index : {-1, 1, 7}) {
    SCOPED_TRACE(index);
    FixedResolver resolver(index);
    SymMgrObjectPtr<IModuleSymbolBank> bank;
    ASSERT_EQ(m->loadSymbolsFromModule(fixture("elf/hello_pie").c_str(), &resolver, bank), STATUS_OK);
    EXPECT_EQ(resolver.calls, 1);
    EXPECT_TRUE(resolver.sawCandidates);
    ASSERT_TRUE(bank);
    EXPECT_EQ(bank->symFileFormat(), uint32_t(SYM_FORMAT_NONE));
  }
  // With and without debug info are two banks over one loader.
  FixedResolver none(-1), first(0);
  SymMgrObjectPtr<IModuleSymbolBank> plain, debug;
  ASSERT_EQ(m->loadSymbolsFromModule(fixture("elf/hello_pie").c_str(), &none, plain), STATUS_OK);
  ASSERT_EQ(m->loadSymbolsFromModule(fixture("elf/hello_pie").c_str(), &first, debug), STATUS_OK);
  EXPECT_NE(plain.get(), debug.get());
  EXPECT_EQ(debug->symFileFormat(), uint32_t(SYM_FORMAT_DWARF));
  EXPECT_EQ(impl(m)->cachedLoaderCount(), 1u);
  EXPECT_EQ(impl(m)->cachedBankCount(), 2u);
}

}  // namespace
