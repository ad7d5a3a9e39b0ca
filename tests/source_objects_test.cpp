// Source files, locations and lines: what each stores, how a file asks its resolver for
// lines, how a location finds its file, and how a line makes its start address.
#include <gtest/gtest.h>

#include <cwchar>

#include "source_test_fakes.h"
#include "zor/source/source_file.h"
#include "zor/source/source_line.h"
#include "zor/source/source_location.h"

namespace zor_test {
namespace {

TEST(SourceFileTest, DwarfFileDecodesItsUtf8NameAndHasNoChecksum) {
  RecordingResolver resolver;
  SourceFile file(&resolver, 4, "/src/caf\xc3\xa9/m\xe2\x82\xac.c", 1234, 567);
  EXPECT_STREQ(file.name(), L"/src/caf\u00e9/m\u20ac.c");
  EXPECT_EQ(file.checksum(), nullptr);
  EXPECT_EQ(file.checksumType(), 0u);
  EXPECT_EQ(file.modificationTime(), 1234u);
  EXPECT_EQ(file.length(), 567u);

  SourceFile broken(&resolver, 5, "bad\xff.c", 0, 0);  // invalid UTF-8 is replaced, not dropped
  EXPECT_STREQ(broken.name(), L"bad\uFFFD.c");
  SourceFile unnamed(&resolver, 6, static_cast<const char*>(nullptr), 0, 0);
  EXPECT_STREQ(unnamed.name(), L"");
}

TEST(SourceFileTest, PdbFileWidensItsChecksumAndHasNoTimeOrLength) {
  RecordingResolver resolver;
  SourceFile file(&resolver, 1, L"c:\\src\\a.cpp", "0A1b2C", 3);
  EXPECT_STREQ(file.name(), L"c:\\src\\a.cpp");
  ASSERT_NE(file.checksum(), nullptr);
  EXPECT_STREQ(file.checksum(), L"0A1b2C");
  EXPECT_EQ(file.checksumType(), 3u);
  EXPECT_EQ(file.modificationTime(), 0u);
  EXPECT_EQ(file.length(), 0u);

  SourceFile empty(&resolver, 2, L"b.cpp", "", 0);
  EXPECT_EQ(empty.checksum(), nullptr);
  SourceFile none(&resolver, 3, L"c.cpp", nullptr, 0);
  EXPECT_EQ(none.checksum(), nullptr);
}

TEST(SourceFileTest, LinesPassTheFileIndexKeyAndBoundsToTheResolver) {
  RecordingResolver resolver;
  SourceFile file(&resolver, 9, "a.c", 0, 0);
  SymMgrObjectPtr<SourceLineIter> out;
  EXPECT_EQ(file.lines(out, 0x77, nullptr, nullptr), STATUS_FALSE);  // the resolver's status
  EXPECT_EQ(resolver.lastKey, 0x77u);
  EXPECT_EQ(resolver.lastFile, 9u);
  EXPECT_EQ(resolver.lastFrom, 0u);
  EXPECT_EQ(resolver.lastTo, UINT64_MAX);

  SymMgrObjectPtr<IAddress> from(new PlainAddress(0x1000));
  SymMgrObjectPtr<IAddress> to(new PlainAddress(0x2000));
  file.lines(out, COMP_UNIT_ALL, from.get(), to.get());
  EXPECT_EQ(resolver.lastKey, COMP_UNIT_ALL);
  EXPECT_EQ(resolver.lastFrom, 0x1000u);
  EXPECT_EQ(resolver.lastTo, 0x2000u);
  file.lines(out, 1, nullptr, to.get());
  EXPECT_EQ(resolver.lastFrom, 0u);
  EXPECT_EQ(resolver.lastTo, 0x2000u);
}

TEST(SourceLocationTest, AsksForItsFileUntilTheResolverKnowsIt) {
  RecordingResolver resolver;
  SourceFile file(&resolver, 3, "x.c", 0, 0);
  SymMgrObjectPtr<ISourceLocation> loc(new SourceLocation(&resolver, 0x44, 3, 12, 7));
  EXPECT_EQ(loc->compUnitKey(), 0x44u);
  EXPECT_EQ(loc->line(), 12u);
  EXPECT_EQ(loc->column(), 7u);

  EXPECT_EQ(loc->sourceFile(), nullptr);
  EXPECT_EQ(loc->sourceFile(), nullptr);
  EXPECT_EQ(resolver.sourceFileCalls, 2);  // an unknown file is asked for again
  resolver.files[3] = &file;
  EXPECT_EQ(loc->sourceFile(), &file);
  EXPECT_EQ(loc->sourceFile(), &file);
  EXPECT_EQ(resolver.sourceFileCalls, 3);  // a found file is kept
}

TEST(SourceLineTest, SizeIsTheSpanCutTo32Bits) {
  AddressOnlyLoader loader;
  RecordingResolver resolver;
  SymMgrObjectPtr<ISourceLine> empty(new SourceLine(&loader, &resolver, 1, 2, 3, 4, 0x1000, 0x1000));
  EXPECT_EQ(empty->size(), 0u);
  SymMgrObjectPtr<ISourceLine> wide(new SourceLine(&loader, &resolver, 1, 2, 3, 4, 0x1000, 0x1000 + 0x100000010ull));
  EXPECT_EQ(wide->size(), 0x10u);
  ASSERT_NE(wide->location(), nullptr);
  EXPECT_EQ(wide->location()->compUnitKey(), 1u);
  EXPECT_EQ(wide->location()->line(), 3u);
  EXPECT_EQ(wide->location()->column(), 4u);
  EXPECT_EQ(static_cast<SourceLocation*>(wide->location())->fileIndex(), 2u);
}

TEST(SourceLineTest, StartAddressIsANewObjectFromTheLoaderEachTime) {
  AddressOnlyLoader loader;
  RecordingResolver resolver;
  SymMgrObjectPtr<ISourceLine> line(new SourceLine(&loader, &resolver, 1, 2, 3, 4, 0x4010, 0x4020));
  SymMgrObjectPtr<IAddress> a = line->startAddress();
  SymMgrObjectPtr<IAddress> b = line->startAddress();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->va(), 0x4010u);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(loader.addressCalls, 2);
}

TEST(SourceLineTest, SharedLocationLivesAsLongAsTheLine) {
  AddressOnlyLoader loader;
  RecordingResolver resolver;
  SymMgrObjectPtr<ISourceLine> line;
  ISourceLocation* raw = nullptr;
  {
    SymMgrObjectPtr<ISourceLocation> callSite(new SourceLocation(&resolver, 9, 1, 42, 0));
    raw = callSite.get();
    line = new SourceLine(&loader, callSite, 0x120, 0x140);
    unsigned count = 0;
    static_cast<SourceLocation*>(raw)->refCount(count);
    EXPECT_EQ(count, 2u);
  }
  EXPECT_EQ(line->location(), raw);
  EXPECT_EQ(line->location()->line(), 42u);  // still alive: the line holds it
  EXPECT_EQ(line->size(), 0x20u);
}

}  // namespace
}  // namespace zor_test
