#include "zor/source/symbol_source_line_iterator.h"

namespace ZOR_3_12 {

SymbolSourceLineIterator::SymbolSourceLineIterator(IScope* scope, ISourceFile* file, uint64_t compUnitKey)
    : SymMgrObject<SourceLineIter>(nullptr),
      m_ranges(scope ? new RelRangeIterator(scope) : nullptr),
      m_file(file),
      m_compUnitKey(compUnitKey) {
  reset();
}

SymMgrObjectPtr<SourceLineIter> SymbolSourceLineIterator::linesOfCurrentRange() {
  SymMgrObjectPtr<SourceLineIter> out;
  if (!m_file || !m_ranges) return out;
  SymMgrObjectPtr<ISymbolRange> range = m_ranges->current();
  if (!range) return out;
  SymMgrObjectPtr<IAddress> from = range->startAddress();
  SymMgrObjectPtr<IAddress> to = range->endAddress();
  // A null bound would mean "unbounded" to the file; a range outside the image has no lines.
  if (!from || !to) return out;
  if (m_file->lines(out, m_compUnitKey, from.get(), to.get()) != STATUS_OK) out.reset();
  return out;
}

void SymbolSourceLineIterator::reset() {
  m_lines.reset();
  if (!m_ranges) return;
  m_ranges->reset();
  m_lines = linesOfCurrentRange();
}

bool SymbolSourceLineIterator::next() {
  if (!m_lines) return false;
  if (m_lines->next()) return true;
  m_lines.reset();
  if (!m_ranges->next()) return false;
  m_lines = linesOfCurrentRange();
  // A range for which the file has no lines ends the walk.
  return m_lines && m_lines->current();
}

SymMgrObjectPtr<ISourceLine> SymbolSourceLineIterator::current() {
  return m_lines ? m_lines->current() : nullptr;
}

}  // namespace ZOR_3_12
