// Extensions for the command-line tools: the plain line-table location of an address, the
// chain of inlined calls at an address, innermost first, and symbol names in UTF-8.
#ifndef ZOR_EXTENSIONS_H_
#define ZOR_EXTENSIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include <zor/export.h>
#include <zor/manager.h>
#include <zor/source.h>
#include <zor/symbol.h>

namespace ZOR_3_12 {

// The location that the module's line table gives for `address`, without the substitution
// of the call site that the bank makes for inlined code (the first location when several
// units cover the address). STATUS_FALSE with a null location when no row covers it.
ZOR_API status_t lineTableLocationByAddress(IModuleSymbolBank* bank, IAddress* address,
                                            SymMgrObjectPtr<ISourceLocation>& location);

// One frame of the inline chain at an address.
struct InlineFrame {
  // The function executing in this frame: the inlined function, or for the outermost frame
  // the function symbol. Borrowed from the bank; valid while it lives.
  ISymbol* function = nullptr;
  // Where this frame stands: the line-table location for the innermost frame, the call site
  // of the frame inside it for every other one. May be null.
  SymMgrObjectPtr<ISourceLocation> location;
};

// The frames at `address`, innermost first; the last one is the function symbol itself.
// STATUS_FALSE with no frames when no function covers the address.
ZOR_API status_t inlineFrames(IModuleSymbolBank* bank, IAddress* address, std::vector<InlineFrame>& frames);

// The forms of a symbol's name, as ISymbol's accessors give them.
enum class SymbolNameForm {
  kName,       // name()
  kFull,       // demangledName(true)
  kQualified,  // demangledName(false)
  kShort,      // shortName()
  kAlternate,  // alternateName()
};

// Appends `symbol`'s name in `form` to `out`, in UTF-8: the text of the wide accessor.
// The library keeps names in UTF-8 and makes a wide copy of a form on its first wide
// request, to keep for the module's life; a tool that only prints names needs none.
ZOR_API void appendSymbolNameUtf8(ISymbol* symbol, SymbolNameForm form, std::string& out);

}  // namespace ZOR_3_12

#endif  // ZOR_EXTENSIONS_H_
