// The session over one loaded PDB and every object reached from it: symbols, symbol,
// line and source-file enumerations, line numbers, source files and debug streams. All of
// them share the immutable PdbModel, which lives as long as any of them.
#ifndef ZOR_DIA_DIA_SESSION_H_
#define ZOR_DIA_DIA_SESSION_H_

#include <memory>
#include <string>

#include "dia/dia_interfaces.h"
#include "dia/pdb_model.h"

namespace dia {
namespace plugin {

using ModelPtr = std::shared_ptr<const PdbModel>;

IDiaSession* newSession(ModelPtr model);

// The machine type of 32-bit x86 images, whose C symbols carry a calling-convention
// decoration in the publics.
constexpr uint16_t kMachineI386 = 0x14C;
// The C name under an x86 public's decoration: "_f" (cdecl), "_f@8" (stdcall), "@f@8"
// (fastcall) and "f@@8" (vectorcall) all give "f"; anything else is kept as it is.
std::string undecorateI386CName(const std::string& name);

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_DIA_SESSION_H_
