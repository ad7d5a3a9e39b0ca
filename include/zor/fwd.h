// Forward declarations of the public interfaces, so headers can refer to each other.
#ifndef ZOR_FWD_H_
#define ZOR_FWD_H_

namespace ZOR_3_12 {
class IAddress;
class IBuffer;
class ICompUnitDetails;
class IDebugInfoLoader;
class IFileFormatLoader;
class IInlineInstance;
class IModuleSymbolBank;
class IScope;
class ISection;
class ISegment;
class ISourceFile;
class ISourceLine;
class ISourceLocation;
class ISourceLocationSelector;
class ISrcLineResolver;
class ISymbol;
class ISymbolFileResolver;
class ISymbolFileToResolve;
class ISymbolManager;
class ISymbolRange;
class ISymbolSelector;
class ISymbolTable;
class IThunk;
}  // namespace ZOR_3_12

#endif  // ZOR_FWD_H_
