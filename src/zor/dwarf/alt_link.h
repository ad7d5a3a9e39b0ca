// The link from a debug file to its supplementary file (the file that a duplicate-removal
// tool moved shared entries and strings into): the records that name it, the places it is
// looked for, and the identity it must prove before it is used.
#ifndef ZOR_DWARF_ALT_LINK_H_
#define ZOR_DWARF_ALT_LINK_H_

#include <cstdint>
#include <string>
#include <vector>

namespace ZOR_3_12 {

class ElfHelper;

namespace dwarf {

struct AltLink {
  enum Kind { kNone, kGnuAltLink, kDebugSup };
  Kind kind = kNone;
  std::string path;         // as recorded: absolute, or relative to the debug file's directory
  std::vector<uint8_t> id;  // build id (.gnu_debugaltlink) or checksum (.debug_sup); may be empty
};

// .gnu_debugaltlink: a NUL-terminated path, then the build id of the supplementary file.
// False when the path is empty or unterminated.
bool parseGnuAltLink(const uint8_t* data, uint64_t size, AltLink& out);

// .debug_sup: version (u16), is_supplementary (u8), a NUL-terminated file name, then the
// checksum as a ULEB128 length and its bytes. False when the record does not fit or the
// version is unknown. `isSupplementary` receives the flag.
bool parseDebugSup(const uint8_t* data, uint64_t size, AltLink& out, bool* isSupplementary = nullptr);

// The link recorded in an ELF debug file (.gnu_debugaltlink first, then .debug_sup with
// is_supplementary 0); kind kNone when there is none or it does not parse.
AltLink readAltLink(const ElfHelper& elf);

// The build id of an ELF file (its GNU build-id note); empty when it has none.
std::vector<uint8_t> elfBuildId(const ElfHelper& elf);

// The paths to try for the supplementary file of the debug file at `debugFilePath`, in
// order: the recorded path (absolute, or relative to the debug file's directory), the
// recorded base name beside the debug file, then under each global debug directory
// <dir>/.dwz/<base name> and, for a build id, <dir>/.build-id/xx/yyyy.debug. No duplicates.
std::vector<std::wstring> altLinkCandidates(const std::wstring& debugFilePath, const AltLink& link);

// Whether the ELF file `candidate` is the one `link` names: for .gnu_debugaltlink its build
// id must equal the recorded one; for .debug_sup a supplementary file's own checksum (or,
// lacking it, its build id) must equal the recorded checksum, and a file that says it is
// not supplementary is refused. A link without id bytes accepts the file by name.
bool altLinkMatches(const AltLink& link, const ElfHelper& candidate);

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_ALT_LINK_H_
