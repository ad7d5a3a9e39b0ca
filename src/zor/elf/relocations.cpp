#include "zor/elf/relocations.h"

namespace ZOR_3_12 {

bool ByteWriter::read(uint64_t offset, unsigned width, uint64_t& value) const {
  if (width == 0 || width > 8 || offset > m_bytes.size() || width > m_bytes.size() - offset) return false;
  value = 0;
  for (unsigned i = 0; i < width; ++i) value |= uint64_t(m_bytes[offset + i]) << (8 * i);
  return true;
}

bool ByteWriter::write(uint64_t offset, unsigned width, uint64_t value) {
  if (width == 0 || width > 8 || offset > m_bytes.size() || width > m_bytes.size() - offset) return false;
  for (unsigned i = 0; i < width; ++i) m_bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
  return true;
}

bool RELRelocationAddends::readEntry(ByteCursor& reader, bool is64, uint64_t& offset, uint64_t& info,
                                     uint64_t& addend) {
  addend = 0;
  return reader.readWord(is64, offset) && reader.readWord(is64, info);
}

bool RELRelocationAddends::apply(ByteWriter& writer, const RelocationRecord& r) const {
  uint64_t stored = 0;
  if (!writer.read(r.offset, r.width, stored)) return false;
  return writer.write(r.offset, r.width, stored + r.target);
}

bool RELARelocationAddends::readEntry(ByteCursor& reader, bool is64, uint64_t& offset, uint64_t& info,
                                      uint64_t& addend) {
  return reader.readWord(is64, offset) && reader.readWord(is64, info) && reader.readWord(is64, addend);
}

bool RELARelocationAddends::apply(ByteWriter& writer, const RelocationRecord& r) const {
  return writer.write(r.offset, r.width, r.target);
}

unsigned relocationWidth(uint16_t machine, uint32_t type, bool is64) {
  const unsigned word = is64 ? 8 : 4;
  if (machine == elf::kMachineX8664) {
    switch (type) {
      case 0: return 0;             // R_X86_64_NONE
      case 1: case 24: case 17: case 26: return 8;  // 64, PC64, DTPOFF64, GOTOFF64
      case 2: case 10: case 11: case 21: return 4;  // PC32, 32, 32S, DTPOFF32
      case 12: case 13: return 2;  // 16, PC16
      case 14: case 15: return 1;  // 8, PC8
      default: return word;
    }
  }
  if (machine == elf::kMachine386) {
    switch (type) {
      case 0: return 0;  // R_386_NONE
      case 20: case 21: return 2;  // R_386_16, PC16
      case 22: case 23: return 1;  // R_386_8, PC8
      default: return 4;
    }
  }
  return word;
}

}  // namespace ZOR_3_12
