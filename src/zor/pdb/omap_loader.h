#ifndef ZOR_PDB_OMAP_LOADER_H_
#define ZOR_PDB_OMAP_LOADER_H_

#include <cstdint>
#include <utility>
#include <vector>

#include <zor/object.h>

#include "dia/dia_interfaces.h"

namespace ZOR_3_12 {

// The address maps of an image rearranged after linking: pairs {rva, rvaTo} sorted by rva,
// each mapping the stretch up to the next pair's rva (rvaTo 0: the stretch was dropped).
class OMAPLoader : public SymMgrObjectImpl {
 public:
  struct Record {
    uint32_t rva;
    uint32_t rvaTo;
  };
  // Reads both tables; `from` stays empty when the PDB has no "OMAPFROM" stream.
  explicit OMAPLoader(dia::IDiaSession* session);

  bool present() const { return m_present; }
  const std::vector<Record>& from() const { return m_from; }
  const std::vector<Record>& to() const { return m_to; }

  // The image pieces of the PDB stretch [start, end): {image rva, length}, in order.
  std::vector<std::pair<uint32_t, uint64_t>> mapRange(uint64_t start, uint64_t end) const;

 private:
  static bool readTable(dia::IDiaEnumDebugStreams* streams, const wchar_t* name, std::vector<Record>& out);

  std::vector<Record> m_from;
  std::vector<Record> m_to;
  bool m_present = false;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_OMAP_LOADER_H_
