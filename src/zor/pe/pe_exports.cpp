// The exported functions of a PE image as public symbols.
#include <string>
#include <vector>

#include "kave/unicode.h"
#include "zor/object/trace.h"
#include "zor/pe/pe_exec_file_loader.h"
#include "zor/pe/pe_file_bytes.h"
#include "zor/store/scope.h"

namespace ZOR_3_12 {
namespace {

// An export table whose arrays do not fit in the file.
constexpr unsigned kLineExportTables = 703;
constexpr size_t kMaxExportName = 255;
constexpr int32_t kLinkageExport = 2;

}  // namespace

status_t PEExecFileLoader::loadSymbols(ISymbolTable* table, uint32_t /*kindMask*/) {
  ScopedLock guard(&m_lock);
  addSectionEnds(table);
  const pe::ExportDirectory* dir = m_info.exportDirectory.get();
  if (!dir || dir->numberOfFunctions == 0 || m_info.imageBase == 0) return STATUS_FALSE;
  pe::FileBytes file(m_path);
  if (!file.opened()) return STATUS_CANT_OPEN_FILE;
  return loadExports(file, table);
}

status_t PEExecFileLoader::loadExports(const pe::FileBytes& file, ISymbolTable* table) {
  const pe::ExportDirectory& dir = *m_info.exportDirectory;
  const uint32_t delta = m_info.exportDelta;
  // The three arrays are read whole; counts that would take them past the end of the file
  // are damage, and nothing is loaded from such a table.
  const unsigned char* functions =
      file.at(uint32_t(dir.addressOfFunctions - delta), uint64_t(dir.numberOfFunctions) * 4);
  const unsigned char* ordinals =
      file.at(uint32_t(dir.addressOfNameOrdinals - delta), uint64_t(dir.numberOfNames) * 2);
  const unsigned char* names = file.at(uint32_t(dir.addressOfNames - delta), uint64_t(dir.numberOfNames) * 4);
  if (!functions || (dir.numberOfNames && (!ordinals || !names))) {
    ZOR_ASSERT_TEXT("false", internal::kPeSource, kLineExportTables);
    return STATUS_CANT_READ_FILE;
  }

  // The first name of each function index, found in one pass over the name ordinals.
  std::vector<uint32_t> nameOf(dir.numberOfFunctions, ~uint32_t(0));
  for (uint32_t j = 0; j < dir.numberOfNames; ++j) {
    const uint16_t index = pe::le16(ordinals + 2 * j);
    if (index < dir.numberOfFunctions && nameOf[index] == ~uint32_t(0)) nameOf[index] = j;
  }

  for (uint32_t i = 0; i < dir.numberOfFunctions; ++i) {
    uint64_t rva = pe::le32(functions + 4 * i);
    if (rva == 0) continue;
    std::string name;
    if (nameOf[i] != ~uint32_t(0)) {
      const uint32_t nameRva = pe::le32(names + 4 * nameOf[i]);
      if (!file.readString(uint32_t(nameRva - delta), kMaxExportName, name)) return STATUS_CANT_READ_FILE;
      if (m_info.globalPointerRva != 0) {
        // Images with a global pointer export function descriptors {entry, gp}; the symbol
        // goes at the entry point.
        ISegment* s = segmentByAddress(m_info.imageBase + rva);
        if (!s || s->kind() != SEGMENT_KIND_CODE) continue;
        const pe::SectionHeader& first = m_info.sectionHeaders.front();
        const uint32_t firstDelta = first.virtualAddress - first.pointerToRawData;
        const unsigned char* descriptor = file.at(uint32_t(rva - firstDelta), 16);
        if (!descriptor) return STATUS_CANT_READ_FILE;
        const uint64_t entry = pe::le64(descriptor);
        const uint64_t gp = pe::le64(descriptor + 8);
        if (uint32_t(gp - m_info.imageBase) == m_info.globalPointerRva) rva = entry - m_info.imageBase;
      }
    } else {
      name = "ORD_" + std::to_string(uint32_t(i + dir.base));
    }
    const uint64_t va = m_info.imageBase + rva;
    ISegment* s = segmentByAddress(va);
    if (!s || s->kind() != SEGMENT_KIND_CODE) continue;  // data exports and forwarders
    const std::wstring wide = KAVE_3_1::utf8ToWide(name);
    SymbolScope* scope = new SymbolScope(this, wide.c_str(), va, table->ownerScope(), kLinkageExport, SYMBOL_KIND_PUBLIC);
    scope->addRange(va, va);
    table->insert(va, va, scope);
  }
  return STATUS_OK;
}

}  // namespace ZOR_3_12
