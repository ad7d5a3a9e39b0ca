// ELF records as the reader keeps them: both classes widened to the 64-bit layout, read
// little-endian from bounds-checked spans of the mapped file. Constants carry a k prefix so
// they never clash with a system <elf.h> included elsewhere.
#ifndef ZOR_ELF_ELF_FORMAT_H_
#define ZOR_ELF_ELF_FORMAT_H_

#include <cstdint>
#include <cstring>

namespace ZOR_3_12 {
namespace elf {

constexpr uint8_t kClass32 = 1;
constexpr uint8_t kClass64 = 2;
constexpr uint8_t kDataLsb = 1;
constexpr uint8_t kDataMsb = 2;
constexpr int kIdentClass = 4;
constexpr int kIdentData = 5;

// e_machine values the reader accepts; 31 is tolerated big-endian and has longer symbols.
constexpr uint16_t kMachine386 = 3;
constexpr uint16_t kMachineQuirk31 = 31;
constexpr uint16_t kMachineArm = 40;
constexpr uint16_t kMachineIa64 = 50;
constexpr uint16_t kMachineX8664 = 62;
constexpr uint16_t kMachine180 = 180;

constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kPtNote = 4;
constexpr uint32_t kPfExec = 1;
constexpr uint32_t kPfWrite = 2;

constexpr uint32_t kShtNull = 0;
constexpr uint32_t kShtProgbits = 1;
constexpr uint32_t kShtRela = 4;
constexpr uint32_t kShtNote = 7;
constexpr uint32_t kShtNobits = 8;
constexpr uint32_t kShtRel = 9;

constexpr uint64_t kShfWrite = 1;
constexpr uint64_t kShfAlloc = 2;
constexpr uint64_t kShfExecInstr = 4;

constexpr uint16_t kShnUndef = 0;
constexpr uint16_t kShnCommon = 0xFFF2;

constexpr uint8_t kSttNoType = 0;
constexpr uint8_t kSttObject = 1;
constexpr uint8_t kSttFunc = 2;
constexpr uint8_t kSttSection = 3;
constexpr uint8_t kStbLocal = 0;
constexpr uint8_t kStbGlobal = 1;
constexpr uint8_t kStbWeak = 2;

// On-disk record sizes.
constexpr uint32_t kEhdr32Size = 52;
constexpr uint32_t kEhdr64Size = 64;
constexpr uint32_t kPhdr32Size = 32;
constexpr uint32_t kPhdr64Size = 56;
constexpr uint32_t kShdr32Size = 40;
constexpr uint32_t kShdr64Size = 64;
constexpr uint32_t kSym32Size = 16;
constexpr uint32_t kSym64Size = 24;

struct Header {
  uint8_t e_ident[16];
  uint16_t e_type;
  uint16_t e_machine;
  uint32_t e_version;
  uint64_t e_entry;
  uint64_t e_phoff;
  uint64_t e_shoff;
  uint32_t e_flags;
  uint16_t e_ehsize;  // left 0 for 32-bit files
  uint16_t e_phentsize;
  uint16_t e_phnum;
  uint16_t e_shentsize;
  uint16_t e_shnum;
  uint16_t e_shstrndx;
};

struct ProgramHeader {
  uint32_t p_type;
  uint32_t p_flags;
  uint64_t p_offset;
  uint64_t p_vaddr;
  uint64_t p_paddr;
  uint64_t p_filesz;
  uint64_t p_memsz;
  uint64_t p_align;
};

struct SectionHeader {
  uint32_t sh_name;
  uint32_t sh_type;
  uint64_t sh_flags;
  uint64_t sh_addr;
  uint64_t sh_offset;
  uint64_t sh_size;
  uint32_t sh_link;
  uint32_t sh_info;
  uint64_t sh_addralign;
  uint64_t sh_entsize;
};

struct Symbol {
  uint32_t st_name;
  uint8_t st_info;
  uint8_t st_other;
  uint16_t st_shndx;
  uint64_t st_value;
  uint64_t st_size;
};

// Little-endian loads; callers have checked that the bytes lie inside their span.
inline uint16_t load16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t load64(const unsigned char* p) { return uint64_t(load32(p)) | uint64_t(load32(p + 4)) << 32; }
inline uint64_t loadWord(const unsigned char* p, bool is64) { return is64 ? load64(p) : load32(p); }

// A view of bytes owned elsewhere (the file mapping or a private copy).
struct Span {
  const unsigned char* data = nullptr;
  uint64_t size = 0;

  bool empty() const { return data == nullptr || size == 0; }
  // True when [offset, offset + length) lies inside the span (overflow-safe).
  bool holds(uint64_t offset, uint64_t length) const { return offset <= size && length <= size - offset; }
};

// Decodes one symbol entry of either class at `p` (the caller checked the entry's size).
inline Symbol readSymbol(const unsigned char* p, bool is64) {
  Symbol s;
  if (is64) {
    s.st_name = load32(p);
    s.st_info = p[4];
    s.st_other = p[5];
    s.st_shndx = load16(p + 6);
    s.st_value = load64(p + 8);
    s.st_size = load64(p + 16);
  } else {
    s.st_name = load32(p);
    s.st_value = load32(p + 4);
    s.st_size = load32(p + 8);
    s.st_info = p[12];
    s.st_other = p[13];
    s.st_shndx = load16(p + 14);
  }
  return s;
}

}  // namespace elf
}  // namespace ZOR_3_12

#endif  // ZOR_ELF_ELF_FORMAT_H_
