// End to end through the public front door: every DWARF fixture is loaded with the symbol
// manager, and the inline chain at every function start and at 2,000 random code addresses
// is compared frame by frame (function, file, line) with llvm-symbolizer-14 run at test time.
#include <gtest/gtest.h>

#include <string>

#include <zor/zor.h>

#include "kave/unicode.h"
#include "support/loaded_module.h"
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
  zor_test::LoadedModule loaded(module);
  ASSERT_TRUE(loaded.bank);
  EXPECT_EQ(loaded.bank->symFileFormat(), SYM_FORMAT_DWARF);
  std::string symFile = KAVE_3_1::wideToUtf8(loaded.bank->symFileName());
  EXPECT_NE(symFile.find("cpp_gcc_d3_O2_stripped.debug"), std::string::npos) << symFile;
  expectAgreement("sep/cpp_gcc_d3_O2_stripped", module, module);
}

}  // namespace
