// Arbitrary DWARF sections through the whole module path: they are placed in a small
// in-memory ELF executable (.text covers 0x1000-0x9000, one function symbol at its start),
// read by the DWARF debug-info loader into a module symbol bank, then queried by address
// (symbol ranges of every kind, inline frames, line-table and call-site locations) and by
// source file (the lines of each file found).
//
// Input: the layout of dwarf_fuzz.cpp, nine sections in this order, each a 4-byte
// little-endian length then its bytes (a length beyond the input takes what is left):
// .debug_info, .debug_abbrev, .debug_str, .debug_ranges, .debug_line, .debug_addr,
// .debug_str_offsets, .debug_rnglists, .debug_line_str. Empty sections are left out of the
// image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <zor/extensions.h>

#include "fuzz_input.h"
#include "kave/trace.h"
#include "zor/dwarf/debug_info_loader.h"
#include "zor/elf/elf_file_loader.h"
#include "zor/elf/elf_helper.h"
#include "zor/manager/module_symbol_bank.h"
#include "zor/object/globals.h"

using namespace ZOR_3_12;

namespace {

constexpr uint64_t kTextStart = 0x1000;
constexpr uint64_t kTextSize = 0x8000;
const char* const kSectionNames[] = {".debug_info",        ".debug_abbrev",   ".debug_str",
                                     ".debug_ranges",      ".debug_line",     ".debug_addr",
                                     ".debug_str_offsets", ".debug_rnglists", ".debug_line_str"};
constexpr size_t kSectionCount = sizeof(kSectionNames) / sizeof(kSectionNames[0]);

template <typename T>
void put(std::vector<unsigned char>& b, size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

struct SectionHeader {
  uint32_t name, type;
  uint64_t flags, addr, offset, size;
  uint32_t link, info;
  uint64_t align, entsize;
};

// An x86-64 executable: ELF header, one PT_LOAD over .text, .text, the debug sections,
// .symtab/.strtab with one function, .shstrtab, then the section headers.
std::vector<unsigned char> buildImage(const std::vector<std::vector<unsigned char>>& debug) {
  std::vector<unsigned char> image(kTextStart + kTextSize, 0);
  std::string shstr(1, '\0');
  std::vector<SectionHeader> headers(1, SectionHeader{});
  auto add = [&](const char* name, uint32_t type, uint64_t flags, uint64_t addr, const void* bytes, size_t size,
                 uint32_t link, uint32_t info, uint64_t entsize) {
    SectionHeader h{uint32_t(shstr.size()), type, flags, addr, image.size(), size, link, info, 1, entsize};
    shstr += name;
    shstr += '\0';
    if (bytes) image.insert(image.end(), static_cast<const unsigned char*>(bytes),
                            static_cast<const unsigned char*>(bytes) + size);
    headers.push_back(h);
  };
  add(".text", 1 /*PROGBITS*/, 6 /*AX*/, kTextStart, nullptr, kTextSize, 0, 0, 0);
  headers.back().offset = kTextStart;
  for (size_t i = 0; i < kSectionCount; ++i) {
    if (!debug[i].empty()) add(kSectionNames[i], 1, 0, 0, debug[i].data(), debug[i].size(), 0, 0, 0);
  }
  const char strtab[] = "\0f";
  unsigned char symtab[48] = {};
  uint32_t nameOffset = 1;
  std::memcpy(symtab + 24, &nameOffset, 4);
  symtab[24 + 4] = 0x12;  // STB_GLOBAL, STT_FUNC
  uint16_t textIndex = 1;
  std::memcpy(symtab + 24 + 6, &textIndex, 2);
  uint64_t value = kTextStart, size = 0x40;
  std::memcpy(symtab + 24 + 8, &value, 8);
  std::memcpy(symtab + 24 + 16, &size, 8);
  const uint32_t strtabIndex = uint32_t(headers.size() + 1);
  add(".symtab", 2 /*SYMTAB*/, 0, 0, symtab, sizeof symtab, strtabIndex, 1, 24);
  add(".strtab", 3 /*STRTAB*/, 0, 0, strtab, sizeof strtab, 0, 0, 0);
  const uint16_t shstrIndex = uint16_t(headers.size());
  shstr += ".shstrtab";
  shstr += '\0';
  add(".shstrtab", 3, 0, 0, nullptr, 0, 0, 0, 0);
  headers.back().name = uint32_t(shstr.size() - 10);
  headers.back().size = shstr.size();
  image.insert(image.end(), shstr.begin(), shstr.end());
  while (image.size() % 8) image.push_back(0);
  const uint64_t shoff = image.size();
  for (const SectionHeader& h : headers) {
    size_t at = image.size();
    image.resize(at + 64);
    put(image, at, h.name);
    put(image, at + 4, h.type);
    put(image, at + 8, h.flags);
    put(image, at + 16, h.addr);
    put(image, at + 24, h.offset);
    put(image, at + 32, h.size);
    put(image, at + 40, h.link);
    put(image, at + 44, h.info);
    put(image, at + 48, h.align);
    put(image, at + 56, h.entsize);
  }
  // ELF header.
  const unsigned char ident[16] = {0x7f, 'E', 'L', 'F', 2, 1, 1};
  std::memcpy(image.data(), ident, 16);
  put<uint16_t>(image, 16, 2);   // ET_EXEC
  put<uint16_t>(image, 18, 62);  // x86-64
  put<uint32_t>(image, 20, 1);
  put<uint64_t>(image, 24, kTextStart);
  put<uint64_t>(image, 32, 64);  // program headers right after
  put<uint64_t>(image, 40, shoff);
  put<uint16_t>(image, 52, 64);
  put<uint16_t>(image, 54, 56);
  put<uint16_t>(image, 56, 1);
  put<uint16_t>(image, 58, 64);
  put<uint16_t>(image, 60, uint16_t(headers.size()));
  put<uint16_t>(image, 62, shstrIndex);
  // PT_LOAD, R+X, over .text.
  put<uint32_t>(image, 64, 1);
  put<uint32_t>(image, 68, 5);
  put<uint64_t>(image, 72, kTextStart);
  put<uint64_t>(image, 80, kTextStart);
  put<uint64_t>(image, 88, kTextStart);
  put<uint64_t>(image, 96, kTextSize);
  put<uint64_t>(image, 104, kTextSize);
  put<uint64_t>(image, 112, 0x1000);
  return image;
}

void touchLocation(ISourceLocation* loc) {
  if (!loc) return;
  loc->line();
  loc->column();
  loc->compUnitKey();
  if (ISourceFile* file = loc->sourceFile()) {
    if (const wchar_t* name = file->name()) (void)std::wcslen(name);
  }
}

void querySymbols(ModuleSymbolBank& bank, IAddress* address) {
  for (uint32_t kinds : {uint32_t(SYMBOL_KIND_ALL), uint32_t(SYMBOL_KIND_FUNCTION)}) {
    SymMgrObjectPtr<ISymbolRange> range;
    if (bank.symbolRangeByAddress(address, range, kinds, nullptr) == STATUS_OK && range) {
      if (ISymbol* s = range->symbol()) {
        if (const wchar_t* name = s->name()) (void)std::wcslen(name);
      }
      range->startAddress();
      range->size();
      range->extentToNext();
    }
  }
  std::vector<InlineFrame> frames;
  inlineFrames(&bank, address, frames);
  for (InlineFrame& f : frames) {
    if (f.function && f.function->name()) (void)std::wcslen(f.function->name());
    touchLocation(f.location.get());
  }
  SymMgrObjectPtr<ISourceLocation> location;
  lineTableLocationByAddress(&bank, address, location);
  touchLocation(location.get());
  location.reset();
  bank.sourceLocationsByAddress(address, location, COMP_UNIT_ALL, nullptr);
  touchLocation(location.get());
  if (location && location->sourceFile()) {
    // The lines of that file across the whole window, a bounded number of them.
    SymMgrObjectPtr<SourceLineIter> lines;
    SymMgrObjectPtr<IAddress> from, to;
    bank.addressByVa(kTextStart, from);
    bank.addressByVa(kTextStart + kTextSize - 1, to);
    if (location->sourceFile()->lines(lines, COMP_UNIT_ALL, from.get(), to.get()) == STATUS_OK && lines) {
      int n = 0;
      for (SymMgrObjectPtr<ISourceLine> l = lines->current(); l && n < 256;
           l = lines->next() ? lines->current() : nullptr, ++n) {
        l->size();
        l->startAddress();
        touchLocation(l->location());
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input::quietAssertions();
  std::vector<std::vector<uint8_t>> sections = fuzz_input::splitSections(data, size, kSectionCount);
  auto bytes = std::make_shared<std::vector<unsigned char>>(buildImage(sections));

  SymMgrObjectPtr<ElfHelper> helper = new ElfHelper(bytes, bytes->data(), bytes->size());
  if (!helper->valid()) __builtin_trap();  // the image itself is always sound
  SymMgrObjectPtr<ElfFileLoader> loader = new ElfFileLoader(L"", helper.get(), &internal::elfLoaderLock());
  SymMgrObjectPtr<IDebugInfoLoader> debugInfo =
      internal::makeDwarfDebugInfoLoader(loader.get(), L"", helper.get(), &internal::elfDebugInfoLoaderLock());
  SymMgrObjectPtr<ModuleSymbolBank> bank = new ModuleSymbolBank(loader.get(), debugInfo.get(), &internal::loadLock());

  // Addresses: the window's ends, the symbol, the first pages (where the code of small
  // compiled fixtures lies, so seeds from them reach real functions), and a few taken from
  // the input's last bytes.
  std::vector<uint64_t> addresses = {kTextStart + kTextSize / 2, kTextStart + kTextSize - 1};
  for (uint64_t a = kTextStart; a < kTextStart + 0x800; a += 0x100) addresses.push_back(a + 0x70);
  for (size_t i = 0; i < 4 && size >= 8 * (i + 1); ++i) {
    uint16_t v;
    std::memcpy(&v, data + size - 2 * (i + 1), 2);
    addresses.push_back(kTextStart + v % (i < 2 ? 0x1000 : kTextSize));
  }
  for (uint64_t va : addresses) {
    SymMgrObjectPtr<IAddress> address;
    if (bank->addressByVa(va, address) != STATUS_OK || !address) continue;
    querySymbols(*bank, address.get());
  }
  // Every non-overlapped piece of the window, bounded.
  SymMgrObjectPtr<IAddress> from, to;
  if (bank->addressByVa(kTextStart, from) == STATUS_OK && bank->addressByVa(kTextStart + kTextSize - 1, to) == STATUS_OK) {
    SymMgrObjectPtr<SymbolRangeIter> pieces;
    if (bank->nonOverlappedSymbolRanges(pieces, SYMBOL_KIND_ALL, from.get(), to.get(), nullptr) == STATUS_OK &&
        pieces) {
      for (int n = 0; pieces->current() && n < 4096; ++n)
        if (!pieces->next()) break;
    }
  }
  return 0;
}
