// The PDB layer against a PDB described in memory (support/fake_dia): the loader's choice of
// symbols, their names, extents and thunks, the merging of public symbols with functions,
// OMAP-mapped publics, the PDB candidate's search, and the release of every object and
// string the PDB reader hands out. The image is the real hello64.exe, so segments and
// addresses are the PE reader's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <zor/manager.h>

#include "kave/trace.h"
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

TEST_F(PdbFake, PublicAndFunctionOfOneNameBecomeOneScope) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  pdb->addPublic(L"?pe_gcd@@YAHHH@Z", 0x1000);
  pdb->addFunction(cu, L"pe_gcd", 0x1000, 0x24);
  load();

  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1010);
  ASSERT_TRUE(r);
  ISymbol* s = r->symbol();
  // The decorated name of the public, the function's unit and kind, the function's extent.
  EXPECT_EQ(text(s->name()), L"?pe_gcd@@YAHHH@Z");
  EXPECT_EQ(s->kind(), SYMBOL_KIND_FUNCTION);
  uint32_t unit = 0;
  EXPECT_EQ(s->compUnitId(unit), STATUS_OK);
  EXPECT_EQ(unit, cu);
  EXPECT_EQ(r->size(), 0x24u);

  SymMgrObjectPtr<SymbolRangeIter> all;
  ASSERT_EQ(bank->originalSymbolRanges(all, SYMBOL_KIND_ALL, nullptr, nullptr), STATUS_OK);
  int count = 0;
  for (SymMgrObjectPtr<ISymbolRange> x = all->current(); x; x = all->next() ? all->current() : nullptr)
    if (x->symbol()) ++count;
  EXPECT_EQ(count, 1);
}

TEST_F(PdbFake, PublicsAloneKeepTheirKindByTheFunctionFlag) {
  pdb->addPublic(L"code_label", 0x1040, false);
  pdb->addPublic(L"fn", 0x1050, true);
  uint32_t data = pdb->addPublic(L"not_code", 0x1060, false);
  pdb->at(data).code = false;
  load();
  SymMgrObjectPtr<ISymbolRange> a = rangeAt(0x1040), b = rangeAt(0x1050);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->symbol()->kind(), SYMBOL_KIND_PUBLIC);
  EXPECT_EQ(b->symbol()->kind(), SYMBOL_KIND_FUNCTION);
  uint32_t unit = 0;
  EXPECT_NE(b->symbol()->compUnitId(unit), STATUS_OK);  // publics belong to no compiland
  EXPECT_NE(nameAt(0x1060), L"not_code");
}

TEST_F(PdbFake, NamelessSymbolIsNamedAfterItsRva) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  uint32_t f = pdb->addFunction(cu, L"", 0x1030, 0x10);
  pdb->at(f).hasName = false;
  load();
  EXPECT_EQ(nameAt(0x1034), L"Unnamed_1030");
}

TEST_F(PdbFake, AddressFromSectionAndOffsetWhenRvaIsMissing) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  uint32_t f = pdb->addFunction(cu, L"by_offset", 0, 0x8);
  pdb->at(f).rvaOk = false;
  pdb->at(f).offset = 0x20;
  uint32_t g = pdb->addFunction(cu, L"no_section", 0x1050, 0x8);
  pdb->at(g).sectionOk = false;
  uint32_t h = pdb->addFunction(cu, L"bad_section", 0x1060, 0x8);
  pdb->at(h).section = 9;
  load();
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1024);
  ASSERT_TRUE(r);
  EXPECT_EQ(text(r->symbol()->name()), L"by_offset");
  EXPECT_EQ(r->symbol()->address()->rva(), 0x1020u);
  EXPECT_EQ(nameAt(0x1050), L"");
  EXPECT_EQ(nameAt(0x1060), L"");
}

TEST_F(PdbFake, ManagedAndMetadataSymbolsAreNeverLoaded) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  pdb->at(pdb->addFunction(cu, L"managed", 0x1000, 0x10)).managed = true;
  pdb->at(pdb->addFunction(cu, L"metadata", 0x1020, 0x10)).locationType = dia::LocInMetaData;
  pdb->addFunction(cu, L"plain", 0x1040, 0x10);
  load();
  EXPECT_EQ(nameAt(0x1004), L"");
  EXPECT_EQ(nameAt(0x1024), L"");
  EXPECT_EQ(nameAt(0x1044), L"plain");
}

TEST_F(PdbFake, DataLengthFromArrayTypeAndCutAtSegmentEnd) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  fake_dia::Symbol arrayType;
  arrayType.tag = dia::SymTagArrayType;
  arrayType.length = 3;
  uint32_t type = pdb->add(arrayType);
  fake_dia::Symbol d;
  d.tag = dia::SymTagData;
  d.name = L"table";
  d.section = 3;
  d.rva = 0x3000;
  d.offset = 0;
  d.type = type;
  pdb->add(d, cu);
  fake_dia::Symbol big = d;
  big.name = L"too_big";
  big.rva = 0x2000;
  big.section = 2;
  big.type = 0;
  big.length = 0x1000;  // .rdata is far smaller
  pdb->add(big, cu);
  fake_dia::Symbol huge = big;
  huge.name = L"huge";
  huge.rva = 0x2010;
  huge.length = ~0ull - 0x100;  // would wrap past zero
  pdb->add(huge, cu);
  load();
  SymMgrObjectPtr<ISymbolRange> a = rangeAt(0x3001, SYMBOL_KIND_DATA);
  ASSERT_TRUE(a);
  EXPECT_EQ(text(a->symbol()->name()), L"table");
  EXPECT_EQ(a->size(), 3u);
  EXPECT_EQ(a->symbol()->kind(), SYMBOL_KIND_DATA);
  SymMgrObjectPtr<ISymbolRange> b = rangeAt(0x2000, SYMBOL_KIND_DATA);
  ASSERT_TRUE(b);
  EXPECT_EQ(text(b->symbol()->name()), L"too_big");
  EXPECT_EQ(b->size(), 0u);
  SymMgrObjectPtr<ISymbolRange> c = rangeAt(0x2010, SYMBOL_KIND_DATA);
  ASSERT_TRUE(c);
  EXPECT_EQ(text(c->symbol()->name()), L"huge");
  EXPECT_EQ(c->size(), 0u);
}

TEST_F(PdbFake, KindMaskSelectsTheLoads) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  pdb->addFunction(cu, L"f", 0x1000, 0x10);
  fake_dia::Symbol label;
  label.tag = dia::SymTagLabel;
  label.name = L"lbl";
  label.rva = 0x1020;
  label.length = 4;
  pdb->add(label, cu);
  load();
  EXPECT_EQ(nameAt(0x1020, SYMBOL_KIND_FUNCTION), L"");
  // Labels come with kind 2 asked and report kind 8.
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1020, SYMBOL_KIND_LABEL | SYMBOL_KIND_PUBLIC);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->symbol()->kind(), SYMBOL_KIND_PUBLIC);
}

TEST_F(PdbFake, FunctionsOfOneNameFromTwoCompilandsMergeAndDifferentNamesStayApart) {
  uint32_t a = pdb->addCompiland(L"a.obj");
  uint32_t b = pdb->addCompiland(L"b.obj");
  pdb->addFunction(a, L"inl", 0x1000, 0x10);
  pdb->addFunction(b, L"inl", 0x1000, 0x10);   // the same COMDAT seen from two objects
  pdb->addFunction(b, L"alias", 0x1000, 0x10);  // another name at the same code
  load();
  SymMgrObjectPtr<SymbolRangeIter> all;
  ASSERT_EQ(bank->originalSymbolRanges(all, SYMBOL_KIND_ALL, nullptr, nullptr), STATUS_OK);
  std::vector<std::wstring> names;
  for (SymMgrObjectPtr<ISymbolRange> x = all->current(); x; x = all->next() ? all->current() : nullptr)
    if (x->symbol()) names.push_back(text(x->symbol()->name()));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"alias", L"inl"}));
  // The first one loaded keeps its unit.
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1004);
  ASSERT_TRUE(r);
  uint32_t unit = 0;
  if (text(r->symbol()->name()) == L"inl") {
    EXPECT_EQ(r->symbol()->compUnitId(unit), STATUS_OK);
    EXPECT_EQ(unit, a);
  }
}

TEST_F(PdbFake, PublicWithoutExtentTakesTheLaterFunctionsEnd) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  pdb->addPublic(L"f", 0x1000);          // publics carry no length
  pdb->addFunction(cu, L"f", 0x1000, 0x30);
  load();
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1020);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 0x30u);
  EXPECT_EQ(text(r->symbol()->name()), L"f");
  EXPECT_EQ(r->symbol()->kind(), SYMBOL_KIND_FUNCTION);
}

TEST_F(PdbFake, FunctionEndingBeforeItsPublicsSpanBoundsTheScope) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  uint32_t p = pdb->addPublic(L"g", 0x1000);
  pdb->at(p).length = 0x40;  // up to the next public, padding included
  pdb->addFunction(cu, L"g", 0x1000, 0x30);
  load();
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1010);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 0x30u);
  EXPECT_EQ(r->symbol()->kind(), SYMBOL_KIND_FUNCTION);
  EXPECT_EQ(nameAt(0x1038), L"");  // the padding belongs to no one
}

TEST_F(PdbFake, OmapStretchesMapPieceByPiece) {
  pdb->hasOmap = true;
  pdb->omapFrom = {{0x5010, 0x1000}, {0x5020, 0}, {0x5030, 0x1040}};
  pdb->omapTo = {{0x1000, 0x5010}};
  SymMgrObjectPtr<IFileFormatLoader> ffl = IFileFormatLoader::create(fixture("hello64.exe").c_str());
  SymMgrObjectPtr<SymbolFileIter> files;
  ASSERT_EQ(ffl->symbolFilesToResolve(files), STATUS_OK);
  SymMgrObjectPtr<IDebugInfoLoader> dil;
  ASSERT_EQ(ffl->debugInfoLoader(dil, 0), STATUS_OK);
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

TEST_F(PdbFake, DeclarationOfASymbolWithoutRvaIsReported) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  uint32_t f = pdb->addFunction(cu, L"by_offset", 0, 0x8);
  pdb->at(f).rvaOk = false;
  pdb->at(f).offset = 0x20;
  pdb->lines = {{0x1020, 8, 5, 0, 1, cu}};
  load();
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1020);
  ASSERT_TRUE(r);
  KAVE_3_1::RecordCapture capture;
  SymMgrObjectPtr<ISourceLocation> where;
  r->symbol()->sourceLocation(where);
  EXPECT_TRUE(capture.hasAssertion("hr == S_OK"));
}

TEST_F(PdbFake, BlocksOfAFunctionAddNoChildRanges) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  uint32_t f = pdb->addFunction(cu, L"f", 0x1000, 0x20);
  fake_dia::Symbol block;
  block.tag = dia::SymTagBlock;
  block.rva = 0x1004;
  block.length = 8;
  pdb->add(block, f);
  load();
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1006);
  ASSERT_TRUE(r);
  EXPECT_EQ(text(r->symbol()->name()), L"f");
  SymMgrObjectPtr<SymbolRangeIter> children = r->childRanges();
  EXPECT_TRUE(!children || !children->current());
  SymMgrObjectPtr<IAddress> inside;
  ASSERT_EQ(bank->addressByRva(0x1006, inside), STATUS_OK);
  EXPECT_FALSE(r->childRangeByAddress(inside.get()));
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

  SymMgrObjectPtr<ISymbolRange> t0 = rangeAt(0x1071), t1 = rangeAt(0x1076), t2 = rangeAt(0x107b);
  ASSERT_TRUE(t0 && t1 && t2);
  ASSERT_TRUE(t0->thunk() && t1->thunk() && t2->thunk());
  EXPECT_EQ(text(t0->symbol()->name()), L"first");
  EXPECT_EQ(text(t1->symbol()->name()), L"first");
  EXPECT_EQ(text(t2->symbol()->name()), L"other");
  EXPECT_EQ(text(t0->thunk()->name()), L"@ILT+0");
  EXPECT_EQ(text(t1->thunk()->name()), L"@ILT+5");
  EXPECT_EQ(text(t2->thunk()->name()), L"@ILT+a");
  EXPECT_EQ(t0->thunk()->thunkKind(), THUNK_KIND_INCREMENTAL_LINK);
  EXPECT_EQ(nameAt(0x1080), L"");
}

TEST_F(PdbFake, NoTrampolinesWhenTheFirstLinkerThunkIsOfAnotherKind) {
  uint32_t linker = addLinker();
  addIlt(linker, 0x1070, 0x1000, 0);
  addIlt(linker, 0x1075, 0x1000, 5);
  uint32_t a = pdb->addCompiland(L"a.obj");
  pdb->addFunction(a, L"first", 0x1000, 0x10);
  load();
  EXPECT_EQ(nameAt(0x1071), L"");
  EXPECT_EQ(nameAt(0x1076), L"");
}

TEST_F(PdbFake, CompilandThunksLoadEvenWithAnEmptyKindMask) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  fake_dia::Symbol t;
  t.tag = dia::SymTagThunk;
  t.name = L"__imp_thunk";
  t.rva = 0x1088;
  t.length = 6;
  pdb->add(t, cu);
  load();

  SymMgrObjectPtr<IFileFormatLoader> ffl = IFileFormatLoader::create(fixture("hello64.exe").c_str());
  SymMgrObjectPtr<SymbolFileIter> files;
  ASSERT_EQ(ffl->symbolFilesToResolve(files), STATUS_OK);
  SymMgrObjectPtr<IDebugInfoLoader> dil;
  ASSERT_EQ(ffl->debugInfoLoader(dil, 0), STATUS_OK);
  ASSERT_TRUE(dil);
  GlobalScope scope(ffl.get(), nullptr, nullptr);
  EXPECT_EQ(dil->loadDebugInfo(scope.symbolTable(), 0, nullptr), STATUS_OK);
  SymMgrObjectPtr<ISymbolRange> r = scope.symbolTable()->symbolRangeByAddress(kBase + 0x108a, SYMBOL_KIND_ALL, nullptr);
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->thunk());
  EXPECT_EQ(r->thunk()->thunkKind(), THUNK_KIND_IMPORT);
  EXPECT_EQ(text(r->thunk()->name()), L"__imp_thunk");
  // Asked for nothing, it added nothing else.
  EXPECT_FALSE(scope.symbolTable()->symbolRangeByAddress(kBase + 0x1000, SYMBOL_KIND_ALL, nullptr));
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

class PdbFakeLines : public PdbFake {
 protected:
  void describe() {
    cu1 = pdb->addCompiland(L"one.obj");
    cu2 = pdb->addCompiland(L"two.obj");
    pdb->addFunction(cu1, L"f", 0x1000, 0x20);
    fake_dia::SourceFile file;
    file.id = 7;
    file.name = L"C:\\src\\one.c";
    file.checksumType = 1;
    file.checksum = {0x0A, 0xFF, 0x10, 0x00};
    file.compilands = {cu1, cu2};
    pdb->files[7] = file;
    fake_dia::SourceFile plain;
    plain.id = 300;  // beyond the first chunk of the file cache
    plain.name = L"C:\\src\\two.h";
    plain.compilands = {cu2};
    pdb->files[300] = plain;
    fake_dia::SourceFile far;
    far.id = 0x1000000;  // an id the reader is free to choose
    far.name = L"C:\\src\\far.c";
    pdb->files[far.id] = far;
    pdb->lines = {{0x1000, 4, 10, 1, 7, cu1}, {0x1004, 0, 11, 2, 7, cu1}, {0x1008, 8, 12, 3, 7, cu1},
                  {0x1004, 4, 50, 0, 300, cu2}, {0x1010, 4, 60, 5, 7, cu2}};
  }

  ISrcLineResolver* resolver() {
    dil.reset();
    SymMgrObjectPtr<IFileFormatLoader> ffl = IFileFormatLoader::create(fixture("hello64.exe").c_str());
    SymMgrObjectPtr<SymbolFileIter> files;
    EXPECT_EQ(ffl->symbolFilesToResolve(files), STATUS_OK);
    EXPECT_EQ(ffl->debugInfoLoader(dil, 0), STATUS_OK);
    lines = dil->srcLineResolver(nullptr, nullptr);
    return lines.get();
  }

  void TearDown() override {
    lines.reset();
    dil.reset();
    PdbFake::TearDown();
  }

  uint32_t cu1 = 0, cu2 = 0;
  SymMgrObjectPtr<IDebugInfoLoader> dil;
  SymMgrObjectPtr<ISrcLineResolver> lines;
};

TEST_F(PdbFakeLines, LocationsByAddressFilterByCompiland) {
  describe();
  ISrcLineResolver* r = resolver();
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

  SymMgrObjectPtr<ISourceLocation> one = r->sourceLocationByAddress(kBase + 0x1009, COMP_UNIT_ALL);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->line(), 12u);
  EXPECT_EQ(one->column(), 3u);
  EXPECT_EQ(one->compUnitKey(), cu1);
  ASSERT_TRUE(one->sourceFile());
  EXPECT_EQ(text(one->sourceFile()->name()), L"C:\\src\\one.c");
  EXPECT_FALSE(r->sourceLocationByAddress(kBase + 0x1009, cu2));
  EXPECT_FALSE(r->sourceLocationByAddress(0x1009, COMP_UNIT_ALL));  // below the image
  EXPECT_FALSE(r->inlineCallSite(kBase + 0x1009, COMP_UNIT_ALL));
}

TEST_F(PdbFakeLines, SourceFilesCarryLowercaseHexChecksums) {
  describe();
  ISrcLineResolver* r = resolver();
  ISourceFile* f = r->sourceFile(7);
  ASSERT_TRUE(f);
  EXPECT_EQ(text(f->checksum()), L"0aff1000");
  EXPECT_EQ(f->checksumType(), 1u);
  EXPECT_EQ(f->modificationTime(), 0u);
  EXPECT_EQ(r->sourceFile(7), f);  // made once
  ISourceFile* g = r->sourceFile(300);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->checksum(), nullptr);
  EXPECT_EQ(g->checksumType(), 0u);
  ISourceFile* far = r->sourceFile(0x1000000);
  ASSERT_TRUE(far);
  EXPECT_EQ(text(far->name()), L"C:\\src\\far.c");
  EXPECT_EQ(r->sourceFile(0x1000000), far);
  EXPECT_EQ(r->sourceFile(8), nullptr);
  EXPECT_EQ(r->sourceFile(0x7FFFFFFF), nullptr);  // far beyond any cache chunk, and unknown
}

TEST_F(PdbFakeLines, LinesOfAFileInAWindow) {
  describe();
  ISrcLineResolver* r = resolver();
  SymMgrObjectPtr<SourceLineIter> it;
  auto collect = [&]() {
    std::vector<uint32_t> out;
    for (SymMgrObjectPtr<ISourceLine> l = it ? it->current() : nullptr; l; l = it->next() ? it->current() : nullptr)
      out.push_back(l->location()->line());
    return out;
  };
  // One compiland; the 0-length line counts as one byte in the window test.
  ASSERT_EQ(r->sourceLinesForFile(cu1, 7, kBase + 0x1004, kBase + 0x1005, it), STATUS_OK);
  EXPECT_EQ(collect(), (std::vector<uint32_t>{11}));
  ASSERT_EQ(r->sourceLinesForFile(cu1, 7, 0, ~0ull, it), STATUS_OK);
  EXPECT_EQ(collect(), (std::vector<uint32_t>{10, 11, 12}));
  // An id that names no compiland: every compiland of the file, one after the other.
  ASSERT_EQ(r->sourceLinesForFile(0xDEAD, 7, 0, ~0ull, it), STATUS_OK);
  EXPECT_EQ(collect(), (std::vector<uint32_t>{10, 11, 12, 60}));
  it->reset();
  EXPECT_EQ(collect(), (std::vector<uint32_t>{10, 11, 12, 60}));
  ASSERT_EQ(r->sourceLinesForFile(0xDEAD, 7, kBase + 0x1009, kBase + 0x1011, it), STATUS_OK);
  EXPECT_EQ(collect(), (std::vector<uint32_t>{12, 60}));
  EXPECT_EQ(r->sourceLinesForFile(cu1, 99, 0, ~0ull, it), STATUS_FALSE);

  ASSERT_EQ(r->sourceLinesForFile(cu1, 7, 0, ~0ull, it), STATUS_OK);
  SymMgrObjectPtr<ISourceLine> first = it->current();
  EXPECT_EQ(first->startAddress()->va(), kBase + 0x1000);
  EXPECT_EQ(first->size(), 4u);
}

TEST_F(PdbFakeLines, SymbolsFindTheirDeclarationThroughTheResolver) {
  describe();
  load();
  SymMgrObjectPtr<ISymbolRange> r = rangeAt(0x1002);
  ASSERT_TRUE(r);
  SymMgrObjectPtr<ISourceLocation> where;
  ASSERT_EQ(r->symbol()->sourceLocation(where), STATUS_OK);
  EXPECT_EQ(where->line(), 10u);
  SymMgrObjectPtr<SourceLineIter> body = r->symbol()->sourceLines();
  ASSERT_TRUE(body);
  std::vector<uint32_t> lines;
  for (SymMgrObjectPtr<ISourceLine> l = body->current(); l; l = body->next() ? body->current() : nullptr)
    lines.push_back(l->location()->line());
  EXPECT_EQ(lines, (std::vector<uint32_t>{10, 11, 12}));
}

TEST_F(PdbFakeLines, CompilandDetailsFromDetailsAndEnvironment) {
  describe();
  pdb->at(cu1).libraryName = L"C:\\obj\\one.obj";
  fake_dia::Symbol details;
  details.tag = dia::SymTagCompilandDetails;
  details.language = dia::CV_CFL_CXX;
  details.backEndMajor = 14;
  details.backEndMinor = 2;
  details.hasCompilerName = false;
  pdb->add(details, cu1);
  auto env = [&](uint32_t cu, const wchar_t* name, const wchar_t* value) {
    fake_dia::Symbol e;
    e.tag = dia::SymTagCompilandEnv;
    e.name = name;
    e.value = value;
    pdb->add(e, cu);
  };
  env(cu1, L"src", L"one.c");  // before "cwd": no directory yet
  env(cu1, L"cwd", L"C:\\src");
  env(cu1, L"cl", L"C:\\bin\\cl.exe");
  env(cu2, L"cwd", L"C:\\src");
  env(cu2, L"src", L"one.c");
  fake_dia::Symbol named;
  named.tag = dia::SymTagCompilandDetails;
  named.compilerName = L"clang version 14";
  named.language = 2;
  pdb->add(named, cu2);
  env(cu2, L"cl", L"cl.exe");

  ISrcLineResolver* r = resolver();
  auto* d1 = static_cast<DiaCompUnitDetails*>(r->compUnitDetails(cu1));
  ASSERT_TRUE(d1);
  EXPECT_EQ(r->compUnitDetails(cu1), d1);
  EXPECT_EQ(d1->getId(), cu1);
  EXPECT_EQ(text(d1->getObjectFileName()), L"C:\\obj\\one.obj");
  EXPECT_EQ(text(d1->getCompilationDirectory()), L"C:\\src");
  EXPECT_EQ(text(d1->sourcePath()), L"\\one.c");
  EXPECT_EQ(text(d1->getCompilerName()), L"Microsoft (R)");
  EXPECT_EQ(d1->getLanguage(), LANGUAGE_CPP);
  EXPECT_EQ(d1->getMajorVersion(), 14);
  EXPECT_EQ(d1->getMinorVersion(), 2);
  EXPECT_EQ(d1->getOptReportFile(), nullptr);
  {
    KAVE_3_1::RecordCapture capture;
    EXPECT_EQ(d1->getPrimarySourceFile(), nullptr);  // "\one.c" names no file of the compiland
    EXPECT_TRUE(capture.hasAssertion("srcFile"));
  }

  ICompUnitDetails* d2 = r->compUnitDetails(cu2);
  ASSERT_TRUE(d2);
  EXPECT_EQ(text(d2->getCompilerName()), L"clang version 14");
  EXPECT_EQ(d2->getLanguage(), LANGUAGE_FORTRAN);
  ISourceFile* primary = d2->getPrimarySourceFile();
  ASSERT_TRUE(primary);
  EXPECT_EQ(text(primary->name()), L"C:\\src\\one.c");
  ASSERT_TRUE(d2->getSourceFile(L"C:\\src\\two.h"));
  EXPECT_EQ(d2->getSourceFile(L"C:\\src\\two.h"), r->sourceFile(300));
  EXPECT_EQ(r->compUnitDetails(0xBAD), nullptr);
}

// --- the PDB candidate and the manager ------------------------------------------------

TEST_F(PdbFake, CandidateSearchesOnceAndAcceptsItsOwnPathWithoutOpening) {
  pdb->pdbPath = L"/somewhere/hello64.pdb";
  SymMgrObjectPtr<IFileFormatLoader> ffl = IFileFormatLoader::create(fixture("hello64.exe").c_str());
  SymMgrObjectPtr<SymbolFileIter> files;
  ASSERT_EQ(ffl->symbolFilesToResolve(files), STATUS_OK);
  ISymbolFileToResolve* c = files->current();
  ASSERT_TRUE(c);
  EXPECT_EQ(c->format(), SYM_FORMAT_PDB);
  EXPECT_EQ(text(c->fileName()), L"/somewhere/hello64.pdb");
  EXPECT_EQ(c->state(), RESOLVE_STATE_FOUND);
  EXPECT_EQ(text(c->fileName()), L"/somewhere/hello64.pdb");
  EXPECT_EQ(pdb->loadDataForExeCalls, 1);
  EXPECT_EQ(c->tryFile(L"/somewhere/hello64.pdb"), 0);
  EXPECT_EQ(pdb->validateCalls, 0);
  EXPECT_EQ(c->tryFile(L"/elsewhere/other.pdb"), -1);  // does not match the image
  EXPECT_EQ(pdb->validateCalls, 1);
  EXPECT_EQ(text(c->fileName()), L"/somewhere/hello64.pdb");
  pdb->validPaths = {L"/elsewhere/hello64.pdb"};
  EXPECT_EQ(c->tryFile(L"/elsewhere/hello64.pdb"), 0);
  EXPECT_EQ(text(c->fileName()), L"/elsewhere/hello64.pdb");
  EXPECT_EQ(c->state(), RESOLVE_STATE_FOUND);
}

TEST_F(PdbFake, FailedSearchReportsTheRecordedPdbPath) {
  pdb->findSucceeds = false;
  SymMgrObjectPtr<IFileFormatLoader> ffl = IFileFormatLoader::create(fixture("hello64.exe").c_str());
  SymMgrObjectPtr<SymbolFileIter> files;
  ASSERT_EQ(ffl->symbolFilesToResolve(files), STATUS_OK);
  ISymbolFileToResolve* c = files->current();
  EXPECT_EQ(c->state(), RESOLVE_STATE_NOT_FOUND);
  EXPECT_EQ(text(c->fileName()), L"hello64.pdb");  // as the CodeView record names it
  // The module still loads, from the image alone.
  ASSERT_EQ(ISymbolManager::create(manager), STATUS_OK);
  ASSERT_EQ(manager->loadSymbolsFromModule(fixture("hello64.exe").c_str(), nullptr, bank), STATUS_OK);
  EXPECT_EQ(bank->symFileFormat(), SYM_FORMAT_NONE);
}

TEST_F(PdbFake, ReaderThatCannotMakeDataSourcesFindsNothing) {
  pdb->factoryFails = true;
  SymMgrObjectPtr<IDiaManager> m;
  ASSERT_EQ(IDiaManager::create(m), STATUS_OK);
  const wchar_t* found = reinterpret_cast<const wchar_t*>(1);
  dia::GUID guid{};
  EXPECT_EQ(m->findPdb(&found, fixture("hello64.exe").c_str(), &guid, 0, 1, L"x.pdb"), STATUS_UNSPECIFIED_ERROR);
  EXPECT_EQ(m->validatePdb(L"x.pdb", &guid, 0, 1), STATUS_UNSPECIFIED_ERROR);
  EXPECT_FALSE(m->findDataSource(L"x.pdb", &guid, 0, 1));
}

TEST_F(PdbFake, ModulesNamingOnePdbShareOneDataSource) {
  uint32_t cu = pdb->addCompiland(L"a.obj");
  pdb->addFunction(cu, L"f", 0x1000, 0x10);
  // A second image with the same CodeView record, at another path.
  std::string copy = std::string(ZOR_BINARY_DIR) + "/pdb_loader_test_copy.exe";
  {
    FILE* in = std::fopen((std::string(ZOR_FIXTURES_DIR) + "/pe/hello64.exe").c_str(), "rb");
    FILE* out = std::fopen(copy.c_str(), "wb");
    ASSERT_TRUE(in && out);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) std::fwrite(buf, 1, n, out);
    std::fclose(in);
    std::fclose(out);
  }
  load();
  SymMgrObjectPtr<IModuleSymbolBank> second;
  ASSERT_EQ(manager->loadSymbolsFromModule(KAVE_3_1::utf8ToWide(copy).c_str(), nullptr, second), STATUS_OK);
  EXPECT_NE(second.get(), bank.get());
  EXPECT_EQ(nameAt(0x1004), L"f");
  SymMgrObjectPtr<IAddress> a;
  SymMgrObjectPtr<ISymbolRange> r;
  ASSERT_EQ(second->addressByRva(0x1004, a), STATUS_OK);
  ASSERT_EQ(second->symbolRangeByAddress(a.get(), r, SYMBOL_KIND_ALL, nullptr), STATUS_OK);
  EXPECT_EQ(text(r->symbol()->name()), L"f");

  SymMgrObjectPtr<IDiaManager> m;
  ASSERT_EQ(IDiaManager::create(m), STATUS_OK);
  EXPECT_EQ(static_cast<DiaManager*>(m.get())->openModuleCount(), 1u);
  EXPECT_EQ(pdb->loadDataForExeCalls, 2);
  second.reset();
  std::remove(copy.c_str());
}

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

TEST(PdbManager, LoadCallbackKeepsTheLastPdbOpened) {
  DiaLoadCallBack cb;
  void* out = &cb;
  EXPECT_EQ(cb.QueryInterface(dia::IID_IUnknown, &out), dia::E_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(cb.QueryInterface(dia::IID_IDiaLoadCallback, &out), dia::S_OK);
  EXPECT_EQ(out, static_cast<dia::IDiaLoadCallback*>(&cb));
  EXPECT_EQ(cb.NotifyOpenPDB(L"/a.pdb", dia::S_OK), dia::S_OK);
  EXPECT_EQ(cb.NotifyOpenPDB(L"/b.pdb", dia::E_PDB_NOT_FOUND), dia::E_PDB_NOT_FOUND);
  EXPECT_EQ(cb.openedPath(), L"/a.pdb");
  EXPECT_EQ(cb.NotifyOpenDBG(L"/c.dbg", dia::S_OK), dia::S_OK);
  EXPECT_EQ(cb.openedPath(), L"/c.dbg");
  EXPECT_EQ(cb.NotifyDebugDir(1, 0, nullptr), dia::E_FAIL);
  EXPECT_EQ(cb.RestrictRegistryAccess(), dia::S_OK);
  EXPECT_EQ(cb.RestrictSymbolServerAccess(), dia::E_FAIL);
}

TEST(PdbManager, FilesOutsideASystemDirectoryAreOpenedInPlace) {
  SymMgrObjectPtr<WOW64FileHelper> h(new WOW64FileHelper(L"/tmp/x.pdb", L"/tmp/hint"));
  EXPECT_EQ(std::wstring(h->effectivePath()), L"/tmp/x.pdb");
  EXPECT_EQ(h->tempDirectory(), nullptr);
  SymMgrObjectPtr<WOW64FileHelper> none(new WOW64FileHelper(nullptr, nullptr));
  EXPECT_EQ(std::wstring(none->effectivePath()), L"");
}

}  // namespace
