#include "zor/source/inline_caller_source_line_iterator.h"

#include "zor/source/source_line.h"
#include "zor/store/scope.h"
#include "zor/store/symbol_range.h"

namespace ZOR_3_12 {

namespace internal {

uint64_t lineStart(ISourceLine* line) {
  if (auto* plain = dynamic_cast<SourceLine*>(line)) return plain->start();
  SymMgrObjectPtr<IAddress> a = line ? line->startAddress() : nullptr;
  return a ? a->va() : 0;
}

uint64_t rangeStart(ISymbolRange* range) {
  if (auto* r = dynamic_cast<SymbolRange*>(range)) return r->start();
  SymMgrObjectPtr<IAddress> a = range ? range->startAddress() : nullptr;
  return a ? a->va() : 0;
}

uint64_t rangeEnd(ISymbolRange* range) {
  if (auto* r = dynamic_cast<SymbolRange*>(range)) return r->end();
  SymMgrObjectPtr<IAddress> a = range ? range->endAddress() : nullptr;
  return a ? a->va() : 0;
}

}  // namespace internal

InlineCallerSourceLineIteratorBase::InlineCallerSourceLineIteratorBase(IFileFormatLoader* loader,
                                                                       SymMgrObjectPtr<SourceLineIter> lines,
                                                                       uint64_t from, uint64_t to, ISourceFile* file)
    : SymMgrObject<SourceLineIter>(nullptr),
      m_from(from),
      m_to(to),
      m_lines(std::move(lines)),
      m_loader(loader),
      m_file(file) {}

void InlineCallerSourceLineIteratorBase::firstRange() {
  SymbolRangeIter* children = childWalk();
  m_range = children ? children->current() : nullptr;
  if (m_range && internal::rangeEnd(m_range.get()) > m_to) m_range.reset();
}

void InlineCallerSourceLineIteratorBase::advanceRange() {
  if (!m_range) return;
  SymbolRangeIter* children = childWalk();
  if (children && children->next()) {
    m_range = children->current();
  } else {
    dropChildWalk();
    children = childWalk();
    m_range = children ? children->current() : nullptr;
  }
  // A call that runs past the span ends the walk.
  if (m_range && internal::rangeEnd(m_range.get()) > m_to) m_range.reset();
}

void InlineCallerSourceLineIteratorBase::positionOn(ISourceLine* line) {
  if (!line) return;
  uint64_t start = internal::lineStart(line);
  while (m_range && internal::rangeEnd(m_range.get()) <= start) advanceRange();
}

bool InlineCallerSourceLineIteratorBase::qualifies(ISourceLine* line) {
  if (!m_range || !line) return false;
  IInlineInstance* instance = m_range->inlineInstance();
  if (!instance || !instance->hasCallSite()) return false;
  if (internal::lineStart(line) + line->size() <= internal::rangeStart(m_range.get())) return false;
  if (!m_file) return true;
  SymMgrObjectPtr<ISourceLocation> site = instance->callSite();
  return site && site->sourceFile() == m_file;
}

SymMgrObjectPtr<ISourceLine> InlineCallerSourceLineIteratorBase::current() {
  if (m_current) return m_current;
  SymMgrObjectPtr<ISourceLine> line = m_lines ? m_lines->current() : nullptr;
  if (!line) return nullptr;
  if (qualifies(line.get())) {
    m_current = new SourceLine(m_loader, m_range->inlineInstance()->callSite(), internal::rangeStart(m_range.get()),
                               internal::rangeEnd(m_range.get()));
  } else {
    m_current = line;
  }
  return m_current;
}

bool InlineCallerSourceLineIteratorBase::next() {
  m_current.reset();
  SymMgrObjectPtr<ISourceLine> line = m_lines ? m_lines->current() : nullptr;
  if (!line) return false;
  if (qualifies(line.get())) {
    // The whole call stands for every plain line inside it.
    uint64_t end = internal::rangeEnd(m_range.get());
    while (line && internal::lineStart(line.get()) < end) {
      if (!m_lines->next()) return false;
      line = m_lines->current();
    }
    advanceRange();
    positionOn(line.get());
    return static_cast<bool>(line);
  }
  if (!m_lines->next()) return false;
  line = m_lines->current();
  positionOn(line.get());
  return static_cast<bool>(line);
}

void InlineCallerSourceLineIteratorBase::reset() {
  restartRanges();
  m_current.reset();
  m_range.reset();
  if (!m_lines) return;
  m_lines->reset();
  firstRange();
  SymMgrObjectPtr<ISourceLine> line = m_lines->current();
  positionOn(line.get());
}

// ---------------------------------------------------------------------------------------

InlineCallerSourceLineIterator::InlineCallerSourceLineIterator(IScope* scope, SymMgrObjectPtr<SourceLineIter> lines,
                                                               uint64_t from, uint64_t to, ISourceFile* file)
    : InlineCallerSourceLineIteratorBase(scope ? static_cast<Scope*>(scope)->fileLoader() : nullptr, lines, from, to,
                                         file) {
  if (lines) {
    SymMgrObjectPtr<ISourceLine> first = lines->current();
    if (first) m_from = internal::lineStart(first.get());
  }
  if (scope) static_cast<Scope*>(scope)->nonOverlappedSymbolRanges(m_ranges, m_from, m_to, SYMBOL_KIND_ALL, nullptr);
  reset();
}

SymbolRangeIter* InlineCallerSourceLineIterator::childWalk() {
  while (!m_children && m_ranges && !m_rangesDone) {
    SymMgrObjectPtr<ISymbolRange> top = m_ranges->current();
    if (!top) {
      m_rangesDone = true;
      break;
    }
    SymMgrObjectPtr<SymbolRangeIter> children = top->childRanges();
    if (children && children->current()) {
      m_children = children;
      break;
    }
    if (!m_ranges->next()) m_rangesDone = true;
  }
  return m_children.get();
}

void InlineCallerSourceLineIterator::dropChildWalk() {
  m_children.reset();
  if (m_ranges && !m_rangesDone && !m_ranges->next()) m_rangesDone = true;
}

void InlineCallerSourceLineIterator::restartRanges() {
  m_children.reset();
  m_rangesDone = !m_ranges;
  if (m_ranges) m_ranges->reset();
}

}  // namespace ZOR_3_12
