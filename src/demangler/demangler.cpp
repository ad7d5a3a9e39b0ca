// Demangler over LLVM's Demangle library. The forms are worked out together on the first
// request of any of them (one parse serves all four) and kept for the object's life.
#include "demangler/demangler.h"

#include <cstdlib>
#include <cstring>
#include <string>

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
      : SymMgrObject<ISymbolNameDemangler>(nullptr), m_name(name != nullptr ? name : L""), m_ready(false) {}

  const wchar_t* name() override { return m_name.c_str(); }
  const wchar_t* demangledName(bool flag) override {
    prepare();
    return flag ? m_full.c_str() : m_qualified.c_str();
  }
  const wchar_t* shortName() override {
    prepare();
    return m_short.c_str();
  }
  const wchar_t* alternateName() override {
    prepare();
    return m_alternate.c_str();
  }

 private:
  void prepare() {
    if (m_ready) return;
    m_ready = true;
    try {
      Forms forms = computeForms(KAVE_3_1::wideToUtf8(m_name));
      m_full = KAVE_3_1::utf8ToWide(forms.full);
      m_qualified = KAVE_3_1::utf8ToWide(forms.qualified);
      m_short = KAVE_3_1::utf8ToWide(forms.shortName);
      m_alternate = KAVE_3_1::utf8ToWide(forms.alternate);
    } catch (...) {
      m_full = m_qualified = m_short = m_alternate = m_name;
    }
  }

  std::wstring m_name;
  bool m_ready;
  std::wstring m_full;
  std::wstring m_qualified;
  std::wstring m_short;
  std::wstring m_alternate;
};

}  // namespace

SymMgrObjectPtr<ISymbolNameDemangler> ISymbolNameDemangler::create(const wchar_t* name, exec_format_t) {
  return SymMgrObjectPtr<ISymbolNameDemangler>(new SymbolNameDemangler(name));
}

}  // namespace ZOR_3_12
