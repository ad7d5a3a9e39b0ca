// The ELF reader and file loader on real compiler output: code and data ranges, segments and
// addresses against readelf, the image's own symbols (kind mask, binding), and PLT entries
// against objdump's labels; relocations applied within bounds; and images of machine 31,
// which no toolchain here writes. The choice among symbols by address is the tools suite's,
// against the LLVM symbolizer.
#include <gtest/gtest.h>

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
#include "zor/elf/elf_symbols.h"
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
      EXPECT_EQ(std::make_tuple(uint64_t(s->rva()), uint64_t(s->fileOffset()), uint64_t(s->fileSize()),
                                uint64_t(s->size())),
                std::make_tuple(loads[i].vaddr - loads[0].vaddr, loads[i].offset, loads[i].filesz, loads[i].memsz));
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

// A minimal 32-bit image of machine 31, flagged big-endian: one loadable segment, .text,
// a data section marked with the machine's own allocation flag, and a symbol table whose
// entries carry four extra bytes each.
std::vector<unsigned char> machine31Image() {
  std::vector<unsigned char> b(0x140 + 6 * 40, 0);
  auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); };
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); };
  const char shstr[] = "\0.text\0.data1\0.symtab\0.strtab\0.shstrtab";
  const char str[] = "\0f\0d\0g";
  b[0] = 0x7F, b[1] = 'E', b[2] = 'L', b[3] = 'F', b[4] = 1, b[5] = 2, b[6] = 1;
  put16(16, 2), put16(18, 31), put32(20, 1), put32(24, 0x1060), put32(28, 52), put32(32, 0x140);
  put16(40, 52), put16(42, 32), put16(44, 1), put16(46, 40), put16(48, 6), put16(50, 5);
  // PT_LOAD: offset 0, vaddr 0x1000, R+X.
  put32(52, 1), put32(56, 0), put32(60, 0x1000), put32(64, 0x1000), put32(68, 0x140), put32(72, 0x140),
      put32(76, 5), put32(80, 0x1000);
  // Symbols (20 bytes each): null, f (global func), d (global object), g (local func).
  auto sym = [&](int i, uint32_t name, uint32_t value, uint32_t size, uint8_t info, uint16_t shndx) {
    size_t at = 0xB0 + 20 * i;
    put32(at, name), put32(at + 4, value), put32(at + 8, size), b[at + 12] = info, put16(at + 14, shndx);
    put32(at + 16, 0xDEADBEEF);  // the machine's extra word
  };
  sym(1, 1, 0x1060, 0x10, 0x12, 1);
  sym(2, 3, 0x10A0, 4, 0x11, 2);
  sym(3, 5, 0x1070, 8, 0x02, 1);
  std::memcpy(&b[0x100], str, sizeof str);
  std::memcpy(&b[0x108], shstr, sizeof shstr);
  auto shdr = [&](int i, uint32_t name, uint32_t type, uint32_t flags, uint32_t addr, uint32_t off, uint32_t size,
                  uint32_t link) {
    size_t at = 0x140 + 40 * i;
    put32(at, name), put32(at + 4, type), put32(at + 8, flags), put32(at + 12, addr), put32(at + 16, off),
        put32(at + 20, size), put32(at + 24, link);
  };
  shdr(1, 1, 1, 6, 0x1060, 0x60, 0x40, 0);
  shdr(2, 7, 1, 0x100, 0x10A0, 0xA0, 0x10, 0);
  shdr(3, 14, 2, 0, 0, 0xB0, 80, 4);
  shdr(4, 22, 3, 0, 0, 0x100, sizeof str, 0);
  shdr(5, 30, 3, 0, 0, 0x108, sizeof shstr, 0);
  return b;
}

TEST(ElfMachine31, LongerSymbolEntriesAndItsAllocationFlag) {
  auto bytes = std::make_shared<std::vector<unsigned char>>(machine31Image());
  SymMgrObjectPtr<ElfHelper> h = new ElfHelper(bytes, bytes->data(), bytes->size());
  ASSERT_TRUE(h->valid());
  EXPECT_EQ(h->architecture(), uint32_t(ARCH_UNKNOWN));
  EXPECT_EQ(h->sectionHeader(2)->sh_flags, 2u);  // 0x100 means allocated on this machine
  EXPECT_TRUE(h->inDataRange(0x10A0));
  SymMgrObjectPtr<ElfFileLoader> l = new ElfFileLoader(L"m31", h.get(), nullptr);
  SymMgrObjectPtr<RecordingTable> table = new RecordingTable;
  ASSERT_EQ(l->loadSymbols(table.get(), SYMBOL_KIND_ALL), STATUS_OK);
  std::set<std::tuple<std::string, uint64_t, uint64_t, uint32_t, int32_t>> got;
  for (const RecordingTable::Entry& e : table->entries)
    if (e.scope) {
      ISymbol* s = e.scope->symbol();
      got.insert({nameOf(s), e.start, e.end, s->kind(), s->linkage()});
    }
  const std::set<std::tuple<std::string, uint64_t, uint64_t, uint32_t, int32_t>> want = {
      {"f", 0x1060, 0x1070, SYMBOL_KIND_FUNCTION, 2},
      {"d", 0x10A0, 0x10A4, SYMBOL_KIND_DATA, 2},
      {"g", 0x1070, 0x1078, SYMBOL_KIND_FUNCTION, 1}};
  EXPECT_EQ(got, want);
}

const char* const kImages[] = {"hello_pie", "hello_nopie", "hello_32", "hello_32_nopie", "libplt.so",
                               "libplt_clang.so", "hello_clang_pie"};

using ElfHelperTest = ElfLoaderTest;

TEST_F(ElfHelperTest, CodeRangesAreTheExecutableSectionsUpToTheNextSection) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const std::string path = fixture(name);
    std::vector<elf_oracle::Section> secs = elf_oracle::sections(path);
    SymMgrObjectPtr<ElfHelper> h = new ElfHelper(KAVE_3_1::utf8ToWide(path).c_str());
    ASSERT_TRUE(h->valid());
    size_t execCount = 0;
    for (size_t i = 0; i < secs.size(); ++i) {
      const elf_oracle::Section& s = secs[i];
      if (s.size == 0 || !s.has('A')) continue;
      if (s.has('X')) {
        ++execCount;
        auto it = h->codeRanges().find(s.addr);
        ASSERT_NE(it, h->codeRanges().end()) << s.name;
        // The padding before the next section of the window is counted to this one.
        uint64_t expectedEnd = s.addr + s.size;
        if (i + 1 < secs.size() && secs[i + 1].addr > expectedEnd &&
            secs[i + 1].addr < h->codeStart() + h->codeSize())
          expectedEnd = secs[i + 1].addr;
        EXPECT_EQ(it->second, expectedEnd) << s.name;
        EXPECT_TRUE(h->inCodeRange(s.addr));
        EXPECT_TRUE(h->inCodeRange(s.addr + s.size - 1));
        EXPECT_FALSE(h->inDataRange(s.addr)) << s.name;
      } else if (s.name == ".data" || s.name == ".bss" || s.name == ".rodata") {
        EXPECT_TRUE(h->inDataRange(s.addr)) << s.name;
        EXPECT_TRUE(h->inAnyRange(s.addr + s.size - 1)) << s.name;
        EXPECT_FALSE(h->inCodeRange(s.addr)) << s.name;
      }
    }
    EXPECT_EQ(h->codeRanges().size(), execCount);
    // Headers before the code (the ELF header, .dynsym) are neither code nor data.
    EXPECT_FALSE(h->inAnyRange(h->imageBase()));
  }
}

TEST(ElfRelocationApply, RelAddsAndRelaStoresWithinBounds) {
  std::vector<unsigned char> bytes = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 9};
  ByteWriter w(bytes);
  RelocationRecord r;
  r.offset = 0;
  r.target = 0x10;
  r.width = 4;
  RELRelocationAddends rel(0);
  RELARelocationAddends rela(0);
  EXPECT_TRUE(rel.apply(w, r));
  EXPECT_EQ(bytes[0], 0x11);
  r.offset = 4;
  EXPECT_TRUE(rela.apply(w, r));
  EXPECT_EQ(bytes[4], 0x10);
  EXPECT_EQ(bytes[5], 0);
  EXPECT_EQ(bytes[8], 9);
  // A place that runs off the end is refused and nothing is written.
  r.offset = 6;
  EXPECT_FALSE(rela.apply(w, r));
  r.width = 8;
  r.offset = 2;
  EXPECT_FALSE(rel.apply(w, r));
  EXPECT_EQ(bytes[8], 9);
  EXPECT_EQ(relocationWidth(62, 10, true), 4u);  // R_X86_64_32
  EXPECT_EQ(relocationWidth(62, 1, true), 8u);   // R_X86_64_64
  EXPECT_EQ(relocationWidth(3, 1, false), 4u);   // R_386_32
}

TEST(ElfHelperFiles, BigEndianIsAcceptedOnlyForMachine31) {
  std::vector<unsigned char> bytes = elf_oracle::readFile(std::string(ZOR_FIXTURES_DIR) + "/misc/bigendian.elf");
  ASSERT_EQ(bytes.size(), 64u);
  KAVE_3_1::RecordCapture capture;
  // Machine 31 read little-endian: accepted, with the data encoding recorded as little-endian.
  bytes[18] = 31;
  bytes[19] = 0;
  auto keep = std::make_shared<std::vector<unsigned char>>(bytes);
  SymMgrObjectPtr<ElfHelper> h = new ElfHelper(keep, keep->data(), keep->size());
  EXPECT_TRUE(h->valid());
  EXPECT_EQ(h->header().e_ident[5], 1);
  EXPECT_EQ(capture.assertions(), 0u);
  // The same machine number stored big-endian reads as another machine: refused.
  (*keep)[18] = 0;
  (*keep)[19] = 31;
  SymMgrObjectPtr<ElfHelper> other = new ElfHelper(keep, keep->data(), keep->size());
  EXPECT_FALSE(other->valid());
}

}  // namespace
