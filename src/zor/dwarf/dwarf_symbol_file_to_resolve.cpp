#include "zor/dwarf/dwarf_symbol_file_to_resolve.h"

#include <cstring>
#include <vector>

#include "kave/file.h"
#include "kave/unicode.h"
#include "zor/dwarf/debug_directories.h"
#include "zor/util/crc32.h"

namespace ZOR_3_12 {
namespace {

constexpr uint64_t kCrcChunk = 0x2000;

// True for a regular file that opens for reading: directories and unreadable paths are
// passed over as if absent.
bool exists(const std::wstring& path) {
  if (path.empty()) return false;
  KAVE_3_1::File file{KAVE_3_1::Filename(KAVE_3_1::String(path))};
  return file.lastOpStatus() == KAVE_3_1::FILE_OK;
}

}  // namespace

DWARFSymbolFileToResolve::DWARFSymbolFileToResolve(int32_t index, const wchar_t* imagePath, ElfHelper* elfHelper)
    : m_imagePath(imagePath), m_elfHelper(elfHelper), m_index(index) {
  if (m_path.empty() && m_imagePath && *m_imagePath) search();
}

uint32_t DWARFSymbolFileToResolve::fileCrc(const std::wstring& path, bool* ok) {
  KAVE_3_1::File file{KAVE_3_1::Filename(KAVE_3_1::String(path))};
  if (ok) *ok = file.lastOpStatus() == KAVE_3_1::FILE_OK;
  internal::Crc32 crc;
  std::vector<unsigned char> chunk(kCrcChunk);
  for (;;) {
    const uint64_t n = file.read(kCrcChunk, chunk.data());
    if (n == 0 || n == KAVE_3_1::FILE_READ_FAILED) break;
    crc.update(chunk.data(), static_cast<size_t>(n));
  }
  return crc.value();
}

bool DWARFSymbolFileToResolve::crcMatches(const std::wstring& path) const {
  bool opened = false;
  const uint32_t crc = fileCrc(path, &opened);
  return opened && crc == m_expectedCrc;
}

bool DWARFSymbolFileToResolve::buildIdMatches(const std::wstring& path) const {
  if (!m_elfHelper || m_elfHelper->buildId().empty()) return false;
  SymMgrObjectPtr<ElfHelper> candidate(new ElfHelper(path.c_str()));
  return candidate->valid() && candidate->buildId() == m_elfHelper->buildId();
}

bool DWARFSymbolFileToResolve::searchByBuildId(std::wstring& found, bool& someExisted) const {
  if (!m_elfHelper || m_elfHelper->buildId().empty()) return false;
  for (const std::wstring& dir : internal::globalDebugDirectories()) {
    const std::wstring candidate = internal::buildIdDebugPath(dir, m_elfHelper->buildId());
    if (!exists(candidate)) continue;
    someExisted = true;
    if (buildIdMatches(candidate)) {
      found = candidate;
      return true;
    }
  }
  return false;
}

bool DWARFSymbolFileToResolve::readDebugLink(std::wstring& name) {
  SectionData* link = m_elfHelper ? m_elfHelper->section(kSecGnuDebuglink) : nullptr;
  if (!link) return false;
  m_hasDebugLink = true;
  const elf::Span bytes = link->span();
  if (bytes.empty()) return true;  // a link without contents names nothing
  const char* s = reinterpret_cast<const char*>(bytes.data);
  const void* nul = std::memchr(s, 0, bytes.size);
  const size_t length = nul ? static_cast<const char*>(nul) - s : static_cast<size_t>(bytes.size);
  name = KAVE_3_1::utf8ToWide(s, length);
  // The CRC follows at the next multiple of 4 after the terminating NUL.
  const uint64_t crcOffset = (uint64_t(length) + 1 + 3) & ~uint64_t(3);
  if (bytes.holds(crcOffset, 4)) m_expectedCrc = elf::load32(bytes.data + crcOffset);
  return true;
}

void DWARFSymbolFileToResolve::search() {
  ScopedLock guard(&m_lock);
  std::wstring linkName;
  if (!readDebugLink(linkName)) {
    m_path = m_imagePath;
    const bool ownDebugInfo = m_elfHelper && m_elfHelper->section(kSecDebugInfo) != nullptr;
    m_state = ownDebugInfo ? RESOLVE_STATE_FOUND : RESOLVE_STATE_NOT_FOUND;
    // A stripped module without a link may still have its debug file under a build-id tree.
    std::wstring found;
    bool someExisted = false;
    if (!ownDebugInfo && searchByBuildId(found, someExisted)) {
      m_path = found;
      m_state = RESOLVE_STATE_FOUND;
    }
    return;
  }
  // The file library's path() has no trailing separator, so both candidates are joined
  // with one: <dir>/<name> beside the module, then <dir>/.debug/<name>.
  const KAVE_3_1::String dir = KAVE_3_1::Filename(KAVE_3_1::String(m_imagePath)).path();
  std::wstring prefix = dir.str();
  if (!prefix.empty() && prefix.back() != L'/') prefix += L'/';
  KAVE_3_1::Filename inDebugDir(KAVE_3_1::String(prefix + L".debug/"));
  inDebugDir.setBaseWithExtension(KAVE_3_1::String(linkName));
  const std::wstring candidates[2] = {prefix + linkName, inDebugDir.spelling().str()};

  bool someExisted = false;
  if (!linkName.empty()) {
    for (const std::wstring& candidate : candidates) {
      if (!exists(candidate)) continue;
      someExisted = true;
      if (crcMatches(candidate)) {
        m_path = candidate;
        m_state = RESOLVE_STATE_FOUND;
        return;
      }
    }
  }
  std::wstring found;
  if (searchByBuildId(found, someExisted)) {
    m_path = found;
    m_state = RESOLVE_STATE_FOUND;
    return;
  }
  if (!linkName.empty()) {
    for (const std::wstring& root : internal::globalDebugDirectories()) {
      const std::wstring candidate = internal::mirroredDebugPath(root, dir.str(), linkName);
      if (!exists(candidate)) continue;
      someExisted = true;
      if (crcMatches(candidate)) {
        m_path = candidate;
        m_state = RESOLVE_STATE_FOUND;
        return;
      }
    }
  }
  m_path = linkName;
  m_state = someExisted ? RESOLVE_STATE_REJECTED : RESOLVE_STATE_NOT_FOUND;
}

int32_t DWARFSymbolFileToResolve::tryFile(const wchar_t* path) {
  ScopedLock guard(&m_lock);
  const std::wstring offered = path ? path : L"";
  if (m_state == RESOLVE_STATE_FOUND && offered == m_path) return m_index;
  if (!m_hasDebugLink) return -1;
  if (!exists(offered)) return -1;
  if (!crcMatches(offered)) return -1;
  m_path = offered;
  m_state = RESOLVE_STATE_FOUND;
  return m_index;
}

}  // namespace ZOR_3_12
