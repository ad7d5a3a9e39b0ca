// Turns a symbol-table name into the forms a profiler shows and compares. Itanium names
// (`_Z...`) and Microsoft names (`?...`) are recognised whatever the image format says,
// because either compiler family can produce either kind of module. `__Z...` (the extra
// underscore that 32-bit Windows and Mach-O C decoration add) is read as `_Z...` for every
// format, so the format argument does not change any form today; it is kept so that a
// format-specific spelling can be added without touching the callers.
// `_GLOBAL__sub_I_<rest>` static-initialiser functions keep their prefix in every form and
// have <rest> demangled when it is an Itanium name; otherwise they are left as they are.
//
// Forms, for `_ZNK2ns3FooIiE3barIdEEvi.cold`:
//   name()               the string given to create(), unchanged;
//   demangledName(true)  `void ns::Foo<int>::bar<double>(int) const (.cold)`, the whole
//                        demangled text with clone suffixes spelled as the symbolizer spells
//                        them, for display next to a sample;
//   demangledName(false) `ns::Foo<int>::bar<double>`, the qualified name without return
//                        type, parameter list, qualifiers or clone suffix: what a profiler
//                        groups samples by, so that overloads and clones of one function
//                        share a line;
//   shortName()          `bar<double>`, the unqualified name as GCC and Clang write it in
//                        DW_AT_name, so that a symbol compares equal to the debug entry of
//                        the same function: constructors `Foo`, destructors `~Foo`,
//                        operators `operator+`, `operator new`, `operator int`, lambda call
//                        operators `operator()`; a function template instance carries its
//                        template arguments, a member of a class template does not. Clone
//                        suffixes are dropped, since a clone's debug entry uses its origin's
//                        name. Template arguments are printed the demangler's way, which
//                        differs from the compilers' for lambdas and anonymous types used as
//                        template arguments;
//   alternateName()      the mangled name without its clone suffix (`_ZNK2ns3FooIiE3barIdEEvi`),
//                        which is the linkage name the debug information gives the origin of
//                        a clone.
// A name that is not mangled, or does not demangle, is returned unchanged by every form.
#ifndef ZOR_DEMANGLER_DEMANGLER_H_
#define ZOR_DEMANGLER_DEMANGLER_H_

#include <functional>
#include <string>
#include <string_view>

#include <zor/object.h>
#include <zor/types.h>

namespace ZOR_3_12 {

class ISymbolNameDemangler : public ISymMgrObject {
 public:
  virtual const wchar_t* name() = 0;                    // the name it was created with
  virtual const wchar_t* demangledName(bool flag) = 0;   // full demangled form
  virtual const wchar_t* shortName() = 0;               // unqualified source name
  virtual const wchar_t* alternateName() = 0;           // mangled name without clone suffix
  // Never null; an unmangled name is returned unchanged by every form.
  static SymMgrObjectPtr<ISymbolNameDemangler> create(const wchar_t* name, exec_format_t format);
};

// The same as ISymbolNameDemangler::create(name in wide characters) for a name the file
// spells in UTF-8: an ASCII name (nearly every one) goes into the name table without being
// widened and narrowed again; any other is read through the UTF-8 decoder as before.
SymMgrObjectPtr<ISymbolNameDemangler> createNameFromUtf8(std::string_view name);

// For comparisons that need not widen two names: when neither is mangled (every form of it
// is the name itself), UTF-8 spells both exactly and neither has been widened yet, calls
// `use` with their UTF-8 spellings, under the lock that guards them, and returns true.
// Otherwise returns false without calling it. Both objects come from create().
bool withPlainNames(ISymbolNameDemangler* a, ISymbolNameDemangler* b,
                    const std::function<void(std::string_view, std::string_view)>& use);

// Whether `object`'s name is `ascii`, which holds no byte above 0x7F: told without widening
// or demangling the name. `object` comes from create().
bool nameIsAscii(ISymbolNameDemangler* object, std::string_view ascii);

// Whether `object`'s forms may differ from its name, told from its first character without
// demangling: false for a name that is surely its own forms (most debug-information names).
// `object` comes from create().
bool mayBeMangled(ISymbolNameDemangler* object);

// Whether `a` and `b` hold names spelled alike, told without widening either (and so false
// when only a conversion could tell). Both come from create().
bool sameSpelling(ISymbolNameDemangler* a, ISymbolNameDemangler* b);

// Whether `object`'s short form is its name itself, as the wide accessors would find: 1 or
// 0 when that can be told in UTF-8 (the name has not been widened and its short form is
// ASCII), -1 when only the wide forms can tell. Demangles the name, but widens nothing.
// `object` comes from create().
int shortFormIsName(ISymbolNameDemangler* object);

// The forms of a name, as the accessors of ISymbolNameDemangler give them.
enum class NameForm { kName, kFull, kQualified, kShort, kAlternate };

// Appends `object`'s name in `form` to `out` in UTF-8 and returns true when the object holds
// that form in UTF-8 that gives back the wide form exactly: a name that is not mangled
// (every form of it) until somebody asks for it in wide characters, and the demangled
// forms when they are ASCII. Otherwise returns false and leaves `out` alone; the wide
// accessor gives the form then. `object` comes from create().
bool appendNameUtf8(ISymbolNameDemangler* object, NameForm form, std::string& out);

}  // namespace ZOR_3_12

#endif  // ZOR_DEMANGLER_DEMANGLER_H_
