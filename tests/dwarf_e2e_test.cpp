// End to end through the public front door: every DWARF fixture is loaded with the symbol
// manager, and the inline chain at every function start and at 2,000 random code addresses
// is compared frame by frame (function, file, line) with llvm-symbolizer-14 run at test time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <zor/extensions.h>
#include <zor/zor.h>

#include "kave/unicode.h"
#include "support/symbolizer_agreement.h"

namespace {

using namespace ZOR_3_12;
using namespace agreement;

std::string fixture(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/dwarf/" + name; }

const char* const kFixtures[] = {
    "c_clang_d2_O0",  "c_clang_d2_O2",  "c_clang_d3_O0",   "c_clang_d3_O2",       "c_clang_d3_O2_32",
    "c_gcc_d2_O0",    "c_gcc_d2_O2",    "c_gcc_d3_O0",     "c_gcc_d3_O2",         "c_gcc_d3_O2_32",
    "cpp_clang_d2_O0", "cpp_clang_d2_O2", "cpp_clang_d3_O0", "cpp_clang_d3_O2",     "cpp_clang_d3_O2_32",
    "cpp_clang_d4_O2", "cpp_clang_d5_O2", "cpp_gcc_d2_O0",   "cpp_gcc_d2_O2",       "cpp_gcc_d3_O0",
    "cpp_gcc_d3_O2",   "cpp_gcc_d3_O2_32", "cpp_gcc_d4_O2",  "cpp_gcc_d5_O2",       "f90_gfortran_d2_O0",
    "f90_gfortran_d2_O2", "f90_gfortran_d3_O0", "f90_gfortran_d3_O2",
};

class SymbolizerAgreement : public ::testing::TestWithParam<const char*> {};

TEST_P(SymbolizerAgreement, InlineFramesMatchPerAddress) {
  std::string path = fixture(GetParam());
  expectAgreement(GetParam(), path, path);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SymbolizerAgreement, ::testing::ValuesIn(kFixtures));

// The separate debug file is found through .gnu_debuglink; the symbolizer reads the same
// file, so the two must agree as for a module that carries its own DWARF.
TEST(SeparateDebugFile, FoundThroughDebugLinkAndAgrees) {
  std::string module = fixture("sep/cpp_gcc_d3_O2_stripped");
  SymMgrObjectPtr<ISymbolManager> manager;
  ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  std::wstring wpath = KAVE_3_1::utf8ToWide(module);
  ASSERT_EQ(manager->loadSymbolsFromModule(wpath.c_str(), nullptr, bank), STATUS_OK);
  ASSERT_TRUE(bank);
  EXPECT_EQ(bank->symFileFormat(), SYM_FORMAT_DWARF);
  std::string symFile = KAVE_3_1::wideToUtf8(bank->symFileName());
  EXPECT_NE(symFile.find("cpp_gcc_d3_O2_stripped.debug"), std::string::npos) << symFile;
  expectAgreement("sep/cpp_gcc_d3_O2_stripped", module, module);
}

// Function bodies are read on first demand, from whichever thread asks first: several
// threads asking at once must see what one thread alone sees.
TEST(ConcurrentQueries, LazyBodiesReadFromSeveralThreadsAgree) {
  std::string path = fixture("cpp_gcc_d3_O2");
  std::vector<uint64_t> addresses = addressesToCheck(path);
  addresses.resize(std::min<size_t>(addresses.size(), 600));
  std::wstring wpath = KAVE_3_1::utf8ToWide(path);
  std::vector<std::vector<Frame>> alone;
  {
    SymMgrObjectPtr<ISymbolManager> manager;
    ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
    SymMgrObjectPtr<IModuleSymbolBank> bank;
    ASSERT_EQ(manager->loadSymbolsFromModule(wpath.c_str(), nullptr, bank), STATUS_OK);
    for (uint64_t a : addresses) alone.push_back(ourFrames(bank.get(), a));
  }
  SymMgrObjectPtr<ISymbolManager> manager;
  ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  ASSERT_EQ(manager->loadSymbolsFromModule(wpath.c_str(), nullptr, bank), STATUS_OK);
  // The image's symbols are loaded first, as the bank's callers are asked to do.
  ourFrames(bank.get(), addresses.front());
  constexpr int kThreads = 4;
  std::vector<std::vector<std::vector<Frame>>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the addresses from another starting point.
      for (size_t i = 0; i < addresses.size(); ++i) {
        size_t k = (i + t * addresses.size() / kThreads) % addresses.size();
        seen[t].push_back(ourFrames(bank.get(), addresses[k]));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    for (size_t i = 0; i < addresses.size(); ++i) {
      size_t k = (i + t * addresses.size() / kThreads) % addresses.size();
      EXPECT_EQ(seen[t][i], alone[k]) << "thread " << t << " at 0x" << std::hex << addresses[k];
    }
  }
}

}  // namespace
