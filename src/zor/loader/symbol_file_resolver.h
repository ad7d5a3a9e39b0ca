// The library's default choice among the candidate symbol files of an image: the first one,
// in the loader's order, that found and accepted its file.
#ifndef ZOR_LOADER_SYMBOL_FILE_RESOLVER_H_
#define ZOR_LOADER_SYMBOL_FILE_RESOLVER_H_

#include <zor/loader.h>

namespace ZOR_3_12 {

class SymbolFileResolver : public ISymbolFileResolver {
 public:
  SymbolFileResolver();

  // Candidates after the chosen one are not asked, so a lazy candidate there never searches.
  int32_t resolveSymbolFile(SymMgrObjectPtr<SymbolFileIter>& candidates) override;
};

}  // namespace ZOR_3_12

#endif  // ZOR_LOADER_SYMBOL_FILE_RESOLVER_H_
