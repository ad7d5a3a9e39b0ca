#include "zor/loader/symbol_file_resolver.h"

#include "zor/object/trace.h"

namespace ZOR_3_12 {

SymbolFileResolver::SymbolFileResolver() { ZOR_TRACE("SymbolFileResolver", "SymbolFileResolver"); }

int32_t SymbolFileResolver::resolveSymbolFile(SymMgrObjectPtr<SymbolFileIter>& candidates) {
  ZOR_TRACE("resolveSymbolFile", "SymbolFileResolver");
  if (!candidates) return -1;
  candidates->reset();
  int32_t index = 0;
  for (ISymbolFileToResolve* c = candidates->current(); c != nullptr; c = candidates->current()) {
    if (c->state() == RESOLVE_STATE_FOUND) return index;
    candidates->next();
    ++index;
  }
  return -1;
}

}  // namespace ZOR_3_12
