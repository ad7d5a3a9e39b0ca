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

}  // namespace
}  // namespace zor_test
