// The ELF structure reader: code and data ranges of real compiler output checked against
// readelf, relocations applied within bounds, and the one big-endian header it accepts.
#include <gtest/gtest.h>

#include <string>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/elf_oracle.h"
#include "zor/elf/elf_helper.h"
#include "zor/elf/elf_symbols.h"

using namespace ZOR_3_12;

namespace {

std::string fixture(const char* name) { return std::string(ZOR_FIXTURES_DIR) + "/elf/" + name; }

SymMgrObjectPtr<ElfHelper> open(const std::string& path) {
  return new ElfHelper(KAVE_3_1::utf8ToWide(path).c_str());
}

const char* const kImages[] = {"hello_pie", "hello_nopie", "hello_32", "hello_32_nopie", "libplt.so",
                               "libplt_clang.so", "hello_clang_pie"};

class ElfHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!elf_oracle::haveTool("readelf")) GTEST_SKIP() << "readelf is not installed";
  }
};

TEST_F(ElfHelperTest, CodeRangesAreTheExecutableSectionsUpToTheNextSection) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const std::string path = fixture(name);
    std::vector<elf_oracle::Section> secs = elf_oracle::sections(path);
    SymMgrObjectPtr<ElfHelper> h = open(path);
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
