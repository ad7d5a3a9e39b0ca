#include <zor/extensions.h>

#include "demangler/demangler.h"
#include "kave/unicode.h"
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

void appendSymbolNameUtf8(ISymbol* symbol, SymbolNameForm form, std::string& out) {
  if (symbol == nullptr) return;
  static_assert(static_cast<int>(SymbolNameForm::kAlternate) == static_cast<int>(NameForm::kAlternate),
                "the two lists of forms agree");
  if (NamedSymbol* named = asNamedSymbol(symbol)) {
    const SymMgrObjectPtr<ISymbolNameDemangler> object = named->finalNameObject();
    if (appendNameUtf8(object.get(), static_cast<NameForm>(form), out)) return;
  }
  const wchar_t* text = nullptr;
  switch (form) {
    case SymbolNameForm::kName: text = symbol->name(); break;
    case SymbolNameForm::kFull: text = symbol->demangledName(true); break;
    case SymbolNameForm::kQualified: text = symbol->demangledName(false); break;
    case SymbolNameForm::kShort: text = symbol->shortName(); break;
    case SymbolNameForm::kAlternate: text = symbol->alternateName(); break;
  }
  if (text != nullptr) out += KAVE_3_1::wideToUtf8(text);
}

}  // namespace ZOR_3_12
