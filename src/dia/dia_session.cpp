#include "dia/dia_session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <llvm/Demangle/Demangle.h>

#include "dia/com_object.h"
#include "dia/wide_text.h"

namespace dia {
namespace plugin {

namespace {

template <typename T>
HRESULT answer(T* out, T value, bool known) {
  if (!out) return E_INVALIDARG;
  *out = known ? value : T();
  return known ? S_OK : S_FALSE;
}

HRESULT answerString(BSTR* out, const std::string& text, bool known) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!known) return S_FALSE;
  *out = allocUtf8String(text);
  return *out ? S_OK : E_OUTOFMEMORY;
}

// Keeps the items of an enumeration and its cursor.
template <typename Item>
class Cursor {
 public:
  explicit Cursor(std::vector<Item> items) : m_items(std::move(items)) {}
  size_t size() const { return m_items.size(); }
  const std::vector<Item>& items() const { return m_items; }
  bool atEnd() const { return m_next >= m_items.size(); }
  Item take() { return m_items[m_next++]; }
  void reset() { m_next = 0; }

 private:
  std::vector<Item> m_items;
  size_t m_next = 0;
};

IDiaSymbol* newSymbol(const ModelPtr& model, uint32_t id);
IDiaEnumSymbols* newSymbolEnum(const ModelPtr& model, std::vector<uint32_t> ids);

// The id of a symbol handed in by the caller (always one of ours).
bool symbolId(IDiaSymbol* symbol, const PdbModel& model, uint32_t& id) {
  DWORD value = 0;
  if (!symbol || symbol->get_symIndexId(&value) != S_OK || !model.symbol(value)) return false;
  id = value;
  return true;
}

std::vector<uint32_t> matchingChildren(const PdbModel& model, uint32_t parent, DWORD tag, LPCOLESTR name,
                                       DWORD flags) {
  std::vector<uint32_t> out;
  const PdbSymbol* scope = model.symbol(parent);
  if (!scope) return out;
  std::string wanted = name ? wideToUtf8(name) : std::string();
  bool ignoreCase = (flags & nsfCaseInsensitive) != 0;
  for (uint32_t child : scope->children) {
    const PdbSymbol& symbol = model.symbols[child];
    if (tag != SymTagNull && symbol.tag != tag) continue;
    if (name && !equalNames(symbol.name, wanted, ignoreCase)) continue;
    out.push_back(child);
  }
  return out;
}

class Symbol final : public ComObject<IDiaSymbol> {
 public:
  Symbol(ModelPtr model, uint32_t id) : m_model(std::move(model)), m_id(id), m_symbol(m_model->symbols[id]) {}

  HRESULT get_symIndexId(DWORD* out) override { return answer<DWORD>(out, m_id, true); }
  HRESULT get_symTag(DWORD* out) override { return answer<DWORD>(out, m_symbol.tag, true); }
  HRESULT get_name(BSTR* out) override { return answerString(out, m_symbol.name, !m_symbol.name.empty()); }
  HRESULT get_libraryName(BSTR* out) override {
    return answerString(out, m_symbol.libraryName, m_symbol.tag == SymTagCompiland && !m_symbol.libraryName.empty());
  }
  HRESULT get_language(DWORD* out) override { return answer<DWORD>(out, m_symbol.language, m_symbol.hasDetails); }
  HRESULT get_backEndMajor(DWORD* out) override {
    return answer<DWORD>(out, m_symbol.backEndMajor, m_symbol.hasDetails);
  }
  HRESULT get_backEndMinor(DWORD* out) override {
    return answer<DWORD>(out, m_symbol.backEndMinor, m_symbol.hasDetails);
  }
  HRESULT get_sourceFileName(BSTR* out) override {
    return answerString(out, m_symbol.sourceFileName, !m_symbol.sourceFileName.empty());
  }
  HRESULT get_value(VARIANT* out) override {
    if (!out) return E_INVALIDARG;
    *out = VARIANT();
    if (!m_symbol.hasValue) return S_FALSE;
    out->vt = VT_BSTR;
    out->bstrVal = allocUtf8String(m_symbol.value);
    return out->bstrVal ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT findChildren(DWORD symTag, LPCOLESTR name, DWORD compareFlags, IDiaEnumSymbols** result) override {
    if (!result) return E_INVALIDARG;
    *result = newSymbolEnum(m_model, matchingChildren(*m_model, m_id, symTag, name, compareFlags));
    return S_OK;
  }
  HRESULT get_compilerName(BSTR* out) override {
    return answerString(out, m_symbol.compilerName, m_symbol.hasDetails);
  }
  HRESULT get_locationType(DWORD* out) override {
    return answer<DWORD>(out, m_symbol.hasAddress ? LocIsStatic : LocIsNull, true);
  }
  HRESULT get_addressSection(DWORD* out) override {
    return answer<DWORD>(out, m_symbol.section, m_symbol.hasAddress);
  }
  HRESULT get_addressOffset(DWORD* out) override { return answer<DWORD>(out, m_symbol.offset, m_symbol.hasAddress); }
  HRESULT get_relativeVirtualAddress(DWORD* out) override { return answer<DWORD>(out, m_symbol.rva, m_symbol.hasRva); }
  HRESULT get_length(ULONGLONG* out) override { return answer<ULONGLONG>(out, m_symbol.length, m_symbol.hasLength); }
  HRESULT get_type(IDiaSymbol** out) override {
    if (!out) return E_INVALIDARG;
    *out = m_symbol.typeId ? newSymbol(m_model, m_symbol.typeId) : nullptr;
    return *out ? S_OK : S_FALSE;
  }
  HRESULT get_code(BOOL* out) override { return answer<BOOL>(out, m_symbol.code, true); }
  HRESULT get_function(BOOL* out) override { return answer<BOOL>(out, m_symbol.function, true); }
  HRESULT get_managed(BOOL* out) override { return answer<BOOL>(out, 0, true); }
  HRESULT get_thunkOrdinal(DWORD* out) override { return answer<DWORD>(out, m_symbol.thunkOrdinal, m_symbol.isThunk); }
  HRESULT get_targetRelativeVirtualAddress(DWORD* out) override {
    return answer<DWORD>(out, m_symbol.targetRva, m_symbol.hasTarget);
  }
  HRESULT get_undecoratedNameEx(DWORD, BSTR* out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (m_symbol.name.empty()) return S_FALSE;
    std::string text = m_symbol.name;
    if (text[0] == '?') {
      int status = 0;
      char* plain = llvm::microsoftDemangle(text.c_str(), nullptr, nullptr, nullptr, &status);
      if (plain && status == llvm::demangle_success) text = plain;
      std::free(plain);
    } else if (m_symbol.tag == SymTagPublicSymbol && m_model->machine == kMachineI386) {
      text = undecorateI386CName(text);
    }
    *out = allocUtf8String(text);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ModelPtr m_model;
  uint32_t m_id;
  const PdbSymbol& m_symbol;
};

IDiaSymbol* newSymbol(const ModelPtr& model, uint32_t id) { return new Symbol(model, id); }

// Every enumerator is a cursor over model ids, each turned into its object on the way out.
template <class Interface, class Element, Element* (*Make)(const ModelPtr&, uint32_t)>
class IdEnum : public ComObject<Interface> {
 public:
  IdEnum(ModelPtr model, std::vector<uint32_t> ids) : m_model(std::move(model)), m_cursor(std::move(ids)) {}

  HRESULT get_Count(LONG* out) override { return answer<LONG>(out, static_cast<LONG>(m_cursor.size()), true); }
  HRESULT Next(ULONG count, Element** out, ULONG* fetched) override {
    if (!out || (!fetched && count != 1)) return E_INVALIDARG;
    ULONG done = 0;
    while (done < count && !m_cursor.atEnd()) out[done++] = Make(m_model, m_cursor.take());
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    m_cursor.reset();
    return S_OK;
  }

 protected:
  ModelPtr m_model;
  Cursor<uint32_t> m_cursor;
};

class SymbolEnum final : public IdEnum<IDiaEnumSymbols, IDiaSymbol, newSymbol> {
 public:
  using IdEnum::IdEnum;
  HRESULT Item(DWORD index, IDiaSymbol** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= m_cursor.size()) return E_INVALIDARG;
    *out = newSymbol(m_model, m_cursor.items()[index]);
    return S_OK;
  }
};

IDiaEnumSymbols* newSymbolEnum(const ModelPtr& model, std::vector<uint32_t> ids) {
  return new SymbolEnum(model, std::move(ids));
}

class LineNumber final : public ComObject<IDiaLineNumber> {
 public:
  LineNumber(ModelPtr model, uint32_t index) : m_model(std::move(model)), m_line(m_model->lines[index]) {}

  HRESULT get_lineNumber(DWORD* out) override { return answer<DWORD>(out, m_line.line, true); }
  HRESULT get_columnNumber(DWORD* out) override { return answer<DWORD>(out, m_line.column, true); }
  HRESULT get_relativeVirtualAddress(DWORD* out) override { return answer<DWORD>(out, m_line.rva, true); }
  HRESULT get_virtualAddress(ULONGLONG* out) override { return answer<ULONGLONG>(out, m_line.rva, true); }
  HRESULT get_length(DWORD* out) override { return answer<DWORD>(out, m_line.length, true); }
  HRESULT get_sourceFileId(DWORD* out) override { return answer<DWORD>(out, m_line.fileId, true); }
  HRESULT get_compilandId(DWORD* out) override { return answer<DWORD>(out, m_line.compilandId, true); }

 private:
  ModelPtr m_model;
  const PdbLine& m_line;
};

IDiaLineNumber* newLineNumber(const ModelPtr& model, uint32_t id) { return new LineNumber(model, id); }
using LineEnum = IdEnum<IDiaEnumLineNumbers, IDiaLineNumber, newLineNumber>;

class SourceFile final : public ComObject<IDiaSourceFile> {
 public:
  SourceFile(ModelPtr model, uint32_t id) : m_model(std::move(model)), m_id(id), m_file(*m_model->file(id)) {}

  HRESULT get_uniqueId(DWORD* out) override { return answer<DWORD>(out, m_id, true); }
  HRESULT get_fileName(BSTR* out) override { return answerString(out, m_file.name, true); }
  HRESULT get_checksumType(DWORD* out) override { return answer<DWORD>(out, m_file.checksumKind, true); }
  HRESULT get_compilands(IDiaEnumSymbols** out) override {
    if (!out) return E_INVALIDARG;
    *out = newSymbolEnum(m_model, m_file.compilands);
    return S_OK;
  }
  HRESULT get_checksum(DWORD capacity, DWORD* size, BYTE* data) override {
    if (!size) return E_INVALIDARG;
    DWORD available = static_cast<DWORD>(m_file.checksum.size());
    if (!data) {
      *size = available;
      return S_OK;
    }
    DWORD copied = std::min(capacity, available);
    if (copied) std::memcpy(data, m_file.checksum.data(), copied);
    *size = copied;
    return S_OK;
  }

 private:
  ModelPtr m_model;
  uint32_t m_id;
  const PdbSourceFile& m_file;
};

IDiaSourceFile* newSourceFile(const ModelPtr& model, uint32_t id) { return new SourceFile(model, id); }
using SourceFileEnum = IdEnum<IDiaEnumSourceFiles, IDiaSourceFile, newSourceFile>;

class DebugStreamData final : public ComObject<IDiaEnumDebugStreamData> {
 public:
  DebugStreamData(ModelPtr model, size_t index) : m_model(std::move(model)), m_stream(m_model->debugStreams[index]) {}

  HRESULT get_Count(LONG* out) override { return answer<LONG>(out, static_cast<LONG>(records()), true); }
  HRESULT Next(ULONG count, DWORD capacity, DWORD* size, BYTE* data, ULONG* fetched) override {
    size_t wanted = std::min<size_t>(count, records() - m_next);
    if (!data) {
      // Without a buffer the caller learns how many bytes those records need.
      if (size) *size = static_cast<DWORD>(wanted * m_stream.recordSize);
      if (fetched) *fetched = static_cast<ULONG>(wanted);
      return S_OK;
    }
    size_t fits = std::min<size_t>(wanted, capacity / m_stream.recordSize);
    if (wanted > 0 && fits == 0) return E_INVALIDARG;
    if (fits) std::memcpy(data, m_stream.data.data() + m_next * m_stream.recordSize, fits * m_stream.recordSize);
    m_next += fits;
    if (size) *size = static_cast<DWORD>(fits * m_stream.recordSize);
    if (fetched) *fetched = static_cast<ULONG>(fits);
    return fits == count ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    m_next = 0;
    return S_OK;
  }

 private:
  size_t records() const { return m_stream.data.size() / m_stream.recordSize; }

  ModelPtr m_model;
  const PdbDebugStream& m_stream;
  size_t m_next = 0;
};

class DebugStreams final : public ComObject<IDiaEnumDebugStreams> {
 public:
  explicit DebugStreams(ModelPtr model) : m_model(std::move(model)) {}

  HRESULT get_Count(LONG* out) override {
    return answer<LONG>(out, static_cast<LONG>(m_model->debugStreams.size()), true);
  }
  HRESULT Item(VARIANT index, IDiaEnumDebugStreamData** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    const std::vector<PdbDebugStream>& streams = m_model->debugStreams;
    size_t found = streams.size();
    if (index.vt == VT_I4 && index.lVal >= 0) {
      found = static_cast<size_t>(index.lVal);
    } else if (index.vt == VT_BSTR && index.bstrVal) {
      std::string name = wideToUtf8(index.bstrVal);
      for (found = 0; found < streams.size() && !equalNames(streams[found].name, name, true); ++found) {
      }
    }
    if (found >= streams.size()) return E_INVALIDARG;
    *out = new DebugStreamData(m_model, found);
    return S_OK;
  }

 private:
  ModelPtr m_model;
};

class Session final : public ComObject<IDiaSession> {
 public:
  explicit Session(ModelPtr model) : m_model(std::move(model)) {}

  HRESULT get_loadAddress(ULONGLONG* address) override { return answer<ULONGLONG>(address, 0, true); }
  HRESULT get_globalScope(IDiaSymbol** global) override {
    if (!global) return E_INVALIDARG;
    *global = newSymbol(m_model, m_model->globalId);
    return S_OK;
  }
  HRESULT findChildren(IDiaSymbol* parent, DWORD symTag, LPCOLESTR name, DWORD compareFlags,
                       IDiaEnumSymbols** result) override {
    if (!result) return E_INVALIDARG;
    *result = nullptr;
    uint32_t id = 0;
    if (!symbolId(parent, *m_model, id)) return E_INVALIDARG;
    *result = newSymbolEnum(m_model, matchingChildren(*m_model, id, symTag, name, compareFlags));
    return S_OK;
  }
  HRESULT symbolById(DWORD id, IDiaSymbol** symbol) override {
    if (!symbol) return E_INVALIDARG;
    *symbol = nullptr;
    if (!m_model->symbol(id)) return E_INVALIDARG;
    *symbol = newSymbol(m_model, id);
    return S_OK;
  }
  HRESULT findFile(IDiaSymbol* compiland, LPCOLESTR name, DWORD compareFlags, IDiaEnumSourceFiles** result) override {
    if (!result) return E_INVALIDARG;
    *result = nullptr;
    std::vector<uint32_t> candidates;
    uint32_t id = 0;
    if (compiland && symbolId(compiland, *m_model, id) && m_model->symbols[id].tag == SymTagCompiland) {
      candidates = m_model->compilandFiles[id - 1];
    } else if (!compiland || (symbolId(compiland, *m_model, id) && id == m_model->globalId)) {
      for (uint32_t file = 1; file <= m_model->files.size(); ++file) candidates.push_back(file);
    } else {
      return E_INVALIDARG;
    }
    std::vector<uint32_t> files;
    std::string wanted = name ? wideToUtf8(name) : std::string();
    for (uint32_t file : candidates) {
      if (!name || equalNames(m_model->file(file)->name, wanted, (compareFlags & nsfCaseInsensitive) != 0))
        files.push_back(file);
    }
    *result = new SourceFileEnum(m_model, std::move(files));
    return S_OK;
  }
  HRESULT findFileById(DWORD uniqueId, IDiaSourceFile** result) override {
    if (!result) return E_INVALIDARG;
    *result = nullptr;
    if (!m_model->file(uniqueId)) return E_INVALIDARG;
    *result = new SourceFile(m_model, uniqueId);
    return S_OK;
  }
  HRESULT findLines(IDiaSymbol* compiland, IDiaSourceFile* file, IDiaEnumLineNumbers** result) override {
    if (!result) return E_INVALIDARG;
    *result = nullptr;
    uint32_t compilandId = 0;
    DWORD fileId = 0;
    if (!symbolId(compiland, *m_model, compilandId) || m_model->symbols[compilandId].tag != SymTagCompiland)
      return E_INVALIDARG;
    if (!file || file->get_uniqueId(&fileId) != S_OK || !m_model->file(fileId)) return E_INVALIDARG;
    std::vector<uint32_t> lines;
    for (uint32_t index : m_model->compilandLines[compilandId - 1])
      if (m_model->lines[index].fileId == fileId) lines.push_back(index);
    *result = new LineEnum(m_model, std::move(lines));
    return S_OK;
  }
  HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers** result) override {
    if (!result) return E_INVALIDARG;
    const std::vector<PdbLine>& all = m_model->lines;
    uint64_t begin = rva;
    uint64_t end = begin + std::max<DWORD>(length, 1);
    // Lines are ordered by start; none starts earlier than `longestLine` before rva and
    // still reaches it.
    uint64_t earliest = begin > m_model->longestLine ? begin - m_model->longestLine : 0;
    auto first = std::lower_bound(all.begin(), all.end(), earliest,
                                  [](const PdbLine& line, uint64_t value) { return line.rva < value; });
    std::vector<uint32_t> lines;
    for (auto it = first; it != all.end() && it->rva < end; ++it) {
      uint64_t lineEnd = uint64_t(it->rva) + std::max<uint32_t>(it->length, 1);
      if (lineEnd > begin) lines.push_back(static_cast<uint32_t>(it - all.begin()));
    }
    *result = new LineEnum(m_model, std::move(lines));
    return S_OK;
  }
  HRESULT getEnumDebugStreams(IDiaEnumDebugStreams** result) override {
    if (!result) return E_INVALIDARG;
    *result = new DebugStreams(m_model);
    return S_OK;
  }

 private:
  ModelPtr m_model;
};

}  // namespace

std::string undecorateI386CName(const std::string& name) {
  if (name.empty() || name[0] == '?') return name;
  size_t begin = name[0] == '_' || name[0] == '@' ? 1 : 0;
  size_t end = name.size();
  size_t at = name.rfind('@');
  if (at != std::string::npos && at >= begin && at + 1 < end &&
      std::all_of(name.begin() + at + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    end = at;
    if (end > begin && name[end - 1] == '@') --end;  // vectorcall doubles the '@'
  }
  // A name that would vanish (a lone "_" or "@8") is no decoration.
  return end > begin ? name.substr(begin, end - begin) : name;
}

IDiaSession* newSession(ModelPtr model) { return new Session(std::move(model)); }

}  // namespace plugin
}  // namespace dia
