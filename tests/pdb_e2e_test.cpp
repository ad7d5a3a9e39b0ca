// The PDB layer with the real PDB plug-in on the PE fixtures, through the public entry point,
// compared with llvm-symbolizer run on the same images: the function and the source line of
// every function start and of every code address. Skipped when the plug-in or the
// symbolizer is not there.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <zor/manager.h>

#include "kave/unicode.h"
#include "support/elf_oracle.h"
#include "support/loaded_module.h"
#include "support/pdb_oracle.h"
#include "support/scratch.h"
#include "support/symbolizer_agreement.h"
#include "zor/pdb/dia_manager.h"

using namespace ZOR_3_12;
using elf_oracle::haveTool;
using elf_oracle::run;

namespace {

std::string fixture(const char* name) { return std::string(ZOR_FIXTURES_DIR) + "/pe/" + name; }

bool pluginPresent() {
  struct stat st;
  return stat((std::string(ZOR_BINARY_DIR) + "/tests/torvik_msdia100.so").c_str(), &st) == 0;
}

using agreement::Frame;

std::string fileOf(ISourceLocation* l) {
  ISourceFile* f = l->sourceFile();
  return f ? KAVE_3_1::wideToUtf8(f->name()) : std::string();
}

class PdbImage : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!pluginPresent()) GTEST_SKIP() << "PDB plug-in not built";
    ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
    path = fixture(GetParam());
    ASSERT_EQ(manager->loadSymbolsFromModule(KAVE_3_1::utf8ToWide(path).c_str(), nullptr, bank), STATUS_OK);
  }

  // The function holding `va` and its line-table row.
  Frame ours(uint64_t va) {
    Frame a;
    SymMgrObjectPtr<IAddress> address;
    if (bank->addressByVa(va, address) != STATUS_OK) return a;
    SymMgrObjectPtr<ISymbolRange> range;
    if (bank->symbolRangeByAddress(address.get(), range, SYMBOL_KIND_FUNCTION, nullptr) == STATUS_OK && range &&
        range->symbol())
      a.function = KAVE_3_1::wideToUtf8(range->symbol()->demangledName(true));
    SymMgrObjectPtr<ISourceLocation> location;
    if (bank->sourceLocationsByAddress(address.get(), location, COMP_UNIT_ALL, nullptr) == STATUS_OK && location) {
      a.line = location->line();
      a.file = fileOf(location.get());
    }
    return a;
  }

  SymMgrObjectPtr<ISymbolManager> manager;
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  std::string path;
};

TEST_P(PdbImage, FunctionsAndLinesAgreeWithTheSymbolizer) {
  if (!haveTool("llvm-symbolizer-14") || !haveTool("llvm-pdbutil-14"))
    GTEST_SKIP() << "llvm-symbolizer-14 or llvm-pdbutil-14 not installed";
  ASSERT_EQ(bank->symFileFormat(), SYM_FORMAT_PDB);
  ISegment* text = nullptr;
  ASSERT_EQ(bank->segmentByName(L".text", &text), STATUS_OK);
  const uint64_t base = bank->preferredLoadAddress();
  const uint64_t start = base + text->rva(), end = start + text->size();

  // Every function start the PDB names, then 2,000 random code addresses.
  std::string pdb = path.substr(0, path.rfind('.')) + ".pdb";
  std::vector<uint64_t> addresses;
  for (uint32_t rva : pdb_oracle::functionStarts(pdb_oracle::readOracle(pdb))) addresses.push_back(base + rva);
  const size_t functionCount = addresses.size();
  EXPECT_GE(functionCount, 3u);
  std::mt19937_64 random(42);
  for (int i = 0; i < 2000; ++i) addresses.push_back(start + random() % (end - start));

  // The symbolizer's outermost frame names the function holding the address and its
  // line-table row (for inlined code the call site's line).
  const std::vector<std::vector<Frame>> theirs = agreement::symbolizerFrames(path, addresses, true);
  ASSERT_EQ(theirs.size(), addresses.size());
  // Explained differences: the symbolizer reports the compilers' "no source line" markers
  // as lines, the PDB plug-in drops them. Inlined frames are not compared: PDB modules
  // report no inline call sites, and the outermost frame already carries the call site's
  // line.
  size_t agree = 0, explained = 0, inlinedCount = 0;
  std::vector<std::string> unexplained;
  for (size_t i = 0; i < addresses.size(); ++i) {
    const Frame mine = ours(addresses[i]);
    const Frame t = theirs[i].empty() ? Frame() : theirs[i].back();
    if (theirs[i].size() > 1) ++inlinedCount;
    if (mine == t) {
      ++agree;
      continue;
    }
    if (mine.function == t.function && mine.line == 0 && (t.line == 0xFEEFEE || t.line == 0xF00F00)) {
      ++explained;
      continue;
    }
    std::ostringstream d;
    d << std::hex << addresses[i] << std::dec << (i < functionCount ? " (function start)" : "") << ": ours "
      << mine.function << " " << mine.file << ":" << mine.line << ", theirs " << t.function << " " << t.file << ":"
      << t.line;
    unexplained.push_back(d.str());
  }
  std::printf("%s: %zu of %zu addresses (%zu function starts) agree, %zu explained, %zu with inlined frames\n",
              GetParam(), agree, addresses.size(), functionCount, explained, inlinedCount);
  for (size_t i = 0; i < unexplained.size() && i < 20; ++i) std::printf("  %s\n", unexplained[i].c_str());
  EXPECT_GE(agree * 100, addresses.size() * 99);
  EXPECT_TRUE(unexplained.empty()) << unexplained.size() << " differences not explained";
}

TEST_P(PdbImage, CompilationUnitsNameTheirSources) {
  ISegment* text = nullptr;
  ASSERT_EQ(bank->segmentByName(L".text", &text), STATUS_OK);
  SymMgrObjectPtr<IAddress> address;
  ASSERT_EQ(bank->addressByRva(text->rva(), address), STATUS_OK);
  SymMgrObjectPtr<ISymbolRange> range;
  ASSERT_EQ(bank->symbolRangeByAddress(address.get(), range, SYMBOL_KIND_FUNCTION, nullptr), STATUS_OK);
  uint32_t unit = 0;
  ASSERT_EQ(range->symbol()->compUnitId(unit), STATUS_OK);
  ICompUnitDetails* details = nullptr;
  ASSERT_EQ(bank->compUnitDetailsById(unit, details), STATUS_OK);
  EXPECT_EQ(details->getId(), unit);
  EXPECT_NE(std::wstring(details->getObjectFileName()).find(L".obj"), std::wstring::npos);
  EXPECT_EQ(details->getLanguage(), LANGUAGE_C);
  SymMgrObjectPtr<ISourceLocation> where;
  ASSERT_EQ(range->symbol()->sourceLocation(where), STATUS_OK);
  ASSERT_TRUE(where->sourceFile());
  EXPECT_EQ(std::wstring(where->sourceFile()->name()).rfind(L"C:\\fixtures\\src\\", 0), 0u);
  // clang-cl writes MD5 checksums: 32 lowercase hexadecimal digits.
  const wchar_t* sum = where->sourceFile()->checksum();
  ASSERT_TRUE(sum);
  const std::wstring digits = sum;
  EXPECT_EQ(digits.size(), 32u);
  EXPECT_EQ(digits.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
  EXPECT_EQ(details->getSourceFile(where->sourceFile()->name()), where->sourceFile());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PdbImage, ::testing::Values("hello64.exe", "hello32.exe", "lib64.dll"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (c == '.') c = '_';
                           return n;
                         });

TEST(PdbPlugin, ExportsMergeIntoThePdbFunctions) {
  if (!pluginPresent()) GTEST_SKIP() << "PDB plug-in not built";
  zor_test::LoadedModule loaded(fixture("lib64.dll"));
  IModuleSymbolBank* bank = loaded.bank.get();
  ASSERT_TRUE(bank);
  SymMgrObjectPtr<SymbolRangeIter> all;
  ASSERT_EQ(bank->originalSymbolRanges(all, SYMBOL_KIND_ALL, nullptr, nullptr), STATUS_OK);
  std::map<std::wstring, int> seen;
  std::map<std::wstring, uint32_t> kinds;
  for (SymMgrObjectPtr<ISymbolRange> r = all->current(); r; r = all->next() ? all->current() : nullptr) {
    if (!r->symbol() || !r->isSymbolStart()) continue;
    std::wstring name = r->symbol()->name();
    ++seen[name];
    kinds[name] = r->symbol()->kind();
    uint32_t unit = 0;
    if (name == L"lib_add" || name == L"lib_rotl") {
      EXPECT_EQ(r->symbol()->compUnitId(unit), STATUS_OK) << KAVE_3_1::wideToUtf8(name);
    }
  }
  // Each exported function is one symbol: the export merged into the PDB's function.
  for (const wchar_t* f : {L"lib_add", L"lib_scale", L"lib_hash", L"lib_rotl"}) {
    EXPECT_EQ(seen[f], 1) << KAVE_3_1::wideToUtf8(f);
    EXPECT_EQ(kinds[f], SYMBOL_KIND_FUNCTION) << KAVE_3_1::wideToUtf8(f);
  }
  EXPECT_EQ(seen[L"lib_counter"], 1);
  EXPECT_EQ(kinds[L"lib_counter"], SYMBOL_KIND_DATA);
}

TEST(PdbPlugin, ConcurrentQueriesGiveTheSameAnswers) {
  if (!pluginPresent()) GTEST_SKIP() << "PDB plug-in not built";
  zor_test::LoadedModule loaded(fixture("hello64.exe"));
  IModuleSymbolBank* bank = loaded.bank.get();
  ASSERT_TRUE(bank);
  ISegment* text = nullptr;
  ASSERT_EQ(bank->segmentByName(L".text", &text), STATUS_OK);
  const uint64_t start = bank->preferredLoadAddress() + text->rva(), end = start + text->size();
  // Kinds are loaded before the threads start, as callers are expected to; names, source
  // locations and lines are then read lazily from several threads at once.
  SymMgrObjectPtr<SymbolRangeIter> warm;
  ASSERT_EQ(bank->originalSymbolRanges(warm, SYMBOL_KIND_ALL, nullptr, nullptr), STATUS_OK);
  auto answer = [&](uint64_t va) {
    std::string out;
    SymMgrObjectPtr<IAddress> address;
    if (bank->addressByVa(va, address) != STATUS_OK) return out;
    SymMgrObjectPtr<ISymbolRange> range;
    if (bank->symbolRangeByAddress(address.get(), range, SYMBOL_KIND_ALL, nullptr) == STATUS_OK && range &&
        range->symbol()) {
      out += KAVE_3_1::wideToUtf8(range->symbol()->name());
      SymMgrObjectPtr<ISourceLocation> where;
      if (range->symbol()->sourceLocation(where) == STATUS_OK) out += ":" + std::to_string(where->line());
    }
    SymMgrObjectPtr<ISourceLocation> location;
    if (bank->sourceLocationsByAddress(address.get(), location, COMP_UNIT_ALL, nullptr) == STATUS_OK && location)
      out += "@" + std::to_string(location->line());
    return out;
  };
  std::vector<std::vector<std::string>> results(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < results.size(); ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round)
        for (uint64_t a = start; a < end; ++a) {
          std::string s = answer(a);
          if (round == 0) results[t].push_back(s);
        }
    });
  for (auto& th : threads) th.join();
  std::vector<std::string> alone;
  for (uint64_t a = start; a < end; ++a) alone.push_back(answer(a));
  for (auto& r : results) EXPECT_EQ(r, alone);
}

TEST(PdbPlugin, ImagesNamingOnePdbShareOneOpenPdb) {
  if (!pluginPresent()) GTEST_SKIP() << "PDB plug-in not built";
  // Two copies of one image beside its PDB: both name and find the same PDB.
  scratch::TempDir dir;
  const std::string image = scratch::readFile(fixture("hello64.exe"));
  dir.add("hello64.pdb", scratch::readFile(fixture("hello64.pdb")));
  SymMgrObjectPtr<ISymbolManager> manager;
  ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
  SymMgrObjectPtr<IModuleSymbolBank> a, b;
  ASSERT_EQ(manager->loadSymbolsFromModule(KAVE_3_1::utf8ToWide(dir.add("hello64.exe", image)).c_str(), nullptr, a),
            STATUS_OK);
  ASSERT_EQ(manager->loadSymbolsFromModule(KAVE_3_1::utf8ToWide(dir.add("second.exe", image)).c_str(), nullptr, b),
            STATUS_OK);
  ASSERT_NE(a.get(), b.get());
  EXPECT_EQ(a->symFileFormat(), SYM_FORMAT_PDB);
  EXPECT_EQ(b->symFileFormat(), SYM_FORMAT_PDB);
  EXPECT_EQ(std::wstring(a->symFileName()), std::wstring(b->symFileName()));
  SymMgrObjectPtr<IDiaManager> m;
  ASSERT_EQ(IDiaManager::create(m), STATUS_OK);
  EXPECT_EQ(static_cast<DiaManager*>(m.get())->openModuleCount(), 1u);
  // Both answer from it.
  for (IModuleSymbolBank* bank : {a.get(), b.get()}) {
    SymMgrObjectPtr<IAddress> address;
    SymMgrObjectPtr<ISymbolRange> range;
    ASSERT_EQ(bank->addressByRva(0x1000, address), STATUS_OK);
    ASSERT_EQ(bank->symbolRangeByAddress(address.get(), range, SYMBOL_KIND_FUNCTION, nullptr), STATUS_OK);
    EXPECT_EQ(std::wstring(range->symbol()->name()), L"pe_gcd");
  }
}

}  // namespace
