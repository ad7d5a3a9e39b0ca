// On-disk layout of the parts of a PE/COFF image this library reads: the DOS and NT headers,
// section headers, the export directory and debug directory entries. Records are decoded
// field by field from little-endian bytes, never overlaid on the file.
#ifndef ZOR_PE_PE_FORMAT_H_
#define ZOR_PE_PE_FORMAT_H_

#include <cstdint>

namespace ZOR_3_12 {
namespace pe {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kLfanewOffset = 60;
constexpr uint32_t kNtHeaders32Size = 248;  // signature, file header, PE32 optional header
constexpr uint32_t kNtHeaders64Size = 264;  // the same with the PE32+ optional header
constexpr uint32_t kFileHeaderOffset = 4;   // after "PE\0\0"
constexpr uint32_t kOptionalHeaderOffset = 24;
constexpr uint16_t kMagicPe32Plus = 0x20B;

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kExportDirectorySize = 40;
constexpr uint32_t kDebugEntrySize = 28;
constexpr uint32_t kCoffSymbolsHeaderSize = 32;

constexpr uint32_t kDirExport = 0;
constexpr uint32_t kDirDebug = 6;
constexpr uint32_t kDirGlobalPtr = 8;

constexpr uint32_t kScnCntCode = 0x20;

constexpr uint32_t kDebugTypeCoff = 1;
constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kDebugTypeLast = 8;  // a larger type (or 0) ends the directory walk

inline uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t le64(const unsigned char* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

struct DataDirectory {
  uint32_t virtualAddress = 0;
  uint32_t size = 0;
};

struct SectionHeader {
  unsigned char name[8] = {};  // not NUL-terminated when all 8 bytes are used
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t sizeOfRawData = 0;
  uint32_t pointerToRawData = 0;
  uint32_t pointerToRelocations = 0;
  uint32_t pointerToLinenumbers = 0;
  uint16_t numberOfRelocations = 0;
  uint16_t numberOfLinenumbers = 0;
  uint32_t characteristics = 0;

  static SectionHeader decode(const unsigned char* p);
};

struct ExportDirectory {
  uint32_t characteristics = 0;
  uint32_t timeDateStamp = 0;
  uint16_t majorVersion = 0;
  uint16_t minorVersion = 0;
  uint32_t name = 0;
  uint32_t base = 0;
  uint32_t numberOfFunctions = 0;
  uint32_t numberOfNames = 0;
  uint32_t addressOfFunctions = 0;
  uint32_t addressOfNames = 0;
  uint32_t addressOfNameOrdinals = 0;

  static ExportDirectory decode(const unsigned char* p);
};

struct DebugDirectoryEntry {
  uint32_t characteristics = 0;
  uint32_t timeDateStamp = 0;
  uint16_t majorVersion = 0;
  uint16_t minorVersion = 0;
  uint32_t type = 0;
  uint32_t sizeOfData = 0;
  uint32_t addressOfRawData = 0;
  uint32_t pointerToRawData = 0;

  static DebugDirectoryEntry decode(const unsigned char* p);
};

inline SectionHeader SectionHeader::decode(const unsigned char* p) {
  SectionHeader h;
  for (int i = 0; i < 8; ++i) h.name[i] = p[i];
  h.virtualSize = le32(p + 8);
  h.virtualAddress = le32(p + 12);
  h.sizeOfRawData = le32(p + 16);
  h.pointerToRawData = le32(p + 20);
  h.pointerToRelocations = le32(p + 24);
  h.pointerToLinenumbers = le32(p + 28);
  h.numberOfRelocations = le16(p + 32);
  h.numberOfLinenumbers = le16(p + 34);
  h.characteristics = le32(p + 36);
  return h;
}

inline ExportDirectory ExportDirectory::decode(const unsigned char* p) {
  ExportDirectory d;
  d.characteristics = le32(p);
  d.timeDateStamp = le32(p + 4);
  d.majorVersion = le16(p + 8);
  d.minorVersion = le16(p + 10);
  d.name = le32(p + 12);
  d.base = le32(p + 16);
  d.numberOfFunctions = le32(p + 20);
  d.numberOfNames = le32(p + 24);
  d.addressOfFunctions = le32(p + 28);
  d.addressOfNames = le32(p + 32);
  d.addressOfNameOrdinals = le32(p + 36);
  return d;
}

inline DebugDirectoryEntry DebugDirectoryEntry::decode(const unsigned char* p) {
  DebugDirectoryEntry e;
  e.characteristics = le32(p);
  e.timeDateStamp = le32(p + 4);
  e.majorVersion = le16(p + 8);
  e.minorVersion = le16(p + 10);
  e.type = le32(p + 12);
  e.sizeOfData = le32(p + 16);
  e.addressOfRawData = le32(p + 20);
  e.pointerToRawData = le32(p + 24);
  return e;
}

}  // namespace pe
}  // namespace ZOR_3_12

#endif  // ZOR_PE_PE_FORMAT_H_
