// The PDB plug-in as libzor uses it: opened with dlopen from the build directory, a data
// source from DllGetClassObject, then sessions, enumerations and line queries. Results are
// compared with llvm-pdbutil-14's listings of the same PDBs when that tool is installed.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dia/dia_interfaces.h"
#include "dia/dia_session.h"
#include "dia/omap.h"
#include "dia/image_codeview.h"
#include "dia/wide_text.h"
#include "zor/pdb/com_ptr.h"
#include "support/pdb_oracle.h"
#include "support/scratch.h"

using namespace dia;

namespace {

const std::string kPe = std::string(ZOR_FIXTURES_DIR) + "/pe/";

// Owns one COM reference, as the library's own holder does.
template <typename T>
using Ref = ZOR_3_12::internal::ComPtr<T>;

using scratch::readFile;
using scratch::TempDir;

std::wstring wide(const std::string& text) { return plugin::utf8ToWide(text); }

// The library's side of loadDataForExe: records every PDB the plug-in tried.
class RecordingCallback : public IDiaLoadCallback {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IDiaLoadCallback) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_FAIL;
  }
  ULONG AddRef() override { return 0; }
  ULONG Release() override { return 0; }
  HRESULT NotifyDebugDir(BOOL, DWORD, BYTE*) override { return E_FAIL; }
  HRESULT NotifyOpenDBG(LPCOLESTR, HRESULT result) override { return result; }
  HRESULT NotifyOpenPDB(LPCOLESTR path, HRESULT result) override {
    attempts.emplace_back(plugin::wideToUtf8(path), result);
    return FAILED(result) ? result : S_OK;
  }
  HRESULT RestrictRegistryAccess() override { return S_OK; }
  HRESULT RestrictSymbolServerAccess() override { return E_FAIL; }

  std::vector<std::pair<std::string, HRESULT>> attempts;
};

using pdb_oracle::haveOracle;
using pdb_oracle::Oracle;
using pdb_oracle::readOracle;

std::string take(dia::BSTR text, DiaFreeStringFn freeString) {
  std::string out = text ? plugin::wideToUtf8(text) : std::string();
  freeString(text);
  return out;
}

class DiaPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Never closed: objects released after a test must still find their code.
    std::string path = std::string(ZOR_BINARY_DIR) + "/torvik_msdia100.so";
    m_library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_library, nullptr) << dlerror();
    m_getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(m_library, "DllGetClassObject"));
    m_alloc = reinterpret_cast<DiaAllocStringFn>(dlsym(m_library, "diaAllocString"));
    m_free = reinterpret_cast<DiaFreeStringFn>(dlsym(m_library, "diaFreeString"));
    ASSERT_TRUE(m_getClassObject && m_alloc && m_free);
  }

  // A data source from the plug-in's class factory (the test fails with an exception if none).
  Ref<IDiaDataSource> newSource() {
    Ref<IClassFactory> factory;
    Ref<IDiaDataSource> source;
    if (m_getClassObject(CLSID_DiaSource, IID_IClassFactory, reinterpret_cast<void**>(factory.out())) != S_OK ||
        factory->CreateInstance(nullptr, IID_IDiaDataSource, reinterpret_cast<void**>(source.out())) != S_OK)
      throw std::runtime_error("the plug-in made no data source");
    return source;
  }

  void openPdb(const std::string& pdb, Ref<IDiaSession>& session) {
    Ref<IDiaDataSource> source = newSource();
    ASSERT_EQ(source->loadDataFromPdb(wide(pdb).c_str()), S_OK);
    ASSERT_EQ(source->openSession(session.out()), S_OK);
  }

  std::string name(IDiaSymbol* symbol) {
    BSTR text = nullptr;
    if (symbol->get_name(&text) != S_OK) return std::string();
    return take(text, m_free);
  }

  std::vector<IDiaSymbol*> children(IDiaSymbol* parent, DWORD tag, const wchar_t* filter = nullptr,
                                    DWORD flags = 0) {
    Ref<IDiaEnumSymbols> list;
    std::vector<IDiaSymbol*> out;
    if (parent->findChildren(tag, filter, flags, list.out()) != S_OK) return out;
    IDiaSymbol* symbol = nullptr;
    ULONG fetched = 0;
    while (list->Next(1, &symbol, &fetched) == S_OK && fetched == 1) out.push_back(symbol);
    return out;
  }
  // A property the object must have, e.g. got(symbol, &IDiaSymbol::get_length).
  template <class O, class I, class T>
  static T got(O* object, HRESULT (I::*getter)(T*)) {
    T value{};
    EXPECT_EQ((object->*getter)(&value), S_OK);
    return value;
  }
  template <class O, class I>
  std::string text(O* object, HRESULT (I::*getter)(BSTR*)) {
    return take(got(object, getter), m_free);
  }
  static void release(std::vector<IDiaSymbol*>& symbols) {
    for (IDiaSymbol* symbol : symbols) symbol->Release();
    symbols.clear();
  }

  void* m_library = nullptr;
  DllGetClassObjectFn m_getClassObject = nullptr;
  DiaAllocStringFn m_alloc = nullptr;
  DiaFreeStringFn m_free = nullptr;
};

// Names in a PDB are UTF-8 and may be damaged: bad sequences become replacement characters.
TEST_F(DiaPluginTest, NothingLoadedAndDamagedNames) {
  Ref<IDiaDataSource> source = newSource();
  Ref<IDiaSession> session;
  EXPECT_EQ(source->openSession(session.out()), E_UNEXPECTED) << "nothing loaded yet";
  const wchar_t* text = L"C:\\src\\gr\u00fc\u00dfe\U0001F600.c";
  EXPECT_EQ(plugin::utf8ToWide(plugin::wideToUtf8(text)), text);
  EXPECT_EQ(plugin::utf8ToWide("a\xC3(b\xF0\x9F"), L"a\uFFFD(b\uFFFD\uFFFD");
}

// The image's own record, cross-checked with the PDB's summary, identifies the PDB.
TEST_F(DiaPluginTest, ValidatesGuidAndAge) {
  std::string image = readFile(kPe + "hello64.exe");
  plugin::CodeViewRecord record;
  ASSERT_TRUE(plugin::readCodeViewRecord(reinterpret_cast<const uint8_t*>(image.data()), image.size(), record));
  EXPECT_TRUE(record.isRsds);
  EXPECT_EQ(record.pdbPath, "hello64.pdb");  // linked with /pdbaltpath:%_PDB%
  if (haveOracle()) {
    Oracle oracle = readOracle(kPe + "hello64.pdb");
    char text[64];
    const GUID& g = record.guid;
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    EXPECT_EQ(oracle.guid, text);
    EXPECT_EQ(oracle.age, record.age);
  }
  std::wstring pdb = wide(kPe + "hello64.pdb");
  {
    Ref<IDiaDataSource> source = newSource();
    EXPECT_EQ(source->loadAndValidateDataFromPdb(pdb.c_str(), &record.guid, 0, record.age), S_OK);
    EXPECT_EQ(source->loadAndValidateDataFromPdb(pdb.c_str(), &record.guid, 0, record.age), E_UNEXPECTED);
  }
  {
    Ref<IDiaDataSource> source = newSource();
    GUID wrong = record.guid;
    wrong.Data4[7] ^= 0x40;
    EXPECT_EQ(source->loadAndValidateDataFromPdb(pdb.c_str(), &wrong, 0, record.age), E_PDB_INVALID_SIG);
    EXPECT_EQ(source->loadAndValidateDataFromPdb(pdb.c_str(), &record.guid, 0, record.age + 1), E_PDB_INVALID_AGE);
    Ref<IDiaSession> session;
    EXPECT_EQ(source->openSession(session.out()), E_UNEXPECTED) << "a rejected PDB stays closed";
    EXPECT_EQ(source->loadAndValidateDataFromPdb(wide(kPe + "lib64.pdb").c_str(), &record.guid, 0, record.age),
              E_PDB_INVALID_SIG);
    EXPECT_EQ(source->loadAndValidateDataFromPdb(wide(kPe + "missing.pdb").c_str(), &record.guid, 0, 1),
              E_PDB_NOT_FOUND);
    EXPECT_EQ(source->loadAndValidateDataFromPdb(wide(kPe + "hello64.exe").c_str(), &record.guid, 0, 1),
              E_PDB_FORMAT);
  }
}

TEST_F(DiaPluginTest, LoadForExeRejectsForeignPdb) {
  TempDir dir;
  std::string exe = dir.add("hello64.exe", readFile(kPe + "hello64.exe"));
  std::string pdb = dir.add("hello64.pdb", readFile(kPe + "lib64.pdb"));
  Ref<IDiaDataSource> source = newSource();
  RecordingCallback callback;
  EXPECT_EQ(source->loadDataForExe(wide(exe).c_str(), nullptr, &callback), E_PDB_INVALID_SIG);
  ASSERT_FALSE(callback.attempts.empty());
  EXPECT_EQ(callback.attempts.back(), std::make_pair(pdb, E_PDB_INVALID_SIG));
  Ref<IDiaSession> session;
  EXPECT_EQ(source->openSession(session.out()), E_UNEXPECTED);

  // A search path finds the right PDB elsewhere; without a callback nothing is reported.
  TempDir other;
  other.add("hello64.pdb", readFile(kPe + "hello64.pdb"));
  std::string search = "/nonexistent;" + other.path();
  Ref<IDiaDataSource> second = newSource();
  EXPECT_EQ(second->loadDataForExe(wide(exe).c_str(), wide(search).c_str(), nullptr), S_OK);

  Ref<IDiaDataSource> third = newSource();
  EXPECT_EQ(third->loadDataForExe(wide(kPe + "hello64.pdb").c_str(), nullptr, nullptr), E_PDB_NO_DEBUG_INFO);
}

class DiaOracleTest : public DiaPluginTest, public ::testing::WithParamInterface<const char*> {};

// Compilands, functions, publics, details and environment against llvm-pdbutil-14.
TEST_P(DiaOracleTest, SymbolsMatchPdbUtil) {
  if (!haveOracle()) GTEST_SKIP() << "llvm-pdbutil-14 not installed";
  std::string pdb = kPe + GetParam() + ".pdb";
  Oracle oracle = readOracle(pdb);
  ASSERT_FALSE(oracle.modules.empty());
  ASSERT_FALSE(oracle.procs.empty());
  Ref<IDiaSession> session;
  openPdb(pdb, session);
  Ref<IDiaSymbol> global;
  ASSERT_EQ(session->get_globalScope(global.out()), S_OK);

  std::vector<IDiaSymbol*> compilands = children(global.get(), SymTagCompiland);
  ASSERT_EQ(compilands.size(), oracle.modules.size());
  size_t procsFound = 0;
  for (size_t i = 0; i < compilands.size(); ++i) {
    IDiaSymbol* compiland = compilands[i];
    EXPECT_EQ(name(compiland), oracle.modules[i]);
    if (!oracle.objects[i].empty()) {
      EXPECT_EQ(text(compiland, &IDiaSymbol::get_libraryName), oracle.objects[i]);
    }

    for (const Oracle::Proc& proc : oracle.procs) {
      if (proc.module != i) continue;
      std::vector<IDiaSymbol*> found = children(compiland, SymTagFunction, wide(proc.name).c_str());
      ASSERT_EQ(found.size(), 1u) << proc.name;
      IDiaSymbol* f = found[0];
      EXPECT_EQ(std::make_tuple(got(f, &IDiaSymbol::get_addressSection), got(f, &IDiaSymbol::get_addressOffset),
                                got(f, &IDiaSymbol::get_relativeVirtualAddress), got(f, &IDiaSymbol::get_length)),
                std::make_tuple(proc.section, proc.offset, oracle.sectionRvas.at(proc.section - 1) + proc.offset,
                                uint64_t(proc.size)))
          << proc.name;
      ++procsFound;
      release(found);
    }

    std::vector<IDiaSymbol*> details = children(compiland, SymTagCompilandDetails);
    ASSERT_EQ(details.size(), 1u);
    EXPECT_EQ(text(details[0], &IDiaSymbol::get_compilerName), oracle.compilerVersions.at(i));
    EXPECT_EQ(got(details[0], &IDiaSymbol::get_backEndMajor), oracle.backEndMajors.at(i));
    release(details);
  }
  // Every function the oracle lists was found once, in its own compiland.
  EXPECT_EQ(procsFound, oracle.procs.size());

  // The linker's module: found by name without case, with its environment block.
  std::vector<IDiaSymbol*> linker = children(global.get(), SymTagCompiland, L"* LINKER *", nsfCaseInsensitive);
  ASSERT_EQ(linker.size(), 1u);
  EXPECT_TRUE(children(global.get(), SymTagCompiland, L"* LINKER *", nsfCaseSensitive).empty());
  std::vector<IDiaSymbol*> entries = children(linker[0], SymTagCompilandEnv, L"cwd");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(take(got(entries[0], &IDiaSymbol::get_value).bstrVal, m_free), "C:\\fixtures");
  release(entries);
  release(linker);

  // Publics: names, addresses, function flag, and lengths up to the next public.
  std::vector<IDiaSymbol*> publics = children(global.get(), SymTagPublicSymbol);
  ASSERT_EQ(publics.size(), oracle.publics.size());
  std::map<std::string, IDiaSymbol*> byName;
  for (IDiaSymbol* symbol : publics) byName[name(symbol)] = symbol;
  for (const Oracle::Public& expected : oracle.publics) {
    ASSERT_TRUE(byName.count(expected.name)) << expected.name;
    IDiaSymbol* symbol = byName[expected.name];
    EXPECT_EQ(got(symbol, &IDiaSymbol::get_relativeVirtualAddress),
              oracle.sectionRvas.at(expected.section - 1) + expected.offset);
    EXPECT_EQ(bool(got(symbol, &IDiaSymbol::get_function)), expected.function);
    EXPECT_EQ(bool(got(symbol, &IDiaSymbol::get_code)), expected.function);
    uint64_t next = 0;
    for (const Oracle::Public& other : oracle.publics)
      if (other.section == expected.section && other.offset > expected.offset &&
          (next == 0 || other.offset - expected.offset < next))
        next = other.offset - expected.offset;
    EXPECT_EQ(got(symbol, &IDiaSymbol::get_length), next) << expected.name;
    // The x86 image's C publics carry the cdecl underscore, which undecoration removes.
    BSTR plain = nullptr;
    EXPECT_EQ(symbol->get_undecoratedNameEx(0x3FB, &plain), S_OK);
    const bool x86 = std::string(GetParam()) == "hello32";
    EXPECT_EQ(take(plain, m_free), x86 ? expected.name.substr(1) : expected.name);
  }
  release(publics);
  release(compilands);
}

// Lines per compiland and file, lines by address, and source files against llvm-pdbutil-14.
TEST_P(DiaOracleTest, LinesMatchPdbUtil) {
  if (!haveOracle()) GTEST_SKIP() << "llvm-pdbutil-14 not installed";
  std::string pdb = kPe + GetParam() + ".pdb";
  Oracle oracle = readOracle(pdb);
  ASSERT_FALSE(oracle.lines.empty());
  Ref<IDiaSession> session;
  openPdb(pdb, session);

  // A line runs up to the next entry of its block, the last one to the block's end, as the
  // symbolizer reads them: entries sharing an offset leave the code to the last of them.
  std::multiset<std::tuple<uint32_t, std::string, uint32_t, uint32_t, uint32_t>> expected, seen;
  for (const Oracle::Line& line : oracle.lines)
    expected.emplace(line.module + 1, line.file, line.line, line.rva, line.length);
  for (uint32_t compilandId = 1; compilandId <= oracle.modules.size(); ++compilandId) {
    Ref<IDiaSymbol> compiland;
    ASSERT_EQ(session->symbolById(compilandId, compiland.out()), S_OK);
    Ref<IDiaEnumSourceFiles> files;
    ASSERT_EQ(session->findFile(compiland.get(), nullptr, 0, files.out()), S_OK);
    IDiaSourceFile* file = nullptr;
    ULONG fetched = 0;
    while (files->Next(1, &file, &fetched) == S_OK && fetched == 1) {
      const std::string path = text(file, &IDiaSourceFile::get_fileName);
      ASSERT_TRUE(oracle.md5.count(path)) << path;
      EXPECT_EQ(got(file, &IDiaSourceFile::get_checksumType), 1u);  // MD5
      DWORD size = 0;
      ASSERT_EQ(file->get_checksum(0, &size, nullptr), S_OK);
      std::vector<BYTE> bytes(size);
      ASSERT_EQ(file->get_checksum(size, &size, bytes.data()), S_OK);
      std::string hex;
      for (BYTE b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", b);
        hex += two;
      }
      EXPECT_EQ(hex, oracle.md5[path]);
      const DWORD unique = got(file, &IDiaSourceFile::get_uniqueId);
      Ref<IDiaSourceFile> byId;
      ASSERT_EQ(session->findFileById(unique, byId.out()), S_OK);

      Ref<IDiaEnumLineNumbers> lines;
      ASSERT_EQ(session->findLines(compiland.get(), file, lines.out()), S_OK);
      IDiaLineNumber* line = nullptr;
      DWORD previous = 0;
      while (lines->Next(1, &line, &fetched) == S_OK && fetched == 1) {
        const DWORD rva = got(line, &IDiaLineNumber::get_relativeVirtualAddress);
        EXPECT_EQ(got(line, &IDiaLineNumber::get_sourceFileId), unique);
        EXPECT_GE(rva, previous);
        previous = rva;
        seen.emplace(got(line, &IDiaLineNumber::get_compilandId), path, got(line, &IDiaLineNumber::get_lineNumber), rva,
                     got(line, &IDiaLineNumber::get_length));
        line->Release();
      }
      file->Release();
    }
  }
  EXPECT_EQ(seen, expected);

  Ref<IDiaEnumLineNumbers> none;
  ASSERT_EQ(session->findLinesByRVA(0x7FFFFFF0, 4, none.out()), S_OK);
  LONG count = -1;
  EXPECT_EQ(none->get_Count(&count), S_OK);
  EXPECT_EQ(count, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DiaOracleTest, ::testing::Values("hello64", "hello32", "lib64"));

TEST_F(DiaPluginTest, DataAndDebugStreams) {
  Ref<IDiaSession> session;
  openPdb(kPe + "lib64.pdb", session);
  Ref<IDiaSymbol> global;
  ASSERT_EQ(session->get_globalScope(global.out()), S_OK);
  // The linker kept the global variable only in the global symbols.
  std::vector<IDiaSymbol*> data = children(global.get(), SymTagData, L"lib_counter");
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(got(data[0], &IDiaSymbol::get_length), 4u);  // int
  EXPECT_EQ(got(data[0], &IDiaSymbol::get_relativeVirtualAddress), 0x3000u);
  release(data);

  Ref<IDiaEnumDebugStreams> streams;
  ASSERT_EQ(session->getEnumDebugStreams(streams.out()), S_OK);
  VARIANT which;
  which.vt = VT_BSTR;
  which.bstrVal = m_alloc(L"OMAPFROM");
  Ref<IDiaEnumDebugStreamData> omap;
  EXPECT_EQ(streams->Item(which, omap.out()), E_INVALIDARG);
  m_free(which.bstrVal);

  Ref<IDiaSymbol> bad;
  EXPECT_TRUE(FAILED(session->symbolById(0, bad.out())));
  EXPECT_TRUE(FAILED(session->symbolById(100000, bad.out())));
  Ref<IDiaSourceFile> noFile;
  EXPECT_TRUE(FAILED(session->findFileById(0, noFile.out())));
}

uint32_t le32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  if (at + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

// File offset of the directory entry naming the first block of stream `index` of an MSF
// container (the directory fits in one block in the fixtures).
size_t firstBlockEntry(const std::string& pdb, uint32_t index) {
  uint32_t blockSize = le32(pdb, 32);
  uint32_t blockMap = le32(pdb, 52);
  size_t directory = size_t(le32(pdb, size_t(blockMap) * blockSize)) * blockSize;
  uint32_t streams = le32(pdb, directory);
  size_t blocks = directory + 4 + size_t(streams) * 4;
  for (uint32_t i = 0; i < index; ++i) blocks += 4 * ((le32(pdb, directory + 4 + i * 4) + blockSize - 1) / blockSize);
  return blocks;
}

size_t streamStart(const std::string& pdb, uint32_t index) {
  return size_t(le32(pdb, firstBlockEntry(pdb, index))) * le32(pdb, 32);
}

void put32(std::string& bytes, size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }

// Container and info-stream fields a reader would trust to size or index its reads: each
// damaged copy is refused before anything is read from it.
TEST_F(DiaPluginTest, DamagedContainerFieldsAreRefused) {
  const std::string pdb = readFile(kPe + "hello64.pdb");
  const uint32_t blockSize = le32(pdb, 32);
  ASSERT_EQ(uint64_t(blockSize) * le32(pdb, 40), pdb.size());
  const size_t directory = size_t(le32(pdb, size_t(le32(pdb, 52)) * blockSize)) * blockSize;
  // The info stream's named-stream map: a hash table whose capacity, slots and name offsets
  // the file states.
  const size_t info = streamStart(pdb, 1);
  ASSERT_EQ(le32(pdb, info), 20000404u) << "info stream version";
  const size_t table = info + 28 + 4 + le32(pdb, info + 28);
  ASSERT_GT(le32(pdb, table), 0u);
  ASSERT_LT(le32(pdb, table + 4), 31u);
  ASSERT_EQ(le32(pdb, table + 8), 1u) << "one word of present marks";
  const size_t firstKey = table + 12 + 4 + 4 + 4 * le32(pdb, table + 16);
  ASSERT_LT(le32(pdb, firstKey), le32(pdb, info + 28)) << "a valid name offset to begin with";
  // The DBI stream's optional headers name the section-header stream.
  const size_t dbi = streamStart(pdb, 3);
  ASSERT_LE(le32(pdb, directory + 4 + 3 * 4), blockSize) << "the DBI stream is one block";
  size_t optional = dbi + 64;
  for (size_t field : {24, 28, 32, 36, 40, 52}) optional += le32(pdb, dbi + field);
  uint16_t sectionHeaders = 0;
  std::memcpy(&sectionHeaders, &pdb[optional + 5 * 2], 2);
  ASSERT_NE(sectionHeaders, 0xFFFF);
  const size_t headerBlock = firstBlockEntry(pdb, sectionHeaders);
  ASSERT_LT(le32(pdb, headerBlock), le32(pdb, 40));
  const uint32_t present = le32(pdb, table + 12);
  ASSERT_NE(present, 0u);

  const std::pair<const char*, std::function<void(std::string&)>> mutations[] = {
      {"huge map capacity", [&](std::string& b) { put32(b, table + 4, 0x40000000); }},
      // The highest present mark moves to bit 31, beyond the capacity.
      {"slot beyond capacity",
       [&](std::string& b) { put32(b, table + 12, (present & ~(1u << (31 - __builtin_clz(present)))) | 0x80000000u); }},
      {"name past the buffer", [&](std::string& b) { put32(b, firstKey, 0x7FFF0000u); }},
      {"more blocks than the file", [&](std::string& b) { put32(b, 40, 0x7FFFFFFF); }},
      // The PDB library would accept a block whose end wraps 32 bits, then fail a read.
      {"wrapping block number", [&](std::string& b) { put32(b, headerBlock, 0xFFFFFFFFu); }},
      // A nil info stream reads as an empty one, which has no version.
      {"nil info stream", [&](std::string& b) { put32(b, directory + 4 + 1 * 4, 0xFFFFFFFFu); }},
  };
  TempDir dir;
  for (const auto& m : mutations) {
    std::string copy = pdb;
    m.second(copy);
    std::string path = dir.add(std::string(m.first) + ".pdb", copy);
    Ref<IDiaDataSource> source = newSource();
    EXPECT_EQ(source->loadDataFromPdb(wide(path).c_str()), E_PDB_FORMAT) << m.first;
  }
}

// Damaged copies of a real PDB: every load either fails or gives a session whose every
// enumeration can be walked.
TEST_F(DiaPluginTest, DamagedPdbsFailCleanly) {
  std::string original = readFile(kPe + "hello64.pdb");
  ASSERT_GT(original.size(), 4096u);
  TempDir dir;
  std::vector<std::string> variants;
  for (size_t cut : {size_t(0), size_t(31), size_t(4096), size_t(8192), original.size() / 2, original.size() - 1})
    variants.push_back(original.substr(0, cut));
  uint32_t seed = 12345;
  for (int round = 0; round < 40; ++round) {
    std::string copy = original;
    for (int k = 0; k < 16; ++k) {
      seed = seed * 1103515245u + 12345u;
      copy[(seed >> 8) % copy.size()] = static_cast<char>(seed >> 24);
    }
    variants.push_back(copy);
  }
  int loaded = 0;
  for (size_t i = 0; i < variants.size(); ++i) {
    std::string path = dir.add("damaged" + std::to_string(i) + ".pdb", variants[i]);
    Ref<IDiaDataSource> source = newSource();
    HRESULT hr = source->loadDataFromPdb(wide(path).c_str());
    if (i < 4) {
      EXPECT_EQ(hr, E_PDB_FORMAT) << "truncated at " << variants[i].size();
    }
    if (FAILED(hr)) continue;
    ++loaded;
    Ref<IDiaSession> session;
    ASSERT_EQ(source->openSession(session.out()), S_OK);
    Ref<IDiaSymbol> global;
    ASSERT_EQ(session->get_globalScope(global.out()), S_OK);
    std::vector<IDiaSymbol*> all = children(global.get(), SymTagNull);
    for (IDiaSymbol* symbol : all) {
      std::vector<IDiaSymbol*> inner = children(symbol, SymTagNull);
      release(inner);
      Ref<IDiaEnumSourceFiles> files;
      session->findFile(symbol, nullptr, 0, files.out());
    }
    release(all);
    Ref<IDiaEnumLineNumbers> lines;
    EXPECT_EQ(session->findLinesByRVA(0, 0xFFFFFFFF, lines.out()), S_OK);
  }
  // Random byte damage usually misses the parts that must be intact.
  EXPECT_GT(loaded, 0);
}

// x86 C decorations as compilers write them, and names that only look decorated.
TEST(DiaUndecorate, I386CNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"_main", "main"}, {"_WinMain@16", "WinMain"}, {"@fast@8", "fast"}, {"vec@@24", "vec"},
      {"__imp__f", "_imp__f"},  // one underscore belongs to the name
      {"plain", "plain"}, {"_a@b", "a@b"},  // not a byte count
      {"?f@@YAHXZ", "?f@@YAHXZ"},
      // Nothing left after the decoration: the name is kept whole.
      {"_", "_"}, {"_@4", "_@4"}, {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(dia::plugin::undecorateI386CName(c.first), c.second) << c.first;
}

// OMAP tables as a rearranging tool writes them: bytes of {from, to} pairs.
std::vector<uint8_t> omapBytes(const std::vector<std::pair<uint32_t, uint32_t>>& records) {
  std::vector<uint8_t> bytes;
  for (const auto& r : records)
    for (uint32_t v : {r.first, r.second})
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return bytes;
}

TEST(DiaOmap, BadTablesAnswerNothingOrStayInRange) {
  uint32_t out = 7;
  plugin::OmapTable none(nullptr, 16);
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(none.translate(0x1000, out));
  std::vector<uint8_t> partial = omapBytes({{0x1000, 0x2000}});
  plugin::OmapTable cut(partial.data(), 7);  // not one whole record
  EXPECT_TRUE(cut.empty());
  // A move past 4 GB is refused rather than wrapped.
  std::vector<uint8_t> high = omapBytes({{0x10, 0xFFFFFFF0u}});
  plugin::OmapTable top(high.data(), high.size());
  ASSERT_TRUE(top.translate(0x1F, out));
  EXPECT_EQ(out, 0xFFFFFFFFu);
  EXPECT_FALSE(top.translate(0x20, out));
  // Two records for one address: the later one in the file decides, whatever the order.
  std::vector<uint8_t> twice = omapBytes({{0x100, 0x900}, {0x100, 0x700}, {0x80, 0x80}});
  plugin::OmapTable dup(twice.data(), twice.size());
  ASSERT_TRUE(dup.translate(0x104, out));
  EXPECT_EQ(out, 0x704u);
  ASSERT_TRUE(dup.translate(0x84, out));
  EXPECT_EQ(out, 0x84u);
}

TEST(DiaOmap, ModelAddressesMoveIntoTheImage) {
  plugin::PdbModel model;
  model.symbols.resize(6);
  auto place = [&](size_t id, SymTag tag, uint32_t rva) {
    model.symbols[id].tag = tag;
    model.symbols[id].hasAddress = model.symbols[id].hasRva = true;
    model.symbols[id].rva = rva;
  };
  place(1, SymTagFunction, 0x1010);
  place(2, SymTagPublicSymbol, 0x1010);
  place(3, SymTagData, 0x1180);
  place(4, SymTagThunk, 0x1260);
  model.symbols[4].hasTarget = true;
  model.symbols[4].targetRva = 0x1020;
  place(5, SymTagLabel, 0x500);
  model.lines = {{0x1000, 0x10, 1, 0, 1, 1}, {0x10F0, 0x20, 2, 0, 1, 1}, {0x1150, 0x10, 3, 0, 1, 1},
                 {0x1260, 0x08, 4, 0, 1, 1}};
  plugin::PdbModel untouched = model;
  plugin::applyOmap(untouched);
  EXPECT_EQ(untouched.symbols[1].rva, 0x1010u);  // no OMAPFROM stream: nothing moves
  EXPECT_EQ(untouched.lines.size(), 4u);

  plugin::PdbDebugStream to;  // the reverse map is not what moves addresses
  to.name = "OMAPTO";
  to.data = omapBytes({{0, 0x9000}});
  plugin::PdbDebugStream from;
  from.name = "OMAPFROM";
  from.data = omapBytes({{0x1000, 0x5000}, {0x1100, 0}, {0x1200, 0x3000}});
  model.debugStreams = {to, from};
  plugin::applyOmap(model);
  EXPECT_TRUE(model.symbols[1].hasRva);
  EXPECT_EQ(model.symbols[1].rva, 0x5010u);
  EXPECT_EQ(model.symbols[2].rva, 0x1010u);  // publics are mapped span by span by their readers
  EXPECT_FALSE(model.symbols[3].hasRva);     // dropped stretch
  EXPECT_FALSE(model.symbols[3].hasAddress);
  EXPECT_TRUE(model.symbols[1].hasAddress);
  EXPECT_EQ(model.symbols[4].rva, 0x3060u);
  EXPECT_TRUE(model.symbols[4].hasTarget);
  EXPECT_EQ(model.symbols[4].targetRva, 0x5020u);
  EXPECT_FALSE(model.symbols[5].hasRva);  // before the first record
  // The line in the dropped stretch goes; the one crossing into it is cut at its stretch's
  // end; the order is the image's.
  using Lines = std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>;  // rva, length, line
  Lines lines;
  for (const auto& l : model.lines) lines.emplace_back(l.rva, l.length, l.line);
  EXPECT_EQ(lines, (Lines{{0x3060, 8, 4}, {0x5000, 0x10, 1}, {0x50F0, 0x10, 2}}));
}

}  // namespace
