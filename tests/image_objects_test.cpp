// Addresses, segment and section reads, and byte buffers.
#include <gtest/gtest.h>

#include "support/fake_loader.h"
#include "support/scratch.h"
#include "zor/image/address.h"
#include "zor/image/byte_buffer.h"
#include "zor/image/section.h"

// The huge-buffer case needs a failing allocation, not the sanitizer's abort on it.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

using namespace ZOR_3_12;
using zor_fake::FakeLoader;
using scratch::TempFile;

namespace {

constexpr uint64_t kBase = 0x400000;

// .text: rva 0x1000, file 0x400, 0x200 bytes; .data: rva 0x3000, file 0x800, 0x100 in the
// file but 0x1000 in memory.
struct TwoSegmentLoader {
  TwoSegmentLoader(const std::wstring& path = L"") : loader(new FakeLoader(EXEC_FORMAT_ELF, kBase, path)) {
    text = loader->addSegment(L".text", kBase + 0x1000, 0x200, SEGMENT_KIND_CODE, 0x400);
    data = loader->addSegment(L".data", kBase + 0x3000, 0x1000, SEGMENT_KIND_DATA, 0x800, 0x100);
  }
  SymMgrObjectPtr<FakeLoader> loader;
  Segment* text;
  Segment* data;
};

TEST(AddressTest, OutsideEverySegmentAnswersAllOnes) {
  TwoSegmentLoader img;
  SymMgrObjectPtr<IAddress> a(new Address(img.loader.get(), kBase));  // below .text
  EXPECT_EQ(a->segment(), nullptr);
  EXPECT_EQ(a->segmentOffset(), ~uint64_t(0));
  EXPECT_EQ(a->fileOffset(), ~uint64_t(0));
  EXPECT_EQ(a->rva(), 0u);
  SymMgrObjectPtr<IAddress> unused;
  EXPECT_EQ(img.loader->address(unused, kBase), STATUS_UNSPECIFIED_ERROR);
  EXPECT_FALSE(unused);
}

TEST(SegmentAndSectionData, ReadRelativeToTheFileOffset) {
  // 0x400 bytes of 'x', then the .text bytes "CODE..."
  std::string bytes(0x400, 'x');
  bytes += "CODEBYTES";
  TempFile file(bytes);
  TwoSegmentLoader img(file.wpath());

  SymMgrObjectPtr<IBuffer> buf;
  EXPECT_FALSE(img.text->readData(4, 5, buf));
  ASSERT_EQ(buf->size(), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->data()), 5), "BYTES");
  // The whole segment runs past the end of this short file: only what exists comes back.
  EXPECT_FALSE(img.text->readAllData(buf));
  EXPECT_EQ(buf->size(), 9u);
  // .data lies entirely past the end of the file: an empty buffer answers true.
  EXPECT_TRUE(img.data->readAllData(buf));
  ASSERT_TRUE(buf);
  EXPECT_EQ(buf->size(), 0u);
  // A section reads the same way, and is not held to its own size either.
  SymMgrObjectPtr<ISection> sec(new Section(img.loader.get(), L".strtab", 0x2000, 0x402, 4));
  EXPECT_FALSE(sec->readAllData(buf));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->data()), size_t(buf->size())), "DEBY");
  EXPECT_FALSE(sec->readData(4, 4, buf));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->data()), 3), "TES");
  EXPECT_TRUE(sec->readData(100, 4, buf));
}

TEST(ByteBufferTest, SizesAndFailedAllocations) {
  SymMgrObjectPtr<IBuffer> small(new ByteBuffer(16));
  ASSERT_EQ(small->size(), 16u);
  ASSERT_NE(small->data(), nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(small->data()[i], 0) << i;

  SymMgrObjectPtr<IBuffer> empty(new ByteBuffer(0));
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_EQ(empty->data(), nullptr);

  // Far beyond any address space: the allocation fails and the buffer says so by its size.
  SymMgrObjectPtr<IBuffer> huge(new ByteBuffer(uint64_t(1) << 60));
  EXPECT_EQ(huge->size(), 0u);
  EXPECT_EQ(huge->data(), nullptr);

  ByteBuffer* b = new ByteBuffer(8);
  SymMgrObjectPtr<IBuffer> held(b);
  b->truncate(3);
  EXPECT_EQ(held->size(), 3u);
  b->truncate(10);  // never grows
  EXPECT_EQ(held->size(), 3u);
}

}  // namespace
