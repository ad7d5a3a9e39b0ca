// The two line iterators built on scopes, on real compiler output, beyond what the agreement
// suite compares: a symbol's lines, and a file's lines with inlined calls reported at their
// call site.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zor/zor.h>

#include "kave/unicode.h"
#include "zor/dwarf/debug_info_loader.h"
#include "zor/elf/elf_file_loader.h"
#include "zor/source/inline_caller_source_line_iterator.h"
#include "zor/source/source_file.h"
#include "zor/source/source_line.h"
#include "zor/store/scope.h"
#include "zor/store/symbol_range.h"

namespace {

using namespace ZOR_3_12;

// One module read through its loaders directly, so that the global scope is at hand.
struct Loaded {
  SymMgrObjectPtr<IFileFormatLoader> ffl;
  SymMgrObjectPtr<IDebugInfoLoader> loader;
  ZorLock lock;
  std::unique_ptr<GlobalScope> scope;

  explicit Loaded(const std::string& name) {
    std::wstring path = KAVE_3_1::utf8ToWide(std::string(ZOR_FIXTURES_DIR) + "/dwarf/" + name);
    ffl = IFileFormatLoader::create(path.c_str());
    auto* elf = dynamic_cast<ElfFileLoader*>(ffl.get());
    if (!elf) return;
    loader = internal::makeDwarfDebugInfoLoader(ffl.get(), ffl->fileName(), elf->elfHelper(), nullptr);
    scope.reset(new GlobalScope(ffl.get(), loader.get(), &lock));
  }
  ~Loaded() { scope.reset(); }

  std::vector<SymMgrObjectPtr<ISymbolRange>> functions() {
    std::vector<SymMgrObjectPtr<ISymbolRange>> out;
    SymMgrObjectPtr<SymbolRangeIter> it;
    if (scope->originalSymbolRanges(it, 0, ~0ull, SYMBOL_KIND_FUNCTION) != STATUS_OK) return out;
    do {
      SymMgrObjectPtr<ISymbolRange> r = it->current();
      uint32_t id = 0;
      if (r && r->symbol() && r->symbol()->compUnitId(id) == STATUS_OK) out.push_back(r);
    } while (it->next());
    return out;
  }
};

uint64_t va(SymMgrObjectPtr<IAddress> a) { return a ? a->va() : 0; }

// A function's lines: the lines of its declaring file that overlap its ranges.
TEST(SymbolSourceLines, LinesOfTheDeclaringFileInsideTheFunction) {
  Loaded m("cpp_gcc_d3_O0");
  ASSERT_TRUE(m.scope);
  size_t checked = 0;
  for (auto& fn : m.functions()) {
    SymMgrObjectPtr<ISourceLocation> decl;
    if (fn->symbol()->sourceLocation(decl) != STATUS_OK) continue;
    SymMgrObjectPtr<SourceLineIter> lines = fn->symbol()->sourceLines();
    ASSERT_TRUE(lines);
    uint64_t start = va(fn->startAddress()), end = va(fn->endAddress());
    size_t count = 0;
    for (SymMgrObjectPtr<ISourceLine> l = lines->current(); l; l = lines->next() ? lines->current() : nullptr) {
      uint64_t s = internal::lineStart(l.get());
      EXPECT_LT(s, end);
      EXPECT_GT(s + l->size(), start);
      EXPECT_EQ(l->location()->sourceFile(), decl->sourceFile());
      ++count;
    }
    if (count) ++checked;
  }
  EXPECT_GT(checked, 5u);
}

// A file's lines with inlined calls made from it folded into one line at the call: no line
// of the walk starts inside such a call except the call's own line, which covers it whole.
TEST(InlineCallerLines, CallsFromTheFileAreReportedAtTheirCallSite) {
  Loaded m("cpp_gcc_d3_O2");
  ASSERT_TRUE(m.scope);
  ISrcLineResolver* resolver = m.scope->lineResolver();
  ASSERT_NE(resolver, nullptr);
  // The file, through the declaration of a function in it.
  ISourceFile* file = nullptr;
  for (auto& fn : m.functions()) {
    SymMgrObjectPtr<ISourceLocation> decl;
    if (fn->symbol()->sourceLocation(decl) == STATUS_OK && decl->sourceFile() &&
        std::wstring(decl->sourceFile()->name()).find(L"cppdemo.cpp") != std::wstring::npos) {
      file = decl->sourceFile();
      break;
    }
  }
  ASSERT_NE(file, nullptr);
  auto* known = dynamic_cast<SourceFile*>(file);
  ASSERT_NE(known, nullptr);
  uint32_t index = known->fileIndex();

  // The calls made from this file, straight below the module's functions.
  struct Call {
    uint64_t start, end;
    uint32_t line;
  };
  std::vector<Call> calls;
  for (auto& fn : m.functions()) {
    SymMgrObjectPtr<SymbolRangeIter> children = fn->childRanges();
    if (!children) continue;
    do {
      SymMgrObjectPtr<ISymbolRange> c = children->current();
      if (!c || !c->inlineInstance()) continue;
      SymMgrObjectPtr<ISourceLocation> site = c->inlineInstance()->callSite();
      if (site && site->sourceFile() == file) calls.push_back({va(c->startAddress()), va(c->endAddress()), site->line()});
    } while (children->next());
  }
  ASSERT_FALSE(calls.empty());

  SymMgrObjectPtr<SourceLineIter> plain;
  ASSERT_EQ(resolver->sourceLinesForFile(COMP_UNIT_ALL, index, 0, ~0ull, plain), STATUS_OK);
  SymMgrObjectPtr<SourceLineIter> walk(new InlineCallerSourceLineIterator(m.scope.get(), plain, 0, ~0ull, file));
  size_t atCallSite = 0, total = 0;
  uint64_t previous = 0;
  for (SymMgrObjectPtr<ISourceLine> l = walk->current(); l; l = walk->next() ? walk->current() : nullptr) {
    uint64_t s = internal::lineStart(l.get());
    EXPECT_GE(s, previous);  // in address order
    previous = s;
    ++total;
    for (const Call& c : calls) {
      // An empty row reaches into nothing and passes as it is.
      if (s < c.start || s >= c.end || l->size() == 0) continue;
      EXPECT_EQ(s, c.start) << std::hex << s;
      EXPECT_EQ(l->location()->line(), c.line);
      EXPECT_EQ(l->size(), c.end - c.start);
      ++atCallSite;
    }
  }
  EXPECT_GT(total, 20u);
  EXPECT_GT(atCallSite, 0u);
  // reset() gives the same walk again.
  walk->reset();
  size_t again = 0;
  for (SymMgrObjectPtr<ISourceLine> l = walk->current(); l; l = walk->next() ? walk->current() : nullptr) ++again;
  EXPECT_EQ(again, total);
}

}  // namespace
