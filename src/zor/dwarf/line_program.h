// The bytes of one line-number program of .debug_line: its header (the version-dependent
// layout of DWARF 2 to 5, directory and file tables) and the state machine that turns the
// opcodes into rows. Knows nothing of source-file objects or of the line table: the line
// resolver maps file entries to its files and rows to line-table entries.
#ifndef ZOR_DWARF_LINE_PROGRAM_H_
#define ZOR_DWARF_LINE_PROGRAM_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <zor/status.h>

#include "zor/dwarf/dwarf_reader.h"
#include "zor/dwarf/dwarf_sections.h"

namespace ZOR_3_12 {

class DWARFCompilationUnit;

namespace dwarf {

struct LineFileEntry {
  const char* name = nullptr;  // points into the section bytes
  uint64_t directoryIndex = 0;
  uint64_t mtime = 0;
  uint64_t length = 0;
};

struct LineProgramHeader {
  uint16_t version = 0;
  uint8_t offsetSize = 4;
  uint8_t addrSize = 0;
  uint8_t minimumInstructionLength = 1;
  uint8_t maximumOperationsPerInstruction = 1;
  uint8_t defaultIsStmt = 1;
  int8_t lineBase = 0;
  uint8_t lineRange = 0;
  uint8_t opcodeBase = 0;
  const uint8_t* standardOpcodeLengths = nullptr;  // opcodeBase - 1 bytes in the section
  // DWARF 2-4: include_directories (directory d is entry d - 1). DWARF 5: every directory,
  // entry 0 being the compilation directory.
  std::vector<const char*> directories;
  std::vector<LineFileEntry> files;  // in file-number order from firstFileNumber
  uint32_t firstFileNumber = 1;
  uint64_t programOffset = 0;  // .debug_line offsets of the opcodes
  uint64_t programEnd = 0;
};

// Reads the header of the program at `offset` of .debug_line. `unit` serves the string
// forms of DWARF 5 tables (null: only inline and section-offset strings) and the address
// size when the header has none. STATUS_OK, or STATUS_BAD_DEBUG_INFO when the header does not
// fit, has a layout that cannot be run (line_range 0), or a version this reader does not know.
status_t readLineProgramHeader(const DwarfSections& sections, uint64_t offset, uint8_t unitAddrSize,
                               const DWARFCompilationUnit* unit, LineProgramHeader& out);

// The full path of a file entry: absolute names as they are; otherwise directory + '/' +
// name, where a relative directory is itself taken under the compilation directory.
// `directoryKnown` is cleared when the entry's directory index names no directory.
std::string lineFilePath(const LineProgramHeader& header, const LineFileEntry& file, const std::string& compDir,
                         bool* directoryKnown = nullptr);
// The directory text a file entry names (null for none), and false when its index names
// no directory. The path is a function of this text, the entry's name and the
// compilation directory alone.
bool lineFileDirectory(const LineProgramHeader& header, const LineFileEntry& file, const char*& listed);

struct LineRow {
  uint64_t address = 0;
  uint64_t file = 1;
  uint64_t line = 1;
  uint64_t column = 0;
  bool isStmt = false;
  bool basicBlock = false;
  bool endSequence = false;
};

// Runs the opcodes of one program, a row at a time.
class LineStateMachine {
 public:
  // `defineFile` receives DW_LNE_define_file entries (DWARF 2-4).
  LineStateMachine(const LineProgramHeader& header, const DwarfSections& sections,
                   std::function<void(const LineFileEntry&)> defineFile = nullptr);
  // The next row; false when the program is exhausted (or its bytes are damaged).
  bool step(LineRow& row);

 private:
  void reset();
  void advance(uint64_t operationAdvance);

  const LineProgramHeader& m_header;
  DwarfReader m_reader;
  std::function<void(const LineFileEntry&)> m_defineFile;
  LineRow m_state;
  uint64_t m_opIndex = 0;
  bool m_rowEmitted = false;
  bool m_resetPending = false;
};

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_LINE_PROGRAM_H_
