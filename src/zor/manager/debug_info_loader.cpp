#include "zor/manager/debug_info_loader.h"

#include "zor/loader/file_format_loader.h"
#include "zor/object/globals.h"

namespace ZOR_3_12 {

DebugInfoLoader::DebugInfoLoader(IFileFormatLoader* ffl, ILock*)
    : SymMgrObject<IDebugInfoLoader>(&internal::loadLock()), m_ffl(ffl) {}

DebugInfoLoader::~DebugInfoLoader() {
  // Leave the cache before letting go of the image: our reference may be its last one.
  if (m_ffl) static_cast<FileFormatLoader*>(m_ffl.get())->removeDebugInfoLoader(this);
  m_ffl.reset();
}

}  // namespace ZOR_3_12
