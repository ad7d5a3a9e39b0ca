#include "zor/dwarf/line_program.h"

#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_constants.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace dwarf {

namespace {

enum LineContentType : uint64_t {
  DW_LNCT_path = 1,
  DW_LNCT_directory_index = 2,
  DW_LNCT_timestamp = 3,
  DW_LNCT_size = 4,
  DW_LNCT_MD5 = 5,
};

enum StandardOpcode : uint8_t {
  DW_LNS_copy = 1,
  DW_LNS_advance_pc = 2,
  DW_LNS_advance_line = 3,
  DW_LNS_set_file = 4,
  DW_LNS_set_column = 5,
  DW_LNS_negate_stmt = 6,
  DW_LNS_set_basic_block = 7,
  DW_LNS_const_add_pc = 8,
  DW_LNS_fixed_advance_pc = 9,
};

enum ExtendedOpcode : uint8_t {
  DW_LNE_end_sequence = 1,
  DW_LNE_set_address = 2,
  DW_LNE_define_file = 3,
  DW_LNE_set_discriminator = 4,
};

struct EntryFormat {
  uint64_t contentType;
  uint64_t form;
};

// One value of a DWARF 5 directory or file entry. False on a form that has no place here.
bool readEntryValue(DwarfReader& r, uint64_t form, const DwarfSections& sections, const DWARFCompilationUnit* unit,
                    const char*& text, uint64_t& number) {
  text = nullptr;
  number = 0;
  switch (form) {
    case DW_FORM_string:
      text = r.readCString();
      return true;
    case DW_FORM_line_strp:
    case DW_FORM_strp: {
      const Section& s = form == DW_FORM_strp ? sections.str : sections.lineStr;
      text = stringAt(s.data, s.size, r.readOffset());
      return true;
    }
    case DW_FORM_strx:
    case DW_FORM_strx1:
    case DW_FORM_strx2:
    case DW_FORM_strx3:
    case DW_FORM_strx4: {
      uint64_t index = form == DW_FORM_strx ? r.readULEB128() : r.readUnsigned(static_cast<unsigned>(form - DW_FORM_strx1 + 1));
      if (unit) {
        AttrValue v{0, STORED_STRX, index, nullptr};
        text = unit->string(&v);
      }
      return true;
    }
    case DW_FORM_udata:
      number = r.readULEB128();
      return true;
    case DW_FORM_data1:
      number = r.readU8();
      return true;
    case DW_FORM_data2:
      number = r.readU16();
      return true;
    case DW_FORM_data4:
      number = r.readU32();
      return true;
    case DW_FORM_data8:
      number = r.readU64();
      return true;
    case DW_FORM_data16:
      r.skip(16);
      return true;
    case DW_FORM_block:
      r.skip(r.readULEB128());
      return true;
    default:
      return false;
  }
}

// A DWARF 5 entry-format list followed by its entries. Each entry must consume bytes, so a
// count read from the file cannot make the loop outlast the section.
template <class OnEntry>
bool readEntryTable(DwarfReader& r, const DwarfSections& sections, const DWARFCompilationUnit* unit,
                    OnEntry onEntry) {
  uint8_t formatCount = r.readU8();
  std::vector<EntryFormat> formats;
  for (uint8_t i = 0; i < formatCount && r.ok(); ++i) formats.push_back({r.readULEB128(), r.readULEB128()});
  uint64_t count = r.readULEB128();
  if (!r.ok()) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t before = r.offset();
    LineFileEntry entry;
    for (const EntryFormat& f : formats) {
      const char* text = nullptr;
      uint64_t number = 0;
      if (!readEntryValue(r, f.form, sections, unit, text, number)) return false;
      switch (f.contentType) {
        case DW_LNCT_path:
          entry.name = text;
          break;
        case DW_LNCT_directory_index:
          entry.directoryIndex = number;
          break;
        case DW_LNCT_timestamp:
          entry.mtime = number;
          break;
        case DW_LNCT_size:
          entry.length = number;
          break;
        default:
          break;  // MD5 and vendor content: not kept
      }
    }
    if (!r.ok() || r.offset() == before) return false;
    onEntry(entry);
  }
  return true;
}

}  // namespace

status_t readLineProgramHeader(const DwarfSections& sections, uint64_t offset, uint8_t unitAddrSize,
                               const DWARFCompilationUnit* unit, LineProgramHeader& out) {
  out = LineProgramHeader();
  const Section& line = sections.line;
  if (!line.present() || offset >= line.size) return STATUS_BAD_DEBUG_INFO;
  DwarfReader r(line.data, line.size, offset);
  uint64_t length = r.readU32();
  if (length == 0xFFFFFFFFu) {
    length = r.readU64();
    out.offsetSize = 8;
  }
  if (!r.ok()) return STATUS_BAD_DEBUG_INFO;
  if (length > r.remaining()) length = r.remaining();
  DwarfReader u = r.sub(length);
  u.setOffsetSize(out.offsetSize);
  out.version = u.readU16();
  if (out.version < 2 || out.version > 5) return STATUS_BAD_DEBUG_INFO;
  out.addrSize = unitAddrSize;
  if (out.version >= 5) {
    out.addrSize = u.readU8();
    u.readU8();  // segment_selector_size
    out.firstFileNumber = 0;
  }
  // header_length is a section offset in every version (offset-sized from version 3 on, and
  // 4 bytes in the 32-bit format version 2 knows); real DWARF 3 of 64-bit targets has a
  // 4-byte field in its 32-bit format.
  uint64_t headerLength = u.readOffset();
  if (!u.ok() || headerLength > u.remaining()) return STATUS_BAD_DEBUG_INFO;
  out.programOffset = u.offset() + headerLength;
  out.programEnd = u.endOffset();

  out.minimumInstructionLength = u.readU8();
  if (out.minimumInstructionLength < 1)
    ZOR_ASSERT_TEXT("1 <= minimumInstructionLength", internal::kDwarfSource, __LINE__);
  if (out.minimumInstructionLength > 4)
    ZOR_ASSERT_TEXT("minimumInstructionLength <= 4", internal::kDwarfSource, __LINE__);
  if (out.version >= 4) out.maximumOperationsPerInstruction = u.readU8();
  out.defaultIsStmt = u.readU8();
  if (out.defaultIsStmt >= 2) ZOR_ASSERT_TEXT("defaultIsStmt < 2", internal::kDwarfSource, __LINE__);
  out.lineBase = static_cast<int8_t>(u.readU8());
  out.lineRange = u.readU8();
  out.opcodeBase = u.readU8();
  out.standardOpcodeLengths = u.position();
  if (out.opcodeBase > 0) u.skip(out.opcodeBase - 1u);
  // Special opcodes divide by line_range: a program with 0 there cannot be run.
  if (!u.ok() || out.lineRange == 0) return STATUS_BAD_DEBUG_INFO;

  if (out.version < 5) {
    while (true) {
      const char* dir = u.readCString();
      if (!dir) return STATUS_BAD_DEBUG_INFO;
      if (*dir == '\0') break;
      out.directories.push_back(dir);
    }
    while (true) {
      LineFileEntry entry;
      entry.name = u.readCString();
      if (!entry.name) return STATUS_BAD_DEBUG_INFO;
      if (*entry.name == '\0') break;
      entry.directoryIndex = u.readULEB128();
      entry.mtime = u.readULEB128();
      entry.length = u.readULEB128();
      if (!u.ok()) return STATUS_BAD_DEBUG_INFO;
      out.files.push_back(entry);
    }
  } else {
    bool ok = readEntryTable(u, sections, unit, [&out](const LineFileEntry& e) { out.directories.push_back(e.name); });
    ok = ok && readEntryTable(u, sections, unit, [&out](const LineFileEntry& e) { out.files.push_back(e); });
    if (!ok) return STATUS_BAD_DEBUG_INFO;
  }
  return STATUS_OK;
}

bool lineFileDirectory(const LineProgramHeader& header, const LineFileEntry& file, const char*& listed) {
  listed = nullptr;
  if (header.version >= 5) {
    if (file.directoryIndex >= header.directories.size()) return false;
    listed = header.directories[static_cast<size_t>(file.directoryIndex)];
  } else if (file.directoryIndex > 0) {
    if (file.directoryIndex - 1 >= header.directories.size()) return false;
    listed = header.directories[static_cast<size_t>(file.directoryIndex - 1)];
  }
  return true;
}

std::string lineFilePath(const LineProgramHeader& header, const LineFileEntry& file, const std::string& compDir,
                         bool* directoryKnown) {
  const char* listed = nullptr;
  const bool known = lineFileDirectory(header, file, listed);
  if (directoryKnown) *directoryKnown = known;
  std::string name = file.name ? file.name : "";
  if (!name.empty() && name[0] == '/') return name;
  std::string dir = compDir;
  if (listed && *listed) {
    if (listed[0] == '/') {
      dir = listed;
    } else {
      std::string joined = listed;
      if (joined.back() != '/') joined += '/';
      name = joined + name;
    }
  }
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + name;
}

LineStateMachine::LineStateMachine(const LineProgramHeader& header, const DwarfSections& sections,
                                   std::function<void(const LineFileEntry&)> defineFile)
    : m_header(header), m_defineFile(std::move(defineFile)) {
  if (sections.line.present() && header.programEnd <= sections.line.size && header.programOffset <= header.programEnd) {
    m_reader = DwarfReader(sections.line.data, header.programEnd, header.programOffset);
  }
  m_reader.setAddrSize(header.addrSize);
  m_reader.setOffsetSize(header.offsetSize);
  reset();
}

void LineStateMachine::reset() {
  m_state = LineRow();
  m_state.isStmt = m_header.defaultIsStmt != 0;
  m_opIndex = 0;
  m_rowEmitted = false;
  m_resetPending = false;
}

void LineStateMachine::advance(uint64_t operationAdvance) {
  uint64_t maxOps = m_header.maximumOperationsPerInstruction;
  if (maxOps <= 1) {
    m_state.address += operationAdvance * m_header.minimumInstructionLength;
    return;
  }
  // VLIW programs count operations inside an instruction.
  uint64_t ops = m_opIndex + operationAdvance;
  m_state.address += m_header.minimumInstructionLength * (ops / maxOps);
  m_opIndex = ops % maxOps;
}

bool LineStateMachine::step(LineRow& row) {
  DwarfReader& r = m_reader;
  while (r.ok() && !r.atEnd()) {
    if (m_rowEmitted) {
      m_state.basicBlock = false;
      m_rowEmitted = false;
    }
    if (m_resetPending) reset();
    bool emit = false;
    uint8_t opcode = r.readU8();
    if (opcode >= m_header.opcodeBase) {
      uint8_t adjusted = static_cast<uint8_t>(opcode - m_header.opcodeBase);
      advance(adjusted / m_header.lineRange);
      m_state.line += static_cast<int64_t>(adjusted % m_header.lineRange) + m_header.lineBase;
      emit = true;
    } else if (opcode == 0) {
      uint64_t length = r.readULEB128();
      if (!r.ok() || length > r.remaining()) break;
      uint64_t end = r.offset() + length;
      if (length > 0) {
        uint8_t sub = r.readU8();
        switch (sub) {
          case DW_LNE_end_sequence:
            m_state.endSequence = true;
            emit = true;
            break;
          case DW_LNE_set_address: {
            // The operand fills the rest of the opcode; its size is the address size.
            uint64_t size = length - 1;
            if (size == 2 || size == 4 || size == 8) {
              m_state.address = r.readUnsigned(static_cast<unsigned>(size));
            } else {
              ZOR_ASSERT_TEXT("false", internal::kDwarfSource, __LINE__);
              m_state.address = 0;
            }
            m_opIndex = 0;
            break;
          }
          case DW_LNE_define_file: {
            LineFileEntry entry;
            entry.name = r.readCString();
            entry.directoryIndex = r.readULEB128();
            entry.mtime = r.readULEB128();
            entry.length = r.readULEB128();
            if (r.ok() && m_defineFile) m_defineFile(entry);
            break;
          }
          case DW_LNE_set_discriminator:
            break;  // affects no row we keep
          default:
            ZOR_ASSERT_TEXT("false", internal::kDwarfSource, __LINE__);
            break;
        }
      }
      if (!r.ok()) break;
      r.seek(end);
    } else {
      switch (opcode) {
        case DW_LNS_copy:
          emit = true;
          break;
        case DW_LNS_advance_pc:
          advance(r.readULEB128());
          break;
        case DW_LNS_advance_line:
          m_state.line += static_cast<uint64_t>(r.readSLEB128());
          break;
        case DW_LNS_set_file:
          m_state.file = r.readULEB128();
          break;
        case DW_LNS_set_column:
          m_state.column = r.readULEB128();
          break;
        case DW_LNS_negate_stmt:
          m_state.isStmt = !m_state.isStmt;
          break;
        case DW_LNS_set_basic_block:
          m_state.basicBlock = true;
          break;
        case DW_LNS_const_add_pc:
          advance((255u - m_header.opcodeBase) / m_header.lineRange);
          break;
        case DW_LNS_fixed_advance_pc:
          m_state.address += r.readU16();
          m_opIndex = 0;
          break;
        default: {
          // Opcodes this reader does not act on (prologue_end, epilogue_begin, set_isa, and
          // any later ones): their operand counts are in the header.
          uint8_t operands = m_header.standardOpcodeLengths[opcode - 1];
          for (uint8_t i = 0; i < operands && r.ok(); ++i) r.readULEB128();
          break;
        }
      }
    }
    if (!r.ok()) break;
    if (m_state.endSequence) m_resetPending = true;
    if (emit) {
      m_rowEmitted = true;
      row = m_state;
      return true;
    }
  }
  return false;
}

}  // namespace dwarf
}  // namespace ZOR_3_12
