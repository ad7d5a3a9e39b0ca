// Shared helpers of the symbol-store suites: a module with one code segment, symbol scopes
// that count their destruction and can be told how to merge, and an index checker.
#ifndef ZOR_TESTS_SUPPORT_STORE_FIXTURE_H_
#define ZOR_TESTS_SUPPORT_STORE_FIXTURE_H_

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_loader.h"
#include "zor/store/scope.h"
#include "zor/store/symbol_table.h"
#include "zor/store/symbols.h"

namespace zor_fake {

// A symbol scope whose destruction is counted and whose mergeFlags can be forced.
class TestScope : public SymbolScope {
 public:
  TestScope(IFileFormatLoader* loader, IScope* parent, const wchar_t* name, uint64_t address, symbol_kind_t kind,
            int32_t linkage, int* deaths)
      : SymbolScope(loader, name, address, parent, linkage, kind), m_deaths(deaths) {}
  TestScope(IFileFormatLoader* loader, IScope* parent, ISymbol* symbol, int* deaths)
      : SymbolScope(loader, parent, symbol), m_deaths(deaths) {}
  ~TestScope() override {
    if (m_deaths) ++*m_deaths;
  }
  uint32_t mergeFlags(IScope* other) override {
    return forceFlags ? forcedFlags : SymbolScope::mergeFlags(other);
  }
  void merge(IScope* other, uint32_t flags) override {
    mergedFlags.push_back(flags);
    mergedNames.push_back(other->symbol() ? other->symbol()->name() : L"");
    if (flags & MERGE_COLLAPSE) m_ranges.collapseToFirst(other ? asScope(other)->rangeList().lastEnd() : 0);
  }

  bool forceFlags = false;
  uint32_t forcedFlags = 0;
  std::vector<uint32_t> mergedFlags;
  std::vector<std::wstring> mergedNames;

 private:
  int* m_deaths;
};

// A symbol that reports a compilation unit when `unit` is non-zero.
class UnitSymbol : public Symbol {
 public:
  UnitSymbol(IFileFormatLoader* loader, const wchar_t* name, uint64_t address, symbol_kind_t kind, int32_t linkage,
             uint32_t unit)
      : Symbol(loader, name, address, nullptr, linkage, kind, unit, 0), m_unit(unit) {}
  status_t compUnitId(uint32_t& out) override {
    if (!m_unit) return STATUS_FALSE;
    out = m_unit;
    return STATUS_OK;
  }

 private:
  uint32_t m_unit;
};

// Describes a violated index invariant, or returns an empty string.
inline std::string checkIndex(SymbolTable& table) {
  std::ostringstream err;
  SymbolIndex& index = table.index();
  std::set<RangeRecord*> owned;
  std::map<std::pair<uint64_t, RangeRecord*>, int> refs;  // (key, record) -> non-owning items
  for (auto& e : index) {
    uint64_t key = e.first;
    if (!e.second->head) err << "empty list at " << std::hex << key << "\n";
    uint64_t prevEnd = ~0ull;
    for (ListItem* n = e.second->head; n; n = n->next) {
      RangeRecord* r = n->record;
      if (r->end > prevEnd) err << "list at " << std::hex << key << " not ordered by end\n";
      prevEnd = r->end;
      if (n->ownsRecord) {
        if (r->start != key) err << "owning item at " << std::hex << key << " for record at " << r->start << "\n";
        if (!owned.insert(r).second) err << "record owned twice\n";
      } else {
        if (!(r->start < key && key < r->end))
          err << "inherited record [" << std::hex << r->start << "," << r->end << ") at " << key << "\n";
        ++refs[{key, r}];
      }
    }
  }
  for (RangeRecord* r : owned) {
    if (r->empty()) continue;
    for (auto it = index.upper_bound(r->start); it != index.end() && it->first < r->end; ++it) {
      auto f = refs.find({it->first, r});
      int count = f == refs.end() ? 0 : f->second;
      if (count != 1)
        err << "record [" << std::hex << r->start << "," << r->end << ") referenced " << count << " times at "
            << it->first << "\n";
      if (f != refs.end()) refs.erase(f);
    }
  }
  for (auto& left : refs) err << "stray reference at " << std::hex << left.first.first << "\n";
  return err.str();
}


}  // namespace zor_fake

#endif  // ZOR_TESTS_SUPPORT_STORE_FIXTURE_H_
