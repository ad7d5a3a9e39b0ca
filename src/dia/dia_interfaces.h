// The COM-style debug-interface-access API between libzor and its PDB plug-in
// (torvik_msdia100.so). Both sides are built by this project with the same compiler, so
// plain abstract classes with virtual functions are the interfaces; results are HRESULTs,
// strings are wide (BSTR-like: allocated by the plug-in with diaAllocString and freed by the
// caller through the plug-in's diaFreeString), and objects are reference-counted with
// AddRef/Release. Only the methods the library calls exist here.
#ifndef ZOR_DIA_DIA_INTERFACES_H_
#define ZOR_DIA_DIA_INTERFACES_H_

#include <cstdint>

namespace dia {

using HRESULT = int32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using ULONGLONG = uint64_t;
using BOOL = int32_t;
using BYTE = uint8_t;
using BSTR = wchar_t*;
using LPCOLESTR = const wchar_t*;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
// Results of the data source's load calls.
constexpr HRESULT E_PDB_NOT_FOUND = static_cast<HRESULT>(0x806D0005u);
constexpr HRESULT E_PDB_FORMAT = static_cast<HRESULT>(0x806D0006u);
constexpr HRESULT E_PDB_INVALID_SIG = static_cast<HRESULT>(0x806D0008u);
constexpr HRESULT E_PDB_INVALID_AGE = static_cast<HRESULT>(0x806D0009u);
constexpr HRESULT E_PDB_NO_DEBUG_INFO = static_cast<HRESULT>(0x806D0007u);
inline bool FAILED(HRESULT hr) { return hr < 0; }
inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using REFIID = const GUID&;
using REFCLSID = const GUID&;
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// {B86AE24D-BF2F-4AC9-B5A2-34B14E4CE11D}
constexpr GUID CLSID_DiaSource = {0xB86AE24D, 0xBF2F, 0x4AC9, {0xB5, 0xA2, 0x34, 0xB1, 0x4E, 0x4C, 0xE1, 0x1D}};
// {C32ADB82-73F4-421B-95D5-A4706EDF5DBE}
constexpr GUID IID_IDiaLoadCallback = {0xC32ADB82, 0x73F4, 0x421B, {0x95, 0xD5, 0xA4, 0x70, 0x6E, 0xDF, 0x5D, 0xBE}};
// {00000001-0000-0000-C000-000000000046}
constexpr GUID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000000-0000-0000-C000-000000000046}
constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {79F1BB5F-B66E-48E5-B6A9-1545C323CA3D}
constexpr GUID IID_IDiaDataSource = {0x79F1BB5F, 0xB66E, 0x48E5, {0xB6, 0xA9, 0x15, 0x45, 0xC3, 0x23, 0xCA, 0x3D}};

// The value of a compiland environment entry (get_value): only strings are produced.
enum VARTYPE : uint16_t { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8 };
struct VARIANT {
  uint16_t vt = VT_EMPTY;
  int32_t lVal = 0;
  BSTR bstrVal = nullptr;
};

enum SymTag : DWORD {
  SymTagNull = 0,
  SymTagExe = 1,
  SymTagCompiland = 2,
  SymTagCompilandDetails = 3,
  SymTagCompilandEnv = 4,
  SymTagFunction = 5,
  SymTagBlock = 6,
  SymTagData = 7,
  SymTagLabel = 9,
  SymTagPublicSymbol = 10,
  SymTagArrayType = 15,
  SymTagThunk = 27,
};
enum LocationType : DWORD { LocIsNull = 0, LocIsStatic = 1, LocIsTLS = 2, LocIsRegRel = 3, LocIsThisRel = 4,
                            LocIsEnregistered = 5, LocIsBitField = 6, LocIsSlot = 7, LocIsIlRel = 8,
                            LocInMetaData = 9, LocIsConstant = 10 };
enum NameSearchOptions : DWORD { nsNone = 0, nsfCaseSensitive = 1, nsfCaseInsensitive = 2 };
enum CV_CFL_LANG : DWORD { CV_CFL_C = 0, CV_CFL_CXX = 1, CV_CFL_FORTRAN = 2 };
enum THUNK_ORDINAL : DWORD { THUNK_ORDINAL_NOTYPE = 0, THUNK_ORDINAL_TRAMPINCREMENTAL = 5,
                              THUNK_ORDINAL_TRAMPBRANCHISLAND = 6 };

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;
};

class IDiaSymbol;
class IDiaSession;
class IDiaEnumSymbols;
class IDiaEnumLineNumbers;
class IDiaEnumSourceFiles;
class IDiaEnumDebugStreams;
class IDiaEnumDebugStreamData;
class IDiaSourceFile;
class IDiaLineNumber;

// Implemented by the library and passed to loadDataForExe.
class IDiaLoadCallback : public IUnknown {
 public:
  virtual HRESULT NotifyDebugDir(BOOL executable, DWORD size, BYTE* data) = 0;
  virtual HRESULT NotifyOpenDBG(LPCOLESTR path, HRESULT result) = 0;
  virtual HRESULT NotifyOpenPDB(LPCOLESTR path, HRESULT result) = 0;
  virtual HRESULT RestrictRegistryAccess() = 0;
  virtual HRESULT RestrictSymbolServerAccess() = 0;
};

class IDiaDataSource : public IUnknown {
 public:
  virtual HRESULT loadDataFromPdb(LPCOLESTR pdbPath) = 0;
  // Opens the PDB only when it carries this GUID (RSDS) or signature (NB10) and age.
  virtual HRESULT loadAndValidateDataFromPdb(LPCOLESTR pdbPath, const GUID* guid, DWORD signature, DWORD age) = 0;
  // Finds the image's PDB: the path in its CodeView record, then the PDB's file name in the
  // image's directory, each checked against the record; reports what it opens to the callback.
  virtual HRESULT loadDataForExe(LPCOLESTR exePath, LPCOLESTR searchPath, IUnknown* callback) = 0;
  virtual HRESULT openSession(IDiaSession** session) = 0;
};

class IDiaSession : public IUnknown {
 public:
  virtual HRESULT get_loadAddress(ULONGLONG* address) = 0;
  virtual HRESULT get_globalScope(IDiaSymbol** global) = 0;
  virtual HRESULT findChildren(IDiaSymbol* parent, DWORD symTag, LPCOLESTR name, DWORD compareFlags,
                               IDiaEnumSymbols** result) = 0;
  virtual HRESULT symbolById(DWORD id, IDiaSymbol** symbol) = 0;
  virtual HRESULT findFile(IDiaSymbol* compiland, LPCOLESTR name, DWORD compareFlags,
                           IDiaEnumSourceFiles** result) = 0;
  virtual HRESULT findFileById(DWORD uniqueId, IDiaSourceFile** result) = 0;
  virtual HRESULT findLines(IDiaSymbol* compiland, IDiaSourceFile* file, IDiaEnumLineNumbers** result) = 0;
  virtual HRESULT findLinesByRVA(DWORD rva, DWORD length, IDiaEnumLineNumbers** result) = 0;
  virtual HRESULT getEnumDebugStreams(IDiaEnumDebugStreams** result) = 0;
};

class IDiaSymbol : public IUnknown {
 public:
  virtual HRESULT get_symIndexId(DWORD* out) = 0;
  virtual HRESULT get_symTag(DWORD* out) = 0;
  virtual HRESULT get_name(BSTR* out) = 0;
  virtual HRESULT get_libraryName(BSTR* out) = 0;
  virtual HRESULT get_language(DWORD* out) = 0;
  virtual HRESULT get_backEndMajor(DWORD* out) = 0;
  virtual HRESULT get_backEndMinor(DWORD* out) = 0;
  virtual HRESULT get_sourceFileName(BSTR* out) = 0;
  virtual HRESULT get_value(VARIANT* out) = 0;
  virtual HRESULT findChildren(DWORD symTag, LPCOLESTR name, DWORD compareFlags, IDiaEnumSymbols** result) = 0;
  virtual HRESULT get_compilerName(BSTR* out) = 0;
  virtual HRESULT get_locationType(DWORD* out) = 0;
  virtual HRESULT get_addressSection(DWORD* out) = 0;
  virtual HRESULT get_addressOffset(DWORD* out) = 0;
  virtual HRESULT get_relativeVirtualAddress(DWORD* out) = 0;
  virtual HRESULT get_length(ULONGLONG* out) = 0;
  virtual HRESULT get_type(IDiaSymbol** out) = 0;
  virtual HRESULT get_code(BOOL* out) = 0;
  virtual HRESULT get_function(BOOL* out) = 0;
  virtual HRESULT get_managed(BOOL* out) = 0;
  virtual HRESULT get_thunkOrdinal(DWORD* out) = 0;
  virtual HRESULT get_targetRelativeVirtualAddress(DWORD* out) = 0;
  virtual HRESULT get_undecoratedNameEx(DWORD options, BSTR* out) = 0;
};

class IDiaEnumSymbols : public IUnknown {
 public:
  virtual HRESULT get_Count(LONG* out) = 0;
  virtual HRESULT Item(DWORD index, IDiaSymbol** out) = 0;
  virtual HRESULT Next(ULONG count, IDiaSymbol** out, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;
};

class IDiaLineNumber : public IUnknown {
 public:
  virtual HRESULT get_lineNumber(DWORD* out) = 0;
  virtual HRESULT get_columnNumber(DWORD* out) = 0;
  virtual HRESULT get_relativeVirtualAddress(DWORD* out) = 0;
  virtual HRESULT get_virtualAddress(ULONGLONG* out) = 0;  // load address + RVA
  virtual HRESULT get_length(DWORD* out) = 0;
  virtual HRESULT get_sourceFileId(DWORD* out) = 0;
  virtual HRESULT get_compilandId(DWORD* out) = 0;
};

class IDiaEnumLineNumbers : public IUnknown {
 public:
  virtual HRESULT get_Count(LONG* out) = 0;
  virtual HRESULT Next(ULONG count, IDiaLineNumber** out, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;
};

class IDiaSourceFile : public IUnknown {
 public:
  virtual HRESULT get_uniqueId(DWORD* out) = 0;
  virtual HRESULT get_fileName(BSTR* out) = 0;
  virtual HRESULT get_checksumType(DWORD* out) = 0;
  virtual HRESULT get_compilands(IDiaEnumSymbols** out) = 0;
  // With data null, reports the size in *size; otherwise copies up to capacity bytes.
  virtual HRESULT get_checksum(DWORD capacity, DWORD* size, BYTE* data) = 0;
};

class IDiaEnumSourceFiles : public IUnknown {
 public:
  virtual HRESULT get_Count(LONG* out) = 0;
  virtual HRESULT Next(ULONG count, IDiaSourceFile** out, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;
};

class IDiaEnumDebugStreamData : public IUnknown {
 public:
  virtual HRESULT get_Count(LONG* out) = 0;  // number of records
  // Copies up to `count` records of the stream's record size; *size gets the bytes copied.
  virtual HRESULT Next(ULONG count, DWORD capacity, DWORD* size, BYTE* data, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;
};

class IDiaEnumDebugStreams : public IUnknown {
 public:
  virtual HRESULT get_Count(LONG* out) = 0;
  // By stream name ("OMAPFROM", "OMAPTO", ...): S_OK and the stream, or E_INVALIDARG.
  virtual HRESULT Item(VARIANT index, IDiaEnumDebugStreamData** out) = 0;
};

// Entry points exported (extern "C") by the plug-in.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using DiaAllocStringFn = BSTR (*)(const wchar_t* text);
using DiaFreeStringFn = void (*)(BSTR text);

}  // namespace dia

#endif  // ZOR_DIA_DIA_INTERFACES_H_
