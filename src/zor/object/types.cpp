#include <zor/types.h>

namespace ZOR_3_12 {

uint8_t symbolPriorityByKind(symbol_kind_t kind) {
  switch (kind) {
    case SYMBOL_KIND_16: return 0;
    case SYMBOL_KIND_FUNCTION: return 1;
    case SYMBOL_KIND_LABEL: return 2;
    case SYMBOL_KIND_PUBLIC: return 3;
    case SYMBOL_KIND_DATA: return 4;
    default: return 10;
  }
}

}  // namespace ZOR_3_12
