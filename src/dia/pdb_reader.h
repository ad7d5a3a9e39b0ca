// Reads a PDB into a PdbModel through LLVM's native PDB readers. Damaged files fail
// cleanly: the container, the info stream and the DBI stream must be readable (otherwise
// E_PDB_FORMAT); any later stream that is damaged only loses what it would have added.
#ifndef ZOR_DIA_PDB_READER_H_
#define ZOR_DIA_PDB_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "dia/pdb_model.h"

namespace dia {
namespace plugin {

// E_PDB_NOT_FOUND when the file cannot be read, E_PDB_FORMAT when it is no usable PDB.
HRESULT readPdbFile(const std::string& path, PdbModel& model);
// The same for bytes held by the caller (they must outlive the call only).
HRESULT readPdbBytes(const uint8_t* data, size_t size, const std::string& name, PdbModel& model);

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_PDB_READER_H_
