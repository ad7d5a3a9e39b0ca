#include "zor/dwarf/attr_bindings.h"

#include <utility>

#include "zor/dwarf/abbreviations.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/supplementary_file.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace dwarf {

namespace {

// DW_FORM_indirect may name itself; a real producer never nests it more than once.
constexpr int kMaxIndirect = 4;

void setBlock(DwarfReader& reader, uint64_t length, AttrValue& out) {
  out.form = STORED_BLOCK;
  out.data = reader.position();
  out.value = length;
  reader.skip(length);
  if (!reader.ok()) out.data = nullptr;
}

// Decodes one value of `form` into `out` (its stored form). False on a form this reader
// does not know: its size is unknown, so nothing after it in the unit can be read. Entries
// that are only skipped do not look their strings up.
bool readValue(const DWARFCompilationUnit* unit, DwarfReader& reader, uint64_t form, int64_t implicitConst,
               AttrValue& out, bool resolveStrings = true) {
  const UnitHeader& h = unit->header();
  // Versions 2 and 3 read DW_FORM_strp as 4 bytes and DW_FORM_ref_addr with the address
  // size; from version 4 on both are section offsets of the unit's offset size.
  const bool legacy = h.version < 4;
  out.data = nullptr;
  out.value = 0;
  for (int indirect = 0; indirect <= kMaxIndirect; ++indirect) {
    switch (form) {
      case DW_FORM_addr:
        out.form = STORED_ADDR;
        out.value = reader.readAddress() + unit->loadBias();
        return true;
      case DW_FORM_block2:
        setBlock(reader, reader.readU16(), out);
        return true;
      case DW_FORM_block4:
        setBlock(reader, reader.readU32(), out);
        return true;
      case DW_FORM_block:
      case DW_FORM_exprloc:
        setBlock(reader, reader.readULEB128(), out);
        return true;
      case DW_FORM_block1:
        setBlock(reader, reader.readU8(), out);
        return true;
      case DW_FORM_data16:
        setBlock(reader, 16, out);
        return true;
      case DW_FORM_data1:
        out.form = STORED_DATA;
        out.value = reader.readU8();
        return true;
      case DW_FORM_data2:
        out.form = STORED_DATA;
        out.value = reader.readU16();
        return true;
      case DW_FORM_data4:
        out.form = STORED_DATA;
        out.value = reader.readU32();
        return true;
      case DW_FORM_data8:
        out.form = STORED_DATA;
        out.value = reader.readU64();
        return true;
      case DW_FORM_string: {
        const char* s = reader.readCString();
        out.form = STORED_STRING;
        out.data = reinterpret_cast<const uint8_t*>(s);
        out.value = s ? static_cast<uint64_t>(reader.position() - out.data - 1) : 0;
        return true;
      }
      case DW_FORM_flag:
        out.form = STORED_FLAG;
        out.value = reader.readU8();
        return true;
      case DW_FORM_flag_present:
        out.form = STORED_FLAG;
        out.value = 1;
        return true;
      case DW_FORM_sdata:
        out.form = STORED_SDATA;
        out.value = static_cast<uint64_t>(reader.readSLEB128());
        return true;
      case DW_FORM_implicit_const:
        out.form = STORED_SDATA;
        out.value = static_cast<uint64_t>(implicitConst);
        return true;
      case DW_FORM_udata:
        out.form = STORED_UDATA;
        out.value = reader.readULEB128();
        return true;
      case DW_FORM_strp:
      case DW_FORM_line_strp: {
        uint64_t offset = legacy && form == DW_FORM_strp ? reader.readU32() : reader.readOffset();
        // Looked up here only: most values are no strings, and the lookup is a virtual call.
        const DwarfSections& sections = unit->context()->sections();
        const Section& s = form == DW_FORM_strp ? sections.str : sections.lineStr;
        out.form = STORED_STRP;
        out.value = offset;
        // Only a string terminated inside the section is handed out.
        if (resolveStrings) out.data = reinterpret_cast<const uint8_t*>(stringAt(s.data, s.size, offset));
        return true;
      }
      case DW_FORM_ref_addr:
        out.form = STORED_REF;
        out.value = legacy ? reader.readAddress() : reader.readOffset();
        return true;
      case DW_FORM_ref1:
        out.form = STORED_REF;
        out.value = reader.readU8() + h.offset;
        return true;
      case DW_FORM_ref2:
        out.form = STORED_REF;
        out.value = reader.readU16() + h.offset;
        return true;
      case DW_FORM_ref4:
        out.form = STORED_REF;
        out.value = reader.readU32() + h.offset;
        return true;
      case DW_FORM_ref8:
        out.form = STORED_REF;
        out.value = reader.readU64() + h.offset;
        return true;
      case DW_FORM_ref_udata:
        out.form = STORED_REF;
        out.value = reader.readULEB128() + h.offset;
        return true;
      case DW_FORM_indirect:
        form = reader.readULEB128();
        if (!reader.ok()) return true;
        continue;
      case DW_FORM_sec_offset:
        out.form = STORED_SEC_OFFSET;
        out.value = reader.readOffset();
        return true;
      case DW_FORM_strx:
      case DW_FORM_GNU_str_index:
        out.form = STORED_STRX;
        out.value = reader.readULEB128();
        return true;
      case DW_FORM_strx1:
      case DW_FORM_strx2:
      case DW_FORM_strx3:
      case DW_FORM_strx4:
        out.form = STORED_STRX;
        out.value = reader.readUnsigned(static_cast<unsigned>(form - DW_FORM_strx1 + 1));
        return true;
      case DW_FORM_addrx:
      case DW_FORM_GNU_addr_index:
        out.form = STORED_ADDRX;
        out.value = reader.readULEB128();
        return true;
      case DW_FORM_addrx1:
      case DW_FORM_addrx2:
      case DW_FORM_addrx3:
      case DW_FORM_addrx4:
        out.form = STORED_ADDRX;
        out.value = reader.readUnsigned(static_cast<unsigned>(form - DW_FORM_addrx1 + 1));
        return true;
      case DW_FORM_rnglistx:
        out.form = STORED_RNGLISTX;
        out.value = reader.readULEB128();
        return true;
      case DW_FORM_loclistx:
        out.form = STORED_LOCLISTX;
        out.value = reader.readULEB128();
        return true;
      case DW_FORM_ref_sig8:
        out.form = STORED_REF_SIG8;
        out.value = reader.readU64();
        return true;
      case DW_FORM_ref_sup4:
        out.form = STORED_REF_ALT;
        out.value = reader.readU32();
        return true;
      case DW_FORM_ref_sup8:
        out.form = STORED_REF_ALT;
        out.value = reader.readU64();
        return true;
      case DW_FORM_GNU_ref_alt:
        out.form = STORED_REF_ALT;
        out.value = reader.readOffset();
        return true;
      case DW_FORM_strp_sup:
      case DW_FORM_GNU_strp_alt:
        out.form = STORED_STRP_ALT;
        out.value = reader.readOffset();
        return true;
      default:
        out.form = STORED_NONE;
        return false;
    }
  }
  out.form = STORED_NONE;
  return false;
}

// Reads the abbreviation code and finds its abbreviation. Null on a null entry (reader ok)
// and on an unknown code (reported; the reader is failed so the unit stops there).
const Abbreviation* readAbbreviation(const DWARFCompilationUnit* unit, DwarfReader& reader) {
  uint64_t code = reader.readULEB128();
  if (code == 0 || !reader.ok()) return nullptr;
  const Abbreviation* abbrev = unit->abbreviations().find(code);
  if (!abbrev) {
    ZOR_ASSERT_TEXT("false", internal::kDwarfSource, __LINE__);
    reader.fail();
  }
  return abbrev;
}

// The bytes of a value whose size the unit fixes: the address size, the offset size, and the
// two forms whose size changed with version 4. False for an address size reading refuses.
bool unitFieldSize(FormSize kind, bool legacy, const DwarfReader& reader, uint64_t& bytes) {
  const uint8_t addrSize = reader.addrSize();
  const bool address = kind == FormSize::kAddress || (kind == FormSize::kRefAddr && legacy);
  if (address) {
    bytes = addrSize;
    return addrSize == 2 || addrSize == 4 || addrSize == 8;
  }
  bytes = kind == FormSize::kStrp && legacy ? 4 : reader.offsetSize();
  return true;
}

// Steps over one value as readValue reads it, without keeping it. False for the forms left
// to readValue (DW_FORM_indirect, and unknown forms it reports).
bool skipValue(const DWARFCompilationUnit* unit, DwarfReader& reader, uint64_t form) {
  uint32_t fixed = 0;
  const FormSize kind = formSize(form, fixed);
  if (kind == FormSize::kFixed) {
    reader.skip(fixed);
    return true;
  }
  if (kind != FormSize::kOwn) {
    uint64_t bytes = 0;
    if (unitFieldSize(kind, unit->header().version < 4, reader, bytes))
      reader.skip(bytes);
    else
      reader.fail();  // as reading the address would
    return true;
  }
  switch (form) {
    case DW_FORM_block1: reader.skip(reader.readU8()); return true;
    case DW_FORM_block2: reader.skip(reader.readU16()); return true;
    case DW_FORM_block4: reader.skip(reader.readU32()); return true;
    case DW_FORM_block:
    case DW_FORM_exprloc: reader.skip(reader.readULEB128()); return true;
    case DW_FORM_string: reader.readCString(); return true;
    case DW_FORM_sdata: reader.readSLEB128(); return true;
    case DW_FORM_udata:
    case DW_FORM_ref_udata:
    case DW_FORM_strx:
    case DW_FORM_GNU_str_index:
    case DW_FORM_addrx:
    case DW_FORM_GNU_addr_index:
    case DW_FORM_rnglistx:
    case DW_FORM_loclistx: reader.readULEB128(); return true;
    default: return false;
  }
}

void unknownForm(DwarfReader& reader) {
  ZOR_ASSERT_TEXT("false", internal::kDwarfSource, __LINE__);
  reader.fail();
}

}  // namespace

AttrBindings::~AttrBindings() { delete m_origin; }

// The entries a thread keeps for reuse, each with one reference the pool holds.
class EntryPool {
 public:
  ~EntryPool() {
    for (AttrBindings* entry : m_free) entry->release();
  }
  AttrBindings* take() {
    if (m_free.empty()) return nullptr;
    AttrBindings* entry = m_free.back();
    m_free.pop_back();
    return entry;
  }
  // False when the pool is full: the caller keeps its reference.
  bool put(AttrBindings* entry) {
    if (m_free.size() >= kMaxFree) return false;
    m_free.push_back(entry);
    return true;
  }

 private:
  static constexpr size_t kMaxFree = 64;
  std::vector<AttrBindings*> m_free;
};

namespace {
thread_local EntryPool t_entryPool;
}  // namespace

AttrBindings::Pooled::Pooled(DWARFCompilationUnit* unit) : m_pool(&t_entryPool) {
  m_entry = m_pool->take();  // the pool's reference becomes this holder's
  if (!m_entry) {
    m_entry = new AttrBindings(unit);
    m_entry->addRef();
    return;
  }
  delete m_entry->m_origin;
  m_entry->m_origin = nullptr;
  m_entry->m_originLooked = false;
  m_entry->m_depth = 0;
  m_entry->m_unit = unit;
}

AttrBindings::Pooled::~Pooled() {
  // Taking a reference tells how many there were: two means only this holder had it.
  if (m_entry->addRef() == 2) {
    m_entry->release();
    if (m_pool->put(m_entry)) return;
  } else {
    m_entry->release();
  }
  m_entry->release();
}

bool AttrBindings::decode(DwarfReader& reader) {
  m_attributes.clear();
  m_tag = 0;
  m_hasChildren = 0;
  delete m_origin;
  m_origin = nullptr;
  m_originLooked = false;
  if (!m_unit) return false;
  m_entryOffset = reader.offset();
  const Abbreviation* abbrev = readAbbreviation(m_unit, reader);
  if (!abbrev) return false;
  m_offset = reader.offset();
  m_tag = abbrev->tag;
  m_hasChildren = abbrev->hasChildren;
  m_attributes.reserve(abbrev->specs.size());
  for (const AttributeSpec& spec : abbrev->specs) {
    AttrValue value{attributeName(spec.name), 0, 0, nullptr};
    if (!readValue(m_unit, reader, spec.form, spec.implicitConst, value)) {
      unknownForm(reader);
      return false;
    }
    if (!reader.ok()) return false;
    if (!find(value.name)) m_attributes.push_back(value);
  }
  return true;
}

bool AttrBindings::readEntryAt(uint64_t infoOffset) {
  DWARFCompilationUnit* unit = m_unit && m_unit->contains(infoOffset) ? m_unit : nullptr;
  if (!unit && m_unit) unit = m_unit->context()->unitContaining(infoOffset);
  if (!unit) return false;
  m_unit = unit;
  DwarfReader reader = unit->readerAt(infoOffset);
  if (!reader.ok()) return false;
  return decode(reader);
}

SymMgrObjectPtr<AttrBindings> EntryPlace::decode() const {
  if (!unit) return SymMgrObjectPtr<AttrBindings>();
  SymMgrObjectPtr<AttrBindings> entry(new AttrBindings(unit));
  if (!entry->readEntryAt(offset)) return SymMgrObjectPtr<AttrBindings>();
  return entry;
}

bool EntryPlace::hasChildren() const {
  if (!unit) return false;
  const Abbreviation* abbrev = peekAbbreviation(unit, unit->readerAt(offset));
  return abbrev && abbrev->hasChildren == DW_CHILDREN_yes;
}

const AttrValue* AttrBindings::find(uint64_t name) const {
  for (const AttrValue& v : m_attributes) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

const AttrValue* AttrBindings::getAttribute(uint64_t name, bool noFollow) {
  if (const AttrValue* v = find(name)) return v;
  if (noFollow) return nullptr;
  // Each origin is one level deeper; getOrigin refuses past kMaxOriginDepth.
  for (AttrBindings* origin = getOrigin(); origin; origin = origin->getOrigin()) {
    if (const AttrValue* v = origin->find(name)) return v;
  }
  return nullptr;
}

const AttrValue* AttrBindings::originReference() const {
  const AttrValue* ref = find(DW_AT_abstract_origin);
  return ref ? ref : find(DW_AT_specification);
}

AttrBindings* AttrBindings::getOrigin() {
  if (m_originLooked) return m_origin;
  m_originLooked = true;
  if (m_depth >= kMaxOriginDepth) return nullptr;
  const AttrValue* ref = originReference();
  // A reference within the file or into its supplementary file; one by type signature (or
  // into a supplementary file that is absent) names no entry here.
  DWARFCompilationUnit* target = ref ? referencedUnit(m_unit, *ref) : nullptr;
  if (!target) return nullptr;
  m_origin = readReferenced(target, ref->value, m_depth + 1);
  return m_origin;
}

AttrBindings* AttrBindings::readReferenced(DWARFCompilationUnit* unit, uint64_t infoOffset, int depth) {
  auto* entry = new AttrBindings(unit);
  entry->m_depth = depth;
  if (!entry->readEntryAt(infoOffset)) {
    delete entry;
    return nullptr;
  }
  return entry;
}

const Abbreviation* skipEntry(DWARFCompilationUnit* unit, DwarfReader& reader, uint64_t* sibling) {
  if (sibling) *sibling = 0;
  const Abbreviation* abbrev = readAbbreviation(unit, reader);
  if (!abbrev) return nullptr;
  return skipValues(unit, reader, *abbrev, sibling) ? abbrev : nullptr;
}

bool skipValues(DWARFCompilationUnit* unit, DwarfReader& reader, const Abbreviation& entryAbbrev, uint64_t* sibling) {
  const Abbreviation* abbrev = &entryAbbrev;
  if (sibling) *sibling = 0;
  if (abbrev->skip.known) {
    // Types, parameters and members mostly: one step over all their values.
    const SkipShape& shape = abbrev->skip;
    const bool legacy = unit->header().version < 4;
    const std::pair<FormSize, uint16_t> fields[] = {{FormSize::kAddress, shape.addresses},
                                                    {FormSize::kOffset, shape.offsets},
                                                    {FormSize::kRefAddr, shape.refAddrs},
                                                    {FormSize::kStrp, shape.strps}};
    uint64_t total = shape.fixedBytes;
    for (const auto& field : fields) {
      uint64_t bytes = 0;
      if (field.second == 0) continue;
      if (!unitFieldSize(field.first, legacy, reader, bytes)) {
        reader.fail();  // as reading the address would
        return false;
      }
      total += field.second * bytes;
    }
    reader.skip(total);
    return reader.ok();
  }
  bool siblingSeen = false;
  for (const AttributeSpec& spec : abbrev->specs) {
    const bool firstSibling = spec.name == DW_AT_sibling && !siblingSeen;
    if (!firstSibling && skipValue(unit, reader, spec.form)) {
      if (!reader.ok()) return false;
      continue;
    }
    AttrValue value{attributeName(spec.name), 0, 0, nullptr};
    if (!readValue(unit, reader, spec.form, spec.implicitConst, value, false)) {
      unknownForm(reader);
      return false;
    }
    if (!reader.ok()) return false;
    if (spec.name == DW_AT_sibling && !siblingSeen) {
      siblingSeen = true;
      if (sibling && value.form == STORED_REF) *sibling = value.value;
    }
  }
  return true;
}

const Abbreviation* peekAbbreviation(const DWARFCompilationUnit* unit, DwarfReader reader, DwarfReader* afterCode) {
  uint64_t code = reader.readULEB128();
  if (code == 0 || !reader.ok()) return nullptr;
  if (afterCode) *afterCode = reader;
  return unit->abbreviations().find(code);
}

}  // namespace dwarf
}  // namespace ZOR_3_12
