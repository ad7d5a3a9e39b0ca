// Address maps of images rearranged after linking. Such a PDB describes the code at the
// addresses it had before it was moved; its OMAPFROM stream maps those addresses to the
// image's, as sorted records {from, to}: each record moves the stretch up to the next
// record's `from` to `to` onwards (`to` 0: the stretch was dropped).
#ifndef ZOR_DIA_OMAP_H_
#define ZOR_DIA_OMAP_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dia/pdb_model.h"

namespace dia {
namespace plugin {

class OmapTable {
 public:
  struct Record {
    uint32_t from;
    uint32_t to;
  };
  // `bytes` holds little-endian record pairs as the stream stores them; a trailing partial
  // record is ignored. The records are sorted here: the file's order is not trusted.
  OmapTable(const uint8_t* bytes, size_t size);

  bool empty() const { return m_records.empty(); }
  // The image address of `rva`; false when the address lies before the first record, in a
  // dropped stretch, or would move past 4 GB. `room` (optional) receives how many bytes
  // from `rva` on stay in the same stretch (all ones for the last one).
  bool translate(uint32_t rva, uint32_t& out, uint64_t* room = nullptr) const;

 private:
  std::vector<Record> m_records;
};

// Moves the addresses of a model read from such a PDB into the image: those of functions,
// blocks, data, labels and thunks (and thunk targets) and those of source lines, whose
// length is cut at the end of their stretch. Symbols and lines that land nowhere lose their
// address. Sections and offsets stay the PDB's: the image's addresses are the RVAs. Public symbols keep the PDB's addresses: their readers map each public's whole
// span, which may land in several pieces. Does nothing without an OMAPFROM stream. Called
// before the lines are indexed by compiland; leaves them ordered by address.
void applyOmap(PdbModel& model);

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_OMAP_H_
