// The DWARF debug-info loader on real compiler output: lazy function bodies and request
// masks, compilation-unit ids, merging with the image's symbols, relocatable objects, and
// damaged .debug_info that must neither crash nor hang. Fortran names are the agreement suite's.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <zor/extensions.h>
#include <zor/zor.h>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/elf_oracle.h"
#include "support/loaded_module.h"
#include "zor/dwarf/debug_info_loader.h"
#include "zor/dwarf/dwarf_symbols.h"
#include "zor/elf/elf_file_loader.h"
#include "zor/store/scope.h"
#include "zor/store/symbol_range.h"

namespace {

using namespace ZOR_3_12;

std::string fixture(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/" + name; }

using elf_oracle::nmValue;

using Module = zor_test::LoadedModule;

std::wstring wide(const char* s) { return KAVE_3_1::utf8ToWide(s); }

IScope* scopeOf(ISymbolRange* r) { return static_cast<SymbolRange*>(r)->scope(); }

// Every scope in a scope's own table whose symbol has one of the kinds, by name.
std::vector<std::wstring> namesInBody(IScope* scope, uint32_t kinds) {
  std::vector<std::wstring> out;
  SymMgrObjectPtr<SymbolRangeIter> it;
  if (scope->originalSymbolRanges(it, 0, ~0ull, kinds) != STATUS_OK || !it) return out;
  do {
    SymMgrObjectPtr<ISymbolRange> r = it->current();
    if (r && r->symbol()) out.push_back(r->symbol()->name());
  } while (it->next());
  return out;
}

bool contains(const std::vector<std::wstring>& v, const wchar_t* s) {
  for (const std::wstring& x : v) {
    if (x == s) return true;
  }
  return false;
}

// Local statics live in a function's body: they are read only when the body is asked for,
// and only for the kinds asked.
TEST(DwarfLoader, FunctionBodyIsReadOnDemandForTheKindsAsked) {
  std::string path = fixture("dwarf/c_gcc_d3_O0");
  Module m(path);
  ASSERT_TRUE(m.bank);
  uint64_t calls = nmValue(path, "calls.1");
  uint64_t function = nmValue(path, "count_calls");
  ASSERT_NE(calls, 0u);

  // The module's table knows the static only from the image's symbol table.
  SymMgrObjectPtr<ISymbolRange> data = m.range(calls, SYMBOL_KIND_DATA);
  ASSERT_TRUE(data);
  uint32_t id = 0;
  EXPECT_NE(data->symbol()->compUnitId(id), STATUS_OK) << "found a local static without reading the body";

  SymMgrObjectPtr<ISymbolRange> fn = m.range(function, SYMBOL_KIND_FUNCTION);
  ASSERT_TRUE(fn);
  EXPECT_STREQ(fn->symbol()->name(), L"count_calls");
  IScope* body = scopeOf(fn.get());
  EXPECT_FALSE(contains(namesInBody(body, SYMBOL_KIND_FUNCTION), L"calls"));
  std::vector<std::wstring> statics = namesInBody(body, SYMBOL_KIND_DATA);
  EXPECT_TRUE(contains(statics, L"calls"));
  EXPECT_TRUE(contains(statics, L"seen"));  // in a nested block: blocks are walked through

  SymMgrObjectPtr<ISymbolRange> inBody;
  ASSERT_EQ(body->symbolRangeByAddress(inBody, calls, SYMBOL_KIND_DATA, nullptr), STATUS_OK);
  EXPECT_STREQ(inBody->symbol()->name(), L"calls");
  EXPECT_EQ(inBody->size(), 4u);  // from the variable's type
  EXPECT_EQ(inBody->symbol()->compUnitId(id), STATUS_OK);
}

// The debug entry and the image's symbol describe one function: the entry keeps its source
// position and unit and takes the linkage name, so the module has one record there.
// A debug function and the image symbol at its start become one symbol with the image's
// name: matched through the demangled name (C++), the name itself (C), or the entry's
// linkage name (a C function renamed with an assembler label, whose entry says "foo").
TEST(DwarfLoader, ImageSymbolsMergeIntoTheirDebugEntries) {
  struct Case {
    const char* image;
    const char* symbol;
  } cases[] = {
      {"dwarf/cpp_gcc_d3_O2", "_ZN5zdemo11Accumulator3addEi"},
      {"dwarf/c_gcc_asmname", "renamed_foo"},
      {"dwarf/c_gcc_asmname", "main"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + " " + c.symbol);
    std::string path = fixture(c.image);
    Module m(path);
    ASSERT_TRUE(m.bank);
    uint64_t add = nmValue(path, c.symbol);
    SymMgrObjectPtr<IAddress> from, to;
    ASSERT_EQ(m.bank->addressByVa(add, from), STATUS_OK);
    ASSERT_EQ(m.bank->addressByVa(add + 1, to), STATUS_OK);
    SymMgrObjectPtr<SymbolRangeIter> all;
    ASSERT_EQ(m.bank->originalSymbolRanges(all, SYMBOL_KIND_FUNCTION, from.get(), to.get()), STATUS_OK);
    int startingHere = 0;
    do {
      SymMgrObjectPtr<ISymbolRange> r = all->current();
      if (r && r->startAddress()->va() == add) {
        ++startingHere;
        uint32_t id = 0;
        EXPECT_EQ(r->symbol()->compUnitId(id), STATUS_OK);
        EXPECT_EQ(std::wstring(r->symbol()->name()), wide(c.symbol));
      }
    } while (all->next());
    EXPECT_EQ(startingHere, 1);
  }
}

// A relocatable object: the DWARF addresses are only right once .rela.debug_info has been
// applied (unrelocated, every function of .text would start at 0). Unit ids are the unit's
// offset + 1 (the only unit sits at 0); the bank accepts both the id and the plain offset,
// which is the key that locations carry.
TEST(DwarfLoader, RelocatableObjectFunctionsSitAtTheirSymbols) {
  std::string path = fixture("dwarf/cpp_gcc_d3_O2.o");
  Module m(path);
  ASSERT_TRUE(m.bank);
  EXPECT_EQ(m.bank->symFileFormat(), SYM_FORMAT_DWARF);
  uint64_t pair = nmValue(path, "_ZN5zdemo8hashPairEjj");
  ASSERT_NE(pair, 0u);
  SymMgrObjectPtr<ISymbolRange> fn = m.range(pair, SYMBOL_KIND_FUNCTION);
  ASSERT_TRUE(fn);
  EXPECT_EQ(fn->startAddress()->va(), pair);
  uint32_t id = 0;
  ASSERT_EQ(fn->symbol()->compUnitId(id), STATUS_OK);
  EXPECT_EQ(id, 1u);
  SymMgrObjectPtr<ISourceLocation> decl;
  ASSERT_EQ(fn->symbol()->sourceLocation(decl), STATUS_OK);
  EXPECT_EQ(decl->line(), 82u);  // ZDEMO_NOINLINE unsigned hashPair(...)
  EXPECT_NE(std::wstring(decl->sourceFile()->name()).find(L"cppdemo.cpp"), std::wstring::npos);
  ICompUnitDetails *byId = nullptr, *byKey = nullptr;
  ASSERT_EQ(m.bank->compUnitDetailsById(id, byId), STATUS_OK);
  ASSERT_EQ(m.bank->compUnitDetailsById(decl->compUnitKey(), byKey), STATUS_OK);
  EXPECT_EQ(byKey, byId);
  EXPECT_EQ(byId->getLanguage(), LANGUAGE_CPP);
}

// Damaged .debug_info (bytes flipped at random, fixed seed): every kind is loaded and every
// function body read without a crash, a hang or a read outside the file.
TEST(DwarfLoader, DamagedDebugInfoNeverCrashes) {
  std::string path = fixture("dwarf/cpp_gcc_d3_O2");
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(original.empty());
  SymMgrObjectPtr<ElfHelper> pristine(new ElfHelper(wide(path.c_str()).c_str()));
  SectionData* info = pristine->section(kSecDebugInfo);
  ASSERT_NE(info, nullptr);
  uint64_t infoOffset = static_cast<uint64_t>(info->data() - pristine->file().data);
  uint64_t infoSize = info->size();

  KAVE_3_1::RecordCapture quiet;
  std::mt19937 random(7);
  int walked = 0;
  const uint64_t headerSize = 11;
  for (int round = 0; round < 60; ++round) {
    auto bytes = std::make_shared<std::vector<unsigned char>>(original);
    int flips = 1 + round % 8;
    for (int i = 0; i < flips; ++i) {
      // Entries only: a damaged unit header just ends the walk at once.
      uint64_t at = infoOffset + headerSize + random() % (infoSize - headerSize);
      (*bytes)[at] = static_cast<unsigned char>(random());
    }
    SymMgrObjectPtr<ElfHelper> helper(new ElfHelper(bytes, bytes->data(), bytes->size()));
    SymMgrObjectPtr<IFileFormatLoader> ffl(new ElfFileLoader(wide(path.c_str()).c_str(), helper.get(), nullptr));
    SymMgrObjectPtr<IDebugInfoLoader> loader(
        internal::makeDwarfDebugInfoLoader(ffl.get(), ffl->fileName(), helper.get(), nullptr));
    GlobalScope scope(ffl.get(), loader.get(), nullptr);
    SymMgrObjectPtr<SymbolRangeIter> all;
    if (scope.originalSymbolRanges(all, 0, ~0ull, SYMBOL_KIND_ALL) != STATUS_OK || !all) continue;
    int ranges = 0;
    do {
      SymMgrObjectPtr<ISymbolRange> r = all->current();
      if (!r) break;
      SymMgrObjectPtr<SymbolRangeIter> children = r->childRanges();  // reads the body
      if (children) {
        do {
          SymMgrObjectPtr<ISymbolRange> c = children->current();
          if (c && c->inlineInstance()) {
            c->inlineInstance()->symbol();
            c->inlineInstance()->callSite();
          }
        } while (children->next());
      }
      ++ranges;
    } while (all->next() && ranges < 100000);
    if (ranges > 20) ++walked;
  }
  EXPECT_GT(walked, 30);  // the damage was walked through, not refused up front
}

}  // namespace
