#include "zor/pdb/dia_child_iterator.h"

#include "zor/object/trace.h"

namespace ZOR_3_12 {

DIAChildIterator::DIAChildIterator(dia::IDiaEnumSymbols* symbols) : m_symbols(symbols) { step(); }

void DIAChildIterator::step() {
  ZOR_TRACE("step", "DIAChildIterator");
  m_current.reset();
  m_valid = false;
  if (!m_symbols) return;
  dia::ULONG fetched = 0;
  dia::IDiaSymbol* next = nullptr;
  dia::HRESULT hr = m_symbols->Next(1, &next, &fetched);
  if (hr == dia::S_OK && fetched == 1 && next) {
    *m_current.out() = next;
    m_valid = true;
  } else if (next) {
    next->Release();
  }
}

}  // namespace ZOR_3_12
