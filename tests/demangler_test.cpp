// The demangler's forms, and above all its short form against what GCC and Clang write in
// DW_AT_name for the same functions (pairs produced by fixtures/demangle/make_pairs.sh).
#include "demangler/demangler.h"

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kave/unicode.h"

namespace ZOR_3_12 {
namespace {

struct Forms {
  std::string name, full, qualified, shortName, alternate;
};

Forms formsOf(const std::string& name, exec_format_t format = EXEC_FORMAT_ELF) {
  SymMgrObjectPtr<ISymbolNameDemangler> d =
      ISymbolNameDemangler::create(KAVE_3_1::utf8ToWide(name).c_str(), format);
  EXPECT_TRUE(d);
  return Forms{KAVE_3_1::wideToUtf8(d->name()), KAVE_3_1::wideToUtf8(d->demangledName(true)),
               KAVE_3_1::wideToUtf8(d->demangledName(false)), KAVE_3_1::wideToUtf8(d->shortName()),
               KAVE_3_1::wideToUtf8(d->alternateName())};
}

std::vector<std::pair<std::string, std::string>> readPairs(const std::string& file) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::ifstream in(std::string(ZOR_FIXTURES_DIR) + "/demangle/" + file);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos) pairs.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  return pairs;
}

// Runs one compiler's pairs. `exceptions` lists the linkage names whose DW_AT_name cannot
// be rebuilt from the mangled name; every other pair must match.
void checkPairs(const std::string& file, const std::set<std::string>& exceptions) {
  auto pairs = readPairs(file);
  ASSERT_GT(pairs.size(), 40u) << file << " missing or truncated";
  size_t matched = 0;
  std::set<std::string> excepted;
  for (const auto& [linkage, dwarfName] : pairs) {
    std::string shortName = formsOf(linkage).shortName;
    if (shortName == dwarfName) {
      ++matched;
      EXPECT_EQ(exceptions.count(linkage), 0u) << linkage << " is listed as an exception but matches";
    } else if (exceptions.count(linkage)) {
      excepted.insert(linkage);
    } else {
      ADD_FAILURE() << file << ": " << linkage << " -> '" << shortName << "', debug info says '" << dwarfName
                    << "'";
    }
  }
  EXPECT_EQ(excepted, exceptions) << "an exception no longer occurs in " << file;
  std::printf("%s: %zu of %zu short names equal DW_AT_name (%.1f%%)\n", file.c_str(), matched, pairs.size(),
              100.0 * matched / pairs.size());
}

TEST(DemanglerPairs, GccDwarfNames) {
  // GCC spells a closure type used as a template argument "<lambda(int)>" and closes
  // nested argument lists with "> >"; the demangler spells it "'lambda'(int)".
  checkPairs("pairs_gcc.txt", {"_Z6callItIZ10useLambdasiEUliE0_EiT_", "_Z6callItIZ10useLambdasiEUliE_EiT_"});
}

TEST(DemanglerPairs, ClangDwarfNames) {
  // Clang names a closure type by its source position ("(lambda at names.cpp:118:14)"),
  // which the mangled name does not contain.
  checkPairs("pairs_clang.txt", {"_Z6callItIZ10useLambdasiE3$_1EiT_", "_Z6callItIZ10useLambdasiE3$_2EiT_"});
}

TEST(DemanglerItanium, FormsOfAMemberTemplate) {
  Forms f = formsOf("_ZNK2ns3FooIiE3barIdEEvi");
  EXPECT_EQ(f.full, "void ns::Foo<int>::bar<double>(int) const");
  EXPECT_EQ(f.qualified, "ns::Foo<int>::bar<double>");
  EXPECT_EQ(f.shortName, "bar<double>");
  EXPECT_EQ(f.alternate, "_ZNK2ns3FooIiE3barIdEEvi");
  EXPECT_EQ(f.name, "_ZNK2ns3FooIiE3barIdEEvi");
}

TEST(DemanglerItanium, OperatorsThatEndInAngleBrackets) {
  // These end in '>' without having template arguments.
  EXPECT_EQ(formsOf("_ZN2nsgtERKNS_1AES2_").shortName, "operator>");
  EXPECT_EQ(formsOf("_ZN2nsrsERKNS_1AEi").shortName, "operator>>");
  EXPECT_EQ(formsOf("_ZNK2ns1AptEv").shortName, "operator->");
  // Clang 14 writes "operator<<int>" in DW_AT_name, GCC 12 "operator< <int>"; the
  // demangler's spelling is Clang's.
  EXPECT_EQ(formsOf("_ZN2nsltIiEEbRKNS_1BIT_EES5_").shortName, "operator<<int>");
}

TEST(DemanglerItanium, CloneSuffixes) {
  // The full form matches the symbolizer; the others describe the origin function.
  Forms cold = formsOf("_ZN2ns3fooEv.cold");
  EXPECT_EQ(cold.full, "ns::foo() (.cold)");
  EXPECT_EQ(cold.qualified, "ns::foo");
  EXPECT_EQ(cold.shortName, "foo");
  EXPECT_EQ(cold.alternate, "_ZN2ns3fooEv");
  Forms isra = formsOf("_ZL6workerPKci.isra.0");
  EXPECT_EQ(isra.full, "worker(char const*, int) (.isra.0)");
  EXPECT_EQ(isra.shortName, "worker");
  EXPECT_EQ(isra.alternate, "_ZL6workerPKci");
  EXPECT_EQ(formsOf("_Z3bari.constprop.0.isra.0").shortName, "bar");
  EXPECT_EQ(formsOf("_Z3bari.part.0").full, "bar(int) (.part.0)");
}

TEST(DemanglerItanium, DataAndSpecialNames) {
  Forms var = formsOf("_ZN2ns7counterE");
  EXPECT_EQ(var.full, "ns::counter");
  EXPECT_EQ(var.shortName, "counter");
  Forms vtable = formsOf("_ZTVN2ns6WidgetE");
  EXPECT_EQ(vtable.full, "vtable for ns::Widget");
  EXPECT_EQ(vtable.shortName, "vtable for ns::Widget");
}

TEST(DemanglerItanium, PrefixesAndDecoration) {
  Forms decorated = formsOf("__ZN2ns3fooEv", EXEC_FORMAT_PE);
  EXPECT_EQ(decorated.full, "ns::foo()");
  EXPECT_EQ(decorated.shortName, "foo");
  EXPECT_EQ(decorated.alternate, "__ZN2ns3fooEv");
  EXPECT_EQ(formsOf("__ZN2ns3fooEv", EXEC_FORMAT_ELF).shortName, "foo");
  // Microsoft names are read in ELF images too, Itanium names in PE images.
  EXPECT_EQ(formsOf("?foo@@YAHH@Z", EXEC_FORMAT_ELF).shortName, "foo");
  EXPECT_EQ(formsOf("_ZN2ns3fooEv", EXEC_FORMAT_PE).shortName, "foo");

  Forms init = formsOf("_GLOBAL__sub_I__ZN2ns3fooEv");
  EXPECT_EQ(init.full, "_GLOBAL__sub_I_ns::foo()");
  Forms initFile = formsOf("_GLOBAL__sub_I_names.cpp");
  EXPECT_EQ(initFile.full, "_GLOBAL__sub_I_names.cpp");
  EXPECT_EQ(initFile.shortName, "_GLOBAL__sub_I_names.cpp");
}

TEST(DemanglerMicrosoft, ShortNames) {
  EXPECT_EQ(formsOf("?foo@@YAHH@Z", EXEC_FORMAT_PE).shortName, "foo");
  EXPECT_EQ(formsOf("?bar@ns@@YAXXZ", EXEC_FORMAT_PE).shortName, "bar");
  EXPECT_EQ(formsOf("??0Cls@@QEAA@XZ", EXEC_FORMAT_PE).shortName, "Cls");
  EXPECT_EQ(formsOf("??1Cls@@QEAA@XZ", EXEC_FORMAT_PE).shortName, "~Cls");
  EXPECT_EQ(formsOf("??HCls@@QEBA?AV0@AEBV0@@Z", EXEC_FORMAT_PE).shortName, "operator+");
  EXPECT_EQ(formsOf("??$max@H@@YAHHH@Z", EXEC_FORMAT_PE).shortName, "max<int>");
}

TEST(DemanglerMicrosoft, FullAndQualifiedForms) {
  Forms f = formsOf("?bar@ns@@YAXXZ", EXEC_FORMAT_PE);
  EXPECT_EQ(f.full, "ns::bar(void)");
  EXPECT_EQ(f.qualified, "ns::bar");
  EXPECT_EQ(f.alternate, "?bar@ns@@YAXXZ");
  Forms op = formsOf("??HCls@@QEBA?AV0@AEBV0@@Z", EXEC_FORMAT_PE);
  EXPECT_EQ(op.full, "Cls::operator+(class Cls const &) const");
  EXPECT_EQ(op.qualified, "Cls::operator+");
}

TEST(DemanglerUnmangled, EveryFormIsTheNameItself) {
  for (const char* name : {"main", "cFunction", "foo.cold", "_Zgarbage", "?", "?garbage", "_Z", "__Z", "",
                           "_GLOBAL__sub_I_", "_ZN2ns3fooEv.", "caf\xc3\xa9"}) {
    Forms f = formsOf(name);
    EXPECT_EQ(f.name, name);
    if (std::string(name) == "_ZN2ns3fooEv.") continue;  // a bare dot: see below
    EXPECT_EQ(f.full, name) << name;
    EXPECT_EQ(f.qualified, name) << name;
    EXPECT_EQ(f.shortName, name) << name;
    EXPECT_EQ(f.alternate, name) << name;
  }
  // A trailing dot is not a clone suffix the library accepts; the name before it still is.
  EXPECT_EQ(formsOf("_ZN2ns3fooEv.").shortName, "foo");
}

TEST(DemanglerObject, PointersAreStableAndNullNameIsEmpty) {
  SymMgrObjectPtr<ISymbolNameDemangler> d = ISymbolNameDemangler::create(L"_ZN2ns3fooEv", EXEC_FORMAT_ELF);
  const wchar_t* shortName = d->shortName();
  const wchar_t* full = d->demangledName(true);
  EXPECT_EQ(d->shortName(), shortName);
  EXPECT_EQ(d->demangledName(true), full);
  EXPECT_STREQ(shortName, L"foo");
  SymMgrObjectPtr<ISymbolNameDemangler> empty = ISymbolNameDemangler::create(nullptr, EXEC_FORMAT_ELF);
  ASSERT_TRUE(empty);
  EXPECT_STREQ(empty->name(), L"");
  EXPECT_STREQ(empty->shortName(), L"");
}

}  // namespace
}  // namespace ZOR_3_12
