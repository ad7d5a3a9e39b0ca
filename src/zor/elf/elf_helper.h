// Reads and normalises the structure of one ELF image: the header, the loadable program
// headers, the section headers and their names, the sections the library needs by name,
// the relocation sections, and which address ranges hold code and which hold data.
//
// The whole file is mapped read-only and every table read is checked against the mapping:
// a malformed image leaves an assertion record and makes the helper invalid (or makes the
// damaged piece contribute nothing), never a read outside the mapping.
//
// Compressed sections (SHF_COMPRESSED, or the older .zdebug_* form) are decoded on first
// use into buffers kept for the helper's lifetime; every section accessor hands out the
// decoded bytes, and a .zdebug_x section answers to the name .debug_x. A section that
// fails to decode reads as empty. Uncompressed sections stay views into the mapping.
#ifndef ZOR_ELF_ELF_HELPER_H_
#define ZOR_ELF_ELF_HELPER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <zor/object.h>

#include "zor/elf/compressed_section.h"
#include "zor/elf/elf_format.h"
#include "zor/elf/relocations.h"
#include "zor/elf/section_data.h"

namespace ZOR_3_12 {

// The sections remembered by name, in the order in which names are matched. Extend by
// adding an enumerator and its name in kNamedSectionNames (elf_helper.cpp).
enum NamedSection : unsigned {
  kSecSymtab,
  kSecStrtab,
  kSecDynsym,
  kSecDynstr,
  kSecPlt,
  kSecGnuDebuglink,
  kSecDebugInfo,
  kSecDebugAbbrev,
  kSecDebugStr,
  kSecDebugRanges,
  kSecDebugLine,
  kNamedSectionCount
};

const char* namedSectionName(NamedSection which);

class ElfHelper : public SymMgrObjectImpl {
 public:
  class IProgramHeadersCallback {
   public:
    virtual void onProgramHeader(const elf::ProgramHeader& header, uint32_t index) = 0;

   protected:
    ~IProgramHeadersCallback() = default;
  };
  class ISectionHeadersCallback {
   public:
    virtual void onSectionHeader(const elf::SectionHeader& header, uint32_t index) = 0;

   protected:
    ~ISectionHeadersCallback() = default;
  };

  // Maps the file at `path` (UTF-8 on the way to the system) and reads its structure.
  explicit ElfHelper(const wchar_t* path);
  // Reads an image held in memory; `keepAlive` owns the bytes for the helper's lifetime.
  ElfHelper(std::shared_ptr<const void> keepAlive, const unsigned char* data, uint64_t size);
  ~ElfHelper() override;

  bool valid() const { return m_valid; }
  bool is64() const { return m_is64; }
  uint32_t architecture() const { return m_architecture; }
  const elf::Header& header() const { return m_header; }
  elf::Span file() const { return m_file; }

  // Preferred load address and memory size of the first loadable segment (of .text for a
  // relocatable object).
  uint64_t imageBase() const { return m_imageBase; }
  uint64_t imageSize() const { return m_imageSize; }
  // Code and data windows: the loadable segments that hold code and data (replaced by .text
  // and .data for relocatable objects). Symbols count only inside ranges of these windows.
  uint64_t codeStart() const { return m_codeStart; }
  uint64_t codeSize() const { return m_codeSize; }
  uint64_t dataStart() const { return m_dataStart; }
  uint64_t dataSize() const { return m_dataSize; }
  // For relocatable objects: the windows and ranges become .text and .data.
  void replaceCodeWindow(uint64_t start, uint64_t size);
  void replaceDataWindow(uint64_t start, uint64_t size);

  const std::map<uint64_t, uint64_t>& codeRanges() const { return m_codeRanges; }
  const std::map<uint64_t, uint64_t>& dataRanges() const { return m_dataRanges; }
  bool inCodeRange(uint64_t a) const;
  bool inDataRange(uint64_t a) const;
  bool inAnyRange(uint64_t a) const { return inCodeRange(a) || inDataRange(a); }
  // The code or data range [start, end) that holds `a`; false when none does.
  bool rangeAround(uint64_t a, uint64_t& start, uint64_t& end) const;

  // Walks do nothing and answer false on an invalid image; calls come in index order.
  bool walkProgramHeaders(IProgramHeadersCallback& callback);
  bool walkSectionHeaders(ISectionHeadersCallback& callback);
  uint32_t loadCount() const { return static_cast<uint32_t>(m_loadHeaders.size()); }

  uint32_t sectionCount() const { return static_cast<uint32_t>(m_sectionHeaders.size()); }
  const elf::SectionHeader* sectionHeader(uint32_t index) const;
  // Null when the name table is missing, the index is out of range or the name offset does
  // not lead to a NUL-terminated string inside the name table.
  const char* sectionName(uint32_t index) const;
  // Index of the first section called `name`, or -1. A name .debug_x that no section bears
  // finds a .zdebug_x section instead.
  int64_t sectionIndexByName(const char* name) const;
  const elf::SectionHeader* sectionHeaderByName(const char* name) const;
  // Contents of section `index`: the bytes inside the file, or for a compressed section
  // the decoded bytes (decoded once, by whichever thread asks first). An empty span for
  // NOBITS or out-of-file sections and for a compressed section that does not decode
  // (the latter leaves an assertion record).
  elf::Span sectionBytes(uint32_t index) const;
  // The bytes of section `index` as stored in the file, compressed or not.
  elf::Span rawSectionBytes(uint32_t index) const;
  // How section `index` is compressed (kNone for an index out of range).
  internal::SectionCompression sectionCompression(uint32_t index) const;

  // The image's build id: the descriptor of the first GNU build-id note, found in the note
  // sections (or, without section headers, in the note segments). Empty when there is none.
  const std::vector<unsigned char>& buildId() const { return m_buildId; }

  SectionData* section(NamedSection which) const { return m_named[which].get(); }

  // The reader of the relocation section whose target is `targetIndex`, or null.
  RelocationAddends* relocationsFor(uint32_t targetIndex) const;
  // The reader of relocation section `relIndex` itself, or null.
  RelocationAddends* relocationSection(uint32_t relIndex) const;
  // Fills (again) the table of `reader`; records already there stay as they are. Null when
  // the relocation section cannot serve (symbol table out of range or unreadable).
  RelocationTable* fillRelocationTable(RelocationAddends* reader);
  // Table for the relocations that target section `sectionIndex`; null when none do.
  RelocationTable* relocationTable(uint32_t sectionIndex);
  // Cached tables for the DWARF reader, built once; null when nothing relocates them.
  const RelocationTable* debugInfoRelocations();
  const RelocationTable* debugLineRelocations();
  // The bytes of a named section (decoded first when compressed) with every relocation that
  // targets it applied, as a private copy made on first request; without relocations, the
  // section's bytes themselves.
  elf::Span relocatedSection(NamedSection which);
  // The same for any section by index: its bytes (decoded first when compressed) with the
  // relocations that target it applied, copied once; without relocations, sectionBytes().
  elf::Span relocatedSectionBytes(uint32_t index);

 private:
  void read();
  bool readHeader();
  bool readProgramHeaders();
  bool readSectionHeaders();
  void chooseWindows();
  void classifySections();
  bool fitsCode(uint64_t start, uint64_t end) const;
  bool fitsData(uint64_t start, uint64_t end) const;
  const RelocationTable* cachedTable(NamedSection which, bool& done, RelocationTable*& table);
  void readBuildId();
  bool buildIdInNotes(const elf::Span& notes, uint64_t alignment);

  // The decoded contents of one compressed section, filled once.
  struct DecodedSection {
    internal::SectionCompression kind = internal::SectionCompression::kNone;
    std::once_flag once;
    internal::DecodedBytes bytes;
  };

  std::shared_ptr<const void> m_keepAlive;
  elf::Span m_file;
  elf::Header m_header{};
  std::vector<elf::SectionHeader> m_sectionHeaders;
  elf::Span m_sectionNames;
  bool m_is64 = false;
  bool m_valid = false;
  std::vector<elf::ProgramHeader> m_loadHeaders;
  std::vector<elf::ProgramHeader> m_noteHeaders;
  std::vector<unsigned char> m_buildId;
  // Built while reading the section headers and never changed afterwards, so lookups need
  // no lock; each entry's once_flag guards its decoding.
  std::map<uint32_t, std::unique_ptr<DecodedSection>> m_decoded;
  // Serialises the relocation tables and the relocated copies made on request.
  std::recursive_mutex m_relocLock;
  uint32_t m_architecture = 0;
  SymMgrObjectPtr<SectionData> m_named[kNamedSectionCount];
  uint64_t m_imageBase = 0;
  uint64_t m_imageSize = 0;
  uint64_t m_codeStart = 0;
  uint64_t m_codeSize = 0;
  uint64_t m_dataStart = 0;
  uint64_t m_dataSize = 0;
  std::map<uint32_t, std::unique_ptr<RelocationAddends>> m_relocations;
  bool m_debugInfoRelocDone = false;
  bool m_debugLineRelocDone = false;
  RelocationTable* m_debugInfoReloc = nullptr;
  RelocationTable* m_debugLineReloc = nullptr;
  std::vector<unsigned char> m_relocatedCopy[kNamedSectionCount];
  // Relocated copies by section index; an empty vector means "nothing to relocate".
  std::map<uint32_t, std::vector<unsigned char>> m_relocatedByIndex;
  bool m_relocatedDone[kNamedSectionCount] = {};
  std::map<uint64_t, uint64_t> m_codeRanges;
  std::map<uint64_t, uint64_t> m_dataRanges;
};

}  // namespace ZOR_3_12

#endif  // ZOR_ELF_ELF_HELPER_H_
