#include "zor/source/source_line.h"

#include <utility>

#include "zor/source/source_location.h"

namespace ZOR_3_12 {

SourceLine::SourceLine(IFileFormatLoader* loader, ISrcLineResolver* resolver, uint64_t compUnitKey,
                       uint32_t fileIndex, uint32_t line, uint32_t column, uint64_t start, uint64_t end)
    : SymMgrObject<ISourceLine>(nullptr),
      m_loader(loader),
      m_location(new SourceLocation(resolver, compUnitKey, fileIndex, line, column)),
      m_start(start),
      m_size(static_cast<uint32_t>(end - start)) {}

SourceLine::SourceLine(IFileFormatLoader* loader, SymMgrObjectPtr<ISourceLocation> location, uint64_t start,
                       uint64_t end)
    : SymMgrObject<ISourceLine>(nullptr),
      m_loader(loader),
      m_location(std::move(location)),
      m_start(start),
      m_size(static_cast<uint32_t>(end - start)) {}

SymMgrObjectPtr<IAddress> SourceLine::startAddress() {
  SymMgrObjectPtr<IAddress> out;
  if (m_loader) m_loader->address(out, m_start);
  return out;
}

}  // namespace ZOR_3_12
