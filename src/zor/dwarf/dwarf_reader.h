// A forward cursor over the bytes of one section. It carries its bounds: a read past the end
// yields 0, leaves the cursor at the end and clears ok(), so callers may read a whole record
// and test once. Offsets are counted from start(), which is the section's first byte.
#ifndef ZOR_DWARF_DWARF_READER_H_
#define ZOR_DWARF_DWARF_READER_H_

#include <cstdint>
#include <cstring>

namespace ZOR_3_12 {
namespace dwarf {

class DwarfReader {
 public:
  DwarfReader() = default;
  // Over a byte range: offsets count from its first byte.
  DwarfReader(const uint8_t* data, uint64_t size) : m_start(data), m_cur(data), m_end(data ? data + size : data) {}
  // Over a whole section, positioned at `offset` (at the end when the offset lies outside).
  DwarfReader(const uint8_t* data, uint64_t size, uint64_t offset) : DwarfReader(data, size) { seek(offset); }

  // A cursor over the next `length` bytes (fewer when the section ends first), sharing this
  // cursor's origin, so offsets stay section offsets. This cursor is not moved.
  DwarfReader sub(uint64_t length) const {
    DwarfReader r(*this);
    if (length < remaining()) r.m_end = m_cur + length;
    return r;
  }

  bool ok() const { return m_ok; }
  void fail() { m_ok = false; m_cur = m_end; }
  uint64_t remaining() const { return m_cur < m_end ? static_cast<uint64_t>(m_end - m_cur) : 0; }
  bool atEnd() const { return m_cur >= m_end; }
  uint64_t offset() const { return static_cast<uint64_t>(m_cur - m_start); }
  uint64_t endOffset() const { return static_cast<uint64_t>(m_end - m_start); }
  const uint8_t* position() const { return m_cur; }
  const uint8_t* start() const { return m_start; }
  // Moving outside [start, end] puts the cursor at the end and clears ok().
  void seek(uint64_t offset) {
    if (offset > static_cast<uint64_t>(m_end - m_start)) {
      fail();
      return;
    }
    m_cur = m_start + offset;
  }
  void skip(uint64_t n) {
    if (n > remaining()) {
      fail();
      return;
    }
    m_cur += n;
  }

  uint8_t addrSize() const { return m_addrSize; }
  void setAddrSize(uint8_t size) { m_addrSize = size; }
  uint8_t offsetSize() const { return m_offsetSize; }
  void setOffsetSize(uint8_t size) { m_offsetSize = size; }

  uint8_t readU8() { return static_cast<uint8_t>(readUnsigned(1)); }
  uint16_t readU16() { return static_cast<uint16_t>(readUnsigned(2)); }
  uint32_t readU32() { return static_cast<uint32_t>(readUnsigned(4)); }
  uint64_t readU64() { return readUnsigned(8); }
  // Little-endian unsigned integer of 1 to 8 bytes.
  uint64_t readUnsigned(unsigned bytes) {
    if (bytes > 8 || bytes > remaining()) {
      fail();
      return 0;
    }
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(m_cur[i]) << (8 * i);
    m_cur += bytes;
    return v;
  }
  // A target address of addrSize() bytes; any size other than 2, 4 or 8 is a failure.
  uint64_t readAddress() {
    if (m_addrSize != 4 && m_addrSize != 8 && m_addrSize != 2) {
      fail();
      return 0;
    }
    return readUnsigned(m_addrSize);
  }
  // A section offset of offsetSize() bytes (4 in 32-bit DWARF, 8 in 64-bit DWARF).
  uint64_t readOffset() { return readUnsigned(m_offsetSize); }

  uint64_t readULEB128() {
    uint64_t result = 0;
    unsigned shift = 0;
    while (true) {
      if (m_cur >= m_end) {
        fail();
        return 0;
      }
      uint8_t byte = *m_cur++;
      if (shift < 64) result |= static_cast<uint64_t>(byte & 0x7f) << shift;
      shift += 7;
      if ((byte & 0x80) == 0) return result;
    }
  }
  int64_t readSLEB128() {
    uint64_t result = 0;
    unsigned shift = 0;
    uint8_t byte = 0;
    do {
      if (m_cur >= m_end) {
        fail();
        return 0;
      }
      byte = *m_cur++;
      if (shift < 64) result |= static_cast<uint64_t>(byte & 0x7f) << shift;
      shift += 7;
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) result |= ~0ull << shift;
    return static_cast<int64_t>(result);
  }
  // A NUL-terminated string inside the bounds; null (and a failure) when unterminated.
  const char* readCString() {
    const void* nul = m_cur < m_end ? std::memchr(m_cur, 0, static_cast<size_t>(m_end - m_cur)) : nullptr;
    if (!nul) {
      fail();
      return nullptr;
    }
    const char* s = reinterpret_cast<const char*>(m_cur);
    m_cur = static_cast<const uint8_t*>(nul) + 1;
    return s;
  }

 private:
  const uint8_t* m_start = nullptr;
  const uint8_t* m_cur = nullptr;
  const uint8_t* m_end = nullptr;
  uint8_t m_addrSize = 0;
  uint8_t m_offsetSize = 4;
  bool m_ok = true;
};

// A string at `offset` of a string section, or null when the offset lies outside it or the
// string is not terminated inside the section.
inline const char* stringAt(const uint8_t* section, uint64_t size, uint64_t offset) {
  if (!section || offset >= size) return nullptr;
  const void* nul = std::memchr(section + offset, 0, static_cast<size_t>(size - offset));
  return nul ? reinterpret_cast<const char*>(section + offset) : nullptr;
}

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DWARF_READER_H_
