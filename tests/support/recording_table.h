// A symbol table that only records what a loader inserts, keeping the scopes alive, so a
// test sees exactly what was loaded and in which order.
#ifndef ZOR_TESTS_SUPPORT_RECORDING_TABLE_H_
#define ZOR_TESTS_SUPPORT_RECORDING_TABLE_H_

#include <vector>

#include <zor/symbol.h>

namespace zor_fake {

using namespace ZOR_3_12;

class RecordingTable : public SymMgrObject<ISymbolTable> {
 public:
  struct Entry {
    uint64_t start, end;
    SymMgrObjectPtr<IScope> scope;  // null for a section's end
  };
  RecordingTable() : SymMgrObject<ISymbolTable>(nullptr) {}
  void insert(uint64_t start, uint64_t end, IScope* scope) override { entries.push_back({start, end, scope}); }
  void insertScope(IScope*) override {}
  SymMgrObjectPtr<ISymbolRange> symbolRangeByAddress(uint64_t, uint32_t, ISymbolSelector*) override { return {}; }
  SymMgrObjectPtr<SymbolRangeIter> originalSymbolRanges(uint64_t, uint64_t, uint32_t) override { return {}; }
  SymMgrObjectPtr<SymbolRangeIter> nonOverlappedSymbolRanges(uint64_t, uint64_t, uint32_t,
                                                             ISymbolSelector*) override {
    return {};
  }
  IScope* ownerScope() override { return nullptr; }

  std::vector<Entry> symbols() const {
    std::vector<Entry> out;
    for (const Entry& e : entries)
      if (e.scope) out.push_back(e);
    return out;
  }
  std::vector<uint64_t> boundaries() const {
    std::vector<uint64_t> out;
    for (const Entry& e : entries)
      if (!e.scope) out.push_back(e.start);
    return out;
  }

  std::vector<Entry> entries;
};

}  // namespace zor_fake

#endif  // ZOR_TESTS_SUPPORT_RECORDING_TABLE_H_
