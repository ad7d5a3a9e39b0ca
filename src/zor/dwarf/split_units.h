// Split DWARF: a skeleton unit in the debug file names the unit that holds its entries, in a
// .dwo file or in a DWARF package (.dwp) beside the module. SplitUnits finds and opens those
// files (lazily, each once) and hands out each skeleton's split unit: an ordinary unit over
// the sections of its .dwo contribution plus the skeleton's address table and range lists,
// which reports itself under the skeleton's unit id and reads the skeleton's line program.
#ifndef ZOR_DWARF_SPLIT_UNITS_H_
#define ZOR_DWARF_SPLIT_UNITS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zor/dwarf/compilation_unit.h"
#include "zor/dwarf/dwarf_context.h"
#include "zor/dwarf/dwp_index.h"
#include "zor/elf/elf_helper.h"

namespace ZOR_3_12 {
namespace dwarf {

// The context of one split unit: its own sections, the module's bias, ranges and resolver.
class SplitUnitContext final : public DwarfContext {
 public:
  SplitUnitContext(DwarfContext* parent, const DwarfSections& sections);
  ~SplitUnitContext();

  const DwarfSections& sections() const override { return m_sections; }
  DWARFCompilationUnit* unitContaining(uint64_t infoOffset) override;
  uint64_t loadBias() const override { return m_parent->loadBias(); }
  DWARFLineResolver* lineResolver() override { return m_parent->lineResolver(); }
  const std::vector<DWARFCompilationUnit*>& units() override { return m_unitList; }
  bool inCodeOrDataRange(uint64_t address) override { return m_parent->inCodeOrDataRange(address); }
  bool codeOrDataRangeAround(uint64_t address, uint64_t& start, uint64_t& end) override {
    return m_parent->codeOrDataRangeAround(address, start, end);
  }

  // Reads the unit headers of .debug_info and keeps the compile unit whose DWO id is `dwoId`,
  // tied to `skeleton`. Null when there is none; a unit with another id is reported.
  DWARFCompilationUnit* adoptSplitUnit(DWARFCompilationUnit* skeleton, uint64_t dwoId);

 private:
  DwarfContext* m_parent;
  DwarfSections m_sections;
  SymMgrObjectPtr<DWARFCompilationUnit> m_unit;
  std::vector<DWARFCompilationUnit*> m_unitList;
};

// What a skeleton unit entry says about its split unit.
struct SkeletonFacts {
  bool isSkeleton = false;
  uint64_t dwoId = 0;
  std::string dwoName;
  std::string compDir;
  uint64_t rangesBase = 0;  // DWARF 4 GNU: where the split unit's .debug_ranges offsets start
};
SkeletonFacts readSkeletonFacts(DWARFCompilationUnit* unit);

// The sections of a split unit (info, abbrev, str, str_offsets, rnglists) out of the .dwo
// sections of one file: whole for a .dwo file (`contributions` null), or cut to the
// contributions a package index gives. False when a contribution lies outside its section
// (reported) or the unit would have no entries or no abbreviations.
bool splitSections(const DwarfSections& whole, const Contribution* contributions, DwarfSections& out);
bool splitSectionsFromFile(ElfHelper& file, const Contribution* contributions, DwarfSections& out);
// Adds what a split unit reads from its skeleton's file: the address table and, before
// DWARF 5, the range lists (from `rangesBase` on).
void addSkeletonSections(const DwarfSections& skeleton, uint16_t version, uint64_t rangesBase, DwarfSections& out);

class SplitUnits {
 public:
  // `debugFilePath` is the file holding the skeletons, `imagePath` the module; packages and
  // .dwo files are looked for beside them.
  SplitUnits(DwarfContext* parent, const std::wstring& debugFilePath, const std::wstring& imagePath);
  ~SplitUnits();

  // The split unit of `skeleton`, found on the first request; null when `skeleton` is no
  // skeleton unit or its split unit is missing, unreadable or of another build.
  DWARFCompilationUnit* splitUnitOf(DWARFCompilationUnit* skeleton);

 private:
  DWARFCompilationUnit* findSplitUnit(DWARFCompilationUnit* skeleton);
  DWARFCompilationUnit* fromPackage(DWARFCompilationUnit* skeleton, const SkeletonFacts& facts);
  DWARFCompilationUnit* fromDwoFile(DWARFCompilationUnit* skeleton, const SkeletonFacts& facts);
  DWARFCompilationUnit* makeUnit(DWARFCompilationUnit* skeleton, const SkeletonFacts& facts, ElfHelper& file,
                                 const Contribution* contributions);
  // The file at `path` (opened once); null when it does not exist or is no ELF file.
  ElfHelper* openFile(const std::string& path);
  void openPackage();

  DwarfContext* m_parent;
  std::string m_debugFilePath;
  std::string m_imagePath;
  std::mutex m_mutex;
  // Files before contexts: the contexts point into the files' bytes and go first.
  std::map<std::string, SymMgrObjectPtr<ElfHelper>> m_files;  // null: absent or not ELF
  bool m_packageLooked = false;
  ElfHelper* m_package = nullptr;
  DwpIndex m_packageIndex;
  std::vector<std::unique_ptr<SplitUnitContext>> m_contexts;
  std::map<DWARFCompilationUnit*, DWARFCompilationUnit*> m_bySkeleton;  // null: none found
};

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_SPLIT_UNITS_H_
