#ifndef ZOR_PDB_DIA_CHILD_ITERATOR_H_
#define ZOR_PDB_DIA_CHILD_ITERATOR_H_

#include "dia/dia_interfaces.h"
#include "zor/pdb/com_ptr.h"

namespace ZOR_3_12 {

// A cursor over a DIA symbol enumeration.
class DIAChildIterator {
 public:
  // Stands on the first symbol, if any. A null enumeration is empty.
  explicit DIAChildIterator(dia::IDiaEnumSymbols* symbols);
  bool valid() const { return m_valid; }
  dia::IDiaSymbol* current() const { return m_current.get(); }
  void step();

 private:
  internal::ComPtr<dia::IDiaEnumSymbols> m_symbols;
  internal::ComPtr<dia::IDiaSymbol> m_current;
  bool m_valid = false;
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_CHILD_ITERATOR_H_
