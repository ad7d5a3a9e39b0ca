// One unit of .debug_info: its header, abbreviation table, what its unit entry says (name,
// directory, language, base address, line-program offset, producer) and the bases that
// DWARF 5 index forms need. It is also the unit's ICompUnitDetails, and holds the unit's
// line-program file table once the line resolver has read it.
#ifndef ZOR_DWARF_COMPILATION_UNIT_H_
#define ZOR_DWARF_COMPILATION_UNIT_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zor/source.h>

#include "zor/dwarf/abbreviations.h"
#include "zor/dwarf/attr_bindings.h"
#include "zor/dwarf/dwarf_context.h"

namespace ZOR_3_12 {

enum producer_kind_t : int32_t {
  PRODUCER_UNKNOWN = 0,
  PRODUCER_GNU = 1,
  PRODUCER_GNU_2_96 = 2,
  PRODUCER_VANOR = 3,
  PRODUCER_VANOR_CPP_8 = 4,
};

// The header of one unit, as read by readUnitHeader.
struct UnitHeader {
  uint64_t offset = 0;       // of the unit's first byte (the length field) in .debug_info
  uint64_t size = 0;         // whole unit, length field included
  uint16_t version = 0;
  uint8_t unitType = 0;      // DW_UT_*; DW_UT_compile for versions before 5
  uint8_t addrSize = 0;
  uint8_t offsetSize = 4;    // 8 in 64-bit DWARF
  uint64_t abbrevOffset = 0;
  uint32_t headerSize = 0;   // bytes from the unit's first byte to its first entry
  uint64_t dwoId = 0;        // skeleton and split units
  uint64_t typeSignature = 0;
  uint64_t typeOffset = 0;   // type units: offset of the type entry, relative to the unit

  // Type units and split units are read as headers only; the walk does not enter them.
  bool walked() const {
    return unitType == dwarf::DW_UT_compile || unitType == dwarf::DW_UT_partial || unitType == dwarf::DW_UT_skeleton;
  }
  uint64_t firstEntryOffset() const { return offset + headerSize; }
};

// Reads one unit header at the reader's position and moves the reader past the whole unit.
// A unit whose length runs past the section is cut at the section's end. False (and the
// reader at its end) when no complete header fits in what is left: the walk stops there.
bool readUnitHeader(dwarf::DwarfReader& reader, UnitHeader& out);

class DWARFCompilationUnit : public ICompUnitDetails, public SymMgrObjectImpl {
 public:
  DWARFCompilationUnit(const UnitHeader& header, dwarf::DwarfContext* context);
  ~DWARFCompilationUnit() override;

  // ICompUnitDetails
  uint64_t getId() override { return offset(); }
  ISourceFile* getPrimarySourceFile() override;
  ISourceFile* getSourceFile(const wchar_t* name) override;
  const wchar_t* getObjectFileName() override { return nullptr; }
  const wchar_t* getCompilationDirectory() override { return m_compDir.c_str(); }
  const wchar_t* getOptReportFile() override { return m_optReportFile.empty() ? nullptr : m_optReportFile.c_str(); }
  const wchar_t* getCompilerName() override;
  int32_t getMajorVersion() override { return m_majorVersion; }
  int32_t getMinorVersion() override { return m_minorVersion; }
  int32_t getLanguage() override { return m_language; }

  const UnitHeader& header() const { return m_header; }
  // The unit's id: its .debug_info offset; a split unit answers with its skeleton's, so that
  // its symbols and lines are keyed like those of an ordinary unit of the module.
  uint64_t offset() const { return m_skeleton ? m_skeleton->m_header.offset : m_header.offset; }
  uint16_t version() const { return m_header.version; }
  uint8_t addrSize() const { return m_header.addrSize; }
  const dwarf::AbbreviationTable& abbreviations() const { return *m_abbrevs; }
  dwarf::DwarfContext* context() const { return m_context; }
  uint64_t loadBias() const { return m_context->loadBias(); }
  // A cursor over this unit's bytes positioned at its first entry (offsets are section offsets).
  dwarf::DwarfReader entryReader() const;
  // A cursor over this unit's bytes positioned at an absolute .debug_info offset.
  dwarf::DwarfReader readerAt(uint64_t infoOffset) const;
  bool contains(uint64_t infoOffset) const {
    return infoOffset >= m_header.offset && infoOffset - m_header.offset < m_header.size;
  }

  // Reads the unit entry's facts (DW_TAG_compile_unit, DW_TAG_partial_unit, skeleton). Only
  // the first call acts: the walk and the line resolver may both get there.
  void handleCompileUnitEntry(dwarf::AttrBindings* entry);
  // Reads the unit entry if nobody has yet (lines may be asked before symbols).
  void ensureUnitEntry();
  // Makes this unit (of a .dwo file or package) the split unit of `skeleton`: its addresses
  // index the skeleton's address table, its file numbers the skeleton's line program, and
  // its base address is the skeleton's unless its own entry names one. `strOffsetsBase` is
  // where the string offsets of the split unit's contribution start.
  void attachSkeleton(DWARFCompilationUnit* skeleton, uint64_t strOffsetsBase);
  DWARFCompilationUnit* skeleton() const { return m_skeleton; }
  // Sets producer kind, versions and report file from a DW_AT_producer string (null: no change).
  void parseProducer(const char* producer);
  // The language code of a DW_AT_language value.
  static int32_t languageCode(uint64_t dwLanguage);

  // Values of attributes, interpreted in this unit (index forms go through the unit's bases).
  const char* string(const dwarf::AttrValue* v) const;
  bool address(const dwarf::AttrValue* v, uint64_t& out) const;  // load bias included
  bool constant(const dwarf::AttrValue* v, uint64_t& out) const;
  // DW_AT_high_pc: an address, or from DWARF 4 on a constant offset from `low`.
  bool highPc(const dwarf::AttrValue* v, bool haveLow, uint64_t low, uint64_t& out) const;
  // The offset of a range list: DW_AT_ranges as a section offset, or a DW_FORM_rnglistx index.
  bool rangeListOffset(const dwarf::AttrValue* v, uint64_t& out) const;

  const std::wstring& name() const { return m_name; }
  const std::wstring& compDir() const { return m_compDir; }
  uint64_t baseAddress() const { return m_baseAddress; }
  bool hasLineProgram() const { return m_hasLineProgram; }
  uint64_t lineOffset() const { return m_lineOffset; }
  int32_t producerKind() const { return m_producerKind; }
  uint64_t strOffsetsBase() const { return m_strOffsetsBase; }
  uint64_t addrBase() const { return m_addrBase; }
  uint64_t rnglistsBase() const { return m_rnglistsBase; }

  // Line-program state of this unit, filled by the line resolver under lineLock().
  struct LineProgramInfo {
    status_t status = STATUS_NOT_INITIALIZED;
    std::vector<std::string> includeDirectories;
    std::vector<int32_t> fileTable;  // resolver file index per entry of the file table
    uint32_t firstFileNumber = 1;    // 1 before DWARF 5, 0 from DWARF 5 on
    // From DWARF 5 on the directory table starts with the compilation directory itself, so
    // includeDirectories[d] is directory d; before, directory d is includeDirectories[d - 1].
    bool directoryZeroListed = false;
  };
  LineProgramInfo& lineInfo() { return m_lineInfo; }
  ZorLock& lineLock() { return m_lineLock; }
  // The resolver index of DWARF file number `file` of this unit, -1 when unknown.
  int32_t globalFileIndex(uint64_t file);

 private:
  // The facts of the unit entry, set by handleCompileUnitEntry under m_entryLock.
  void readUnitEntry(dwarf::AttrBindings* entry);

  UnitHeader m_header;
  dwarf::DwarfContext* m_context;
  DWARFCompilationUnit* m_skeleton = nullptr;  // split units only; outlives this unit
  std::shared_ptr<const dwarf::AbbreviationTable> m_abbrevs;
  int32_t m_language = LANGUAGE_C;
  bool m_hasLineProgram = false;
  uint64_t m_lineOffset = 0;
  std::wstring m_compDir;
  std::wstring m_name;
  ISourceFile* m_primarySourceFile = nullptr;
  std::wstring m_compilerName;
  uint64_t m_baseAddress = 0;
  int32_t m_producerKind = PRODUCER_UNKNOWN;
  int32_t m_majorVersion = 0;
  int32_t m_minorVersion = 0;
  std::wstring m_optReportFile;
  uint64_t m_strOffsetsBase = 0;
  uint64_t m_addrBase = 0;
  uint64_t m_rnglistsBase = 0;
  LineProgramInfo m_lineInfo;
  ZorLock m_lineLock;
  ZorLock m_entryLock;
  bool m_unitEntryBusy = false;  // under m_entryLock
  std::atomic<bool> m_unitEntryRead{false};
};

}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_COMPILATION_UNIT_H_
