// The debug directory walk and the CodeView record that names an image's PDB.
#include <cstring>
#include <string>

#include "kave/unicode.h"
#include "zor/object/trace.h"
#include "zor/pe/pe_exec_file_loader.h"
#include "zor/pe/pe_file_bytes.h"

namespace ZOR_3_12 {
namespace pe {
namespace {

constexpr unsigned kLineDebugEntry = 519;
constexpr unsigned kLineCoffHeader = 539;
constexpr unsigned kLineMagic = 554;
constexpr unsigned kLineNb10Signature = 576;
constexpr unsigned kLineNb10Age = 585;
constexpr unsigned kLineNb10PathStart = 593;
constexpr unsigned kLineNb10PathRest = 604;
constexpr unsigned kLineRsdsGuid = 616;
constexpr unsigned kLineRsdsAge = 623;
constexpr unsigned kLineRsdsPathStart = 630;
constexpr unsigned kLineRsdsPathRest = 640;

// Longest PDB path kept from a record: the rest of a longer one is dropped.
constexpr size_t kMaxPdbPath = 260;
constexpr uint32_t kLvaToFirstSymbolOffset = 4;

bool fail(unsigned line) {
  ZOR_ASSERT_TEXT("false", internal::kPeSource, line);
  return false;
}

// Finds the record: the last CodeView or COFF entry before the walk ends decides.
bool walkDirectory(const FileBytes& file, uint32_t pointerToSymbolTable, PEFileInfo& info) {
  const uint64_t end = uint64_t(info.debugDirectoryOffset) + info.debugDirectorySize;
  for (uint64_t off = info.debugDirectoryOffset; off < end; off += kDebugEntrySize) {
    const unsigned char* raw = file.at(off, kDebugEntrySize);
    if (!raw) return fail(kLineDebugEntry);
    const DebugDirectoryEntry entry = DebugDirectoryEntry::decode(raw);
    if (entry.type == 0 || entry.type > kDebugTypeLast) break;
    if (entry.type == kDebugTypeCodeView) {
      info.codeViewOffset = entry.pointerToRawData;
    } else if (entry.type == kDebugTypeCoff) {
      info.codeViewOffset = pointerToSymbolTable;
      const unsigned char* coff = file.at(entry.pointerToRawData, kCoffSymbolsHeaderSize);
      if (!coff) return fail(kLineCoffHeader);
      info.codeViewOffset = entry.pointerToRawData + le32(coff + kLvaToFirstSymbolOffset);
    }
  }
  return true;
}

// The NUL-terminated path at `offset`, read a byte at a time as far as the file goes.
bool readPath(const FileBytes& file, uint64_t offset, unsigned startLine, unsigned restLine, PEFileInfo& info) {
  const unsigned char* first = file.at(offset, 1);
  if (!first) return fail(startLine);
  std::string bytes;
  bool ok = true;
  for (uint64_t at = offset; bytes.size() < kMaxPdbPath; ++at) {
    const unsigned char* c = file.at(at, 1);
    if (!c) {
      ok = fail(restLine);  // the bytes read so far are kept
      break;
    }
    if (*c == 0) break;
    bytes.push_back(char(*c));
  }
  info.pdbPath = KAVE_3_1::utf8ToWide(bytes);
  return ok;
}

}  // namespace

bool readDebugInfo(const FileBytes& file, uint32_t pointerToSymbolTable, PEFileInfo& info) {
  if (!walkDirectory(file, pointerToSymbolTable, info)) return false;

  const uint64_t cv = info.codeViewOffset;
  if (!file.read(cv, 4, info.codeViewMagic)) return fail(kLineMagic);
  if (std::memcmp(info.codeViewMagic, "RSDS", 4) == 0) {
    if (!file.read(cv + 4, 16, info.pdbGuid)) return fail(kLineRsdsGuid);
    const unsigned char* age = file.at(cv + 20, 4);
    if (!age) return fail(kLineRsdsAge);
    info.pdbAge = le32(age);
    return readPath(file, cv + 24, kLineRsdsPathStart, kLineRsdsPathRest, info);
  }
  // "NB09" and "NB11" keep their CodeView data in the image: there is no PDB to name.
  if (std::memcmp(info.codeViewMagic, "NB10", 4) != 0) return true;
  const unsigned char* signature = file.at(cv + 8, 4);
  if (!signature) return fail(kLineNb10Signature);
  info.pdbSignature = le32(signature);
  const unsigned char* age = file.at(cv + 12, 4);
  if (!age) return fail(kLineNb10Age);
  info.pdbAge = le32(age);
  return readPath(file, cv + 16, kLineNb10PathStart, kLineNb10PathRest, info);
}

}  // namespace pe
}  // namespace ZOR_3_12
