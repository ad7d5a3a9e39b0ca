// Hand-damaged copies of real images: truncated files and corrupted header fields, table
// offsets, counts, entry sizes, name offsets and links. The reader must report what it
// refuses, keep what is still sound, and never read outside the file (this suite is also
// run under the address sanitizer).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/elf_oracle.h"
#include "zor/dwarf/dwarf_symbol_file_to_resolve.h"
#include "zor/elf/elf_file_loader.h"
#include "zor/elf/elf_symbols.h"
#include "zor/object/globals.h"
#include "zor/store/scope.h"

using namespace ZOR_3_12;

namespace {

using Bytes = std::vector<unsigned char>;

std::string fixture(const char* name) { return std::string(ZOR_FIXTURES_DIR) + "/elf/" + name; }

struct Loaded {
  std::shared_ptr<Bytes> bytes;
  SymMgrObjectPtr<ElfHelper> helper;
  SymMgrObjectPtr<ElfFileLoader> loader;
};

Loaded loadBytes(const Bytes& bytes) {
  Loaded l;
  l.bytes = std::make_shared<Bytes>(bytes);
  l.helper = new ElfHelper(l.bytes, l.bytes->data(), l.bytes->size());
  l.loader = new ElfFileLoader(L"", l.helper.get(), &internal::elfLoaderLock());
  return l;
}

// Names of the symbols and PLT entries a full load puts into a global scope's table.
std::set<std::string> loadedNames(Loaded& l) {
  std::set<std::string> names;
  GlobalScope scope(l.loader.get(), nullptr, nullptr);
  if (scope.loadSymbols(SYMBOL_KIND_ALL) != STATUS_OK) return names;
  SymMgrObjectPtr<SymbolRangeIter> it;
  if (scope.originalSymbolRanges(it, 0, ~uint64_t(0) - 1, SYMBOL_KIND_ALL) != STATUS_OK || !it) return names;
  for (SymMgrObjectPtr<ISymbolRange> r = it->current(); r; r = it->next() ? it->current() : nullptr)
    if (r->symbol()) names.insert(KAVE_3_1::wideToUtf8(r->symbol()->name()));
  return names;
}

// Runs every query the loader offers; the point is that none of them reads out of bounds.
void exercise(Loaded& l) {
  ElfFileLoader& loader = *l.loader;
  SymMgrObjectPtr<SegmentIter> segs = loader.segments();
  for (ISegment* s = segs->current(); s; s = segs->next() ? segs->current() : nullptr) {
    SymMgrObjectPtr<IAddress> a;
    loader.address(a, loader.imageBase() + s->rva());
    loader.addressByFileOffset(a, s->fileOffset());
  }
  for (const wchar_t* name : {L".text", L".plt", L".symtab", L".debug_info"}) loader.sectionByName(name);
  ElfHelper& h = *l.helper;
  for (uint32_t i = 0; i < h.sectionCount(); ++i) {
    h.sectionName(i);
    h.relocationTable(i);
  }
  for (unsigned n = 0; n < kNamedSectionCount; ++n) h.relocatedSection(static_cast<NamedSection>(n));
  loadedNames(l);
  DWARFSymbolFileToResolve candidate(0, L"/nonexistent-zor-test/image", &h);
  candidate.state();
}

class ElfMalformedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pie = elf_oracle::readFile(fixture("hello_pie"));
    ASSERT_GT(pie.size(), 4096u);
    original = loadBytes(pie);
    ASSERT_TRUE(original.helper->valid());
    h = original.helper.get();
  }

  // File offset of section header `index` in the original.
  uint64_t shdr(uint32_t index) const { return h->header().e_shoff + uint64_t(index) * h->header().e_shentsize; }
  uint32_t indexOf(const char* name) const { return static_cast<uint32_t>(h->sectionIndexByName(name)); }
  template <class T>
  static void put(Bytes& b, uint64_t offset, T value) {
    std::memcpy(&b[offset], &value, sizeof value);
  }
  // A copy with `value` written at `offset`, loaded and put through every query.
  template <class T>
  Loaded patched(uint64_t offset, T value) {
    Bytes b = pie;
    put<T>(b, offset, value);
    Loaded l = loadBytes(b);
    exercise(l);
    return l;
  }

  Bytes pie;
  Loaded original;
  ElfHelper* h = nullptr;
  KAVE_3_1::RecordCapture capture;
};

TEST_F(ElfMalformedTest, TruncatedCopiesAreRefusedWithoutReadingPastTheEnd) {
  // The section header table sits at the end of the file, so any cut loses some of it.
  std::vector<size_t> lengths;
  for (size_t n = 0; n < 300; ++n) lengths.push_back(n);
  for (size_t n = 300; n < pie.size(); n += 211) lengths.push_back(n);
  lengths.push_back(pie.size() - 1);
  for (size_t n : lengths) {
    SCOPED_TRACE(n);
    size_t before = capture.assertions();
    Loaded l = loadBytes(Bytes(pie.begin(), pie.begin() + n));
    exercise(l);
    EXPECT_FALSE(l.helper->valid());
    EXPECT_GT(capture.assertions(), before);
    EXPECT_EQ(l.loader->segmentByIndex(1), nullptr);
  }
}

TEST_F(ElfMalformedTest, HeaderTableFieldsOutsideTheFileMakeTheImageInvalid) {
  struct Mutation {
    const char* what;
    uint64_t offset;
    uint64_t value;
    unsigned width;
  };
  const Mutation mutations[] = {
      {"e_shoff past the end", 40, pie.size(), 8},
      {"e_shoff wrapping", 40, ~uint64_t(0) - 8, 8},
      {"e_shnum too large", 60, 0xFFFF, 2},
      {"e_shentsize too small", 58, 10, 2},
      {"e_shentsize too large", 58, 0x4000, 2},
      {"e_phoff past the end", 32, pie.size() - 8, 8},
      {"e_phnum too large", 56, 0xFFFF, 2},
      {"e_phentsize too small", 54, 8, 2},
      {"unknown class", 4, 7, 1},
      {"unknown machine", 18, 0x1234, 2},
  };
  for (const Mutation& m : mutations) {
    SCOPED_TRACE(m.what);
    Bytes b = pie;
    for (unsigned i = 0; i < m.width; ++i) b[m.offset + i] = static_cast<unsigned char>(m.value >> (8 * i));
    size_t before = capture.assertions();
    Loaded l = loadBytes(b);
    exercise(l);
    EXPECT_FALSE(l.helper->valid());
    EXPECT_GT(capture.assertions(), before);
    EXPECT_TRUE(loadedNames(l).empty());
  }
}

TEST_F(ElfMalformedTest, NameTableDamageOnlyCostsNames) {
  const std::set<std::string> full = loadedNames(original);
  ASSERT_TRUE(full.count("main"));

  // e_shstrndx out of range: no section has a name, so nothing is known by name.
  Loaded noNames = patched<uint16_t>(62, 0xFFF0);
  EXPECT_TRUE(noNames.helper->valid());
  EXPECT_EQ(noNames.helper->sectionName(1), nullptr);
  EXPECT_EQ(noNames.helper->section(kSecSymtab), nullptr);
  EXPECT_FALSE(noNames.loader->sectionByName(L".text"));
  EXPECT_NE(noNames.loader->segmentByIndex(1), nullptr);  // segments come from program headers

  // One name offset past the table: that section alone loses its name.
  Loaded oneName = patched<uint32_t>(shdr(indexOf(".text")), 0xFFFFFF00u);
  EXPECT_EQ(oneName.helper->sectionName(indexOf(".text")), nullptr);
  EXPECT_FALSE(oneName.loader->sectionByName(L".text"));
  EXPECT_TRUE(oneName.loader->sectionByName(L".data"));
  EXPECT_EQ(loadedNames(oneName), full);

  // A name table cut so that its last name has no terminating NUL: that name is dropped.
  const uint32_t strndx = h->header().e_shstrndx;
  uint32_t lastName = 0, lastIndex = 0;
  for (uint32_t i = 1; i < h->sectionCount(); ++i)
    if (h->sectionHeader(i)->sh_name >= lastName) lastName = h->sectionHeader(i)->sh_name, lastIndex = i;
  Loaded cut = patched<uint64_t>(shdr(strndx) + 32, h->sectionHeader(strndx)->sh_size - 1);
  EXPECT_EQ(cut.helper->sectionName(lastIndex), nullptr);
  EXPECT_NE(cut.helper->sectionName(indexOf(".text")), nullptr);
}

TEST_F(ElfMalformedTest, DamagedSymbolTablesContributeWhatIsSound) {
  const std::set<std::string> full = loadedNames(original);
  SectionData* symtab = h->section(kSecSymtab);
  SectionData* strtab = h->section(kSecStrtab);
  ASSERT_NE(symtab, nullptr);

  // A symbol name offset outside the string table drops that symbol only.
  uint64_t mainEntry = 0;
  const elf::Span syms = symtab->span();
  for (uint64_t pos = 0; pos + 24 <= syms.size; pos += 24) {
    elf::Symbol s = elf::readSymbol(syms.data + pos, true);
    if (s.st_name && std::strcmp(reinterpret_cast<const char*>(strtab->data()) + s.st_name, "main") == 0)
      mainEntry = h->sectionHeader(symtab->index())->sh_offset + pos;
  }
  ASSERT_NE(mainEntry, 0u);
  Loaded noMain = patched<uint32_t>(mainEntry, static_cast<uint32_t>(strtab->size()) + 5);
  std::set<std::string> expected = full;
  expected.erase("main");
  EXPECT_EQ(loadedNames(noMain), expected);

  // Where and in which section a function lies decides whether it is loaded: outside the
  // code, undefined or common it is not; absolute it is when its value is code.
  const uint64_t dataAddress = h->sectionHeaderByName(".data")->sh_addr;
  struct Placement {
    const char* what;
    uint64_t value;  // 0 keeps the original and sets the section index instead
    uint16_t shndx;
    bool loaded;
  };
  for (const Placement& p : {Placement{"in .data", dataAddress, 0xFFFF, false},
                             Placement{"undefined", 0, 0, false}, Placement{"common", 0, 0xFFF2, false},
                             Placement{"absolute", 0, 0xFFF1, true}}) {
    SCOPED_TRACE(p.what);
    Loaded moved = p.value ? patched<uint64_t>(mainEntry + 8, p.value) : patched<uint16_t>(mainEntry + 6, p.shndx);
    EXPECT_EQ(loadedNames(moved).count("main"), p.loaded ? 1u : 0u);
  }

  // .symtab's bytes outside the file: reported, and only .dynsym and the PLT are left.
  const size_t before = capture.assertions();
  Loaded lost = patched<uint64_t>(shdr(symtab->index()) + 24, pie.size() - 16);
  EXPECT_EQ(lost.helper->section(kSecSymtab)->data(), nullptr);
  EXPECT_GT(capture.assertions(), before);
  std::set<std::string> left = loadedNames(lost);
  EXPECT_FALSE(left.count("main"));
  EXPECT_TRUE(left.count("puts"));  // a PLT entry

  // A size that is not a whole number of entries: the partial entry is ignored.
  Loaded partial = patched<uint64_t>(shdr(symtab->index()) + 32, symtab->size() - 5);
  EXPECT_TRUE(loadedNames(partial).count("main"));

  // A string table link that names no section leaves the string table record alone.
  Loaded badLink = patched<uint32_t>(shdr(symtab->index()) + 40, 0xFFFF);
  EXPECT_EQ(loadedNames(badLink), full);
}

TEST_F(ElfMalformedTest, DamagedPltRelocationsNameWhatTheyStillCan) {
  RelocationAddends* reader = pltRelocations(*h);
  ASSERT_NE(reader, nullptr);
  const uint32_t relIndex = reader->sectionIndex();
  const elf::SectionHeader* rel = h->sectionHeader(relIndex);
  ASSERT_GE(rel->sh_size, 48u);
  const std::set<std::string> full = loadedNames(original);

  // A symbol table link out of range: no PLT names, everything else stays.
  Loaded noLink = patched<uint32_t>(shdr(relIndex) + 40, 0xFFFF);
  EXPECT_FALSE(loadedNames(noLink).count("puts"));
  EXPECT_TRUE(loadedNames(noLink).count("main"));

  // A symbol index far past .dynsym in the first entry: that entry names nothing, the
  // second still names PLT entry 2.
  Loaded badIndex = patched<uint64_t>(rel->sh_offset + 8, (uint64_t(0x7FFFFFFF) << 32) | 7);
  RelocationTable* table = badIndex.helper->fillRelocationTable(pltRelocations(*badIndex.helper));
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->size(), rel->sh_size / 24 - 1);
  EXPECT_EQ(table->begin()->second.ordinal, 1u);

  // Relocation bytes outside the file: the section contributes nothing.
  Loaded outside = patched<uint64_t>(shdr(relIndex) + 24, pie.size() - 8);
  EXPECT_FALSE(loadedNames(outside).count("puts"));
}

}  // namespace
