#include "zor/source/source_location.h"

namespace ZOR_3_12 {

ISourceFile* SourceLocation::sourceFile() {
  if (!m_fileCache && m_resolver) m_fileCache = m_resolver->sourceFile(m_fileIndex);
  return m_fileCache;
}

}  // namespace ZOR_3_12
