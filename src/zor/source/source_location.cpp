#include "zor/source/source_location.h"

namespace ZOR_3_12 {

ISourceFile* SourceLocation::sourceFile() {
  ISourceFile* file = m_fileCache.load(std::memory_order_acquire);
  if (file || !m_resolver) return file;
  // Threads that ask at once find the same file; whichever stores it last changes nothing.
  file = m_resolver->sourceFile(m_fileIndex);
  m_fileCache.store(file, std::memory_order_release);
  return file;
}

}  // namespace ZOR_3_12
