#include "dia/image_codeview.h"

#include <cstring>

namespace dia {
namespace plugin {

namespace {

constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kDebugDirectoryIndex = 6;
constexpr size_t kDebugEntrySize = 28;
constexpr size_t kSectionHeaderSize = 40;

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool has(uint64_t offset, uint64_t length) const { return offset <= m_size && length <= m_size - offset; }
  uint16_t u16(uint64_t offset) const {
    uint16_t v = 0;
    if (has(offset, 2)) std::memcpy(&v, m_data + offset, 2);
    return v;
  }
  uint32_t u32(uint64_t offset) const {
    uint32_t v = 0;
    if (has(offset, 4)) std::memcpy(&v, m_data + offset, 4);
    return v;
  }
  const uint8_t* at(uint64_t offset) const { return m_data + offset; }

 private:
  const uint8_t* m_data;
  size_t m_size;
};

}  // namespace

bool readCodeViewRecord(const uint8_t* image, size_t size, CodeViewRecord& out) {
  Bytes bytes(image, size);
  if (!bytes.has(0, 64) || bytes.u16(0) != 0x5A4D) return false;  // "MZ"
  uint64_t pe = bytes.u32(0x3C);
  if (!bytes.has(pe, 24) || bytes.u32(pe) != 0x00004550) return false;  // "PE\0\0"
  uint16_t sectionCount = bytes.u16(pe + 6);
  uint16_t optionalSize = bytes.u16(pe + 20);
  uint64_t optional = pe + 24;
  if (!bytes.has(optional, optionalSize) || optionalSize < 2) return false;
  uint16_t magic = bytes.u16(optional);
  uint64_t countOffset;
  if (magic == 0x10B) countOffset = 92;
  else if (magic == 0x20B) countOffset = 108;
  else return false;
  if (optionalSize < countOffset + 4) return false;
  uint32_t directoryCount = bytes.u32(optional + countOffset);
  uint64_t directory = optional + countOffset + 4 + kDebugDirectoryIndex * 8;
  if (directoryCount <= kDebugDirectoryIndex || directory + 8 > optional + optionalSize) return false;
  uint32_t debugRva = bytes.u32(directory);
  uint32_t debugSize = bytes.u32(directory + 4);
  if (debugRva == 0 || debugSize == 0) return false;

  // The directory is addressed by RVA: find the section that holds it.
  uint64_t sections = optional + optionalSize;
  uint64_t debugOffset = 0;
  bool mapped = false;
  for (uint16_t i = 0; i < sectionCount && bytes.has(sections + uint64_t(i) * kSectionHeaderSize, kSectionHeaderSize); ++i) {
    uint64_t header = sections + uint64_t(i) * kSectionHeaderSize;
    uint32_t virtualSize = bytes.u32(header + 8);
    uint32_t virtualAddress = bytes.u32(header + 12);
    uint32_t rawSize = bytes.u32(header + 16);
    uint32_t rawPointer = bytes.u32(header + 20);
    uint32_t extent = virtualSize > rawSize ? virtualSize : rawSize;
    if (debugRva >= virtualAddress && uint64_t(debugRva) + debugSize <= uint64_t(virtualAddress) + extent &&
        uint64_t(debugRva) - virtualAddress + debugSize <= rawSize) {
      debugOffset = uint64_t(rawPointer) + (debugRva - virtualAddress);
      mapped = true;
      break;
    }
  }
  if (!mapped || !bytes.has(debugOffset, debugSize)) return false;
  out.debugDirectory.assign(bytes.at(debugOffset), bytes.at(debugOffset) + debugSize);

  for (uint64_t entry = debugOffset; entry + kDebugEntrySize <= debugOffset + debugSize; entry += kDebugEntrySize) {
    if (bytes.u32(entry + 12) != kDebugTypeCodeView) continue;
    uint32_t dataSize = bytes.u32(entry + 16);
    uint32_t dataPointer = bytes.u32(entry + 24);
    if (!bytes.has(dataPointer, dataSize) || dataSize < 16) continue;
    const uint8_t* data = bytes.at(dataPointer);
    size_t pathOffset;
    if (std::memcmp(data, "RSDS", 4) == 0 && dataSize >= 24) {
      out.isRsds = true;
      std::memcpy(&out.guid, data + 4, sizeof(GUID));
      std::memcpy(&out.age, data + 20, 4);
      pathOffset = 24;
    } else if (std::memcmp(data, "NB10", 4) == 0) {
      out.isRsds = false;
      std::memcpy(&out.signature, data + 8, 4);
      std::memcpy(&out.age, data + 12, 4);
      pathOffset = 16;
    } else {
      continue;
    }
    const char* path = reinterpret_cast<const char*>(data + pathOffset);
    size_t length = 0;
    while (pathOffset + length < dataSize && path[length] != '\0') ++length;
    out.pdbPath.assign(path, length);
    return true;
  }
  return false;
}

}  // namespace plugin
}  // namespace dia
