// The supplementary file of a debug file: the separate ELF file into which a duplicate-
// removal tool moved the entries and strings that several debug files share. Entries of
// the debug file reach it through the alternate forms (DW_FORM_GNU_ref_alt, ref_sup4/8,
// DW_FORM_GNU_strp_alt, strp_sup) and DW_TAG_imported_unit. It is a DWARF context of its
// own: its units decode against its own sections. Its entries carry no code (the tool
// moves only what is shared) and it names no further file.
#ifndef ZOR_DWARF_SUPPLEMENTARY_FILE_H_
#define ZOR_DWARF_SUPPLEMENTARY_FILE_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zor/dwarf/alt_link.h"
#include "zor/dwarf/dwarf_context.h"
#include "zor/dwarf/dwarf_sections.h"
#include "zor/dwarf/compilation_unit.h"
#include "zor/elf/elf_helper.h"

namespace ZOR_3_12 {
namespace dwarf {

// The DWARF sections of an ELF file as the reader takes them (relocated, decoded).
void readDwarfSections(ElfHelper& elf, DwarfSections& out);

class SupplementaryFile final : public DwarfContext {
 public:
  // Over an ELF file already opened and accepted; `loadBias` is the debug file's.
  SupplementaryFile(ElfHelper* elf, const std::wstring& path, uint64_t loadBias);
  // Over section bytes (tests and fuzzing).
  SupplementaryFile(const DwarfSections& sections, uint64_t loadBias);
  ~SupplementaryFile() = default;

  SupplementaryFile(const SupplementaryFile&) = delete;
  SupplementaryFile& operator=(const SupplementaryFile&) = delete;

  // Looks for the file that `debugElf` (the debug file at `debugFilePath`) links to and
  // opens the first candidate whose identity matches. Null when the debug file links to
  // none, or none is found or accepted: a candidate that exists but does not match is
  // reported. Its alternate forms then read as absent.
  static std::unique_ptr<SupplementaryFile> find(const ElfHelper& debugElf, const std::wstring& debugFilePath,
                                                 uint64_t loadBias);

  const std::wstring& path() const { return m_path; }

  // DwarfContext
  const DwarfSections& sections() const override { return m_sections; }
  DWARFCompilationUnit* unitContaining(uint64_t infoOffset) override;
  uint64_t loadBias() const override { return m_loadBias; }
  // Its line programs describe no code of the module: no resolver.
  DWARFLineResolver* lineResolver() override { return nullptr; }
  const std::vector<DWARFCompilationUnit*>& units() override;
  bool inCodeOrDataRange(uint64_t) override { return false; }

 private:
  SymMgrObjectPtr<ElfHelper> m_elf;
  std::wstring m_path;
  DwarfSections m_sections;
  uint64_t m_loadBias;
  std::once_flag m_unitsOnce;
  std::map<uint64_t, DWARFCompilationUnit*> m_byOffset;
  std::vector<SymMgrObjectPtr<DWARFCompilationUnit>> m_owned;
  std::vector<DWARFCompilationUnit*> m_units;  // the same, in order
};

// The unit holding the entry that `ref` names, seen from an entry of `from`: a reference
// within the file (an absolute .debug_info offset) or into the supplementary file. Null for
// other forms, when the supplementary file is absent, or when no unit holds the offset.
DWARFCompilationUnit* referencedUnit(DWARFCompilationUnit* from, const AttrValue& ref);

// Whether the entry's name (or the origin that would name it) lies in a supplementary file
// that is absent: its name, linkage name or origin reference uses an alternate form.
bool nameInMissingSupplementary(AttrBindings* entry);

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_SUPPLEMENTARY_FILE_H_
