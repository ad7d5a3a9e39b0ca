#include "zor/dwarf/alt_link.h"

#include <algorithm>

#include "kave/unicode.h"
#include "zor/dwarf/debug_directories.h"
#include "zor/dwarf/dwarf_reader.h"
#include "zor/elf/elf_helper.h"

namespace ZOR_3_12 {
namespace dwarf {

namespace {

// Real ids are 16 or 20 bytes and checksums no longer; a larger one is not believed.
constexpr uint64_t kMaxIdSize = 64;

elf::Span sectionNamed(const ElfHelper& elf, const char* name) {
  int64_t index = elf.sectionIndexByName(name);
  return index < 0 ? elf::Span() : elf.sectionBytes(static_cast<uint32_t>(index));
}

std::wstring directoryOf(const std::wstring& path) {
  size_t slash = path.rfind(L'/');
  if (slash == std::wstring::npos) return std::wstring();
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::wstring baseNameOf(const std::wstring& path) {
  size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring join(const std::wstring& dir, const std::wstring& name) {
  if (dir.empty()) return name;
  return dir.back() == L'/' ? dir + name : dir + L'/' + name;
}

}  // namespace

bool parseGnuAltLink(const uint8_t* data, uint64_t size, AltLink& out) {
  out = AltLink();
  DwarfReader reader(data, size);
  const char* path = reader.readCString();
  if (!path || !*path) return false;
  out.kind = AltLink::kGnuAltLink;
  out.path = path;
  uint64_t idSize = std::min(reader.remaining(), kMaxIdSize);
  out.id.assign(reader.position(), reader.position() + idSize);
  return true;
}

bool parseDebugSup(const uint8_t* data, uint64_t size, AltLink& out, bool* isSupplementary) {
  out = AltLink();
  DwarfReader reader(data, size);
  uint16_t version = reader.readU16();
  uint8_t supplementary = reader.readU8();
  const char* name = reader.readCString();
  uint64_t checksumSize = reader.readULEB128();
  // Version 5 is the only one defined; a checksum that does not fit makes the record void.
  if (!reader.ok() || version != 5 || checksumSize > reader.remaining() || checksumSize > kMaxIdSize) return false;
  out.kind = AltLink::kDebugSup;
  out.path = name;
  out.id.assign(reader.position(), reader.position() + checksumSize);
  if (isSupplementary) *isSupplementary = supplementary != 0;
  return true;
}

AltLink readAltLink(const ElfHelper& elf) {
  AltLink link;
  if (!elf.valid()) return link;
  elf::Span gnu = sectionNamed(elf, ".gnu_debugaltlink");
  if (!gnu.empty() && parseGnuAltLink(gnu.data, gnu.size, link)) return link;
  elf::Span sup = sectionNamed(elf, ".debug_sup");
  bool isSupplementary = false;
  // A supplementary file's own record names no further file.
  if (!sup.empty() && parseDebugSup(sup.data, sup.size, link, &isSupplementary) && !isSupplementary &&
      !link.path.empty())
    return link;
  return AltLink();
}

std::vector<uint8_t> elfBuildId(const ElfHelper& elf) {
  return elf.valid() ? elf.buildId() : std::vector<uint8_t>();
}

std::vector<std::wstring> altLinkCandidates(const std::wstring& debugFilePath, const AltLink& link) {
  std::vector<std::wstring> out;
  auto add = [&out](const std::wstring& path) {
    if (!path.empty() && std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
  };
  if (link.path.empty()) return out;
  const std::wstring recorded = KAVE_3_1::utf8ToWide(link.path);
  if (recorded.empty()) return out;
  const std::wstring dir = directoryOf(debugFilePath);
  const std::wstring base = baseNameOf(recorded);
  add(recorded.front() == L'/' ? recorded : join(dir, recorded));
  add(join(dir, base));
  for (const std::wstring& root : internal::globalDebugDirectories()) {
    add(join(join(root, L".dwz"), base));
    if (link.kind == AltLink::kGnuAltLink) add(internal::buildIdDebugPath(root, link.id.data(), link.id.size()));
  }
  return out;
}

bool altLinkMatches(const AltLink& link, const ElfHelper& candidate) {
  if (!candidate.valid()) return false;
  if (link.kind == AltLink::kGnuAltLink) return link.id.empty() || elfBuildId(candidate) == link.id;
  if (link.kind != AltLink::kDebugSup) return false;
  AltLink own;
  bool isSupplementary = false;
  elf::Span sup = sectionNamed(candidate, ".debug_sup");
  const bool haveOwn = !sup.empty() && parseDebugSup(sup.data, sup.size, own, &isSupplementary);
  if (haveOwn && !isSupplementary) return false;
  if (link.id.empty()) return true;
  if (haveOwn && !own.id.empty()) return own.id == link.id;
  std::vector<uint8_t> buildId = elfBuildId(candidate);
  // Nothing of the same kind to compare with: the name alone decides.
  return buildId.size() != link.id.size() || buildId == link.id;
}

}  // namespace dwarf
}  // namespace ZOR_3_12
