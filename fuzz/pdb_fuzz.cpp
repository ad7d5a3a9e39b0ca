// Arbitrary bytes as a PDB: loading must fail cleanly or give a model whose every
// enumeration (symbols, children, files, lines, debug streams) can be walked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "dia/dia_interfaces.h"
#include "dia/dia_session.h"
#include "dia/omap.h"
#include "dia/pdb_reader.h"
#include "dia/wide_text.h"

using namespace dia;

namespace {

void touch(IDiaSymbol* symbol) {
  DWORD value = 0;
  ULONGLONG length = 0;
  BOOL flag = 0;
  BSTR text = nullptr;
  VARIANT variant;
  symbol->get_symTag(&value);
  symbol->get_relativeVirtualAddress(&value);
  symbol->get_addressSection(&value);
  symbol->get_addressOffset(&value);
  symbol->get_length(&length);
  symbol->get_code(&flag);
  symbol->get_thunkOrdinal(&value);
  symbol->get_targetRelativeVirtualAddress(&value);
  symbol->get_language(&value);
  if (symbol->get_name(&text) == S_OK) plugin::freeString(text);
  if (symbol->get_undecoratedNameEx(0x3FB, &text) == S_OK) plugin::freeString(text);
  if (symbol->get_compilerName(&text) == S_OK) plugin::freeString(text);
  if (symbol->get_libraryName(&text) == S_OK) plugin::freeString(text);
  if (symbol->get_value(&variant) == S_OK) plugin::freeString(variant.bstrVal);
  IDiaSymbol* type = nullptr;
  if (symbol->get_type(&type) == S_OK) {
    type->get_length(&length);
    type->Release();
  }
}

void walk(IDiaSession* session, IDiaSymbol* scope, int depth) {
  IDiaEnumSymbols* children = nullptr;
  if (scope->findChildren(SymTagNull, nullptr, 0, &children) != S_OK) return;
  IDiaSymbol* child = nullptr;
  ULONG fetched = 0;
  while (children->Next(1, &child, &fetched) == S_OK && fetched == 1) {
    touch(child);
    if (depth < 8) walk(session, child, depth + 1);
    DWORD tag = 0;
    child->get_symTag(&tag);
    if (tag == SymTagCompiland) {
      IDiaEnumSourceFiles* files = nullptr;
      if (session->findFile(child, nullptr, 0, &files) == S_OK) {
        IDiaSourceFile* file = nullptr;
        while (files->Next(1, &file, &fetched) == S_OK && fetched == 1) {
          DWORD size = 0;
          BYTE checksum[64];
          file->get_checksum(sizeof checksum, &size, checksum);
          IDiaEnumLineNumbers* lines = nullptr;
          if (session->findLines(child, file, &lines) == S_OK) {
            IDiaLineNumber* line = nullptr;
            // Address queries for a bounded number of lines: each may scan many lines.
            for (int queries = 0; lines->Next(1, &line, &fetched) == S_OK && fetched == 1; ++queries) {
              DWORD rva = 0;
              line->get_relativeVirtualAddress(&rva);
              IDiaEnumLineNumbers* around = nullptr;
              if (queries < 16 && session->findLinesByRVA(rva, 1, &around) == S_OK) around->Release();
              line->Release();
            }
            lines->Release();
          }
          file->Release();
        }
        files->Release();
      }
    }
    child->Release();
  }
  children->Release();
}

// The same bytes as an address map of a rearranged image, and as the addresses of lines
// moved through it: translation stays inside the stretch it found, lines stay ordered.
void fuzzOmap(const uint8_t* data, size_t size) {
  size = std::min<size_t>(size, 1 << 16);
  plugin::OmapTable table(data, size);
  plugin::PdbModel model;
  for (size_t at = 0; at + 4 <= size && at < 1024; at += 4) {
    uint32_t rva = 0, out = 0;
    uint64_t room = 0;
    std::memcpy(&rva, data + at, 4);
    if (table.translate(rva, out, &room) && room == 0) __builtin_trap();
    plugin::PdbLine line;
    line.rva = rva;
    line.length = static_cast<uint32_t>(at);
    line.fileId = line.compilandId = 1;
    model.lines.push_back(line);
    plugin::PdbSymbol symbol;
    symbol.tag = at % 8 ? SymTagFunction : SymTagPublicSymbol;
    symbol.hasAddress = symbol.hasRva = symbol.hasTarget = true;
    symbol.rva = rva;
    symbol.targetRva = ~rva;
    model.symbols.push_back(symbol);
  }
  plugin::PdbDebugStream from;
  from.name = "OMAPFROM";
  from.recordSize = 8;
  from.data.assign(data, data + size - size % 8);
  model.debugStreams.push_back(std::move(from));
  plugin::applyOmap(model);
  for (size_t i = 1; i < model.lines.size(); ++i)
    if (model.lines[i - 1].rva > model.lines[i].rva) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzOmap(data, size);
  auto model = std::make_shared<plugin::PdbModel>();
  if (FAILED(plugin::readPdbBytes(data, size, "fuzz.pdb", *model))) return 0;
  IDiaSession* session = plugin::newSession(model);
  IDiaSymbol* global = nullptr;
  if (session->get_globalScope(&global) == S_OK) {
    walk(session, global, 0);
    global->Release();
  }
  IDiaEnumDebugStreams* streams = nullptr;
  if (session->getEnumDebugStreams(&streams) == S_OK) {
    LONG count = 0;
    streams->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
      VARIANT which;
      which.vt = VT_I4;
      which.lVal = i;
      IDiaEnumDebugStreamData* stream = nullptr;
      if (streams->Item(which, &stream) != S_OK) continue;
      std::vector<BYTE> bytes(64);
      DWORD got = 0;
      ULONG fetched = 0;
      while (stream->Next(8, static_cast<DWORD>(bytes.size()), &got, bytes.data(), &fetched) == S_OK) {
      }
      stream->Release();
    }
    streams->Release();
  }
  IDiaEnumLineNumbers* all = nullptr;
  if (session->findLinesByRVA(0, 0xFFFFFFFFu, &all) == S_OK) all->Release();
  session->Release();
  return 0;
}
