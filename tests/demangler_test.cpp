// The demangler's forms, and above all its short form against what GCC and Clang write in
// DW_AT_name for the same functions (pairs produced by fixtures/demangle/make_pairs.sh).
#include "demangler/demangler.h"

#include <cwchar>
#include <fstream>
#include <set>
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

// Forms of mangled names; an empty expectation is not checked. The short form is the one
// compared with DW_AT_name above; the full form follows the symbolizer's spelling.
TEST(DemanglerForms, ItaniumAndMicrosoftNames) {
  const exec_format_t E = EXEC_FORMAT_ELF, P = EXEC_FORMAT_PE;
  struct Case {
    const char* name;
    exec_format_t format;
    const char *full, *qualified, *shortName, *alternate;
  } cases[] = {
      {"_ZNK2ns3FooIiE3barIdEEvi", E, "void ns::Foo<int>::bar<double>(int) const", "ns::Foo<int>::bar<double>",
       "bar<double>", "_ZNK2ns3FooIiE3barIdEEvi"},
      // Operators that end in '>' without template arguments; for "operator<" with some,
      // Clang 14 writes "operator<<int>" in DW_AT_name (GCC 12 "operator< <int>"): Clang's.
      {"_ZN2nsgtERKNS_1AES2_", E, "", "", "operator>", ""},
      {"_ZN2nsrsERKNS_1AEi", E, "", "", "operator>>", ""},
      {"_ZNK2ns1AptEv", E, "", "", "operator->", ""},
      {"_ZN2nsltIiEEbRKNS_1BIT_EES5_", E, "", "", "operator<<int>", ""},
      // Clones: the other forms describe the origin function.
      {"_ZN2ns3fooEv.cold", E, "ns::foo() (.cold)", "ns::foo", "foo", "_ZN2ns3fooEv"},
      {"_ZL6workerPKci.isra.0", E, "worker(char const*, int) (.isra.0)", "", "worker", "_ZL6workerPKci"},
      {"_Z3bari.constprop.0.isra.0", E, "", "", "bar", ""},
      {"_Z3bari.part.0", E, "bar(int) (.part.0)", "", "", ""},
      {"_ZN2ns3fooEv.", E, "", "", "foo", ""},  // a bare trailing dot is no clone suffix
      {"_ZN2ns7counterE", E, "ns::counter", "", "counter", ""},
      {"_ZTVN2ns6WidgetE", E, "vtable for ns::Widget", "", "vtable for ns::Widget", ""},
      // Underscore-decorated names, and either scheme in either format.
      {"__ZN2ns3fooEv", P, "ns::foo()", "", "foo", "__ZN2ns3fooEv"},
      {"__ZN2ns3fooEv", E, "", "", "foo", ""},
      {"?foo@@YAHH@Z", E, "", "", "foo", ""},
      {"_ZN2ns3fooEv", P, "", "", "foo", ""},
      {"_GLOBAL__sub_I__ZN2ns3fooEv", E, "_GLOBAL__sub_I_ns::foo()", "", "", ""},
      {"_GLOBAL__sub_I_names.cpp", E, "_GLOBAL__sub_I_names.cpp", "", "_GLOBAL__sub_I_names.cpp", ""},
      {"?foo@@YAHH@Z", P, "", "", "foo", ""},
      {"?bar@ns@@YAXXZ", P, "ns::bar(void)", "ns::bar", "bar", "?bar@ns@@YAXXZ"},
      {"??0Cls@@QEAA@XZ", P, "", "", "Cls", ""},
      {"??1Cls@@QEAA@XZ", P, "", "", "~Cls", ""},
      {"??HCls@@QEBA?AV0@AEBV0@@Z", P, "Cls::operator+(class Cls const &) const", "Cls::operator+", "operator+", ""},
      {"??$max@H@@YAHHH@Z", P, "", "", "max<int>", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Forms f = formsOf(c.name, c.format);
    EXPECT_EQ(f.name, c.name);
    if (*c.full) {
      EXPECT_EQ(f.full, c.full);
    }
    if (*c.qualified) {
      EXPECT_EQ(f.qualified, c.qualified);
    }
    if (*c.shortName) {
      EXPECT_EQ(f.shortName, c.shortName);
    }
    if (*c.alternate) {
      EXPECT_EQ(f.alternate, c.alternate);
    }
  }
}

TEST(DemanglerUnmangled, EveryFormIsTheNameItself) {
  for (const char* name : {"main", "cFunction", "foo.cold", "_Zgarbage", "?", "?garbage", "_Z", "__Z", "",
                           "_GLOBAL__sub_I_", "caf\xc3\xa9"}) {
    Forms f = formsOf(name);
    EXPECT_EQ(f.name, name);
    EXPECT_EQ(f.full, name) << name;
    EXPECT_EQ(f.qualified, name) << name;
    EXPECT_EQ(f.shortName, name) << name;
    EXPECT_EQ(f.alternate, name) << name;
  }
}

// Names are kept in UTF-8 until asked for in wide characters, and then in those alone; a
// name that UTF-8 cannot spell is kept wide. Either way the name comes back as given, and a
// repeated name finds the object made for it.
TEST(DemanglerStorage, NamesComeBackAsGivenWhateverTheirSpelling) {
  const std::wstring unspellable = {L'_', L'Z', static_cast<wchar_t>(0xD800), L'x', static_cast<wchar_t>(0x110000)};
  const std::wstring spelledFffd = {L'_', L'Z', static_cast<wchar_t>(0xFFFD), L'x', static_cast<wchar_t>(0xFFFD)};
  for (const std::wstring& name : {std::wstring(L"_ZN2ns3fooEv"), std::wstring(L"caf\u00e9"), unspellable}) {
    SymMgrObjectPtr<ISymbolNameDemangler> first = ISymbolNameDemangler::create(name.c_str(), EXEC_FORMAT_ELF);
    SymMgrObjectPtr<ISymbolNameDemangler> again = ISymbolNameDemangler::create(name.c_str(), EXEC_FORMAT_ELF);
    EXPECT_EQ(first.get(), again.get());
    const std::wstring demangled = first->demangledName(true);  // before the wide name exists
    EXPECT_EQ(first->name(), name);
    SymMgrObjectPtr<ISymbolNameDemangler> widened = ISymbolNameDemangler::create(name.c_str(), EXEC_FORMAT_ELF);
    EXPECT_EQ(widened.get(), first.get());
    EXPECT_EQ(first->demangledName(true), demangled);
    if (name == unspellable) {
      EXPECT_EQ(demangled, spelledFffd);
    }
  }
  EXPECT_EQ(std::wstring(ISymbolNameDemangler::create(L"_ZN2ns3fooEv", EXEC_FORMAT_ELF)->demangledName(true)),
            L"ns::foo()");
}

// Loaders hand names over as the file spells them, in UTF-8: the name table must treat
// them as the same names given in wide characters, before and after either is widened,
// and read bytes that are no UTF-8 as the decoder does.
TEST(DemanglerStorage, Utf8NamesMeetTheirWideTwins) {
  for (const std::string& bytes : {std::string("_ZN2ns3barEv"), std::string("main.run"), std::string("caf\xC3\xA9"),
                                   std::string("bad\xFF"), std::string()}) {
    const std::wstring wide = KAVE_3_1::utf8ToWide(bytes);
    SymMgrObjectPtr<ISymbolNameDemangler> fromUtf8 = createNameFromUtf8(bytes);
    SymMgrObjectPtr<ISymbolNameDemangler> fromWide = ISymbolNameDemangler::create(wide.c_str(), EXEC_FORMAT_ELF);
    EXPECT_EQ(fromUtf8.get(), fromWide.get()) << bytes;
    EXPECT_EQ(fromUtf8->name(), wide);
    // Widened now: a UTF-8 request still finds it.
    EXPECT_EQ(createNameFromUtf8(bytes).get(), fromWide.get()) << bytes;
  }
  // A name ends at its first NUL, as a wide one does.
  EXPECT_EQ(std::wstring(createNameFromUtf8(std::string("cut\0off", 7))->name()), L"cut");
}

TEST(DemanglerStorage, FormsAreHandedOutInUtf8AsTheWideAccessorsSpellThem) {
  using Form = NameForm;
  const std::pair<Form, const wchar_t* (*)(ISymbolNameDemangler*)> forms[] = {
      {Form::kName, [](ISymbolNameDemangler* n) { return n->name(); }},
      {Form::kFull, [](ISymbolNameDemangler* n) { return n->demangledName(true); }},
      {Form::kQualified, [](ISymbolNameDemangler* n) { return n->demangledName(false); }},
      {Form::kShort, [](ISymbolNameDemangler* n) { return n->shortName(); }},
      {Form::kAlternate, [](ISymbolNameDemangler* n) { return n->alternateName(); }}};
  const std::wstring unpaired = std::wstring(L"lone") + static_cast<wchar_t>(0xD800) + L"_utf8";
  const SymMgrObjectPtr<ISymbolNameDemangler> names[] = {
      createNameFromUtf8("pkg.utf8Only"), createNameFromUtf8("na\xC3\xAFve_utf8"),
      createNameFromUtf8("_ZN2ns8utf8OnlyIiEEvT_.cold"), createNameFromUtf8("bad\xFFutf8"),
      ISymbolNameDemangler::create(unpaired.c_str(), EXEC_FORMAT_ELF)};
  for (const SymMgrObjectPtr<ISymbolNameDemangler>& name : names) {
    // Every UTF-8 answer first: a wide request changes what is kept.
    std::string texts[5];
    bool held[5];
    for (size_t k = 0; k < 5; ++k) held[k] = appendNameUtf8(name.get(), forms[k].first, texts[k]);
    const bool exact = &name != &names[4];
    for (size_t k = 0; k < 5; ++k) {
      SCOPED_TRACE(KAVE_3_1::wideToUtf8(name->name()) + " form " + std::to_string(k));
      // A spelling is handed out only when it gives back the wide text exactly.
      EXPECT_EQ(held[k], exact);
      EXPECT_EQ(texts[k], held[k] ? KAVE_3_1::wideToUtf8(forms[k].second(name.get())) : std::string());
    }
  }
  // Before any wide request the name itself is handed out too; after one, only the wide
  // spelling of it is kept.
  SymMgrObjectPtr<ISymbolNameDemangler> fresh = createNameFromUtf8("_Z9freshNamev");
  std::string out;
  EXPECT_TRUE(appendNameUtf8(fresh.get(), Form::kName, out));
  EXPECT_EQ(out, "_Z9freshNamev");
  fresh->name();
  EXPECT_FALSE(appendNameUtf8(fresh.get(), Form::kName, out));
  EXPECT_FALSE(appendNameUtf8(nullptr, Form::kFull, out));
}

// Merges ask whether a name is its own short form without widening it: the UTF-8 answer,
// when there is one, must be what comparing the wide accessors finds, and a name that was
// widened or whose short form is not ASCII is left to them.
TEST(DemanglerStorage, ShortFormTestAgreesWithTheWideAccessors) {
  const std::wstring unspellable = {L'_', L'Z', static_cast<wchar_t>(0xD800), L'x'};
  const SymMgrObjectPtr<ISymbolNameDemangler> names[] = {
      createNameFromUtf8("shortTestPlain"),         createNameFromUtf8("_ZN2ns9shortTestEv"),
      createNameFromUtf8("_ZshortTestGarbage"),     createNameFromUtf8("_Z9shortTestv"),
      createNameFromUtf8("_ZN2ns11shortTest\xc3\xa9" "Ev"), createNameFromUtf8("_init"),
      ISymbolNameDemangler::create(unspellable.c_str(), EXEC_FORMAT_ELF)};
  const int expected[] = {1, 0, 1, 0, -1, 1, -1};
  for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); ++i) {
    ISymbolNameDemangler* name = names[i].get();
    const int told = shortFormIsName(name);
    const bool wideSame = std::wcscmp(name->name(), name->shortName()) == 0;
    SCOPED_TRACE(KAVE_3_1::wideToUtf8(name->name()));
    EXPECT_EQ(told, expected[i]);
    if (told >= 0) EXPECT_EQ(told == 1, wideSame);
    // Widened now: only a name without demangled forms can still be told.
    const bool plain = wideSame && std::wcscmp(name->name(), name->demangledName(true)) == 0;
    EXPECT_EQ(shortFormIsName(name), plain ? 1 : -1);
  }
  EXPECT_EQ(shortFormIsName(nullptr), -1);
}

}  // namespace
}  // namespace ZOR_3_12
