// One decoded debugging information entry: its tag, whether it has children, and its
// attribute values in their normalised stored forms. Entries are decoded on the fly and
// dropped; the reader keeps no tree. A scope that must come back to its entry keeps its
// place (EntryPlace) and decodes it again.
#ifndef ZOR_DWARF_ATTR_BINDINGS_H_
#define ZOR_DWARF_ATTR_BINDINGS_H_

#include <cstdint>
#include <vector>

#include <zor/object.h>

#include "zor/dwarf/dwarf_constants.h"
#include "zor/dwarf/dwarf_reader.h"

namespace ZOR_3_12 {

class DWARFCompilationUnit;

namespace dwarf {

// One decoded value. Entries that scopes keep hold a handful each, and modules have
// hundreds of thousands of scopes: the name and form take half a word each.
struct AttrValue {
  uint32_t name;  // the attribute; one beyond 32 bits reads as kUnknownAttribute
  uint32_t form;  // StoredForm
  uint64_t value;
  const uint8_t* data;  // string or block start; null otherwise
};

// The name a value is kept under for an attribute code of the file: no attribute that
// anyone asks for lies beyond 32 bits.
constexpr uint32_t kUnknownAttribute = 0xFFFFFFFFu;
inline uint32_t attributeName(uint64_t code) {
  return code > kUnknownAttribute ? kUnknownAttribute : static_cast<uint32_t>(code);
}

// Origin chains (DW_AT_abstract_origin, DW_AT_specification) longer than this are cut: real
// compilers emit two or three links, and a cycle in a damaged file must not loop forever.
constexpr int kMaxOriginDepth = 8;

class AttrBindings : public SymMgrObjectImpl {
 public:
  explicit AttrBindings(DWARFCompilationUnit* unit) : m_unit(unit) {}
  ~AttrBindings() override;

  // An entry of `unit` to decode into for as long as the holder lives. A walk decodes
  // millions of entries and keeps few of them, so each thread keeps a few entries (and their
  // value storage) for reuse: the holder takes one and gives it back, unless somebody took a
  // reference to it meanwhile.
  class Pooled {
   public:
    explicit Pooled(DWARFCompilationUnit* unit);
    ~Pooled();
    Pooled(const Pooled&) = delete;
    Pooled& operator=(const Pooled&) = delete;
    AttrBindings* get() const { return m_entry; }
    AttrBindings* operator->() const { return m_entry; }

   private:
    AttrBindings* m_entry;  // one reference, held here
    class EntryPool* m_pool;
  };

  // Decodes the entry at the reader's position (a cursor over the unit's bytes). False on a
  // null entry, an unknown abbreviation code (reported) or a read past the unit.
  bool decode(DwarfReader& reader);
  // Decodes the entry at an absolute .debug_info offset, in whichever unit holds it.
  bool readEntryAt(uint64_t infoOffset);

  uint64_t getTag() const { return m_tag; }
  // Offset of the byte after the abbreviation code (the entry's own offset is entryOffset).
  uint64_t getOffset() const { return m_offset; }
  uint64_t entryOffset() const { return m_entryOffset; }
  uint8_t getHasChildren() const { return m_hasChildren; }
  DWARFCompilationUnit* unit() const { return m_unit; }

  // This entry's value of `name`; unless noFollow, the nearest origin's value when absent.
  const AttrValue* getAttribute(uint64_t name, bool noFollow = false);
  // The entry's own DW_AT_abstract_origin, else its DW_AT_specification; null when neither.
  const AttrValue* originReference() const;
  // The entry named by originReference(); decoded once.
  AttrBindings* getOrigin();
  // A new entry (count 0) decoded at `infoOffset`, which a reference of an entry of
  // `unit` names, as the `depth`-th link of an origin chain; null when it does not decode.
  static AttrBindings* readReferenced(DWARFCompilationUnit* unit, uint64_t infoOffset, int depth);

  const std::vector<AttrValue>& attributes() const { return m_attributes; }

 private:
  const AttrValue* find(uint64_t name) const;

  DWARFCompilationUnit* m_unit;
  uint64_t m_tag = 0;
  uint64_t m_offset = 0;
  uint64_t m_entryOffset = 0;
  uint8_t m_hasChildren = 0;
  bool m_originLooked = false;
  int m_depth = 0;  // position in an origin chain
  std::vector<AttrValue> m_attributes;  // first value of a name wins
  AttrBindings* m_origin = nullptr;     // owned
};

// Where an entry lies, for a scope that must come back to it (to read its body, its linkage
// name or its origin): the entry is decoded again then. A module has hundreds of thousands
// of scopes, and their decoded values would outweigh everything else they keep.
struct EntryPlace {
  DWARFCompilationUnit* unit = nullptr;
  uint64_t offset = 0;  // the entry's own offset, in its unit's offset space

  static EntryPlace of(const AttrBindings* entry) {
    return entry ? EntryPlace{entry->unit(), entry->entryOffset()} : EntryPlace{};
  }
  // The entry decoded anew; null when there is no place or the bytes no longer decode.
  SymMgrObjectPtr<AttrBindings> decode() const;
  // Whether the entry has children, told from its abbreviation without decoding it.
  bool hasChildren() const;
};

// Advances the reader past one entry without keeping it (subtrees nobody wants). Returns the
// abbreviation (null on a null entry or an unknown code) and the target of the entry's
// DW_AT_sibling when that is a reference (the first DW_AT_sibling counts, as in decode()).
const struct Abbreviation* skipEntry(DWARFCompilationUnit* unit, DwarfReader& reader, uint64_t* sibling);
// The same past the entry's code, once its abbreviation is known. False when the values
// cannot be read (the reader is failed then).
bool skipValues(DWARFCompilationUnit* unit, DwarfReader& reader, const struct Abbreviation& abbrev,
                uint64_t* sibling);
// The abbreviation of the entry at the reader's position, without moving the reader and
// without reporting anything; null on a null entry, an unknown code or a short read. With
// `afterCode`, where the entry's values begin goes there when the code was read.
const struct Abbreviation* peekAbbreviation(const DWARFCompilationUnit* unit, DwarfReader reader,
                                            DwarfReader* afterCode = nullptr);

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_ATTR_BINDINGS_H_
