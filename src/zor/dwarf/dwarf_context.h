// What a unit needs from the loader that owns it: the section bytes, the other units (for
// references that cross units), the load bias and the line resolver.
#ifndef ZOR_DWARF_DWARF_CONTEXT_H_
#define ZOR_DWARF_DWARF_CONTEXT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "zor/dwarf/abbreviations.h"
#include "zor/dwarf/dwarf_sections.h"

namespace ZOR_3_12 {

class DWARFCompilationUnit;
class DWARFLineResolver;

namespace dwarf {

class DwarfContext {
 public:
  virtual const DwarfSections& sections() const = 0;
  // The unit whose bytes contain this .debug_info offset, or null.
  virtual DWARFCompilationUnit* unitContaining(uint64_t infoOffset) = 0;
  // Added to every DW_FORM_addr value and every line-table address.
  virtual uint64_t loadBias() const = 0;
  // The module's line resolver; null until the module asked for one.
  virtual DWARFLineResolver* lineResolver() = 0;
  // Every unit, in ascending offset (read on first use).
  virtual const std::vector<DWARFCompilationUnit*>& units() = 0;
  // The unit at position `index` of units(), null past the last. A context that reads its
  // units one at a time reads only as far as `index`, so that work on the first units need
  // not wait for the others.
  virtual DWARFCompilationUnit* unitInOrder(size_t index) {
    const std::vector<DWARFCompilationUnit*>& all = units();
    return index < all.size() ? all[index] : nullptr;
  }
  // Whether an address of the debug file lies in one of its code or data ranges; line rows
  // outside them are dropped.
  virtual bool inCodeOrDataRange(uint64_t address) = 0;
  // As inCodeOrDataRange, and when true a stretch [start, end) around the address all of
  // which lies in such a range: consecutive rows of a sequence ask about nearby addresses.
  // By default the stretch is the address alone.
  virtual bool codeOrDataRangeAround(uint64_t address, uint64_t& start, uint64_t& end) {
    if (!inCodeOrDataRange(address)) return false;
    start = address;
    end = address + 1;  // 0 at the top of the address space: an empty stretch
    return true;
  }
  // The context of the supplementary file that the alternate forms and imports point into,
  // opened on first use; null when there is none, it was not found or it was refused. A
  // supplementary file has none of its own.
  virtual DwarfContext* supplementary() { return nullptr; }

  // The parsed abbreviation table at an offset of .debug_abbrev, shared by every unit that
  // names it: a file with many units over one table parses it once.
  std::shared_ptr<const AbbreviationTable> abbreviationTable(uint64_t offset);

 protected:
  ~DwarfContext() = default;

 private:
  std::mutex m_abbrevMutex;
  std::map<uint64_t, std::shared_ptr<const AbbreviationTable>> m_abbrevCache;
  uint64_t m_abbrevBytesRead = 0;
};

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DWARF_CONTEXT_H_
