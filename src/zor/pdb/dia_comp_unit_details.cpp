#include "zor/pdb/dia_comp_unit_details.h"

#include "kave/file.h"
#include "zor/object/trace.h"
#include "zor/pdb/dia_line_resolver.h"

namespace ZOR_3_12 {

using internal::Bstr;
using internal::ComPtr;

namespace {

std::wstring canonicalSpelling(const wchar_t* name) {
  return KAVE_3_1::Filename(KAVE_3_1::String(name))
      .toAbsoluteFilename(KAVE_3_1::Filename())
      .canonical()
      .spelling()
      .str();
}

}  // namespace

DiaCompUnitDetails::DiaCompUnitDetails(DiaLineResolver* resolver, dia::IDiaSymbol* compiland)
    : m_resolver(resolver), m_compiland(compiland) {
  Bstr library;
  if (compiland->get_libraryName(library.out()) == dia::S_OK) m_libraryName = library.str();

  ComPtr<dia::IDiaEnumSymbols> details;
  if (compiland->findChildren(dia::SymTagCompilandDetails, nullptr, 0, details.out()) == dia::S_OK && details) {
    ComPtr<dia::IDiaSymbol> first;
    dia::ULONG fetched = 0;
    dia::IDiaSymbol* raw = nullptr;
    if (details->Next(1, &raw, &fetched) == dia::S_OK && fetched == 1 && raw) {
      *first.out() = raw;
      dia::DWORD v = 0;
      if (first->get_backEndMajor(&v) == dia::S_OK) m_majorVersion = static_cast<int32_t>(v);
      if (first->get_backEndMinor(&v) == dia::S_OK) m_minorVersion = static_cast<int32_t>(v);
      if (first->get_language(&v) == dia::S_OK) {
        if (v == dia::CV_CFL_C) m_language = LANGUAGE_C;
        else if (v == dia::CV_CFL_CXX) m_language = LANGUAGE_CPP;
        else if (v == dia::CV_CFL_FORTRAN) m_language = LANGUAGE_FORTRAN;
      }
      if (m_compilerName.empty()) {
        Bstr compiler;
        if (first->get_compilerName(compiler.out()) == dia::S_OK) m_compilerName = compiler.str();
      }
    } else if (raw) {
      raw->Release();
    }
  }

  ComPtr<dia::IDiaEnumSymbols> env;
  if (compiland->findChildren(dia::SymTagCompilandEnv, nullptr, 0, env.out()) == dia::S_OK && env) {
    for (;;) {
      ComPtr<dia::IDiaSymbol> entry;
      dia::ULONG fetched = 0;
      dia::IDiaSymbol* raw = nullptr;
      if (env->Next(1, &raw, &fetched) != dia::S_OK || fetched != 1 || !raw) {
        if (raw) raw->Release();
        break;
      }
      *entry.out() = raw;
      Bstr name;
      if (entry->get_name(name.out()) != dia::S_OK || !name.get()) continue;
      dia::VARIANT value;
      std::wstring text;
      if (entry->get_value(&value) == dia::S_OK && value.vt == dia::VT_BSTR && value.bstrVal) {
        text = value.bstrVal;
        internal::freeDiaString(value.bstrVal);
      }
      const std::wstring key = name.str();
      if (key == L"cl") {
        if (m_compilerName.empty()) m_compilerName = L"Microsoft (R)";
      } else if (key == L"cwd") {
        m_cwd = text;
      } else if (key == L"src") {
        // Relative to the directory named so far: an entry before "cwd" has none.
        m_srcPath = m_cwd + L"\\" + text;
      }
    }
  }
}

uint64_t DiaCompUnitDetails::getId() {
  dia::DWORD id = 0;
  if (m_compiland->get_symIndexId(&id) != dia::S_OK) {
    ZOR_ASSERT_TEXT("hr == S_OK", internal::kDiaSource, 1041);
    return 0;
  }
  return id;
}

ISourceFile* DiaCompUnitDetails::getPrimarySourceFile() {
  if (!m_srcPath.empty()) return getSourceFile(m_srcPath.c_str());
  Bstr name;
  if (m_compiland->get_sourceFileName(name.out()) != dia::S_OK || !name.get()) {
    if (m_compiland->get_name(name.out()) != dia::S_OK || !name.get()) return nullptr;
  }
  return getSourceFile(name.get());
}

void DiaCompUnitDetails::fillNameMap() {
  m_fileIdsFilled = true;
  ComPtr<dia::IDiaEnumSourceFiles> files;
  dia::IDiaSession* session = m_resolver->session();
  if (!session || session->findFile(m_compiland.get(), nullptr, 0, files.out()) != dia::S_OK || !files) return;
  for (;;) {
    ComPtr<dia::IDiaSourceFile> file;
    dia::ULONG fetched = 0;
    dia::IDiaSourceFile* raw = nullptr;
    if (files->Next(1, &raw, &fetched) != dia::S_OK || fetched != 1 || !raw) {
      if (raw) raw->Release();
      break;
    }
    *file.out() = raw;
    Bstr name;
    dia::DWORD id = 0;
    if (file->get_fileName(name.out()) == dia::S_OK && name.get() && file->get_uniqueId(&id) == dia::S_OK)
      m_fileIds[name.str()] = id;
  }
}

ISourceFile* DiaCompUnitDetails::getSourceFile(const wchar_t* name) {
  ISourceFile* result = nullptr;
  if (name) {
    uint32_t id = 0;
    bool found = false;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (!m_fileIdsFilled) fillNameMap();
      auto it = m_fileIds.find(name);
      if (it == m_fileIds.end()) it = m_fileIds.find(canonicalSpelling(name));
      if (it != m_fileIds.end()) {
        id = it->second;
        found = true;
      }
    }
    if (found) result = m_resolver->sourceFile(id);
  }
  if (!result) ZOR_ASSERT_TEXT("srcFile", internal::kDiaSource, 1093);
  return result;
}

}  // namespace ZOR_3_12
