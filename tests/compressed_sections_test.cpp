// Compressed debug sections at the byte level: the zlib, zstd and .zdebug copies that
// objcopy made of real images must decode to exactly the original's section bytes (and,
// in relocatable objects, relocate to the same bytes); damaged headers and streams must
// leave the section absent with an assertion record.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kave/trace.h"
#include "support/elf_oracle.h"
#include "zor/elf/compressed_section.h"
#include "zor/elf/elf_helper.h"

using namespace ZOR_3_12;
using internal::SectionCompression;

namespace {

using Bytes = std::vector<unsigned char>;

std::string modern(const std::string& name) { return std::string(ZOR_FIXTURES_DIR) + "/modern/" + name; }

struct Image {
  std::shared_ptr<Bytes> bytes;
  SymMgrObjectPtr<ElfHelper> helper;
};

Image fromBytes(const Bytes& bytes) {
  Image i;
  i.bytes = std::make_shared<Bytes>(bytes);
  i.helper = new ElfHelper(i.bytes, i.bytes->data(), i.bytes->size());
  return i;
}

Image load(const std::string& name) { return fromBytes(elf_oracle::readFile(modern(name))); }

Bytes toBytes(const elf::Span& s) { return s.empty() ? Bytes() : Bytes(s.data, s.data + s.size); }

// Every .debug_* section of `original`, looked up by the same name in `packed`, must give
// the same bytes there. objcopy leaves a section uncompressed when packing would not
// shrink it, so only most of them are compressed.
void expectSameDebugSections(ElfHelper& original, ElfHelper& packed) {
  unsigned compared = 0, compressed = 0;
  for (uint32_t i = 0; i < original.sectionCount(); ++i) {
    const char* name = original.sectionName(i);
    if (!name || std::strncmp(name, ".debug_", 7) != 0) continue;
    SCOPED_TRACE(name);
    const int64_t j = packed.sectionIndexByName(name);
    ASSERT_GE(j, 0);
    const Bytes expected = toBytes(original.sectionBytes(i));
    ASSERT_FALSE(expected.empty());
    if (packed.sectionCompression(static_cast<uint32_t>(j)) != SectionCompression::kNone) {
      EXPECT_NE(toBytes(packed.rawSectionBytes(static_cast<uint32_t>(j))), expected);
      ++compressed;
    }
    EXPECT_EQ(toBytes(packed.sectionBytes(static_cast<uint32_t>(j))), expected);
    ++compared;
  }
  EXPECT_GE(compared, 4u);
  EXPECT_GE(compressed, 3u);
  // The named sections the DWARF reader takes by enumerator serve the decoded bytes too.
  for (NamedSection n : {kSecDebugInfo, kSecDebugAbbrev, kSecDebugStr, kSecDebugLine}) {
    SCOPED_TRACE(namedSectionName(n));
    ASSERT_NE(original.section(n), nullptr);
    ASSERT_NE(packed.section(n), nullptr);
    EXPECT_EQ(toBytes(packed.section(n)->span()), toBytes(original.section(n)->span()));
    EXPECT_EQ(toBytes(packed.relocatedSection(n)), toBytes(original.relocatedSection(n)));
  }
}

struct Pair {
  const char* original;
  const char* packed;
  SectionCompression kind;
};

class CompressedCopies : public ::testing::TestWithParam<Pair> {};

TEST_P(CompressedCopies, DecodeToTheOriginalSectionBytes) {
  KAVE_3_1::RecordCapture capture;
  Image original = load(GetParam().original);
  Image packed = load(GetParam().packed);
  ASSERT_TRUE(original.helper->valid());
  ASSERT_TRUE(packed.helper->valid());
  const int64_t info = packed.helper->sectionIndexByName(".debug_info");
  ASSERT_GE(info, 0);
  EXPECT_EQ(packed.helper->sectionCompression(static_cast<uint32_t>(info)), GetParam().kind);
  expectSameDebugSections(*original.helper, *packed.helper);
  EXPECT_EQ(capture.assertions(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modern, CompressedCopies,
                         ::testing::Values(Pair{"c_gcc_d5_O2", "c_gcc_d5_O2_zlib", SectionCompression::kGabi},
                                           Pair{"c_clang_d5_O2", "c_clang_d5_O2_zstd", SectionCompression::kGabi},
                                           Pair{"../dwarf/cpp_gcc_d5_O2", "cpp_gcc_d5_O2_zstd", SectionCompression::kGabi},
                                           Pair{"c_gcc_d4_O2", "c_gcc_d4_O2_zdebug", SectionCompression::kGnu},
                                           Pair{"cpp_gcc_d5_O2_32", "cpp_gcc_d5_O2_32_zlib", SectionCompression::kGabi},
                                           Pair{"c_gcc_d5_O2.o", "c_gcc_d5_O2_zlib.o", SectionCompression::kGabi},
                                           Pair{"c_gcc_d5_O2.o", "c_gcc_d5_O2_zdebug.o", SectionCompression::kGnu}));

TEST(CompressedSections, RelocatableObjectsRelocateTheDecodedBytes) {
  Image plain = load("c_gcc_d5_O2.o");
  for (const char* name : {"c_gcc_d5_O2_zlib.o", "c_gcc_d5_O2_zdebug.o"}) {
    SCOPED_TRACE(name);
    Image packed = load(name);
    for (NamedSection n : {kSecDebugInfo, kSecDebugLine}) {
      ASSERT_NE(packed.helper->section(n), nullptr);
      const RelocationTable* table = packed.helper->relocationTable(packed.helper->section(n)->index());
      ASSERT_NE(table, nullptr);
      ASSERT_FALSE(table->empty());
      const Bytes relocated = toBytes(packed.helper->relocatedSection(n));
      // The relocations changed something, and changed it as in the uncompressed object.
      EXPECT_NE(relocated, toBytes(packed.helper->section(n)->span()));
      EXPECT_EQ(relocated, toBytes(plain.helper->relocatedSection(n)));
    }
    // Sections the DWARF reader looks up by name are relocated by index the same way.
    for (const char* section : {".debug_rnglists", ".debug_loclists"}) {
      SCOPED_TRACE(section);
      const int64_t p = plain.helper->sectionIndexByName(section);
      const int64_t c = packed.helper->sectionIndexByName(section);
      ASSERT_GE(p, 0);
      ASSERT_GE(c, 0);
      const Bytes relocated = toBytes(packed.helper->relocatedSectionBytes(static_cast<uint32_t>(c)));
      EXPECT_NE(relocated, toBytes(packed.helper->sectionBytes(static_cast<uint32_t>(c))));
      EXPECT_EQ(relocated, toBytes(plain.helper->relocatedSectionBytes(static_cast<uint32_t>(p))));
    }
  }
  // Without relocations the section's own bytes come back.
  Image exe = load("c_gcc_d5_O2_zlib");
  const uint32_t lineStr = static_cast<uint32_t>(exe.helper->sectionIndexByName(".debug_line_str"));
  EXPECT_EQ(exe.helper->relocatedSectionBytes(lineStr).data, exe.helper->sectionBytes(lineStr).data);
}

TEST(CompressedSections, ThreadsAskingAtOnceShareOneDecodedCopy) {
  for (int round = 0; round < 8; ++round) {
    Image packed = load("c_clang_d5_O2_zstd");
    const uint32_t info = static_cast<uint32_t>(packed.helper->sectionIndexByName(".debug_info"));
    std::atomic<bool> go{false};
    std::vector<elf::Span> seen(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        seen[t] = t % 2 ? packed.helper->sectionBytes(info) : packed.helper->section(kSecDebugInfo)->span();
      });
    }
    go = true;
    for (std::thread& t : threads) t.join();
    ASSERT_FALSE(seen[0].empty());
    for (const elf::Span& s : seen) {
      EXPECT_EQ(s.data, seen[0].data);
      EXPECT_EQ(s.size, seen[0].size);
    }
  }
}

// Hand-damaged header fields and streams of the zlib, zstd and .zdebug images: .debug_info
// must read as absent, with one assertion record however often it is asked for, while the
// other debug sections still decode.
TEST(DamagedCompression, BadClaimsAndStreamsLeaveTheSectionAbsent) {
  struct Where {
    uint64_t offset, size, shdr, claim;  // of .debug_info: raw bytes, header, decoded size
  };
  auto put64 = [](Bytes& b, uint64_t at, uint64_t v) { std::memcpy(&b[at], &v, 8); };
  struct Case {
    const char* image;
    const char* what;
    std::function<void(Bytes&, const Where&)> damage;
  };
  const Case cases[] = {
      {"c_gcc_d5_O2_zlib", "claim beyond the absolute cap",
       [&](Bytes& b, const Where& w) { put64(b, w.offset + 8, uint64_t(1) << 40); }},
      {"c_gcc_d5_O2_zlib", "claim beyond the expansion cap",
       [&](Bytes& b, const Where& w) {
         put64(b, w.offset + 8, (w.size - 24) * internal::kMaxExpansion + internal::kMaxExpansion);
       }},
      {"c_gcc_d5_O2_zlib", "claim larger than the stream",
       [&](Bytes& b, const Where& w) { put64(b, w.offset + 8, w.claim + 1); }},
      {"c_gcc_d5_O2_zlib", "claim smaller than the stream",
       [&](Bytes& b, const Where& w) { put64(b, w.offset + 8, w.claim - 1); }},
      {"c_gcc_d5_O2_zlib", "unknown compression type",
       [&](Bytes& b, const Where& w) { b[w.offset] = 9, b[w.offset + 1] = b[w.offset + 2] = b[w.offset + 3] = 0; }},
      {"c_gcc_d5_O2_zlib", "corrupt stream",
       [&](Bytes& b, const Where& w) {
         for (uint64_t k = w.offset + 24 + (w.size - 24) / 3; k < w.offset + 24 + (w.size - 24) / 2; ++k) b[k] ^= 0x5A;
       }},
      {"c_gcc_d5_O2_zlib", "truncated stream", [&](Bytes& b, const Where& w) { put64(b, w.shdr + 32, w.size / 2); }},
      {"c_gcc_d5_O2_zlib", "header cut short", [&](Bytes& b, const Where& w) { put64(b, w.shdr + 32, 20); }},
      {"c_clang_d5_O2_zstd", "damaged frame",
       [&](Bytes& b, const Where& w) {
         for (uint64_t k = w.offset + 24 + 4; k < w.offset + w.size; k += 7) b[k] ^= 0xA5;
       }},
      // The zstd frame records its size, and it must be the claimed one.
      {"c_clang_d5_O2_zstd", "claim below the frame's",
       [&](Bytes& b, const Where& w) { put64(b, w.offset + 8, w.claim - 1); }},
      {"c_clang_d5_O2_zstd", "claim above the frame's",
       [&](Bytes& b, const Where& w) { put64(b, w.offset + 8, w.claim + 1); }},
      {"c_gcc_d4_O2_zdebug", "no ZLIB magic", [&](Bytes& b, const Where& w) { b[w.offset] = 'X'; }},
      // Big-endian: the top byte of the size.
      {"c_gcc_d4_O2_zdebug", "huge size", [&](Bytes& b, const Where& w) { b[w.offset + 4] = 0x7F; }},
  };
  KAVE_3_1::RecordCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + ": " + c.what);
    const Bytes bytes = elf_oracle::readFile(modern(c.image));
    Image good = fromBytes(bytes);
    ASSERT_TRUE(good.helper->valid());
    const uint32_t info = static_cast<uint32_t>(good.helper->sectionIndexByName(".debug_info"));
    const elf::SectionHeader* h = good.helper->sectionHeader(info);
    ASSERT_NE(h, nullptr);
    const Where where{h->sh_offset, h->sh_size,
                      good.helper->header().e_shoff + uint64_t(info) * good.helper->header().e_shentsize,
                      good.helper->sectionBytes(info).size};
    ASSERT_GT(where.claim, 0u);
    Bytes damaged = bytes;
    c.damage(damaged, where);
    const size_t before = capture.assertions();
    Image i = fromBytes(damaged);
    ASSERT_TRUE(i.helper->valid());
    EXPECT_TRUE(i.helper->sectionBytes(info).empty());
    ASSERT_NE(i.helper->section(kSecDebugInfo), nullptr);
    EXPECT_EQ(i.helper->section(kSecDebugInfo)->data(), nullptr);
    EXPECT_TRUE(i.helper->relocatedSection(kSecDebugInfo).empty());
    EXPECT_EQ(capture.assertions(), before + 1);
    EXPECT_EQ(toBytes(i.helper->section(kSecDebugAbbrev)->span()),
              toBytes(good.helper->section(kSecDebugAbbrev)->span()));
  }
}

}  // namespace
