#include <zor/extensions.h>

#include "demangler/demangler.h"
#include "zor/manager/module_symbol_bank.h"
#include "zor/store/symbol_range.h"
#include "zor/store/symbols.h"

namespace ZOR_3_12 {

status_t lineTableLocationByAddress(IModuleSymbolBank* bank, IAddress* address,
                                    SymMgrObjectPtr<ISourceLocation>& location) {
  location.reset();
  auto* moduleBank = dynamic_cast<ModuleSymbolBank*>(bank);
  if (!moduleBank || !address) return STATUS_INVALID_ARGUMENT;
  ISrcLineResolver* resolver = moduleBank->lineResolver();
  if (!resolver) return STATUS_FALSE;
  SymMgrObjectPtr<SourceLocationIter> candidates;
  status_t status = resolver->sourceLocationsByAddress(address->va(), COMP_UNIT_ALL, candidates);
  if (failed(status)) return status;
  if (candidates) location = candidates->current();
  return location ? STATUS_OK : STATUS_FALSE;
}

status_t inlineFrames(IModuleSymbolBank* bank, IAddress* address, std::vector<InlineFrame>& frames) {
  frames.clear();
  if (!bank || !address) return STATUS_INVALID_ARGUMENT;
  SymMgrObjectPtr<ISymbolRange> outer;
  status_t status = bank->symbolRangeByAddress(address, outer, SYMBOL_KIND_FUNCTION, nullptr);
  if (failed(status)) return status;
  if (!outer || !outer->symbol()) return STATUS_FALSE;

  // The chain from the function down to the innermost inlined call that covers the address.
  // Only functions count at each level: a label inside a body is no frame.
  std::vector<SymMgrObjectPtr<ISymbolRange>> chain{outer};
  for (size_t guard = 0; guard < 1024; ++guard) {
    auto* range = dynamic_cast<SymbolRange*>(chain.back().get());
    if (!range || !range->scope()) break;
    SymMgrObjectPtr<ISymbolRange> child;
    if (range->scope()->symbolRangeByAddress(child, address->va(), SYMBOL_KIND_FUNCTION, nullptr) != STATUS_OK ||
        !child || !child->inlineInstance())
      break;
    chain.push_back(child);
  }

  SymMgrObjectPtr<ISourceLocation> where;
  lineTableLocationByAddress(bank, address, where);
  for (size_t i = chain.size(); i-- > 0;) {
    InlineFrame frame;
    IInlineInstance* instance = chain[i]->inlineInstance();
    frame.function = instance ? instance->symbol() : chain[i]->symbol();
    frame.location = where;
    frames.push_back(frame);
    // The frame outside this call stands at the call's site.
    where = instance ? instance->callSite() : nullptr;
  }
  return STATUS_OK;
}

bool appendPlainSymbolNameUtf8(ISymbol* symbol, std::string& out) {
  auto* named = dynamic_cast<NamedSymbol*>(symbol);
  if (named == nullptr) return false;
  const SymMgrObjectPtr<ISymbolNameDemangler> object = named->finalNameObject();
  return appendPlainNameUtf8(object.get(), out);
}

}  // namespace ZOR_3_12
