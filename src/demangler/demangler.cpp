// Demangler over LLVM's Demangle library. The forms are worked out together on the first
// request of any of them (one parse serves all four) and kept for the object's life.
#include "demangler/demangler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <llvm/Demangle/Demangle.h>
#include <llvm/Demangle/MicrosoftDemangle.h>

#include "kave/unicode.h"
#include "zor/util/once.h"

namespace ZOR_3_12 {
namespace {

const char kStaticInitPrefix[] = "_GLOBAL__sub_I_";

struct Forms {
  std::string full;        // demangledName(true)
  std::string qualified;   // demangledName(false)
  std::string shortName;   // shortName()
  std::string alternate;   // alternateName()
};

// Takes ownership of a malloc'ed C string from the LLVM API.
bool takeCString(char* s, std::string& out) {
  if (s == nullptr) return false;
  out.assign(s);
  std::free(s);
  return true;
}

// Position of the last "::" that is outside every <...> and (...) pair, or npos.
// Itanium output brackets only template arguments and the parameters of enclosing
// functions, so a plain depth count is enough for the names a profiler meets.
size_t lastTopLevelScope(const std::string& s) {
  size_t found = std::string::npos;
  int depth = 0;
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    char c = s[i];
    if (c == '<' || c == '(') {
      ++depth;
    } else if (c == '>' || c == ')') {
      if (depth > 0) --depth;
    } else if (c == ':' && s[i + 1] == ':' && depth == 0) {
      found = i;
      ++i;
    }
  }
  return found;
}

// The unqualified function name with the function's own template arguments, taken from
// the qualified name (`ns::A<int>::f<double>` with base `f` gives `f<double>`).
std::string ownNameWithTemplateArgs(const std::string& qualified, const std::string& base) {
  if (base.empty()) return qualified;
  size_t scope = lastTopLevelScope(qualified);
  std::string last = scope == std::string::npos ? qualified : qualified.substr(scope + 2);
  // The last component starts with the base name; what follows it is either nothing or
  // the template argument list. Anything else means the depth count was fooled (an
  // operator< in the context, say): fall back to the bare base name.
  if (last.compare(0, base.size(), base) == 0 &&
      (last.size() == base.size() || last[base.size()] == '<')) {
    return last;
  }
  return base;
}

// `_Z...` names, `mangled` already stripped of any prefix; false when it does not demangle.
bool demangleItanium(const std::string& mangled, Forms& forms) {
  size_t dot = mangled.find('.');
  std::string base = mangled.substr(0, dot);
  std::string suffix = dot == std::string::npos ? std::string() : mangled.substr(dot);

  // One parse serves every form: the whole text is printed from the same tree the parts
  // are taken from.
  llvm::ItaniumPartialDemangler partial;
  if (partial.partialDemangle(base.c_str())) return false;
  std::string baseText;
  if (!takeCString(partial.finishDemangle(nullptr, nullptr), baseText)) return false;
  // The library spells clone suffixes itself ("f() (.cold)"); fall back to the same
  // spelling when it rejects a suffix but accepts the name before it.
  int status = 0;
  if (suffix.empty() ||
      !takeCString(llvm::itaniumDemangle(mangled.c_str(), nullptr, nullptr, &status), forms.full)) {
    forms.full = suffix.empty() ? baseText : baseText + " (" + suffix + ")";
  }
  forms.alternate = base;

  if (partial.isFunction()) {
    std::string baseName;
    std::string qualified;
    if (takeCString(partial.getFunctionBaseName(nullptr, nullptr), baseName) &&
        takeCString(partial.getFunctionName(nullptr, nullptr), qualified)) {
      forms.qualified = qualified;
      forms.shortName = ownNameWithTemplateArgs(qualified, baseName);
      return true;
    }
  }
  // Data, or a special name ("vtable for X"): the special ones are kept whole, since no
  // debug entry carries them; a variable loses its qualification.
  forms.qualified = baseText;
  if (partial.isSpecialName()) {
    forms.shortName = baseText;
  } else {
    size_t scope = lastTopLevelScope(baseText);
    forms.shortName = scope == std::string::npos ? baseText : baseText.substr(scope + 2);
  }
  return true;
}

// `?...` names; false when they do not demangle.
bool demangleMicrosoft(const std::string& mangled, Forms& forms) {
  // The full form uses the flags the symbolizer uses, so both tools print the same text.
  int flags = llvm::MSDF_NoAccessSpecifier | llvm::MSDF_NoCallingConvention | llvm::MSDF_NoMemberType |
              llvm::MSDF_NoReturnType;
  int status = 0;
  if (!takeCString(llvm::microsoftDemangle(mangled.c_str(), nullptr, nullptr, nullptr, &status,
                                           static_cast<llvm::MSDemangleFlags>(flags)),
                   forms.full)) {
    return false;
  }
  forms.alternate = mangled;
  forms.qualified = forms.full;
  forms.shortName = forms.full;

  llvm::ms_demangle::Demangler parser;
  llvm::itanium_demangle::StringView view(mangled.c_str(), mangled.c_str() + mangled.size());
  llvm::ms_demangle::SymbolNode* symbol = parser.parse(view);
  if (parser.Error || symbol == nullptr || symbol->Name == nullptr || symbol->Name->Components == nullptr ||
      symbol->Name->Components->Count == 0) {
    return true;  // a literal or table without a name: the full text is all there is
  }
  forms.qualified = symbol->Name->toString();
  llvm::ms_demangle::IdentifierNode* last = symbol->Name->getUnqualifiedIdentifier();
  if (last != nullptr) forms.shortName = last->toString();
  return true;
}

Forms computeForms(const std::string& name) {
  Forms forms;
  bool ok = false;
  try {
    if (!name.empty() && name[0] == '?') {
      ok = demangleMicrosoft(name, forms);
    } else {
      std::string prefix;
      std::string rest = name;
      if (rest.compare(0, sizeof(kStaticInitPrefix) - 1, kStaticInitPrefix) == 0) {
        prefix = kStaticInitPrefix;
        rest.erase(0, prefix.size());
      }
      std::string decoration;
      if (rest.compare(0, 3, "__Z") == 0) {
        decoration = "_";
        rest.erase(0, 1);
      }
      if (rest.compare(0, 2, "_Z") == 0 && demangleItanium(rest, forms)) {
        ok = true;
        forms.full.insert(0, prefix);
        forms.qualified.insert(0, prefix);
        forms.shortName.insert(0, prefix);
        forms.alternate.insert(0, prefix + decoration);
      }
    }
  } catch (...) {
    ok = false;
  }
  if (!ok) forms = Forms{name, name, name, name};
  return forms;
}

// Whether every value of `name` is a Unicode scalar value, so that its UTF-8 spelling gives
// it back exactly.
// Every name passes through here: the loop has no early exit, so that it is vectorised.
bool isScalarText(std::wstring_view name) {
  const wchar_t* text = name.data();
  uint32_t bad = 0;
  for (size_t i = 0, n = name.size(); i < n; ++i) {
    const uint32_t cp = static_cast<uint32_t>(text[i]);
    bad |= static_cast<uint32_t>(cp > 0x10FFFF) | static_cast<uint32_t>(cp - 0xD800 < 0x800);
  }
  return bad == 0;
}

// Guards the spelling of every name object (see SymbolNameDemangler) and the table of
// recent names.
std::mutex& nameLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed, like the table
  return *lock;
}

// A symbol's name and its demangled forms. The name is kept in UTF-8 (a quarter of its wide
// size; a module holds hundreds of thousands of names, long ones for C++ and Rust) until it
// is first asked for in wide characters, and then only in those; a name that UTF-8 cannot
// spell exactly is kept wide from the start.
class SymbolNameDemangler : public SymMgrObject<ISymbolNameDemangler> {
 public:
  SymbolNameDemangler(std::wstring_view name, std::string utf8, bool exact)
      : SymMgrObject<ISymbolNameDemangler>(nullptr), m_utf8(std::move(utf8)), m_wideOnly(!exact), m_exact(exact) {
    if (m_wideOnly) m_wide.assign(name.data(), name.size());
  }

  // Whether this object holds the name `name`, spelled `utf8` in UTF-8. Under nameLock().
  bool holds(std::wstring_view name, const std::string& utf8) const {
    return m_wideOnly ? std::wstring_view(m_wide) == name : m_utf8 == utf8;
  }
  // The same for an ASCII name, which is its own UTF-8 spelling.
  bool holdsAscii(std::string_view ascii) const {
    if (!m_wideOnly) return m_utf8 == ascii;
    if (m_wide.size() != ascii.size()) return false;
    for (size_t i = 0; i < ascii.size(); ++i)
      if (m_wide[i] != static_cast<wchar_t>(static_cast<unsigned char>(ascii[i]))) return false;
    return true;
  }

  const wchar_t* name() override { return wide().c_str(); }
  const wchar_t* demangledName(bool flag) override {
    prepare();
    if (!m_forms) return name();
    return flag ? wideForms().full.c_str() : wideForms().qualified.c_str();
  }
  const wchar_t* shortName() override {
    prepare();
    return m_forms ? wideForms().shortName.c_str() : name();
  }
  const wchar_t* alternateName() override {
    prepare();
    return m_forms ? wideForms().alternate.c_str() : name();
  }

  // See appendNameUtf8.
  bool appendUtf8(NameForm form, std::string& out) {
    if (form != NameForm::kName) prepare();
    // The name itself, or every form of a name that is not mangled.
    if (form == NameForm::kName || !m_forms) {
      if (!m_exact) return false;
      std::lock_guard<std::mutex> guard(nameLock());
      if (m_wideOnly) return false;
      out += m_utf8;
      return true;
    }
    const std::string* text = &m_forms->full;
    switch (form) {
      case NameForm::kName:
      case NameForm::kFull: text = &m_forms->full; break;
      case NameForm::kQualified: text = &m_forms->qualified; break;
      case NameForm::kShort: text = &m_forms->shortName; break;
      case NameForm::kAlternate: text = &m_forms->alternate; break;
    }
    // The wide forms are read from these through the UTF-8 decoder: only ASCII (nearly
    // every demangled name) is sure to come back byte for byte.
    if (!m_formsExact || KAVE_3_1::asciiPrefix(text->data(), text->size()) != text->size()) return false;
    out += *text;
    return true;
  }

  // See sameSpelling.
  static bool sameSpelling(const SymbolNameDemangler& a, const SymbolNameDemangler& b) {
    if (&a == &b) return true;
    std::lock_guard<std::mutex> guard(nameLock());
    if (a.m_wideOnly == b.m_wideOnly) return a.m_wideOnly ? a.m_wide == b.m_wide : a.m_utf8 == b.m_utf8;
    // One is wide and one UTF-8: an ASCII spelling compares character by character.
    const std::string& utf8 = a.m_wideOnly ? b.m_utf8 : a.m_utf8;
    const SymbolNameDemangler& wide = a.m_wideOnly ? a : b;
    return KAVE_3_1::asciiPrefix(utf8.data(), utf8.size()) == utf8.size() && wide.holdsAscii(utf8);
  }

  // See shortFormIsName.
  int shortFormIsName() {
    prepare();
    if (!m_forms) return 1;  // shortName() gives name() itself
    if (!m_formsExact) return -1;
    const std::string& shortName = m_forms->shortName;
    if (KAVE_3_1::asciiPrefix(shortName.data(), shortName.size()) != shortName.size()) return -1;
    std::lock_guard<std::mutex> guard(nameLock());
    // The name is exact, so its UTF-8 spelling is ASCII exactly when its wide one is.
    if (m_wideOnly) return -1;
    return m_utf8 == shortName ? 1 : 0;
  }

  // See mayBeMangled.
  bool mayBeMangled() {
    if (!m_exact) return true;
    std::lock_guard<std::mutex> guard(nameLock());
    const wchar_t first = m_wideOnly ? (m_wide.empty() ? 0 : m_wide[0]) : (m_utf8.empty() ? 0 : m_utf8[0]);
    return first == L'_' || first == L'?';
  }

  // See withPlainNames.
  static bool withPlain(SymbolNameDemangler& a, SymbolNameDemangler& b,
                        const std::function<void(std::string_view, std::string_view)>& use) {
    if (!a.plain() || !b.plain()) return false;
    std::lock_guard<std::mutex> guard(nameLock());
    if (a.m_wideOnly || b.m_wideOnly) return false;
    use(a.m_utf8, b.m_utf8);
    return true;
  }

 private:
  const std::wstring& wide() {
    m_wideOnce.run([this] {
      if (m_wideOnly) return;
      // Only this call changes the spelling; the others read it under nameLock().
      std::wstring wide = KAVE_3_1::utf8ToWide(m_utf8);
      std::lock_guard<std::mutex> guard(nameLock());
      m_wide = std::move(wide);
      std::string().swap(m_utf8);
      m_wideOnly = true;
    });
    return m_wide;
  }

  // The name in UTF-8, and whether UTF-8 spells it exactly.
  std::string utf8(bool& exact) {
    std::lock_guard<std::mutex> guard(nameLock());
    exact = m_exact;
    return m_wideOnly ? KAVE_3_1::wideToUtf8(m_wide) : m_utf8;
  }

  // One object may serve several symbols (see NameCache), each under its own lock.
  void prepare() { m_once.run([this] { compute(); }); }
  // Whether every form is the name itself and UTF-8 spells it exactly.
  bool plain() {
    prepare();
    return m_exact && !m_forms;
  }

  // Most names a module holds (debug-information names, C symbols) are no mangled names:
  // every form is the name itself, and no form keeps a copy of it. A name holding a value
  // that is no Unicode scalar takes the long way, which spells such values U+FFFD.
  void compute() {
    try {
      // Told by the first character, without a copy of the name.
      if (!mayBeMangled()) return;
      bool exact = true;
      const std::string utf8 = this->utf8(exact);
      Forms forms = computeForms(utf8);
      const bool plain =
          forms.full == utf8 && forms.qualified == utf8 && forms.shortName == utf8 && forms.alternate == utf8;
      if (plain && exact) return;
      // A name UTF-8 cannot spell exactly reads as U+FFFD in its forms: they differ from it
      // unless their wide spellings say otherwise. Otherwise the forms differ from the name
      // exactly when their UTF-8 spellings do.
      if (!exact) {
        const std::wstring& name = this->wide();
        const WideForms wide = widen(forms);
        if (wide.full == name && wide.qualified == name && wide.shortName == name && wide.alternate == name) return;
      }
      m_formsExact = exact;
      m_forms.reset(new Forms(std::move(forms)));
    } catch (...) {
      m_forms.reset();
    }
  }

  struct WideForms {
    std::wstring full;
    std::wstring qualified;
    std::wstring shortName;
    std::wstring alternate;
  };

  std::string m_utf8;   // the name, until m_wideOnly
  bool m_wideOnly;      // the name is in m_wide alone
  const bool m_exact;   // UTF-8 spells the name exactly
  std::wstring m_wide;  // the name, once m_wideOnly
  internal::OnceFlag m_wideOnce;
  internal::OnceFlag m_once;
  static WideForms widen(const Forms& forms) {
    return WideForms{KAVE_3_1::utf8ToWide(forms.full), KAVE_3_1::utf8ToWide(forms.qualified),
                     KAVE_3_1::utf8ToWide(forms.shortName), KAVE_3_1::utf8ToWide(forms.alternate)};
  }
  // The forms in wide characters, made on the first wide request: tools that print take
  // them in UTF-8 instead (appendNameUtf8), and a wide copy is four times the size.
  const WideForms& wideForms() {
    m_wideFormsOnce.run([this] { m_wideForms.reset(new WideForms(widen(*m_forms))); });
    return *m_wideForms;
  }

  // The forms once worked out (in UTF-8), unless every one of them is the name itself. A
  // module holds hundreds of thousands of names, most never asked for in another form.
  std::unique_ptr<Forms> m_forms;
  bool m_formsExact = true;  // m_forms were worked out from the exact spelling of the name
  internal::OnceFlag m_wideFormsOnce;
  std::unique_ptr<WideForms> m_wideForms;
};

// The names of a module repeat: every inlined copy of a function carries its origin's name,
// and the symbol table and the debug information name the same functions. Recent names are
// kept in a small direct-mapped table, so that a repeated name shares one object and is
// demangled once. The table holds a bounded number of objects whatever is loaded.
class NameCache {
 public:
  SymMgrObjectPtr<ISymbolNameDemangler> get(const wchar_t* name) {
    const std::wstring_view text(name != nullptr ? name : L"");
    const bool exact = isScalarText(text);
    std::string utf8 = exact ? KAVE_3_1::wideToUtf8(text.data(), text.size()) : std::string();
    // The UTF-8 spelling is a quarter of the wide one to hash.
    const size_t slot = (exact ? std::hash<std::string_view>()(utf8) : std::hash<std::wstring_view>()(text)) % kSlots;
    std::lock_guard<std::mutex> guard(nameLock());
    SymMgrObjectPtr<SymbolNameDemangler>& kept = m_slots[slot];
    if (!kept || !kept->holds(text, utf8)) kept = new SymbolNameDemangler(text, std::move(utf8), exact);
    return SymMgrObjectPtr<ISymbolNameDemangler>(kept.get());
  }

  // `ascii` holds no byte above 0x7F: it is its own UTF-8 spelling and exact, and lands in
  // the slot get() gives its wide spelling.
  SymMgrObjectPtr<ISymbolNameDemangler> getAscii(std::string_view ascii) {
    const size_t slot = std::hash<std::string_view>()(ascii) % kSlots;
    std::lock_guard<std::mutex> guard(nameLock());
    SymMgrObjectPtr<SymbolNameDemangler>& kept = m_slots[slot];
    if (!kept || !kept->holdsAscii(ascii)) kept = new SymbolNameDemangler(std::wstring_view(), std::string(ascii), true);
    return SymMgrObjectPtr<ISymbolNameDemangler>(kept.get());
  }

 private:
  static constexpr size_t kSlots = 4096;
  SymMgrObjectPtr<SymbolNameDemangler> m_slots[kSlots];
};

// Outlives every module: a table made on first use is never destroyed, so that no symbol
// torn down during the process exit finds it gone.
NameCache& nameCache() {
  static NameCache* cache = new NameCache;
  return *cache;
}

}  // namespace

bool withPlainNames(ISymbolNameDemangler* a, ISymbolNameDemangler* b,
                    const std::function<void(std::string_view, std::string_view)>& use) {
  // The name table makes every name object there is.
  return a != nullptr && b != nullptr &&
         SymbolNameDemangler::withPlain(*static_cast<SymbolNameDemangler*>(a), *static_cast<SymbolNameDemangler*>(b),
                                        use);
}

int shortFormIsName(ISymbolNameDemangler* object) {
  return object != nullptr ? static_cast<SymbolNameDemangler*>(object)->shortFormIsName() : -1;
}

bool mayBeMangled(ISymbolNameDemangler* object) {
  return object != nullptr && static_cast<SymbolNameDemangler*>(object)->mayBeMangled();
}

bool sameSpelling(ISymbolNameDemangler* a, ISymbolNameDemangler* b) {
  return a != nullptr && b != nullptr &&
         SymbolNameDemangler::sameSpelling(*static_cast<SymbolNameDemangler*>(a), *static_cast<SymbolNameDemangler*>(b));
}

bool nameIsAscii(ISymbolNameDemangler* object, std::string_view ascii) {
  if (object == nullptr) return false;
  std::lock_guard<std::mutex> guard(nameLock());
  return static_cast<SymbolNameDemangler*>(object)->holdsAscii(ascii);
}

bool appendNameUtf8(ISymbolNameDemangler* object, NameForm form, std::string& out) {
  return object != nullptr && static_cast<SymbolNameDemangler*>(object)->appendUtf8(form, out);
}

SymMgrObjectPtr<ISymbolNameDemangler> ISymbolNameDemangler::create(const wchar_t* name, exec_format_t) {
  return nameCache().get(name);
}

SymMgrObjectPtr<ISymbolNameDemangler> createNameFromUtf8(std::string_view name) {
  name = name.substr(0, name.find('\0'));  // as the wide form, which ends at its first NUL
  if (KAVE_3_1::asciiPrefix(name.data(), name.size()) == name.size()) return nameCache().getAscii(name);
  return nameCache().get(KAVE_3_1::utf8ToWide(name.data(), name.size()).c_str());
}

}  // namespace ZOR_3_12
