// The CodeView record of a PE image (debug directory entry of type 2): which PDB the image
// was linked with. Read with bounds checks from the image bytes alone.
#ifndef ZOR_DIA_IMAGE_CODEVIEW_H_
#define ZOR_DIA_IMAGE_CODEVIEW_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dia/dia_interfaces.h"

namespace dia {
namespace plugin {

struct CodeViewRecord {
  bool isRsds = false;  // RSDS: GUID and age; NB10: signature and age
  GUID guid = {};
  uint32_t signature = 0;
  uint32_t age = 0;
  std::string pdbPath;
  std::vector<uint8_t> debugDirectory;  // the raw debug directory entries
};

// False when the bytes are no PE image or carry no CodeView record.
bool readCodeViewRecord(const uint8_t* image, size_t size, CodeViewRecord& out);

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_IMAGE_CODEVIEW_H_
