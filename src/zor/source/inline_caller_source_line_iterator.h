// The lines of one source file where code inlined from elsewhere is reported as the line of
// its call site: the file's plain lines in address order, walked side by side with the
// inline-instance ranges of the module. A plain line that reaches into an inlined call made
// from this file is replaced by one line for the whole call, at the call's location.
#ifndef ZOR_SOURCE_INLINE_CALLER_SOURCE_LINE_ITERATOR_H_
#define ZOR_SOURCE_INLINE_CALLER_SOURCE_LINE_ITERATOR_H_

#include <cstdint>

#include <zor/loader.h>
#include <zor/source.h>

namespace ZOR_3_12 {

// The side-by-side walk; the derived class supplies the inline-instance ranges.
class InlineCallerSourceLineIteratorBase : public SymMgrObject<SourceLineIter> {
 public:
  // `file` may be null: calls made from any file are reported at their call site.
  InlineCallerSourceLineIteratorBase(IFileFormatLoader* loader, SymMgrObjectPtr<SourceLineIter> lines, uint64_t from,
                                     uint64_t to, ISourceFile* file);

  SymMgrObjectPtr<ISourceLine> current() override;
  bool next() override;
  void reset() override;

 protected:
  // The child-range walk of the current top-level range, moving on to the next top-level
  // range that has children when needed; null when none is left.
  virtual SymbolRangeIter* childWalk() = 0;
  // Drops the current child walk and moves to the next top-level range.
  virtual void dropChildWalk() = 0;
  // Restarts the top-level ranges.
  virtual void restartRanges() = 0;

  uint64_t m_from;
  uint64_t m_to;

 private:
  void firstRange();
  void advanceRange();
  // Skips the child ranges that end at or before the line's start.
  void positionOn(ISourceLine* line);
  bool qualifies(ISourceLine* line);

  SymMgrObjectPtr<SourceLineIter> m_lines;
  SymMgrObjectPtr<ISymbolRange> m_range;  // the child range the walk stands on
  IFileFormatLoader* m_loader;
  SymMgrObjectPtr<ISourceLine> m_current;
  ISourceFile* m_file;
};

class InlineCallerSourceLineIterator : public InlineCallerSourceLineIteratorBase {
 public:
  // `scope` is the module's global scope; its non-overlapped ranges over the span (from the
  // first plain line on) are the top-level ranges.
  InlineCallerSourceLineIterator(IScope* scope, SymMgrObjectPtr<SourceLineIter> lines, uint64_t from, uint64_t to,
                                 ISourceFile* file);

 protected:
  SymbolRangeIter* childWalk() override;
  void dropChildWalk() override;
  void restartRanges() override;

 private:
  SymMgrObjectPtr<SymbolRangeIter> m_ranges;
  SymMgrObjectPtr<SymbolRangeIter> m_children;
  bool m_rangesDone = false;
};

namespace internal {
// Start address of a line or range without making an address object when avoidable.
uint64_t lineStart(ISourceLine* line);
uint64_t rangeStart(ISymbolRange* range);
uint64_t rangeEnd(ISymbolRange* range);
}  // namespace internal

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_INLINE_CALLER_SOURCE_LINE_ITERATOR_H_
