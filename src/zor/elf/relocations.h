// Relocation sections of an ELF image: one reader per relocation section, and the table of
// resolved records it fills for its target section. The PLT names its entries from one
// table; the DWARF reader of relocatable objects patches .debug_info and .debug_line with
// others (into private copies: the mapping itself is never written).
#ifndef ZOR_ELF_RELOCATIONS_H_
#define ZOR_ELF_RELOCATIONS_H_

#include <cstdint>
#include <map>
#include <vector>

#include <zor/object.h>

#include "zor/elf/elf_format.h"
#include "zor/elf/section_data.h"

namespace ZOR_3_12 {

struct RelocationRecord {
  uint64_t offset = 0;      // r_offset: the place inside the target section (or image)
  uint32_t nameOffset = 0;  // st_name of the symbol, into `strings`
  uint64_t target = 0;      // st_value + addend
  uint32_t ordinal = 0;     // position of the entry in its relocation section
  uint32_t type = 0;        // the relocation type, kept to know the width of the place
  uint32_t width = 0;       // bytes patched by apply(): 1, 2, 4 or 8; 0 patches nothing
  SymMgrObjectPtr<SectionData> symbols;
  SymMgrObjectPtr<SectionData> strings;  // null when the symbol table has no string table
};

// Keyed by r_offset; the first entry for an offset wins.
using RelocationTable = std::map<uint64_t, RelocationRecord>;

// A bounds-checked little-endian writer over a private byte vector.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<unsigned char>& bytes) : m_bytes(bytes) {}
  bool read(uint64_t offset, unsigned width, uint64_t& value) const;
  bool write(uint64_t offset, unsigned width, uint64_t value);

 private:
  std::vector<unsigned char>& m_bytes;
};

// A cursor over a relocation section's bytes.
struct ByteCursor {
  elf::Span span;
  uint64_t pos = 0;
  bool readWord(bool is64, uint64_t& out) {
    unsigned w = is64 ? 8 : 4;
    if (!span.holds(pos, w)) return false;
    out = elf::loadWord(span.data + pos, is64);
    pos += w;
    return true;
  }
};

// The reader of one relocation section (its index is `sectionIndex`).
class RelocationAddends {
 public:
  explicit RelocationAddends(uint32_t sectionIndex) : m_sectionIndex(sectionIndex) {}
  virtual ~RelocationAddends() = default;

  // One entry; false when the entry does not lie wholly inside the section.
  virtual bool readEntry(ByteCursor& reader, bool is64, uint64_t& offset, uint64_t& info, uint64_t& addend) = 0;
  // Patches the record's place in `writer`; false when the place lies outside it.
  virtual bool apply(ByteWriter& writer, const RelocationRecord& r) const = 0;

  uint32_t sectionIndex() const { return m_sectionIndex; }
  RelocationTable& table() { return m_table; }

 private:
  uint32_t m_sectionIndex;
  RelocationTable m_table;
};

// SHT_REL: implicit addends; apply adds the target to what is stored at the place.
class RELRelocationAddends : public RelocationAddends {
 public:
  using RelocationAddends::RelocationAddends;
  bool readEntry(ByteCursor& reader, bool is64, uint64_t& offset, uint64_t& info, uint64_t& addend) override;
  bool apply(ByteWriter& writer, const RelocationRecord& r) const override;
};

// SHT_RELA: explicit addends; apply stores the target at the place.
class RELARelocationAddends : public RelocationAddends {
 public:
  using RelocationAddends::RelocationAddends;
  bool readEntry(ByteCursor& reader, bool is64, uint64_t& offset, uint64_t& info, uint64_t& addend) override;
  bool apply(ByteWriter& writer, const RelocationRecord& r) const override;
};

// Bytes a relocation of `type` patches. Debug sections of 64-bit objects mix 4-byte section
// offsets with 8-byte addresses, so the width follows the type where the machine is known;
// anything else is taken as an absolute word of the image's size. 0 for "none" relocations.
unsigned relocationWidth(uint16_t machine, uint32_t type, bool is64);

}  // namespace ZOR_3_12

#endif  // ZOR_ELF_RELOCATIONS_H_
