// The data source (loads one PDB, by path or for an image) and the class factory that
// DllGetClassObject hands out.
#ifndef ZOR_DIA_DIA_DATA_SOURCE_H_
#define ZOR_DIA_DIA_DATA_SOURCE_H_

#include "dia/dia_interfaces.h"

namespace dia {
namespace plugin {

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object);

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_DIA_DATA_SOURCE_H_
