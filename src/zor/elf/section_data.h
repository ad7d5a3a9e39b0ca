// The bytes of one section of an ELF image, as a view into the image's read-only mapping
// (or, for a compressed section, into the helper's decoded copy). Nothing is copied here:
// data() lives as long as the ElfHelper. Safe to share between threads.
#ifndef ZOR_ELF_SECTION_DATA_H_
#define ZOR_ELF_SECTION_DATA_H_

#include <cstdint>
#include <mutex>

#include <zor/object.h>

#include "zor/elf/elf_format.h"

namespace ZOR_3_12 {

class ElfHelper;

class SectionData : public SymMgrObjectImpl {
 public:
  SectionData(ElfHelper* owner, uint32_t index) : m_owner(owner), m_index(index) {}

  // Null for a section without file bytes (SHT_NOBITS, size 0), an index past the header
  // table, bytes that lie outside the file, or a compressed section that does not decode
  // (the latter two leave an assertion record).
  const unsigned char* data() { return span().data; }
  uint64_t size() { return span().size; }
  elf::Span span();
  uint32_t index() const { return m_index; }

 private:
  ElfHelper* m_owner;
  uint32_t m_index;
  std::once_flag m_resolved;
  elf::Span m_span;
};

}  // namespace ZOR_3_12

#endif  // ZOR_ELF_SECTION_DATA_H_
