#include "zor/elf/elf_symbols.h"

#include <cstring>
#include <string>

#include "zor/image/thunk.h"
#include "zor/store/scope.h"

namespace ZOR_3_12 {
namespace {

// A symbol whose extent wraps around the address space ends just below the top, which is
// the "up to the end of the segment" marker and must not be produced by accident.
uint64_t endOf(uint64_t value, uint64_t size) {
  uint64_t end = value + size;
  return end < value ? ~uint64_t(0) - 1 : end;
}

// The bytes of the string at `offset`, up to its NUL or the end of the table; false when
// the offset lies outside the table.
bool stringAt(const elf::Span& strings, uint64_t offset, const char*& s, size_t& length) {
  if (strings.empty() || offset >= strings.size) return false;
  s = reinterpret_cast<const char*>(strings.data) + offset;
  const void* nul = std::memchr(s, 0, strings.size - offset);
  length = nul ? static_cast<const char*>(nul) - s : static_cast<size_t>(strings.size - offset);
  return true;
}

}  // namespace

void SymbolCallBack::onSymbol(const char* name, size_t nameLength, uint64_t value, uint64_t size, int32_t linkage,
                              symbol_kind_t kind) {
  SymbolScope* scope =
      new SymbolScope(m_loader, SymbolName::utf8(name, nameLength), value, m_table->ownerScope(), linkage, kind);
  addRange(scope, value, size);
  m_table->insert(value, endOf(value, size), scope);
}

void RegularSymbolCallBack::addRange(IScope* scope, uint64_t value, uint64_t size) {
  asScope(scope)->addRange(value, endOf(value, size));
}

void ThunkSymbolCallBack::addRange(IScope* scope, uint64_t value, uint64_t size) {
  asScope(scope)->attachThunk(new ImportThunk(scope, value, size));
}

void PLTEntryCallBack::onRecord(const RelocationRecord& record) {
  if (!record.strings) return;
  const char* name;
  size_t length;
  if (!stringAt(record.strings->span(), record.nameOffset, name, length)) return;
  const uint64_t entry = uint64_t(record.ordinal) + 1;
  onSymbol(name, length, m_pltStart + entry * kPltEntrySize, kPltEntrySize, SYMBOL_LINKAGE_GLOBAL,
           SYMBOL_KIND_FUNCTION);
}

void scanSymbolTable(ElfHelper& helper, SectionData* symbols, SectionData* strings, uint32_t mask,
                     ISymbolCallBack& callback) {
  const elf::Span table = symbols->span();
  const elf::Span names = strings->span();
  if (table.empty()) return;
  const bool is64 = helper.is64();
  // Machine 31 appends four bytes to every entry.
  const uint64_t entrySize =
      (is64 ? elf::kSym64Size : elf::kSym32Size) + (helper.header().e_machine == elf::kMachineQuirk31 ? 4 : 0);
  for (uint64_t pos = 0; table.holds(pos, entrySize); pos += entrySize) {
    const elf::Symbol sym = elf::readSymbol(table.data + pos, is64);
    const char* name;
    size_t length;
    if (sym.st_name == 0 || !stringAt(names, sym.st_name, name, length)) continue;
    const uint8_t binding = sym.st_info >> 4;
    if (binding != elf::kStbLocal && binding != elf::kStbGlobal && binding != elf::kStbWeak) continue;
    if (sym.st_shndx == elf::kShnUndef || sym.st_shndx == elf::kShnCommon) continue;
    const int32_t linkage = binding == elf::kStbLocal ? SYMBOL_LINKAGE_LOCAL : SYMBOL_LINKAGE_GLOBAL;
    switch (sym.st_info & 0xF) {
      case elf::kSttFunc:
        if ((mask & (SYMBOL_KIND_FUNCTION | SYMBOL_KIND_16)) && helper.inCodeRange(sym.st_value))
          callback.onSymbol(name, length, sym.st_value, sym.st_size, linkage, SYMBOL_KIND_FUNCTION);
        break;
      case elf::kSttNoType:
        if ((mask & SYMBOL_KIND_PUBLIC) && helper.inAnyRange(sym.st_value))
          callback.onSymbol(name, length, sym.st_value, sym.st_size, linkage, SYMBOL_KIND_PUBLIC);
        break;
      case elf::kSttObject:
        if ((mask & (SYMBOL_KIND_DATA | SYMBOL_KIND_LABEL)) && helper.inAnyRange(sym.st_value))
          callback.onSymbol(name, length, sym.st_value, sym.st_size, linkage, SYMBOL_KIND_DATA);
        break;
      default:
        break;
    }
  }
}

RelocationAddends* pltRelocations(ElfHelper& helper) {
  SectionData* plt = helper.section(kSecPlt);
  if (!plt) return nullptr;
  if (RelocationAddends* r = helper.relocationsFor(plt->index())) return r;
  for (const char* name : {".rela.plt", ".rel.plt"}) {
    const int64_t index = helper.sectionIndexByName(name);
    if (index >= 0)
      if (RelocationAddends* r = helper.relocationSection(static_cast<uint32_t>(index))) return r;
  }
  return nullptr;
}

}  // namespace ZOR_3_12
