#include "dia/omap.h"

#include <algorithm>
#include <cstring>

namespace dia {
namespace plugin {

OmapTable::OmapTable(const uint8_t* bytes, size_t size) {
  const size_t count = bytes ? size / sizeof(Record) : 0;
  m_records.resize(count);
  if (count) std::memcpy(m_records.data(), bytes, count * sizeof(Record));  // little-endian host
  std::stable_sort(m_records.begin(), m_records.end(),
                   [](const Record& a, const Record& b) { return a.from < b.from; });
}

bool OmapTable::translate(uint32_t rva, uint32_t& out, uint64_t* room) const {
  // The last record at or below rva; among records of one address the last one wins.
  auto next = std::upper_bound(m_records.begin(), m_records.end(), rva,
                               [](uint32_t value, const Record& r) { return value < r.from; });
  if (next == m_records.begin()) return false;
  const Record& record = *(next - 1);
  if (record.to == 0) return false;
  const uint64_t moved = uint64_t(record.to) + (rva - record.from);
  if (moved > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(moved);
  if (room) *room = next == m_records.end() ? ~0ull : uint64_t(next->from) - rva;
  return true;
}

void applyOmap(PdbModel& model) {
  const PdbDebugStream* from = nullptr;
  for (const PdbDebugStream& stream : model.debugStreams)
    if (stream.name == "OMAPFROM") from = &stream;
  if (!from) return;
  OmapTable table(from->data.data(), from->data.size());

  for (PdbSymbol& symbol : model.symbols) {
    if (symbol.tag == SymTagPublicSymbol) continue;
    // A symbol whose code was dropped has no address at all: its section and offset would
    // name the place it had before the move.
    if (symbol.hasRva && !table.translate(symbol.rva, symbol.rva)) {
      symbol.hasRva = false;
      symbol.hasAddress = false;
      symbol.rva = 0;
    }
    if (symbol.hasTarget && !table.translate(symbol.targetRva, symbol.targetRva)) {
      symbol.hasTarget = false;
      symbol.targetRva = 0;
    }
  }

  std::vector<PdbLine> moved;
  moved.reserve(model.lines.size());
  for (PdbLine line : model.lines) {
    uint64_t room = 0;
    if (!table.translate(line.rva, line.rva, &room)) continue;
    if (line.length > room) line.length = static_cast<uint32_t>(room);
    moved.push_back(line);
  }
  std::stable_sort(moved.begin(), moved.end(), [](const PdbLine& a, const PdbLine& b) { return a.rva < b.rva; });
  model.lines = std::move(moved);
}

}  // namespace plugin
}  // namespace dia
