// Demangler over LLVM's Demangle library. The forms are worked out together on the first
// request of any of them (one parse serves all four) and kept for the object's life.
#include "demangler/demangler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <llvm/Demangle/Demangle.h>
#include <llvm/Demangle/MicrosoftDemangle.h>

#include "kave/unicode.h"

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

  int status = 0;
  std::string baseText;
  if (!takeCString(llvm::itaniumDemangle(base.c_str(), nullptr, nullptr, &status), baseText)) return false;
  // The library spells clone suffixes itself ("f() (.cold)"); fall back to the same
  // spelling when it rejects a suffix but accepts the name before it.
  if (suffix.empty() ||
      !takeCString(llvm::itaniumDemangle(mangled.c_str(), nullptr, nullptr, &status), forms.full)) {
    forms.full = suffix.empty() ? baseText : baseText + " (" + suffix + ")";
  }
  forms.alternate = base;

  llvm::ItaniumPartialDemangler partial;
  if (!partial.partialDemangle(base.c_str()) && partial.isFunction()) {
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

class SymbolNameDemangler : public SymMgrObject<ISymbolNameDemangler> {
 public:
  explicit SymbolNameDemangler(const wchar_t* name)
      : SymMgrObject<ISymbolNameDemangler>(nullptr), m_name(name != nullptr ? name : L"") {}

  const std::wstring& original() const { return m_name; }

  const wchar_t* name() override { return m_name.c_str(); }
  const wchar_t* demangledName(bool flag) override {
    prepare();
    return flag ? text(m_full) : text(m_qualified);
  }
  const wchar_t* shortName() override {
    prepare();
    return text(m_short);
  }
  const wchar_t* alternateName() override {
    prepare();
    return text(m_alternate);
  }

 private:
  // Most names a module holds (debug-information names, C symbols) are no mangled names:
  // every form is the name itself, and no form keeps a copy of it. A name holding a value
  // that is no Unicode scalar takes the long way, which spells such values U+FFFD.
  static bool mayBeMangled(const std::wstring& name) {
    if (!name.empty() && (name[0] == L'_' || name[0] == L'?')) return true;
    for (wchar_t c : name) {
      const uint32_t cp = static_cast<uint32_t>(c);
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return true;
    }
    return false;
  }
  const wchar_t* text(const std::wstring& form) const { return m_plain ? m_name.c_str() : form.c_str(); }

  // One object may serve several symbols (see NameCache), each under its own lock.
  void prepare() { std::call_once(m_once, [this] { compute(); }); }

  void compute() {
    if (!mayBeMangled(m_name)) {
      m_plain = true;
      return;
    }
    try {
      Forms forms = computeForms(KAVE_3_1::wideToUtf8(m_name));
      m_full = KAVE_3_1::utf8ToWide(forms.full);
      m_qualified = KAVE_3_1::utf8ToWide(forms.qualified);
      m_short = KAVE_3_1::utf8ToWide(forms.shortName);
      m_alternate = KAVE_3_1::utf8ToWide(forms.alternate);
      m_plain = m_full == m_name && m_qualified == m_name && m_short == m_name && m_alternate == m_name;
      if (m_plain) {
        std::wstring().swap(m_full);
        std::wstring().swap(m_qualified);
        std::wstring().swap(m_short);
        std::wstring().swap(m_alternate);
      }
    } catch (...) {
      m_plain = true;
    }
  }

  std::wstring m_name;
  std::once_flag m_once;
  bool m_plain = false;  // every form equals m_name
  std::wstring m_full;
  std::wstring m_qualified;
  std::wstring m_short;
  std::wstring m_alternate;
};

// The names of a module repeat: every inlined copy of a function carries its origin's name,
// and the symbol table and the debug information name the same functions. Recent names are
// kept in a small direct-mapped table, so that a repeated name shares one object and is
// demangled once. The table holds a bounded number of objects whatever is loaded.
class NameCache {
 public:
  SymMgrObjectPtr<ISymbolNameDemangler> get(const wchar_t* name) {
    const wchar_t* text = name != nullptr ? name : L"";
    const size_t length = std::wcslen(text);
    const size_t slot = std::hash<std::wstring_view>()(std::wstring_view(text, length)) % kSlots;
    std::lock_guard<std::mutex> guard(m_lock);
    SymMgrObjectPtr<SymbolNameDemangler>& kept = m_slots[slot];
    if (!kept || kept->original().size() != length || kept->original().compare(0, length, text, length) != 0)
      kept = new SymbolNameDemangler(text);
    return SymMgrObjectPtr<ISymbolNameDemangler>(kept.get());
  }

 private:
  static constexpr size_t kSlots = 4096;
  std::mutex m_lock;
  SymMgrObjectPtr<SymbolNameDemangler> m_slots[kSlots];
};

}  // namespace

SymMgrObjectPtr<ISymbolNameDemangler> ISymbolNameDemangler::create(const wchar_t* name, exec_format_t) {
  // Outlives every module: a table made on first use is never destroyed, so that no symbol
  // torn down during the process exit finds it gone.
  static NameCache* cache = new NameCache;
  return cache->get(name);
}

}  // namespace ZOR_3_12
