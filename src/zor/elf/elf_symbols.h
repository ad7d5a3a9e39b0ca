// Turning an ELF image's own symbol tables and PLT entries into scopes of a symbol table.
#ifndef ZOR_ELF_ELF_SYMBOLS_H_
#define ZOR_ELF_ELF_SYMBOLS_H_

#include <cstddef>
#include <cstdint>

#include <zor/loader.h>
#include <zor/symbol.h>

#include "zor/elf/elf_helper.h"

namespace ZOR_3_12 {

class ISymbolCallBack {
 public:
  // `name` holds `nameLength` bytes of UTF-8 (not necessarily NUL-terminated).
  virtual void onSymbol(const char* name, size_t nameLength, uint64_t value, uint64_t size, int32_t linkage,
                        symbol_kind_t kind) = 0;
  virtual void addRange(IScope* scope, uint64_t value, uint64_t size) = 0;

 protected:
  ~ISymbolCallBack() = default;
};

// Makes one SymbolScope per symbol under the table's owner scope and inserts it.
class SymbolCallBack : public ISymbolCallBack {
 public:
  SymbolCallBack(IFileFormatLoader* loader, ISymbolTable* table) : m_loader(loader), m_table(table) {}
  void onSymbol(const char* name, size_t nameLength, uint64_t value, uint64_t size, int32_t linkage,
                symbol_kind_t kind) override;

 protected:
  ~SymbolCallBack() = default;
  IFileFormatLoader* m_loader;
  ISymbolTable* m_table;
};

// The symbol's own extent becomes the scope's range.
class RegularSymbolCallBack : public SymbolCallBack {
 public:
  using SymbolCallBack::SymbolCallBack;
  void addRange(IScope* scope, uint64_t value, uint64_t size) override;
};

// The extent becomes an import thunk owned by the scope.
class ThunkSymbolCallBack : public SymbolCallBack {
 public:
  using SymbolCallBack::SymbolCallBack;
  void addRange(IScope* scope, uint64_t value, uint64_t size) override;
};

class IAddendCallBack {
 public:
  virtual void onRecord(const RelocationRecord& record) = 0;

 protected:
  ~IAddendCallBack() = default;
};

// Names PLT entry k+1 after the k-th relocation of the PLT's relocation section.
class PLTEntryCallBack : public IAddendCallBack, public ThunkSymbolCallBack {
 public:
  PLTEntryCallBack(IFileFormatLoader* loader, ISymbolTable* table, uint64_t pltStart)
      : ThunkSymbolCallBack(loader, table), m_pltStart(pltStart) {}
  void onRecord(const RelocationRecord& record) override;

 private:
  uint64_t m_pltStart;
};

// Every PLT entry, PLT0 included, is this long.
constexpr uint64_t kPltEntrySize = 16;

// Scans one symbol table (entries in table order) against its string table.
void scanSymbolTable(ElfHelper& helper, SectionData* symbols, SectionData* strings, uint32_t mask,
                     ISymbolCallBack& callback);

// The relocation reader whose records name the PLT entries: the relocation section that
// targets .plt or, as current linkers point .rela.plt at .got.plt, the one named
// .rela.plt/.rel.plt. Null when there is none.
RelocationAddends* pltRelocations(ElfHelper& helper);

}  // namespace ZOR_3_12

#endif  // ZOR_ELF_ELF_SYMBOLS_H_
