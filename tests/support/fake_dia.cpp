#include "support/fake_dia.h"

#include <atomic>
#include <cstring>
#include <cwctype>
#include <functional>
#include <mutex>

#include "zor/pdb/dia_manager.h"

namespace fake_dia {

using namespace dia;

namespace {

std::atomic<long> s_liveObjects{0};
std::atomic<long> s_liveStrings{0};
std::mutex s_mutex;
std::shared_ptr<Pdb> s_pdb;

BSTR allocString(const std::wstring& text) {
  auto* s = new wchar_t[text.size() + 1];
  std::wmemcpy(s, text.c_str(), text.size() + 1);
  ++s_liveStrings;
  return s;
}

void freeString(BSTR s) {
  if (!s) return;
  --s_liveStrings;
  delete[] s;
}

bool equalsNoCase(const std::wstring& a, const wchar_t* b) {
  size_t n = std::wcslen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  return true;
}

template <class I>
class Object : public I {
 public:
  Object() { ++s_liveObjects; }
  virtual ~Object() { --s_liveObjects; }
  HRESULT QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

using PdbPtr = std::shared_ptr<Pdb>;

IDiaSymbol* newSymbol(PdbPtr pdb, uint32_t id);

// An enumeration handing out a new object, made by `make`, for each of `items`.
template <class I, class Out, class T>
class Enum : public Object<I> {
 public:
  using Make = std::function<Out*(const T&)>;
  Enum(std::vector<T> items, Make make) : m_items(std::move(items)), m_make(std::move(make)) {}
  HRESULT get_Count(LONG* out) override { return *out = static_cast<LONG>(m_items.size()), S_OK; }
  HRESULT Next(ULONG count, Out** out, ULONG* fetched) override {
    ULONG n = 0;
    while (n < count && m_cursor < m_items.size()) out[n++] = m_make(m_items[m_cursor++]);
    *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Reset() override { return m_cursor = 0, S_OK; }

 protected:
  std::vector<T> m_items;
  Make m_make;
  size_t m_cursor = 0;
};

class EnumSymbols : public Enum<IDiaEnumSymbols, IDiaSymbol, uint32_t> {
 public:
  EnumSymbols(PdbPtr pdb, std::vector<uint32_t> ids)
      : Enum(std::move(ids), [pdb](const uint32_t& id) { return newSymbol(pdb, id); }) {}
  HRESULT Item(DWORD index, IDiaSymbol** out) override {
    if (index >= m_items.size()) return E_INVALIDARG;
    return *out = m_make(m_items[index]), S_OK;
  }
};

class FakeSymbol : public Object<IDiaSymbol> {
 public:
  FakeSymbol(PdbPtr pdb, uint32_t id) : m_pdb(std::move(pdb)), m_s(m_pdb->symbols.at(id)) {}

  HRESULT get_symIndexId(DWORD* out) override { return *out = m_s.id, S_OK; }
  HRESULT get_symTag(DWORD* out) override { return *out = m_s.tag, S_OK; }
  HRESULT get_name(BSTR* out) override { return *out = allocString(m_s.name), S_OK; }
  // Compiland details and environment entries: none.
  HRESULT get_libraryName(BSTR* out) override { return *out = nullptr, S_FALSE; }
  HRESULT get_language(DWORD*) override { return S_FALSE; }
  HRESULT get_backEndMajor(DWORD*) override { return S_FALSE; }
  HRESULT get_backEndMinor(DWORD*) override { return S_FALSE; }
  HRESULT get_sourceFileName(BSTR* out) override { return *out = nullptr, S_FALSE; }
  HRESULT get_value(VARIANT*) override { return S_FALSE; }
  HRESULT get_compilerName(BSTR* out) override { return *out = nullptr, S_FALSE; }
  HRESULT findChildren(DWORD tag, LPCOLESTR name, DWORD flags, IDiaEnumSymbols** result) override;
  HRESULT get_locationType(DWORD* out) override { return *out = LocIsStatic, S_OK; }
  HRESULT get_addressSection(DWORD* out) override { return *out = m_s.section, S_OK; }
  HRESULT get_addressOffset(DWORD* out) override { return *out = m_s.offset, S_OK; }
  HRESULT get_relativeVirtualAddress(DWORD* out) override { return *out = m_s.rva, S_OK; }
  HRESULT get_length(ULONGLONG* out) override { return *out = m_s.length, S_OK; }
  HRESULT get_type(IDiaSymbol** out) override {
    if (!m_s.type) return *out = nullptr, S_FALSE;
    *out = newSymbol(m_pdb, m_s.type);
    return S_OK;
  }
  HRESULT get_code(BOOL* out) override { return *out = m_s.code, S_OK; }
  HRESULT get_function(BOOL* out) override { return *out = m_s.function, S_OK; }
  HRESULT get_managed(BOOL* out) override { return *out = m_s.managed, S_OK; }
  HRESULT get_thunkOrdinal(DWORD* out) override { return *out = m_s.thunkOrdinal, S_OK; }
  HRESULT get_targetRelativeVirtualAddress(DWORD* out) override { return *out = m_s.targetRva, S_OK; }
  HRESULT get_undecoratedNameEx(DWORD, BSTR* out) override { return *out = allocString(m_s.name), S_OK; }

 private:
  PdbPtr m_pdb;
  const Symbol& m_s;
};

std::vector<uint32_t> childrenOf(const Pdb& pdb, uint32_t parent, DWORD tag, LPCOLESTR name, DWORD flags) {
  std::vector<uint32_t> ids;
  auto p = pdb.symbols.find(parent);
  if (p == pdb.symbols.end()) return ids;
  for (uint32_t id : p->second.children) {
    const Symbol& c = pdb.symbols.at(id);
    if (tag != SymTagNull && c.tag != tag) continue;
    if (name && !((flags & nsfCaseInsensitive) ? equalsNoCase(c.name, name) : c.name == name)) continue;
    ids.push_back(id);
  }
  return ids;
}

HRESULT FakeSymbol::findChildren(DWORD tag, LPCOLESTR name, DWORD flags, IDiaEnumSymbols** result) {
  *result = new EnumSymbols(m_pdb, childrenOf(*m_pdb, m_s.id, tag, name, flags));
  return S_OK;
}

IDiaSymbol* newSymbol(PdbPtr pdb, uint32_t id) { return new FakeSymbol(std::move(pdb), id); }

DWORD idOf(IDiaSymbol* s) {
  DWORD id = 0;
  if (s) s->get_symIndexId(&id);
  return id;
}

class LineNumber : public Object<IDiaLineNumber> {
 public:
  explicit LineNumber(const Line& l) : m_l(l) {}
  HRESULT get_lineNumber(DWORD* out) override { return *out = m_l.line, S_OK; }
  HRESULT get_columnNumber(DWORD* out) override { return *out = m_l.column, S_OK; }
  HRESULT get_relativeVirtualAddress(DWORD* out) override { return *out = m_l.rva, S_OK; }
  HRESULT get_virtualAddress(ULONGLONG* out) override { return *out = m_l.rva, S_OK; }
  HRESULT get_length(DWORD* out) override { return *out = m_l.length, S_OK; }
  HRESULT get_sourceFileId(DWORD* out) override { return *out = m_l.fileId, S_OK; }
  HRESULT get_compilandId(DWORD* out) override { return *out = m_l.compilandId, S_OK; }

 private:
  Line m_l;
};

IDiaEnumLineNumbers* newLines(std::vector<Line> lines) {
  return new Enum<IDiaEnumLineNumbers, IDiaLineNumber, Line>(std::move(lines),
                                                             [](const Line& l) { return new LineNumber(l); });
}

class FakeSourceFile : public Object<IDiaSourceFile> {
 public:
  FakeSourceFile(PdbPtr pdb, const SourceFile& f) : m_pdb(std::move(pdb)), m_f(f) {}
  HRESULT get_uniqueId(DWORD* out) override { return *out = m_f.id, S_OK; }
  HRESULT get_fileName(BSTR* out) override { return *out = allocString(m_f.name), S_OK; }
  HRESULT get_checksumType(DWORD* out) override { return *out = m_f.checksumType, S_OK; }
  HRESULT get_compilands(IDiaEnumSymbols** out) override { return *out = nullptr, E_NOTIMPL; }
  HRESULT get_checksum(DWORD capacity, DWORD* size, BYTE* data) override {
    if (!data) return *size = static_cast<DWORD>(m_f.checksum.size()), S_OK;
    DWORD n = std::min<DWORD>(capacity, static_cast<DWORD>(m_f.checksum.size()));
    std::memcpy(data, m_f.checksum.data(), n);
    *size = n;
    return S_OK;
  }

 private:
  PdbPtr m_pdb;
  const SourceFile& m_f;
};

class StreamData : public Object<IDiaEnumDebugStreamData> {
 public:
  explicit StreamData(std::vector<std::pair<uint32_t, uint32_t>> records) : m_records(std::move(records)) {}
  HRESULT get_Count(LONG* out) override { return *out = static_cast<LONG>(m_records.size()), S_OK; }
  HRESULT Next(ULONG count, DWORD capacity, DWORD* size, BYTE* data, ULONG* fetched) override {
    ULONG n = 0;
    while (n < count && m_cursor < m_records.size() && (n + 1) * 8 <= capacity) {
      uint32_t pair[2] = {m_records[m_cursor].first, m_records[m_cursor].second};
      std::memcpy(data + n * 8, pair, 8);
      ++n;
      ++m_cursor;
    }
    *size = n * 8;
    *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Reset() override { return m_cursor = 0, S_OK; }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> m_records;
  size_t m_cursor = 0;
};

class DebugStreams : public Object<IDiaEnumDebugStreams> {
 public:
  explicit DebugStreams(PdbPtr pdb) : m_pdb(std::move(pdb)) {}
  HRESULT get_Count(LONG* out) override { return *out = m_pdb->hasOmap ? 2 : 0, S_OK; }
  HRESULT Item(VARIANT index, IDiaEnumDebugStreamData** out) override {
    *out = nullptr;
    if (!m_pdb->hasOmap || index.vt != VT_BSTR || !index.bstrVal) return E_INVALIDARG;
    std::wstring name = index.bstrVal;
    if (name == L"OMAPFROM") *out = new StreamData(m_pdb->omapFrom);
    if (name == L"OMAPTO") *out = new StreamData(m_pdb->omapTo);
    return *out ? S_OK : E_INVALIDARG;
  }

 private:
  PdbPtr m_pdb;
};

class Session : public Object<IDiaSession> {
 public:
  explicit Session(PdbPtr pdb) : m_pdb(std::move(pdb)) {}
  HRESULT get_loadAddress(ULONGLONG* out) override { return *out = 0, S_OK; }
  HRESULT get_globalScope(IDiaSymbol** out) override {
    *out = newSymbol(m_pdb, m_pdb->globalId);
    return S_OK;
  }
  HRESULT findChildren(IDiaSymbol* parent, DWORD tag, LPCOLESTR name, DWORD flags,
                       IDiaEnumSymbols** result) override {
    *result = new EnumSymbols(m_pdb, childrenOf(*m_pdb, idOf(parent), tag, name, flags));
    return S_OK;
  }
  HRESULT symbolById(DWORD id, IDiaSymbol** out) override {
    if (!m_pdb->symbols.count(id)) return *out = nullptr, S_FALSE;
    *out = newSymbol(m_pdb, id);
    return S_OK;
  }
  // The library asks for a file by id and for lines by address only.
  HRESULT findFile(IDiaSymbol*, LPCOLESTR, DWORD, IDiaEnumSourceFiles** result) override {
    return *result = nullptr, E_NOTIMPL;
  }
  HRESULT findFileById(DWORD id, IDiaSourceFile** out) override {
    auto f = m_pdb->files.find(id);
    if (f == m_pdb->files.end()) return *out = nullptr, S_FALSE;
    *out = new FakeSourceFile(m_pdb, f->second);
    return S_OK;
  }
  HRESULT findLines(IDiaSymbol*, IDiaSourceFile*, IDiaEnumLineNumbers** result) override {
    return *result = nullptr, E_NOTIMPL;
  }
  HRESULT findLinesByRVA(DWORD rva, DWORD, IDiaEnumLineNumbers** result) override {
    std::vector<Line> found;
    for (const Line& l : m_pdb->lines)
      if (rva >= l.rva && (rva - l.rva < l.length || rva == l.rva)) found.push_back(l);
    *result = newLines(std::move(found));
    return S_OK;
  }
  HRESULT getEnumDebugStreams(IDiaEnumDebugStreams** result) override {
    *result = new DebugStreams(m_pdb);
    return S_OK;
  }

 private:
  PdbPtr m_pdb;
};

class DataSource : public Object<IDiaDataSource> {
 public:
  explicit DataSource(PdbPtr pdb) : m_pdb(std::move(pdb)) {}
  HRESULT loadDataFromPdb(LPCOLESTR) override { return E_NOTIMPL; }
  // The PDB the image names is not there; the one found by searching is the described one.
  HRESULT loadAndValidateDataFromPdb(LPCOLESTR, const GUID*, DWORD, DWORD) override { return E_PDB_INVALID_SIG; }
  HRESULT loadDataForExe(LPCOLESTR, LPCOLESTR, IUnknown* callback) override {
    void* cb = nullptr;
    if (callback && callback->QueryInterface(IID_IDiaLoadCallback, &cb) == S_OK && cb)
      static_cast<IDiaLoadCallback*>(cb)->NotifyOpenPDB(L"/nonexistent/fake.pdb", S_OK);
    return S_OK;
  }
  HRESULT openSession(IDiaSession** session) override {
    *session = new Session(m_pdb);
    return S_OK;
  }

 private:
  PdbPtr m_pdb;
};

class Factory : public Object<IClassFactory> {
 public:
  explicit Factory(PdbPtr pdb) : m_pdb(std::move(pdb)) {}
  HRESULT CreateInstance(IUnknown*, REFIID riid, void** object) override {
    if (!(riid == IID_IDiaDataSource)) return *object = nullptr, E_NOINTERFACE;
    *object = static_cast<IDiaDataSource*>(new DataSource(m_pdb));
    return S_OK;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  PdbPtr m_pdb;
};

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object) {
  PdbPtr pdb;
  {
    std::lock_guard<std::mutex> guard(s_mutex);
    pdb = s_pdb;
  }
  *object = nullptr;
  if (!pdb || !(clsid == CLSID_DiaSource) || !(iid == IID_IClassFactory)) return E_FAIL;
  *object = static_cast<IClassFactory*>(new Factory(pdb));
  return S_OK;
}

}  // namespace

Pdb::Pdb() {
  Symbol global;
  global.id = globalId;
  global.tag = SymTagExe;
  global.name = L"fake";
  symbols[globalId] = global;
}

uint32_t Pdb::add(Symbol s, uint32_t parent) {
  s.id = static_cast<uint32_t>(symbols.rbegin()->first + 1);
  s.parent = parent ? parent : globalId;
  uint32_t id = s.id;
  symbols[id] = std::move(s);
  symbols.at(symbols.at(id).parent).children.push_back(id);
  return id;
}

uint32_t Pdb::addCompiland(const std::wstring& name) {
  Symbol s;
  s.tag = SymTagCompiland;
  s.name = name;
  return add(s);
}

uint32_t Pdb::addFunction(uint32_t compiland, const std::wstring& name, uint32_t rva, uint64_t length) {
  Symbol s;
  s.tag = SymTagFunction;
  s.name = name;
  s.rva = rva;
  s.offset = rva - 0x1000;
  s.length = length;
  return add(s, compiland);
}

uint32_t Pdb::addPublic(const std::wstring& name, uint32_t rva, bool function) {
  Symbol s;
  s.tag = SymTagPublicSymbol;
  s.name = name;
  s.rva = rva;
  s.offset = rva - 0x1000;
  s.function = function;
  return add(s);
}

void install(std::shared_ptr<Pdb> pdb) {
  {
    std::lock_guard<std::mutex> guard(s_mutex);
    s_pdb = pdb;
  }
  if (pdb) {
    static const ZOR_3_12::internal::DiaPluginOverride standIn{&getClassObject, &freeString};
    ZOR_3_12::internal::setDiaPluginOverride(&standIn);
  } else {
    ZOR_3_12::internal::setDiaPluginOverride(nullptr);
  }
}

long liveObjects() { return s_liveObjects.load(); }
long liveStrings() { return s_liveStrings.load(); }

}  // namespace fake_dia
