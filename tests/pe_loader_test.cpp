// The PE reader on real linker output, checked against llvm-readobj-14 and llvm-pdbutil-14
// run on the same files, and on copies of the fixtures damaged or reshaped by hand for the
// records and failures the linker never writes.
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <zor/symbol.h>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "support/scratch.h"
#include "support/elf_oracle.h"
#include "support/recording_table.h"
#include "zor/object/trace.h"
#include "zor/pe/pe_exec_file_loader.h"
#include "zor/store/scope.h"

using namespace ZOR_3_12;
using scratch::TempFile;

namespace {

std::string fixturePath(const char* name) { return std::string(ZOR_FIXTURES_DIR) + "/pe/" + name; }

using scratch::readFile;

uint32_t get32(const std::string& b, size_t off) {
  uint32_t v = 0;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}
void put32(std::string& b, size_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); }
void put16(std::string& b, size_t off, uint16_t v) { std::memcpy(&b[off], &v, 2); }

using elf_oracle::haveTool;


// llvm-readobj-14's "Key: value" lines: those of the headers, and those of each section, where
// "Characteristics" holds the flag word.
struct Oracle {
  std::map<std::string, std::string> header;
  std::vector<std::map<std::string, std::string>> sections;
};

Oracle readOracle(const std::string& path) {
  Oracle o;
  std::istringstream in(agreement::run("llvm-readobj-14 --file-headers --sections '" + path + "'"));
  for (std::string line; std::getline(in, line);) {
    const std::string t = line.substr(std::min(line.size(), line.find_first_not_of(' ')));
    if (t == "Section {") o.sections.emplace_back();
    std::map<std::string, std::string>& into = o.sections.empty() ? o.header : o.sections.back();
    const size_t colon = t.find(": ");
    if (t.rfind("Characteristics [", 0) == 0)
      into["Characteristics"] = t.substr(t.find('('));
    else if (colon != std::string::npos)
      into.emplace(t.substr(0, colon), t.substr(colon + 2));
  }
  return o;
}

// A readobj value: "0x1000", "512", or "IMAGE_FILE_MACHINE_I386 (0x14C)".
uint64_t number(const std::map<std::string, std::string>& fields, const char* key) {
  const std::string& v = fields.at(key);
  const size_t paren = v.find("(0x");
  return std::stoull(paren != std::string::npos ? v.substr(paren + 1) : v, nullptr, 0);
}

using zor_fake::RecordingTable;
using Inserted = RecordingTable::Entry;

std::wstring nameOf(const Inserted& r) { return r.scope->symbol()->name(); }

// A loader over `path` whose headers have been read; the status of the candidate listing
// goes to `status`.
SymMgrObjectPtr<PEExecFileLoader> openLoader(const std::string& path, status_t* status = nullptr) {
  SymMgrObjectPtr<PEExecFileLoader> loader(
      new PEExecFileLoader(KAVE_3_1::utf8ToWide(path).c_str(), nullptr));
  SymMgrObjectPtr<SymbolFileIter> it;
  const status_t s = loader->symbolFilesToResolve(it);
  if (status) *status = s;
  return loader;
}

// Whether the candidate listing offered the PDB: without the PDB layer it reports that no
// reader is there; with it, one PDB candidate on this image.
void expectPdbOffered(PEExecFileLoader& loader, status_t status) {
  if (failed(status)) {
    EXPECT_EQ(status, STATUS_NO_PDB_READER);
    return;
  }
  SymMgrObjectPtr<SymbolFileIter> it;
  ASSERT_EQ(loader.symbolFilesToResolve(it), STATUS_OK);
  ASSERT_NE(it->current(), nullptr);
  EXPECT_EQ(it->current()->format(), uint32_t(SYM_FORMAT_PDB));
  EXPECT_STREQ(it->current()->imageFileName(), loader.fileName());
}

void expectNoCandidate(PEExecFileLoader& loader) {
  SymMgrObjectPtr<SymbolFileIter> it;
  ASSERT_EQ(loader.symbolFilesToResolve(it), STATUS_OK);
  EXPECT_EQ(it->current(), nullptr);
}

const char* const kImages[] = {"hello64.exe", "hello32.exe", "lib64.dll"};

// ---------------------------------------------------------------------------------------
// Real images against the oracle.

TEST(PeImage, HeadersSegmentsAndSectionsMatchReadobj) {
  if (!haveTool("llvm-readobj-14")) GTEST_SKIP() << "llvm-readobj-14 not installed";
  for (const char* image : kImages) {
    SCOPED_TRACE(image);
    const Oracle o = readOracle(fixturePath(image));
    ASSERT_FALSE(o.sections.empty());
    const uint64_t imageBase = number(o.header, "ImageBase");

    SymMgrObjectPtr<IFileFormatLoader> created = IFileFormatLoader::create(KAVE_3_1::utf8ToWide(fixturePath(image)).c_str());
    ASSERT_TRUE(created);
    EXPECT_EQ(created->execFormat(), EXEC_FORMAT_PE);
    // Nothing is read before the candidates are asked for.
    EXPECT_EQ(created->imageBase(), 0u);
    EXPECT_EQ(created->segmentByIndex(1), nullptr);
    SymMgrObjectPtr<SymbolFileIter> it;
    created->symbolFilesToResolve(it);

    EXPECT_EQ(created->imageBase(), imageBase);
    EXPECT_EQ(created->imageSize(), number(o.header, "SizeOfImage"));
    EXPECT_EQ(created->architecture(),
              number(o.header, "Machine") == 0x8664 ? uint32_t(ARCH_X86_64) : uint32_t(ARCH_I386));
    const PEFileInfo& info = static_cast<PEExecFileLoader*>(created.get())->info();
    EXPECT_EQ(info.entryPoint, number(o.header, "AddressOfEntryPoint"));
    EXPECT_EQ(info.baseOfCode, number(o.header, "BaseOfCode"));
    EXPECT_EQ(info.sectionCount, o.sections.size());

    // Segments come in ascending start order; the sections of these images are sorted.
    int n = 1;
    SymMgrObjectPtr<SegmentIter> segs = created->segments();
    for (const auto& s : o.sections) {
      const std::string name = s.at("Name").substr(0, s.at("Name").find(" ("));
      const uint64_t va = number(s, "VirtualAddress"), vsize = number(s, "VirtualSize");
      const uint64_t raw = number(s, "PointerToRawData"), rawSize = number(s, "RawDataSize");
      SCOPED_TRACE(name);
      ISegment* seg = created->segmentByIndex(n++);
      ASSERT_NE(seg, nullptr);
      EXPECT_EQ(segs->current(), seg);
      segs->next();
      EXPECT_EQ(std::make_tuple(KAVE_3_1::wideToUtf8(seg->name()), uint64_t(seg->rva()), uint64_t(seg->fileOffset()),
                                uint64_t(seg->fileSize()), uint64_t(seg->size())),
                std::make_tuple(name, va, raw, rawSize, vsize));
      EXPECT_EQ(seg->kind(),
                (number(s, "Characteristics") & 0x20) ? uint32_t(SEGMENT_KIND_CODE) : uint32_t(SEGMENT_KIND_DATA));
      EXPECT_EQ(created->segmentByName(seg->name()), seg);
      EXPECT_EQ(created->segmentByAddress(imageBase + va), seg);
      EXPECT_EQ(created->segmentByAddress(imageBase + va + vsize), seg);  // the end still counts

      SymMgrObjectPtr<ISection> sec = created->sectionByName(KAVE_3_1::utf8ToWide(name).c_str());
      ASSERT_TRUE(sec);
      EXPECT_EQ(std::make_tuple(uint64_t(sec->address()), uint64_t(sec->fileOffset()), uint64_t(sec->size())),
                std::make_tuple(va, raw, rawSize));
      // The section's bytes are the file's bytes at its raw pointer.
      SymMgrObjectPtr<IBuffer> bytes;
      ASSERT_EQ(sec->readAllData(bytes), rawSize == 0);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data()), size_t(bytes->size())),
                readFile(fixturePath(image)).substr(raw, rawSize));
    }
    EXPECT_EQ(segs->current(), nullptr);
    EXPECT_EQ(created->segmentByIndex(n), nullptr);
    EXPECT_EQ(created->segmentByIndex(0), nullptr);
    EXPECT_EQ(created->segmentByAddress(imageBase + number(o.sections[0], "VirtualAddress") - 1), nullptr);
    EXPECT_FALSE(created->sectionByName(L".nosuch"));
    EXPECT_EQ(created->segmentByName(L".nosuch"), nullptr);
  }
}

TEST(PeImage, AddressesStopAtTheSectionSizeInMemory) {
  SymMgrObjectPtr<PEExecFileLoader> loader = openLoader(fixturePath("lib64.dll"));
  ISegment* text = loader->segmentByName(L".text");
  ASSERT_NE(text, nullptr);
  ASSERT_LT(text->size(), text->fileSize());  // the raw data is padded to the file alignment
  const uint64_t base = loader->imageBase();

  SymMgrObjectPtr<IAddress> a;
  ASSERT_EQ(loader->addressByFileOffset(a, text->fileOffset() + 4), STATUS_OK);
  EXPECT_EQ(a->va(), base + text->rva() + 4);
  EXPECT_EQ(a->rva(), text->rva() + 4);
  EXPECT_EQ(a->segment(), text);
  EXPECT_EQ(a->fileOffset(), text->fileOffset() + 4);
  // The last byte in memory and its end are addressable; the padding after them is not.
  EXPECT_EQ(loader->addressByFileOffset(a, text->fileOffset() + text->size()), STATUS_OK);
  SymMgrObjectPtr<IAddress> none;
  EXPECT_EQ(loader->addressByFileOffset(none, text->fileOffset() + text->size() + 1), STATUS_UNSPECIFIED_ERROR);
  EXPECT_FALSE(none);
  EXPECT_EQ(loader->addressByFileOffset(none, 0), STATUS_UNSPECIFIED_ERROR);  // the headers

  ASSERT_EQ(loader->address(a, base + text->rva() + text->size()), STATUS_OK);
  EXPECT_EQ(loader->address(none, base), STATUS_UNSPECIFIED_ERROR);
  EXPECT_FALSE(none);
}

// ---------------------------------------------------------------------------------------
// Reshaped and damaged copies. Offsets come from the loader's record of the untouched
// image, which the oracle tests above hold to readobj's listing.

struct ImageCopy {
  explicit ImageCopy(const char* name) : bytes(readFile(fixturePath(name))) {
    SymMgrObjectPtr<PEExecFileLoader> loader = openLoader(fixturePath(name));
    info = &loader->info();
    debugDir = loader->info().debugDirectoryOffset;
    sectionTable = loader->info().sectionTableOffset;
    lfanew = get32(bytes, 60);
    keep = loader;
  }
  // Appends a record at the end of the file and points the first debug entry at it.
  void appendCodeView(const std::string& record) {
    const uint32_t at = uint32_t(bytes.size());
    bytes += record;
    put32(bytes, debugDir + 24, at);
  }
  SymMgrObjectPtr<PEExecFileLoader> load(status_t* status = nullptr) {
    file.reset(new TempFile(bytes));
    return openLoader(file->path(), status);
  }
  // Loads expecting one assertion record of the PE reader, made at `line` (0: none at all).
  SymMgrObjectPtr<PEExecFileLoader> loadRecordingAt(unsigned line, status_t* status = nullptr) {
    KAVE_3_1::RecordCapture capture;
    SymMgrObjectPtr<PEExecFileLoader> loader = load(status);
    EXPECT_EQ(capture.assertions(), line ? 1u : 0u);
    if (line && capture.assertions() == 1) {
      EXPECT_EQ(capture.records()[0].line, line);
      EXPECT_EQ(capture.records()[0].source, internal::kPeSource);
    }
    return loader;
  }

  std::string bytes;
  const PEFileInfo* info;
  uint32_t debugDir, sectionTable, lfanew;
  SymMgrObjectPtr<PEExecFileLoader> keep;
  std::unique_ptr<TempFile> file;
};

std::string rsds(const std::string& path) {
  std::string r = "RSDS";
  for (int i = 0; i < 16; ++i) r += char(0x10 + i);
  r += std::string("\x07\0\0\0", 4) + path;
  r += '\0';
  return r;
}

// Records the linker does not write: old, long, cut, non-ASCII and foreign ones. A record cut by
// the end of the file is recorded at the read that failed; headers read before it stay usable,
// and a record without a PDB path offers no candidate.
TEST(PeCodeView, UnusualAndCutRecords) {
  const std::string path260 = "C:\\" + std::string(253, 'p') + ".pdb";
  std::string cutPath = rsds("C:\\cut");
  cutPath.pop_back();
  struct Case {
    std::string record;
    std::wstring path;
    unsigned line;  // of the assertion record, 0 for none
  } cases[] = {
      {"NB10" + std::string(4, '\0') + "\x78\x56\x34\x12\x03" + std::string(3, '\0') + "C:\\out\\old.pdb" + '\0',
       L"C:\\out\\old.pdb", 0},  // names its PDB by signature
      {rsds(path260), KAVE_3_1::utf8ToWide(path260), 0},
      {rsds(std::string(300, 'q')), std::wstring(260, L'q'), 0},  // longer paths keep 260 bytes
      {rsds("C:\\d\xC3\xA9j\xC3\xA0.pdb"), L"C:\\d\u00E9j\u00E0.pdb", 0},
      {cutPath, L"C:\\cut", 640},  // the bytes before the end are kept
      {"NB09" + std::string(12, '\0') + "C:\\not\\a.pdb" + '\0', L"", 0},  // CodeView kept in the image
      {"NB11" + std::string(12, '\0') + "C:\\not\\a.pdb" + '\0', L"", 0},
      {"XXXX" + std::string(12, '\0') + "C:\\not\\a.pdb" + '\0', L"", 0},
      {"", L"", 554},                                     // no magic
      {"RSDS" + std::string(10, '\x01'), L"", 616},       // GUID cut
      {"RSDS" + std::string(18, '\x01'), L"", 623},       // age cut
      {"RSDS" + std::string(20, '\x01'), L"", 630},       // no path byte
      {"NB10" + std::string(6, '\x01'), L"", 576},        // signature cut
      {"NB10" + std::string(10, '\x01'), L"", 585},       // age cut
      {"NB10" + std::string(12, '\x01'), L"", 593},       // no path byte
      {"NB10" + std::string(12, '\x01') + "ab", L"ab", 604},  // path cut
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record.substr(0, 4) + " of " + std::to_string(c.record.size()) + " bytes");
    ImageCopy img("hello64.exe");
    img.appendCodeView(c.record);
    status_t status;
    SymMgrObjectPtr<PEExecFileLoader> loader = img.loadRecordingAt(c.line, &status);
    EXPECT_EQ(loader->info().pdbPath, c.path);
    EXPECT_NE(loader->segmentByName(L".text"), nullptr);
    if (c.record.size() >= 4) {
      EXPECT_EQ(std::memcmp(loader->info().codeViewMagic, c.record.data(), 4), 0);
    }
    if (c.path.empty()) expectNoCandidate(*loader);
    if (c.line == 0 && c.record.compare(0, 4, "RSDS") == 0) {
      EXPECT_EQ(loader->info().pdbAge, 7u);
      EXPECT_EQ(loader->info().pdbGuid[0], 0x10);
      EXPECT_EQ(loader->info().pdbGuid[15], 0x1F);
    }
    if (c.line == 0 && c.record.compare(0, 4, "NB10") == 0) {
      EXPECT_EQ(loader->info().pdbSignature, 0x12345678u);
      EXPECT_EQ(loader->info().pdbAge, 3u);
      EXPECT_EQ(std::vector<unsigned char>(loader->info().pdbGuid, loader->info().pdbGuid + 16),
                std::vector<unsigned char>(16));
      expectPdbOffered(*loader, status);
    }
  }
  // A debug directory whose size runs past the file, every entry after the first a CodeView one.
  ImageCopy img("hello64.exe");
  put32(img.bytes, img.lfanew + 24 + 112 + 8 * 6 + 4, 0x7FFFFFF0);
  for (size_t off = img.debugDir + 28; off + 28 <= img.bytes.size(); off += 28)
    img.bytes.replace(off, 28, img.bytes.substr(img.debugDir, 28));
  img.loadRecordingAt(519);
}

TEST(PeCodeView, DirectoryWalkRules) {
  {
    // A first entry of type 0 ends the walk before the CodeView entry after it.
    ImageCopy img("lib64.dll");
    std::string entry = img.bytes.substr(img.debugDir, 28);
    img.bytes.replace(img.debugDir + 28, 28, entry);
    put32(img.bytes, img.debugDir + 12, 0);
    SymMgrObjectPtr<PEExecFileLoader> loader = img.load();
    EXPECT_EQ(loader->info().codeViewOffset, 0u);
    EXPECT_EQ(std::memcmp(loader->info().codeViewMagic, "MZ", 2), 0);  // read at offset 0
    expectNoCandidate(*loader);
  }
  {
    // A COFF entry after the CodeView one decides: its symbols are no PDB record.
    ImageCopy img("lib64.dll");
    const uint32_t coffHeader = uint32_t(img.bytes.size());
    std::string header(32, '\0');
    put32(header, 4, 0x40);  // LvaToFirstSymbol
    img.bytes += header + std::string(0x40 - 32, '\0') + "COFFSYMS";
    put32(img.bytes, img.debugDir + 28 + 12, 1);
    put32(img.bytes, img.debugDir + 28 + 24, coffHeader);
    SymMgrObjectPtr<PEExecFileLoader> loader = img.load();
    EXPECT_EQ(loader->info().codeViewOffset, coffHeader + 0x40);
    EXPECT_EQ(std::memcmp(loader->info().codeViewMagic, "COFF", 4), 0);
    expectNoCandidate(*loader);
  }
  {
    // An image without a debug directory: nothing to offer, and nothing is wrong.
    ImageCopy img("hello64.exe");
    const uint32_t debugDataDir = img.lfanew + 24 + 112 + 8 * 6;
    put32(img.bytes, debugDataDir, 0);
    put32(img.bytes, debugDataDir + 4, 0);
    SymMgrObjectPtr<PEExecFileLoader> loader = img.loadRecordingAt(0);
    EXPECT_EQ(loader->info().codeViewOffset, 0u);
    expectNoCandidate(*loader);
    EXPECT_NE(loader->segmentByIndex(1), nullptr);
  }
}


TEST(PeExports, OrdinalOnlyZeroRvaAndDataExports) {
  ImageCopy img("lib64.dll");
  const pe::ExportDirectory dir = *img.info->exportDirectory;
  const uint32_t delta = img.info->exportDelta;
  const uint32_t functions = dir.addressOfFunctions - delta;
  const uint32_t ordinals = dir.addressOfNameOrdinals - delta;
  ASSERT_EQ(dir.numberOfFunctions, 5u);
  ASSERT_EQ(dir.numberOfNames, 4u);
  // Name 0 (lib_add, index 1) now points at index 4 too, so index 1 loses its name; and
  // index 3 (lib_hash) gets RVA 0.
  const uint16_t nameIndex0 = uint16_t(img.bytes[ordinals] | img.bytes[ordinals + 1] << 8);
  ASSERT_EQ(nameIndex0, 1);
  put16(img.bytes, ordinals, 4);  // lib_add's name now names index 4 (first match wins)
  put32(img.bytes, functions + 4 * 3, 0);
  const uint32_t addRva = get32(img.bytes, functions + 4 * 1);
  const uint32_t scaleRva = get32(img.bytes, functions + 4 * 4);
  SymMgrObjectPtr<PEExecFileLoader> loader = img.load();
  SymMgrObjectPtr<RecordingTable> table(new RecordingTable);
  ASSERT_EQ(loader->loadSymbols(table.get(), SYMBOL_KIND_FUNCTION), STATUS_OK);
  const uint64_t base = loader->imageBase();
  std::vector<std::pair<std::wstring, uint64_t>> got;
  for (const Inserted& r : table->symbols()) got.emplace_back(nameOf(r), r.start);
  const std::vector<std::pair<std::wstring, uint64_t>> expected = {
      {L"ORD_" + std::to_wstring(1 + dir.base), base + addRva},
      {L"lib_add", base + scaleRva},
  };
  EXPECT_EQ(got, expected);
}

// Export tables whose counts, arrays or names leave the file: the exports read before the
// damage stay, nothing is read past the end.
TEST(PeExports, DamagedExportTables) {
  struct Case {
    const char* what;
    std::function<void(ImageCopy&)> mutate;
    status_t status;
    int symbols;  // -1: any
    const wchar_t* first;
    int assertions = -1;  // -1: any
  };
  auto dirField = [](ImageCopy& img, uint32_t field, uint32_t v) {
    put32(img.bytes, img.info->exportRva - img.info->exportDelta + field, v);
  };
  auto names = [](ImageCopy& img) { return img.info->exportDirectory->addressOfNames - img.info->exportDelta; };
  const Case cases[] = {
      {"function count past the file", [&](ImageCopy& img) { dirField(img, 20, 0x40000000); }, STATUS_CANT_READ_FILE,
       0, nullptr, 1},
      {"name count past the file", [&](ImageCopy& img) { dirField(img, 24, 0xFFFFFFFF); }, STATUS_CANT_READ_FILE, 0,
       nullptr},
      {"third name past the file", [&](ImageCopy& img) { put32(img.bytes, names(img) + 4 * 2, 0x7FFFFFFF); },
       STATUS_CANT_READ_FILE, 1, L"lib_add"},
      {"name without NUL at the end",
       [&](ImageCopy& img) {
         put32(img.bytes, names(img), uint32_t(img.bytes.size()) + img.info->exportDelta);
         img.bytes += "tail_name";
       },
       STATUS_OK, -1, L"tail_name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageCopy img("lib64.dll");
    c.mutate(img);
    KAVE_3_1::RecordCapture capture;
    SymMgrObjectPtr<PEExecFileLoader> loader = img.load();
    SymMgrObjectPtr<RecordingTable> table(new RecordingTable);
    EXPECT_EQ(loader->loadSymbols(table.get(), 0xFFFFFFFF), c.status);
    EXPECT_EQ(table->boundaries().size(), 4u);  // the section ends come first regardless
    if (c.assertions >= 0) {
      EXPECT_EQ(capture.assertions(), size_t(c.assertions));
    }
    const std::vector<Inserted> symbols = table->symbols();
    if (c.symbols >= 0) {
      EXPECT_EQ(symbols.size(), size_t(c.symbols));
    }
    if (c.first) {
      ASSERT_FALSE(symbols.empty());
      EXPECT_EQ(nameOf(symbols[0]), c.first);
    }
  }
}

TEST(PeSections, EightCharacterNamesAndDuplicateStarts) {
  ImageCopy img("lib64.dll");
  std::memcpy(&img.bytes[img.sectionTable + 40 * 1], ".rdata12", 8);  // no NUL in the header
  // The fourth section starts where the third does: the third keeps the segment.
  put32(img.bytes, img.sectionTable + 40 * 3 + 12, get32(img.bytes, img.sectionTable + 40 * 2 + 12));
  SymMgrObjectPtr<PEExecFileLoader> loader = img.load();
  ISegment* seg = loader->segmentByName(L".rdata12");
  ASSERT_NE(seg, nullptr);
  EXPECT_EQ(seg->kind(), uint32_t(SEGMENT_KIND_DATA));
  SymMgrObjectPtr<ISection> sec = loader->sectionByName(L".rdata12");
  ASSERT_TRUE(sec);
  EXPECT_EQ(sec->address(), seg->rva());
  EXPECT_EQ(loader->segmentByIndex(3)->name(), std::wstring(L".data"));
  EXPECT_EQ(loader->segmentByIndex(4), nullptr);
  EXPECT_EQ(loader->segmentByName(L".pdata"), nullptr);
  EXPECT_TRUE(loader->sectionByName(L".pdata"));  // the header is still there
  SymMgrObjectPtr<RecordingTable> table(new RecordingTable);
  loader->loadSymbols(table.get(), 0xFFFFFFFF);
  EXPECT_EQ(table->boundaries().size(), 4u);  // every header gets its end
}

TEST(PeSections, DamagedHeaders) {
  {
    // More sections than the file holds: the headers that fit are read, the rest recorded.
    ImageCopy img("lib64.dll");
    put16(img.bytes, img.lfanew + 6, 0xFFFF);
    SymMgrObjectPtr<PEExecFileLoader> loader = img.loadRecordingAt(461);
    EXPECT_EQ(loader->info().sectionHeaders.size(), (img.bytes.size() - img.sectionTable) / 40);
    EXPECT_TRUE(loader->info().pdbPath.empty());  // the debug directory was not reached
    expectNoCandidate(*loader);
  }
  {
    // A file that ends inside the PE32+ optional header.
    ImageCopy img("hello64.exe");
    img.bytes.resize(img.lfanew + 250);
    SymMgrObjectPtr<PEExecFileLoader> loader = img.loadRecordingAt(414);
    EXPECT_EQ(loader->imageBase(), 0u);
    EXPECT_EQ(loader->architecture(), uint32_t(ARCH_X86_64));  // read before the failure
    EXPECT_EQ(loader->segmentByIndex(1), nullptr);
    SymMgrObjectPtr<RecordingTable> table(new RecordingTable);
    EXPECT_EQ(loader->loadSymbols(table.get(), 0xFFFFFFFF), STATUS_FALSE);
    EXPECT_TRUE(table->entries.empty());
  }
  {
    // An export directory outside the file.
    ImageCopy img("lib64.dll");
    const uint32_t exportDataDir = img.lfanew + 24 + 112;
    // Export RVA inside .data's span but at its raw end: the 40 bytes do not fit.
    const uint32_t lastRaw = uint32_t(img.bytes.size());
    const uint32_t dataVa = get32(img.bytes, img.sectionTable + 40 * 2 + 12);
    const uint32_t dataRaw = get32(img.bytes, img.sectionTable + 40 * 2 + 20);
    put32(img.bytes, img.sectionTable + 40 * 2 + 16, lastRaw - dataRaw);  // SizeOfRawData to the end
    put32(img.bytes, exportDataDir, dataVa + (lastRaw - dataRaw) - 8);
    SymMgrObjectPtr<PEExecFileLoader> loader = img.loadRecordingAt(505);
    EXPECT_FALSE(loader->info().exportDirectory);
  }
  {
    // Unknown machine, PE32 layout: the base is widened from 32 bits.
    ImageCopy img("hello32.exe");
    put16(img.bytes, img.lfanew + 4, 0x1234);
    SymMgrObjectPtr<PEExecFileLoader> loader = img.load();
    EXPECT_EQ(loader->architecture(), uint32_t(ARCH_UNKNOWN));
    EXPECT_EQ(loader->imageBase(), 0x400000u);
    EXPECT_EQ(loader->info().globalPointerRva, 0u);
  }
}

TEST(PeLoader, UnreadableAndEmptyPaths) {
  KAVE_3_1::RecordCapture capture;
  SymMgrObjectPtr<PEExecFileLoader> loader(new PEExecFileLoader(nullptr, nullptr));
  EXPECT_STREQ(loader->fileName(), L"");
  SymMgrObjectPtr<SymbolFileIter> it;
  EXPECT_EQ(loader->symbolFilesToResolve(it), STATUS_OK);
  EXPECT_EQ(it->current(), nullptr);
  EXPECT_EQ(capture.assertions(), 1u);
  EXPECT_EQ(capture.records()[0].line, 366u);
  // The headers are not read again.
  EXPECT_EQ(loader->symbolFilesToResolve(it), STATUS_OK);
  EXPECT_EQ(capture.assertions(), 1u);
  SymMgrObjectPtr<IDebugInfoLoader> dil;
  EXPECT_EQ(loader->debugInfoLoader(dil, 0), STATUS_FALSE);
}

}  // namespace
