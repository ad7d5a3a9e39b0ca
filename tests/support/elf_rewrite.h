// Test helper: real ELF images whose DWARF is replaced by hand-made section bytes, so that
// the whole loader (not only the byte level) can be run over crafted entries.
#ifndef ZOR_TESTS_SUPPORT_ELF_REWRITE_H_
#define ZOR_TESTS_SUPPORT_ELF_REWRITE_H_

#include <map>
#include <string>

namespace elf_rewrite {

bool haveObjcopy();

// Writes to `out` a copy of the ELF image `base` without its .debug_* sections and
// .gnu_debugaltlink, with `sections` (name -> bytes) added instead. False when objcopy is
// missing or fails.
bool withDebugSections(const std::string& base, const std::map<std::string, std::string>& sections,
                       const std::string& out);

}  // namespace elf_rewrite

#endif  // ZOR_TESTS_SUPPORT_ELF_REWRITE_H_
