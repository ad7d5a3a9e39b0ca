// The PDB layer against a PDB described in memory (support/fake_dia), for what the linker
// output of the end-to-end suite does not show: the merging of public symbols with functions
// and their extents, data cut at the segment end, incremental-link thunks, OMAP-rearranged
// images, lines filtered by compiland, and the release of every
// object and string the PDB reader hands out. The image is the real hello64.exe, so segments and
// addresses are the PE reader's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include <zor/manager.h>

#include "kave/unicode.h"
#include "support/fake_dia.h"
#include "zor/pdb/dia_comp_unit_details.h"
#include "zor/pdb/dia_debug_info_loader.h"
#include "zor/pdb/dia_line_resolver.h"
#include "zor/pdb/dia_manager.h"
#include "zor/store/scope.h"

using namespace ZOR_3_12;

namespace {

const uint64_t kBase = 0x140000000ull;

std::wstring fixture(const char* name) {
  return KAVE_3_1::utf8ToWide(std::string(ZOR_FIXTURES_DIR) + "/pe/" + name);
}

std::wstring text(const wchar_t* s) { return s ? s : L"(null)"; }

class PdbFake : public ::testing::Test {
 protected:
  void SetUp() override {
    pdb = std::make_shared<fake_dia::Pdb>();
    fake_dia::install(pdb);
  }
  void TearDown() override {
    bank.reset();
    manager.reset();
    fake_dia::install(nullptr);
    // Everything the reader handed out has been given back.
    EXPECT_EQ(fake_dia::liveObjects(), 0);
    EXPECT_EQ(fake_dia::liveStrings(), 0);
  }

  void load(const wchar_t* image = nullptr) {
    ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
    std::wstring path = image ? image : fixture("hello64.exe");
    ASSERT_EQ(manager->loadSymbolsFromModule(path.c_str(), nullptr, bank), STATUS_OK);
    ASSERT_EQ(bank->symFileFormat(), SYM_FORMAT_PDB);
  }

  SymMgrObjectPtr<ISymbolRange> rangeAt(uint64_t rva, uint32_t kinds = SYMBOL_KIND_ALL) {
    SymMgrObjectPtr<IAddress> address;
    SymMgrObjectPtr<ISymbolRange> range;
    if (bank->addressByRva(rva, address) != STATUS_OK) return range;
    bank->symbolRangeByAddress(address.get(), range, kinds, nullptr);
    return range;
  }

  std::wstring nameAt(uint64_t rva, uint32_t kinds = SYMBOL_KIND_ALL) {
    SymMgrObjectPtr<ISymbolRange> r = rangeAt(rva, kinds);
    return r && r->symbol() ? text(r->symbol()->name()) : L"";
  }

  // Names of the symbols of every range the bank holds, sorted.
  std::vector<std::wstring> allNames() {
    std::vector<std::wstring> names;
    SymMgrObjectPtr<SymbolRangeIter> all;
    EXPECT_EQ(bank->originalSymbolRanges(all, SYMBOL_KIND_ALL, nullptr, nullptr), STATUS_OK);
    for (SymMgrObjectPtr<ISymbolRange> x = all->current(); x; x = all->next() ? all->current() : nullptr)
      if (x->symbol()) names.push_back(text(x->symbol()->name()));
    std::sort(names.begin(), names.end());
    return names;
  }

  // The PDB reader of hello64.exe on its own, without a symbol manager.
  SymMgrObjectPtr<IDebugInfoLoader> debugInfoLoader() {
    SymMgrObjectPtr<IFileFormatLoader> ffl = IFileFormatLoader::create(fixture("hello64.exe").c_str());
    SymMgrObjectPtr<SymbolFileIter> files;
    SymMgrObjectPtr<IDebugInfoLoader> dil;
    EXPECT_EQ(ffl->symbolFilesToResolve(files), STATUS_OK);
    EXPECT_EQ(ffl->debugInfoLoader(dil, 0), STATUS_OK);
    return dil;
  }

  uint32_t addLinker() { return pdb->addCompiland(L"* Linker *"); }
  uint32_t addIlt(uint32_t linker, uint32_t rva, uint32_t target, uint32_t ordinal = 5) {
    fake_dia::Symbol t;
    t.tag = dia::SymTagThunk;
    t.rva = rva;
    t.offset = rva - 0x1000;
    t.length = 5;
    t.thunkOrdinal = ordinal;
    t.targetRva = target;
    return pdb->add(t, linker);
  }

  std::shared_ptr<fake_dia::Pdb> pdb;
  SymMgrObjectPtr<ISymbolManager> manager;
  SymMgrObjectPtr<IModuleSymbolBank> bank;
};

// --- symbols ---------------------------------------------------------------------------

// A public and a function of one name become one scope with the decorated name of the
// public, the function's unit and kind, and the function's extent, also where the public's
// span (up to the next public, padding included) reaches further.
TEST_F(PdbFake, PublicAndFunctionOfOneNameBecomeOneScope) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  pdb->addPublic(L"?pe_gcd@@YAHHH@Z", 0x1000);
  pdb->addFunction(cu, L"pe_gcd", 0x1000, 0x24);
  pdb->at(pdb->addPublic(L"g", 0x1040)).length = 0x40;
  pdb->addFunction(cu, L"g", 0x1040, 0x30);
  load();

  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1010);
  ASSERT_TRUE(r);
  ISymbol* s = r->symbol();
  EXPECT_EQ(text(s->name()), L"?pe_gcd@@YAHHH@Z");
  EXPECT_EQ(s->kind(), SYMBOL_KIND_FUNCTION);
  uint32_t unit = 0;
  EXPECT_EQ(s->compUnitId(unit), STATUS_OK);
  EXPECT_EQ(unit, cu);
  EXPECT_EQ(r->size(), 0x24u);
  SymMgrObjectPtr<ISymbolRange> g = rangeAt(0x1050);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->size(), 0x30u);
  EXPECT_EQ(g->symbol()->kind(), SYMBOL_KIND_FUNCTION);
  EXPECT_EQ(nameAt(0x1078), L"");  // the padding belongs to no one
  EXPECT_EQ(allNames(), (std::vector<std::wstring>{L"?pe_gcd@@YAHHH@Z", L"g"}));
}

// A data symbol's length comes from its type, else its own; one that would run past its
// segment, or wrap, gets none.
TEST_F(PdbFake, DataLengthFromArrayTypeAndCutAtSegmentEnd) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  fake_dia::Symbol arrayType;
  arrayType.tag = dia::SymTagArrayType;
  arrayType.length = 3;
  const uint32_t type = pdb->add(arrayType);
  const struct {
    const wchar_t* name;
    uint32_t section, rva, type;
    uint64_t length, expected;
  } cases[] = {
      {L"table", 3, 0x3000, type, 0, 3},
      {L"too_big", 2, 0x2000, 0, 0x1000, 0},  // .rdata is far smaller
      {L"huge", 2, 0x2010, 0, ~0ull - 0x100, 0},
  };
  for (const auto& c : cases) {
    fake_dia::Symbol d;
    d.tag = dia::SymTagData;
    d.name = c.name;
    d.section = c.section;
    d.rva = c.rva;
    d.type = c.type;
    d.length = c.length;
    pdb->add(d, cu);
  }
  load();
  for (const auto& c : cases) {
    SCOPED_TRACE(text(c.name));
    SymMgrObjectPtr<ISymbolRange> r = rangeAt(c.rva, SYMBOL_KIND_DATA);
    ASSERT_TRUE(r);
    EXPECT_EQ(text(r->symbol()->name()), c.name);
    EXPECT_EQ(r->symbol()->kind(), SYMBOL_KIND_DATA);
    EXPECT_EQ(r->size(), c.expected);
  }
}

TEST_F(PdbFake, FunctionsOfOneNameFromTwoCompilandsMergeAndDifferentNamesStayApart) {
  uint32_t a = pdb->addCompiland(L"a.obj");
  uint32_t b = pdb->addCompiland(L"b.obj");
  pdb->addFunction(a, L"inl", 0x1000, 0x10);
  pdb->addFunction(b, L"inl", 0x1000, 0x10);   // the same COMDAT seen from two objects
  pdb->addFunction(b, L"alias", 0x1000, 0x10);  // another name at the same code
  load();
  EXPECT_EQ(allNames(), (std::vector<std::wstring>{L"alias", L"inl"}));
  // The first one loaded keeps its unit.
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1004);
  ASSERT_TRUE(r);
  uint32_t unit = 0;
  if (text(r->symbol()->name()) == L"inl") {
    EXPECT_EQ(r->symbol()->compUnitId(unit), STATUS_OK);
    EXPECT_EQ(unit, a);
  }
}

TEST_F(PdbFake, OmapStretchesMapPieceByPiece) {
  pdb->hasOmap = true;
  pdb->omapFrom = {{0x5010, 0x1000}, {0x5020, 0}, {0x5030, 0x1040}};
  pdb->omapTo = {{0x1000, 0x5010}};
  SymMgrObjectPtr<IDebugInfoLoader> dil = debugInfoLoader();
  ASSERT_TRUE(dil);
  auto* loader = static_cast<DIADebugInfoLoader*>(dil.get());
  ASSERT_TRUE(loader->openSession());
  SymMgrObjectPtr<OMAPLoader> omap(new OMAPLoader(loader->session()));
  ASSERT_TRUE(omap->present());
  EXPECT_EQ(omap->from().size(), 3u);
  EXPECT_EQ(omap->to().size(), 1u);
  using Pieces = std::vector<std::pair<uint32_t, uint64_t>>;
  // Before the first record nothing maps; a dropped stretch is skipped.
  EXPECT_EQ(omap->mapRange(0x5000, 0x5040), (Pieces{{0x1000, 0x10}, {0x1040, 0x10}}));
  EXPECT_EQ(omap->mapRange(0x5018, 0x5034), (Pieces{{0x1008, 8}, {0x1040, 4}}));
  EXPECT_EQ(omap->mapRange(0x5000, 0x5010), Pieces{});
  // The last record reaches as far as the stretch asks.
  EXPECT_EQ(omap->mapRange(0x5038, 0xFFFFFFFFull), (Pieces{{0x1048, 0xFFFFFFFFull - 0x5038}}));
  EXPECT_EQ(omap->mapRange(0x5030, 0x5030), Pieces{});
}

// --- thunks ----------------------------------------------------------------------------

TEST_F(PdbFake, IncrementalLinkThunksGoToTheFirstFunctionAtTheirTarget) {
  uint32_t linker = addLinker();
  addIlt(linker, 0x1070, 0x1000);
  addIlt(linker, 0x1075, 0x1000);
  addIlt(linker, 0x107a, 0x1040);
  addIlt(linker, 0x107f, 0x1050);  // nothing there
  uint32_t a = pdb->addCompiland(L"a.obj");
  uint32_t b = pdb->addCompiland(L"b.obj");
  pdb->addFunction(a, L"first", 0x1000, 0x10);
  pdb->addFunction(b, L"second", 0x1000, 0x10);
  pdb->addFunction(b, L"other", 0x1040, 0x8);
  load();

  for (const auto& t : {std::make_tuple(0x1071, L"first", L"@ILT+0"), std::make_tuple(0x1076, L"first", L"@ILT+5"),
                        std::make_tuple(0x107b, L"other", L"@ILT+a")}) {
    SCOPED_TRACE(std::get<2>(t));
    SymMgrObjectPtr<ISymbolRange> r = rangeAt(std::get<0>(t));
    ASSERT_TRUE(r && r->thunk());
    EXPECT_EQ(text(r->symbol()->name()), std::get<1>(t));
    EXPECT_EQ(text(r->thunk()->name()), std::get<2>(t));
    EXPECT_EQ(r->thunk()->thunkKind(), THUNK_KIND_INCREMENTAL_LINK);
  }
  EXPECT_EQ(nameAt(0x1080), L"");
}

// --- OMAP ------------------------------------------------------------------------------

TEST_F(PdbFake, PublicsOfARearrangedImageFollowTheOmap) {
  pdb->hasOmap = true;
  // PDB addresses 0x5000.. were laid out anew: [0x5000, 0x5008) -> 0x1000,
  // [0x5008, 0x5010) dropped, [0x5010, 0x5020) -> 0x1040, the rest dropped.
  pdb->omapFrom = {{0x5000, 0x1000}, {0x5008, 0}, {0x5010, 0x1040}, {0x5020, 0}};
  pdb->omapTo = {{0x1000, 0x5000}, {0x1040, 0x5010}};
  pdb->addPublic(L"moved", 0x5000);
  pdb->addPublic(L"second", 0x5010);
  pdb->at(pdb->addPublic(L"not_code", 0x5018)).code = false;
  load();
  SymMgrObjectPtr<ISymbolRange> a = rangeAt(0x1004), b = rangeAt(0x1044);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(text(a->symbol()->name()), L"moved");
  EXPECT_EQ(a->size(), 8u);
  EXPECT_EQ(a->symbol()->address()->rva(), 0x1000u);
  EXPECT_EQ(text(b->symbol()->name()), L"second");
  // "second" reaches up to the next public, at 0x5018.
  EXPECT_EQ(b->size(), 8u);
  EXPECT_EQ(nameAt(0x100a), L"");
}

TEST_F(PdbFake, OmapWithoutUsablePublicsFallsBackToThePlainLoad) {
  pdb->hasOmap = true;
  pdb->omapFrom = {{0x5000, 0x1000}};
  pdb->at(pdb->addPublic(L"managed", 0x5000)).managed = true;
  uint32_t p = pdb->addPublic(L"by_offset", 0);
  pdb->at(p).offset = 0x30;  // RVA 0 keeps it out of the OMAP map; the plain load places it
  load();
  EXPECT_EQ(nameAt(0x1030), L"by_offset");
}

// --- line resolver and compiland details ----------------------------------------------

using PdbFakeLines = PdbFake;

TEST_F(PdbFakeLines, LocationsByAddressFilterByCompiland) {
  const uint32_t cu1 = pdb->addCompiland(L"one.obj"), cu2 = pdb->addCompiland(L"two.obj");
  pdb->addFunction(cu1, L"f", 0x1000, 0x20);
  auto addFile = [&](uint32_t id, const wchar_t* name) -> fake_dia::SourceFile& {
    fake_dia::SourceFile& f = pdb->files[id];
    f.id = id;
    f.name = name;
    return f;
  };
  fake_dia::SourceFile& one = addFile(7, L"C:\\src\\one.c");
  one.checksumType = 1;
  one.checksum = {0x0A, 0xFF, 0x10, 0x00};
  addFile(300, L"C:\\src\\two.h");  // beyond the first chunk of the file cache
  addFile(0x1000000, L"C:\\src\\far.c");  // an id the reader is free to choose
  pdb->lines = {{0x1000, 4, 10, 1, 7, cu1}, {0x1004, 0, 11, 2, 7, cu1}, {0x1008, 8, 12, 3, 7, cu1},
                {0x1004, 4, 50, 0, 300, cu2}, {0x1010, 4, 60, 5, 7, cu2}};
  // Released before the fixture counts what is left.
  SymMgrObjectPtr<IDebugInfoLoader> dil = debugInfoLoader();
  ASSERT_TRUE(dil);
  SymMgrObjectPtr<ISrcLineResolver> resolver = dil->srcLineResolver(nullptr, nullptr);
  ISrcLineResolver* r = resolver.get();
  ASSERT_TRUE(r);
  SymMgrObjectPtr<SourceLocationIter> it;
  ASSERT_EQ(r->sourceLocationsByAddress(kBase + 0x1004, COMP_UNIT_ALL, it), STATUS_OK);
  std::vector<uint32_t> seen;
  for (SymMgrObjectPtr<ISourceLocation> l = it->current(); l; l = it->next() ? it->current() : nullptr)
    seen.push_back(l->line());
  EXPECT_EQ(seen, (std::vector<uint32_t>{11, 50}));  // both compilands; the 0-length line at its start
  ASSERT_EQ(r->sourceLocationsByAddress(kBase + 0x1005, cu2, it), STATUS_OK);
  ASSERT_TRUE(it->current());
  EXPECT_EQ(it->current()->line(), 50u);
  EXPECT_FALSE(it->next());
  it->reset();
  EXPECT_EQ(it->current()->line(), 50u);

  SymMgrObjectPtr<ISourceLocation> at = r->sourceLocationByAddress(kBase + 0x1009, COMP_UNIT_ALL);
  ASSERT_TRUE(at);
  EXPECT_EQ(at->line(), 12u);
  EXPECT_EQ(at->column(), 3u);
  EXPECT_EQ(at->compUnitKey(), cu1);
  ASSERT_TRUE(at->sourceFile());
  EXPECT_EQ(text(at->sourceFile()->name()), L"C:\\src\\one.c");
  EXPECT_FALSE(r->sourceLocationByAddress(kBase + 0x1009, cu2));
  EXPECT_FALSE(r->sourceLocationByAddress(0x1009, COMP_UNIT_ALL));  // below the image
  EXPECT_FALSE(r->inlineCallSite(kBase + 0x1009, COMP_UNIT_ALL));
}

// --- the manager ---------------------------------------------------------------------

TEST(PdbManager, MissingPluginMeansNoPdbReader) {
  std::string empty = std::string(ZOR_BINARY_DIR) + "/pdb_loader_test_empty";
  std::string cmd = "mkdir -p '" + empty + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  internal::setDiaPluginDirectory(empty);
  SymMgrObjectPtr<IDiaManager> m;
  EXPECT_EQ(IDiaManager::create(m), STATUS_NO_PDB_READER);
  EXPECT_FALSE(m);
  SymMgrObjectPtr<IFileFormatLoader> ffl = IFileFormatLoader::create(fixture("hello64.exe").c_str());
  SymMgrObjectPtr<SymbolFileIter> files;
  EXPECT_EQ(ffl->symbolFilesToResolve(files), STATUS_NO_PDB_READER);
  SymMgrObjectPtr<ISymbolManager> manager;
  ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  EXPECT_EQ(manager->loadSymbolsFromModule(fixture("hello64.exe").c_str(), nullptr, bank), STATUS_NO_PDB_READER);
  EXPECT_FALSE(bank);
  internal::setDiaPluginDirectory("");
}

}  // namespace
