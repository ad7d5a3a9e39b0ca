// The command-line tools, run as programs on fixture images and compared with the peer
// tools of the system (the LLVM symbolizer, nm) when those are installed.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/elf_oracle.h"
#include "support/scratch.h"

namespace {

const std::string kFixtures = ZOR_FIXTURES_DIR;
const std::string kBinary = ZOR_BINARY_DIR;

struct Result {
  std::string out;
  int status = -1;
};

Result run(const std::string& command) {
  Result r;
  r.status = elf_oracle::runStatus(command, r.out);
  return r;
}

bool have(const char* tool) { return elf_oracle::haveTool(tool); }
using elf_oracle::lines;

std::string symbolize() { return kBinary + "/zor-symbolize"; }

// Defined code symbols of both symbol tables (the dynamic one for stripped images): start ->
// every name at that start, and the functions. With `demangle`, names go through LLVM's
// demangling filter when it is installed: the library demangles with LLVM's demangler, whose
// spelling of some names (lambdas, for one) differs from the GNU one.
struct NmSymbols {
  std::map<uint64_t, std::set<std::string>> namesAt;
  std::vector<elf_oracle::NmSymbol> functions;
};

NmSymbols nmFunctions(const std::string& image, bool demangle) {
  NmSymbols s;
  std::string filter;
  if (demangle) filter = have("llvm-cxxfilt-14") ? " | llvm-cxxfilt-14" : " | c++filt";
  for (bool dynamic : {false, true}) {
    for (const elf_oracle::NmSymbol& sym : elf_oracle::nm(image, dynamic, filter)) {
      s.namesAt[sym.address].insert(sym.name);
      if (sym.isCode()) s.functions.push_back(sym);
    }
  }
  return s;
}

std::string hexList(const std::vector<uint64_t>& addresses) {
  std::string out;
  char buf[32];
  for (uint64_t a : addresses) {
    std::snprintf(buf, sizeof buf, " 0x%llx", static_cast<unsigned long long>(a));
    out += buf;
  }
  return out;
}

// Function name lines of the LLVM layout: the first of every three lines.
std::vector<std::string> functionNames(const std::string& output) {
  std::vector<std::string> names;
  const auto all = lines(output);
  for (size_t i = 0; i < all.size(); i += 3) names.push_back(all[i]);
  return names;
}

// Every function start plus a few addresses inside each function; for an image without any
// function symbol, addresses spread over its code.
std::vector<uint64_t> probeAddresses(const std::string& image, const NmSymbols& symbols,
                                     std::map<uint64_t, uint64_t>& functionOf) {
  std::mt19937_64 random(12345);
  std::vector<uint64_t> addresses;
  if (symbols.functions.empty()) {
    for (const elf_oracle::Section& text : elf_oracle::sections(image)) {
      if (text.name != ".text") continue;
      for (uint64_t a = text.addr; a < text.addr + text.size; a += 7) {
        addresses.push_back(a);
        functionOf[a] = a;
      }
    }
  }
  for (const elf_oracle::NmSymbol& f : symbols.functions) {
    addresses.push_back(f.address);
    functionOf[f.address] = f.address;
    for (int k = 0; k < 3 && f.size > 1; ++k) {
      const uint64_t inside = f.address + 1 + random() % (f.size - 1);
      addresses.push_back(inside);
      functionOf[inside] = f.address;
    }
  }
  return addresses;
}

class ToolsTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ToolsTest, FunctionNamesMatchTheLlvmSymbolizerWithoutDebugInfo) {
  if (!have("llvm-symbolizer-14") || !have("nm")) GTEST_SKIP() << "llvm-symbolizer-14 or nm not installed";
  const std::string image = kFixtures + "/" + GetParam();
  const NmSymbols symbols = nmFunctions(image, false);
  std::map<uint64_t, uint64_t> functionOf;
  const std::vector<uint64_t> addresses = probeAddresses(image, symbols, functionOf);
  ASSERT_FALSE(addresses.empty());
  const std::string list = hexList(addresses);

  const Result peer = run("llvm-symbolizer-14 --no-inlines --functions=linkage --obj=" + image + list);
  const Result ours = run(symbolize() + " --no-inlines --functions=linkage --obj=" + image + list);
  ASSERT_EQ(ours.status, 0);
  const auto expected = functionNames(peer.out);
  const auto actual = functionNames(ours.out);
  ASSERT_EQ(actual.size(), addresses.size());
  ASSERT_EQ(expected.size(), addresses.size());
  int compared = 0;
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (expected[i] == actual[i]) {
      ++compared;
      continue;
    }
    // Aliases at one start (e.g. a weak and a global name) may be chosen differently.
    const auto found = symbols.namesAt.find(functionOf[addresses[i]]);
    EXPECT_TRUE(found != symbols.namesAt.end() && found->second.count(expected[i]) && found->second.count(actual[i]))
        << std::hex << "0x" << addresses[i] << ": llvm-symbolizer says " << expected[i] << ", we say " << actual[i];
  }
  EXPECT_GT(compared, int(addresses.size()) / 2);
}

INSTANTIATE_TEST_SUITE_P(ImagesWithoutDebugInfo, ToolsTest,
                         ::testing::Values("elf/hello_nopie", "elf/nodebug/hello_nodebug", "elf/libplt.so",
                                           "elf/libplt_clang.so"));

// Whole answers (inlined frames, files, lines, columns) at every third byte of every global
// function of images with debug information.
class ToolsLineTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ToolsLineTest, WholeAnswersMatchTheLlvmSymbolizerInGlobalFunctions) {
  if (!have("llvm-symbolizer-14") || !have("nm")) GTEST_SKIP() << "llvm-symbolizer-14 or nm not installed";
  const std::string image = kFixtures + "/" + GetParam();
  std::vector<uint64_t> addresses;
  for (const elf_oracle::NmSymbol& f : nmFunctions(image, false).functions)
    if (f.isGlobal())
      for (uint64_t offset = 0; offset < f.size; offset += 3) addresses.push_back(f.address + offset);
  ASSERT_FALSE(addresses.empty());
  const std::string list = hexList(addresses);
  const auto expected = lines(run("llvm-symbolizer-14 --obj=" + image + list).out);
  const auto actual = lines(run(symbolize() + " --obj=" + image + list).out);
  ASSERT_EQ(actual.size(), expected.size());
  size_t differences = 0;
  std::string shown;
  for (size_t i = 0; i < actual.size(); ++i)
    if (actual[i] != expected[i] && ++differences <= 5)
      shown += "\n  line " + std::to_string(i) + ": llvm-symbolizer says '" + expected[i] + "', we say '" + actual[i] + "'";
  EXPECT_EQ(differences, 0u) << differences << " of " << actual.size() << " lines differ:" << shown;
}

INSTANTIATE_TEST_SUITE_P(ImagesWithDebugInfo, ToolsLineTest,
                         ::testing::Values("elf/hello_pie", "dwarf/c_gcc_d3_O2", "dwarf/cpp_gcc_d3_O2",
                                           "dwarf/cpp_clang_d3_O2", "dwarf/c_clang_d2_O2", "dwarf/cpp_gcc_d2_O0",
                                           "dwarf/f90_gfortran_d3_O2"));

TEST(ToolsLayoutTest, LayoutsMatchTheLlvmSymbolizerForSymbolTableAnswers) {
  if (!have("llvm-symbolizer-14")) GTEST_SKIP() << "llvm-symbolizer-14 not installed";
  // Global functions (no file name anywhere) and an address outside the image.
  const std::string args = " --obj=" + kFixtures + "/elf/hello_nopie 0x4011a9 0x401170 0x1";
  for (const std::string style :
       {"", " --output-style=GNU", " --output-style=JSON", " -a", " -a --output-style=GNU",
        " --functions=none", " --functions=none --output-style=JSON"}) {
    SCOPED_TRACE(style);
    const Result peer = run("llvm-symbolizer-14" + style + args);
    const Result ours = run(symbolize() + style + args);
    EXPECT_EQ(ours.out, peer.out);
  }
}

TEST(ToolsLayoutTest, UnparsableInputIsEchoedOrReportedInJson) {
  const std::string module = kFixtures + "/elf/hello_nopie";
  EXPECT_EQ(run(symbolize() + " --obj=" + module + " zz").out, "zz\n");
  const Result json = run(symbolize() + " --output-style=JSON --obj=" + module + " zz");
  EXPECT_EQ(json.out, "[{\"Error\":{\"Message\":\"unable to parse arguments: zz\"},\"ModuleName\":\"" + module +
                          "\"}]\n");
  // Without 0x the number is still hexadecimal.
  EXPECT_EQ(run(symbolize() + " --obj=" + module + " 4011a9").out, run(symbolize() + " --obj=" + module + " 0x4011a9").out);
}

TEST(ToolsLayoutTest, StandardInputIsAnsweredLineByLine) {
  const std::string module = kFixtures + "/elf/hello_nopie";
  int toChild[2], fromChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(fromChild), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[1]);
    close(fromChild[0]);
    const std::string obj = "--obj=" + module;
    execl(symbolize().c_str(), "zor-symbolize", obj.c_str(), "--output-style=GNU", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  // Each answer must arrive while the input is still open; a tool that waited for the end
  // of its input would leave the poll empty (the limit only guards against a hang).
  std::string answers;
  for (const char* address : {"0x4011a9\n", "0x401170\n"}) {
    ASSERT_EQ(write(toChild[1], address, strlen(address)), ssize_t(strlen(address)));
    std::string answer;
    while (std::count(answer.begin(), answer.end(), '\n') < 2) {
      pollfd p{fromChild[0], POLLIN, 0};
      ASSERT_EQ(poll(&p, 1, 20000), 1) << "no answer while the input stays open";
      char buf[256];
      const ssize_t n = read(fromChild[0], buf, sizeof buf);
      ASSERT_GT(n, 0);
      answer.append(buf, size_t(n));
    }
    answers += answer;
  }
  close(toChild[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  close(fromChild[0]);
  EXPECT_EQ(answers, "main\n??:0\nhello_compute\n??:0\n");
}

// Waiting input is shared among threads that read function bodies on demand, each for its
// own chunk of lines; the answers must come out in input order and be those of one thread.
TEST(ToolsLayoutTest, AnswersDoNotDependOnTheNumberOfThreads) {
  const std::string image = kFixtures + "/dwarf/cpp_gcc_d3_O2";
  std::string input;
  size_t count = 0;
  for (const elf_oracle::NmSymbol& f : nmFunctions(image, false).functions) {
    for (uint64_t offset = 0; offset < f.size; ++offset, ++count) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "0x%llx\n", static_cast<unsigned long long>(f.address + offset));
      input += buf;
      if (count % 997 == 0) input += "not-an-address\n";
    }
  }
  ASSERT_GT(count, 1000u);  // several chunks of 128 lines for every thread
  scratch::TempFile list(input);
  const std::string command = symbolize() + " --output-style=JSON --obj=" + image + " < " + list.path();
  const Result one = run(command + " --threads=1");
  ASSERT_EQ(one.status, 0);
  EXPECT_EQ(size_t(std::count(one.out.begin(), one.out.end(), '\n')), size_t(std::count(input.begin(), input.end(), '\n')));
  EXPECT_EQ(run(command + " --threads=4").out, one.out);
}

TEST(ToolsLayoutTest, UnloadableModuleIsReportedWithTheLibraryStatus) {
  const Result missing = run(symbolize() + " --obj=/no/such/module 0x1 2>&1");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("/no/such/module"), std::string::npos) << missing.out;
  EXPECT_NE(missing.out.find("Can't open file"), std::string::npos) << missing.out;
  EXPECT_EQ(std::count(missing.out.begin(), missing.out.end(), '\n'), 1);

  const Result text = run(symbolize() + " --obj=" + kFixtures + "/misc/text.txt 0x1 2>&1");
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.out.find("File format is incorrect"), std::string::npos) << text.out;

  const Result dump = run(kBinary + "/zor-dump " + kFixtures + "/misc/text.txt 2>&1");
  EXPECT_EQ(dump.status, 1);
  EXPECT_NE(dump.out.find("File format is incorrect"), std::string::npos) << dump.out;
}

TEST(ToolsDumpTest, DumpListsPropertiesSegmentsSectionsAndSymbols) {
  const std::string module = kFixtures + "/elf/hello_nopie";
  const Result dump = run(kBinary + "/zor-dump --section .text --section .nothing " + module);
  ASSERT_EQ(dump.status, 0);
  for (const char* expected : {"image file       " , "image format     ELF", "architecture     x86-64",
                               "symbol format    none", "\nsegments\n", ".nothing             not found",
                               "function  global  main\n", "function  local   hello_static_sum\n"})
    EXPECT_NE(dump.out.find(expected), std::string::npos) << expected;
  EXPECT_NE(dump.out.find(module), std::string::npos);

  // Pieces never overlap: each starts at or after the previous end.
  const Result pieces = run(kBinary + "/zor-dump --pieces --kinds=1 " + module);
  ASSERT_EQ(pieces.status, 0);
  uint64_t previousEnd = 0;
  int count = 0;
  for (const std::string& line : lines(pieces.out)) {
    unsigned long long from, to;
    if (std::sscanf(line.c_str(), " [0x%llx, 0x%llx)", &from, &to) != 2) continue;
    EXPECT_GE(from, previousEnd) << line;
    previousEnd = to;
    ++count;
  }
  EXPECT_GT(count, 5);
  EXPECT_EQ(run(kBinary + "/zor-dump --help").status, 0);
}


}  // namespace
