// The session over one loaded PDB and every object reached from it: symbols, symbol,
// line and source-file enumerations, line numbers, source files and debug streams. All of
// them share the immutable PdbModel, which lives as long as any of them.
#ifndef ZOR_DIA_DIA_SESSION_H_
#define ZOR_DIA_DIA_SESSION_H_

#include <memory>

#include "dia/dia_interfaces.h"
#include "dia/pdb_model.h"

namespace dia {
namespace plugin {

using ModelPtr = std::shared_ptr<const PdbModel>;

IDiaSession* newSession(ModelPtr model);

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_DIA_SESSION_H_
