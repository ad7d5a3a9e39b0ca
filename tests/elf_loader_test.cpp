// The ELF file loader on real compiler output: segments and addresses against readelf, the
// image's own symbols (kind mask, binding), and PLT entries against objdump's labels. The
// choice among them by address is the tools suite's, against the LLVM symbolizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <map>
#include <set>
#include <string>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/elf_oracle.h"
#include "support/recording_table.h"
#include "zor/elf/elf_file_loader.h"
#include "zor/object/globals.h"
#include "zor/store/scope.h"
#include "zor/store/symbol_range.h"

using namespace ZOR_3_12;

namespace {

std::string fixture(const char* name) { return std::string(ZOR_FIXTURES_DIR) + "/elf/" + name; }

SymMgrObjectPtr<ElfFileLoader> load(const std::string& path) {
  return new ElfFileLoader(KAVE_3_1::utf8ToWide(path).c_str(), &internal::elfLoaderLock());
}

using zor_fake::RecordingTable;

std::string nameOf(ISymbol* s) { return KAVE_3_1::wideToUtf8(s->name()); }

bool isLoadableBinding(const std::string& bind) { return bind == "LOCAL" || bind == "GLOBAL" || bind == "WEAK"; }

int32_t linkageOf(const std::string& bind) { return bind == "LOCAL" ? 1 : 2; }

class ElfLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!elf_oracle::haveTool("readelf") || !elf_oracle::haveTool("objdump"))
      GTEST_SKIP() << "binutils are not installed";
  }
};

TEST_F(ElfLoaderTest, SegmentsAreTheLoadableProgramHeaders) {
  for (const char* name : {"hello_pie", "hello_nopie", "hello_32", "hello_32_nopie", "libplt.so"}) {
    SCOPED_TRACE(name);
    const std::string path = fixture(name);
    std::vector<elf_oracle::Load> loads = elf_oracle::loads(path);
    SymMgrObjectPtr<ElfFileLoader> l = load(path);
    EXPECT_EQ(l->execFormat(), EXEC_FORMAT_ELF);
    EXPECT_EQ(l->imageBase(), loads[0].vaddr);
    EXPECT_EQ(l->segmentByIndex(0), nullptr);
    EXPECT_EQ(l->segmentByIndex(static_cast<int>(loads.size()) + 1), nullptr);
    SymMgrObjectPtr<SegmentIter> it = l->segments();
    for (size_t i = 0; i < loads.size(); ++i) {
      ISegment* s = l->segmentByIndex(static_cast<int>(i) + 1);
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(it->current(), s);
      it->next();
      EXPECT_EQ(std::wstring(s->name()), i == 0 ? L".text" : L".data");
      EXPECT_EQ(s->kind(), i == 0 ? uint32_t(SEGMENT_KIND_CODE) : uint32_t(SEGMENT_KIND_DATA));
      EXPECT_EQ(s->rva(), loads[i].vaddr - loads[0].vaddr);
      EXPECT_EQ(s->fileOffset(), loads[i].offset);
      EXPECT_EQ(s->fileSize(), loads[i].filesz);
      EXPECT_EQ(s->size(), loads[i].memsz);
      EXPECT_EQ(l->segmentByAddress(loads[i].vaddr), s);
      // The end address itself still belongs to the segment.
      EXPECT_EQ(l->segmentByAddress(loads[i].vaddr + loads[i].memsz), s);
      if (loads[i].filesz) {
        EXPECT_EQ(l->segmentByFileOffset(loads[i].offset + loads[i].filesz - 1), s);
      }
    }
    EXPECT_EQ(it->current(), nullptr);
    EXPECT_EQ(l->segmentByName(L".text"), l->segmentByIndex(1));
    EXPECT_EQ(l->segmentByName(L".data"), l->segmentByIndex(2));
    EXPECT_EQ(l->segmentByName(L".bss"), nullptr);
    const elf_oracle::Load& last = loads.back();
    EXPECT_EQ(l->segmentByAddress(last.vaddr + last.memsz + 1), nullptr);
    if (loads[0].vaddr) {
      EXPECT_EQ(l->segmentByAddress(loads[0].vaddr - 1), nullptr);
    }

    // Addresses: a file offset inside the code maps to the virtual address readelf implies.
    const elf_oracle::Load& code = loads[1];
    SymMgrObjectPtr<IAddress> a;
    ASSERT_EQ(l->addressByFileOffset(a, code.offset + 0x10), STATUS_OK);
    EXPECT_EQ(a->va(), code.vaddr + 0x10);
    EXPECT_EQ(a->rva(), code.vaddr + 0x10 - loads[0].vaddr);
    EXPECT_EQ(a->fileOffset(), code.offset + 0x10);
    SymMgrObjectPtr<IAddress> none;
    EXPECT_EQ(l->address(none, last.vaddr + last.memsz + 0x100000), STATUS_UNSPECIFIED_ERROR);
    EXPECT_FALSE(none);
  }
}

TEST_F(ElfLoaderTest, RelocatableObjectGetsSegmentsFromItsSections) {
  const std::string path = fixture("hello_obj.o");
  std::vector<elf_oracle::Section> secs = elf_oracle::sections(path);
  const elf_oracle::Section* text = nullptr;
  for (const elf_oracle::Section& s : secs)
    if (s.name == ".text") text = &s;
  ASSERT_NE(text, nullptr);
  SymMgrObjectPtr<ElfFileLoader> l = load(path);
  // Every allocated section sits at 0: .text comes first and refuses the rest.
  ASSERT_NE(l->segmentByIndex(1), nullptr);
  EXPECT_EQ(l->segmentByIndex(2), nullptr);
  ISegment* s = l->segmentByIndex(1);
  EXPECT_EQ(std::wstring(s->name()), L".text");
  EXPECT_EQ(s->kind(), uint32_t(SEGMENT_KIND_CODE));
  EXPECT_EQ(s->fileOffset(), text->offset);
  EXPECT_EQ(s->size(), text->size);
  EXPECT_EQ(l->imageBase(), text->addr);
  EXPECT_EQ(l->imageSize(), text->size);
  EXPECT_TRUE(l->elfHelper()->inCodeRange(text->addr + text->size - 1));
  EXPECT_FALSE(l->elfHelper()->inCodeRange(text->addr + text->size));

  // With .text renamed, the first allocated section has no kind and .data replaces it.
  std::vector<unsigned char> bytes = elf_oracle::readFile(path);
  SymMgrObjectPtr<ElfHelper> probe = new ElfHelper(KAVE_3_1::utf8ToWide(path).c_str());
  const uint64_t shoff = probe->header().e_shoff;
  const uint32_t commentName = probe->sectionHeaderByName(".comment")->sh_name;
  const uint64_t textHeader = shoff + uint64_t(probe->sectionIndexByName(".text")) * probe->header().e_shentsize;
  std::memcpy(&bytes[textHeader], &commentName, 4);
  auto keep = std::make_shared<std::vector<unsigned char>>(bytes);
  SymMgrObjectPtr<ElfFileLoader> renamed =
      new ElfFileLoader(L"renamed.o", new ElfHelper(keep, keep->data(), keep->size()), nullptr);
  ASSERT_NE(renamed->segmentByIndex(1), nullptr);
  EXPECT_EQ(std::wstring(renamed->segmentByIndex(1)->name()), L".data");
  EXPECT_EQ(renamed->segmentByIndex(1)->kind(), uint32_t(SEGMENT_KIND_DATA));
  EXPECT_EQ(renamed->segmentByIndex(2), nullptr);
}

// The symbols the loader should insert for `mask`, as readelf lists them.
struct Expected {
  uint64_t value, size;
  std::string name;
  symbol_kind_t kind;
  int32_t linkage;
};

std::vector<Expected> expectedSymbols(const std::string& path, ElfHelper& h, uint32_t mask) {
  std::vector<Expected> result;
  mask |= SYMBOL_KIND_PUBLIC;
  for (const elf_oracle::Symbol& s : elf_oracle::symbols(path)) {
    if (s.name.empty() || !isLoadableBinding(s.bind) || s.ndx == "UND" || s.ndx == "COM") continue;
    if (s.type == "FUNC" && (mask & 0x11) && h.inCodeRange(s.value))
      result.push_back({s.value, s.size, s.name, SYMBOL_KIND_FUNCTION, linkageOf(s.bind)});
    else if (s.type == "NOTYPE" && h.inAnyRange(s.value))
      result.push_back({s.value, s.size, s.name, SYMBOL_KIND_PUBLIC, linkageOf(s.bind)});
    else if (s.type == "OBJECT" && (mask & 0x6) && h.inAnyRange(s.value))
      result.push_back({s.value, s.size, s.name, SYMBOL_KIND_DATA, linkageOf(s.bind)});
  }
  return result;
}

TEST_F(ElfLoaderTest, LoadedSymbolsFollowTypeBindingAndMask) {
  for (const char* name : {"hello_pie", "hello_32", "libplt.so", "hello_obj.o"}) {
    for (uint32_t mask : {SYMBOL_KIND_ALL, 0u, uint32_t(SYMBOL_KIND_FUNCTION), uint32_t(SYMBOL_KIND_DATA)}) {
      SCOPED_TRACE(std::string(name) + " mask " + std::to_string(mask));
      const std::string path = fixture(name);
      SymMgrObjectPtr<ElfFileLoader> l = load(path);
      SymMgrObjectPtr<RecordingTable> table = new RecordingTable;
      ASSERT_EQ(l->loadSymbols(table.get(), mask), STATUS_OK);
      std::multiset<std::tuple<uint64_t, uint64_t, std::string, uint32_t, int32_t>> got, want;
      for (const RecordingTable::Entry& e : table->entries) {
        if (!e.scope || !asScope(e.scope.get())->thunks().empty()) continue;  // section ends, PLT entries
        ISymbol* s = e.scope->symbol();
        got.insert({e.start, e.end - e.start, nameOf(s), s->kind(), s->linkage()});
        uint64_t rs, re;
        EXPECT_TRUE(asScope(e.scope.get())->rangeContaining(rs, re, e.start) || e.start == e.end);
      }
      for (const Expected& x : expectedSymbols(path, *l->elfHelper(), mask))
        want.insert({x.value, x.size, x.name, x.kind, x.linkage});
      EXPECT_EQ(got, want);
      if (mask == SYMBOL_KIND_ALL) {
        EXPECT_FALSE(want.empty());
      }
    }
  }
}

TEST_F(ElfLoaderTest, PltEntriesAreNamedLikeObjdumpDoes) {
  // The stripped image keeps only .dynsym, which still names its PLT entries.
  for (const char* name : {"libplt.so", "libplt_clang.so", "hello_pie", "hello_nopie", "hello_32", "hello_32_nopie",
                           "nodebug/hello_nodebug"}) {
    SCOPED_TRACE(name);
    const std::string path = fixture(name);
    std::vector<elf_oracle::PltLabel> labels = elf_oracle::pltLabels(path);
    ASSERT_FALSE(labels.empty());
    SymMgrObjectPtr<ElfFileLoader> l = load(path);
    // PLT entries come whatever the mask says.
    SymMgrObjectPtr<RecordingTable> table = new RecordingTable;
    ASSERT_EQ(l->loadSymbols(table.get(), 0), STATUS_OK);
    std::map<uint64_t, std::string> thunks;
    for (const RecordingTable::Entry& e : table->entries) {
      if (!e.scope || asScope(e.scope.get())->thunks().empty()) continue;
      Thunk* t = asScope(e.scope.get())->thunks().front();
      EXPECT_EQ(e.end - e.start, 16u);
      EXPECT_EQ(t->start(), e.start);
      EXPECT_EQ(t->thunkSize(), 16u);
      EXPECT_EQ(t->thunkKind(), uint32_t(THUNK_KIND_IMPORT));
      EXPECT_EQ(e.scope->symbol()->linkage(), 2);
      thunks[e.start] = KAVE_3_1::wideToUtf8(t->name());
    }
    std::map<uint64_t, std::string> want;
    for (const elf_oracle::PltLabel& p : labels) want[p.address] = p.name;
    EXPECT_EQ(thunks, want);

    GlobalScope scope(l.get(), nullptr, nullptr);
    for (const elf_oracle::PltLabel& p : labels) {
      SymMgrObjectPtr<ISymbolRange> r;
      ASSERT_EQ(scope.symbolRangeByAddress(r, p.address + 5, SYMBOL_KIND_FUNCTION, nullptr), STATUS_OK);
      EXPECT_EQ(nameOf(r->symbol()), p.name);
      ASSERT_NE(r->thunk(), nullptr);
      EXPECT_EQ(KAVE_3_1::wideToUtf8(r->thunk()->name()), p.name);
    }
  }
}

TEST_F(ElfLoaderTest, InvalidImageLoadsNothing) {
  KAVE_3_1::RecordCapture capture;
  SymMgrObjectPtr<ElfFileLoader> l = load(std::string(ZOR_FIXTURES_DIR) + "/misc/truncated_elf.bin");
  EXPECT_EQ(l->segmentByIndex(1), nullptr);
  SymMgrObjectPtr<RecordingTable> table = new RecordingTable;
  EXPECT_EQ(l->loadSymbols(table.get(), SYMBOL_KIND_ALL), STATUS_UNSPECIFIED_ERROR);
  EXPECT_TRUE(table->entries.empty());
  bool sawLoadAssertion = false;
  for (const KAVE_3_1::RecordInfo& r : capture.records()) sawLoadAssertion |= r.line == 833;
  EXPECT_TRUE(sawLoadAssertion);
}

}  // namespace
