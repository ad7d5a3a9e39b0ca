#include "zor/loader/file_format_loader.h"

#include <new>

#include "kave/file.h"
#include "zor/image/byte_buffer.h"

namespace ZOR_3_12 {

namespace internal {

// Overridden by the symbol manager's strong definition whenever the manager is linked in.
__attribute__((weak)) void notifyLoaderDestroyed(IFileFormatLoader*) {}

// Never allocates more than the file can give from `offset` on: a size read from a damaged
// header must not turn into a huge allocation. The buffer is sized to what lies in the file
// (zero past its end), and cut down further if the read itself comes back short.
SymMgrObjectPtr<IBuffer> readFileBytes(const wchar_t* path, uint64_t offset, uint64_t size) {
  KAVE_3_1::String spelling(path);
  KAVE_3_1::Filename filename(spelling, 0, false);
  KAVE_3_1::File file(filename);
  const uint64_t fileSize = file.size();
  const uint64_t available = offset < fileSize ? fileSize - offset : 0;
  const uint64_t wanted = size < available ? size : available;

  ByteBuffer* buffer = new (std::nothrow) ByteBuffer(wanted);
  if (buffer == nullptr) return SymMgrObjectPtr<IBuffer>();
  SymMgrObjectPtr<IBuffer> result(buffer);
  if (buffer->size() == 0) return result;
  file.setOffset(offset);
  const uint64_t got = file.read(buffer->size(), buffer->data());
  // A failed read keeps the size asked for (its content is zeros); a short one is trimmed.
  if (got != KAVE_3_1::FILE_READ_FAILED) buffer->truncate(got);
  return result;
}

}  // namespace internal

FileFormatLoader::~FileFormatLoader() { internal::notifyLoaderDestroyed(this); }

status_t FileFormatLoader::symbolFilesToResolve(SymMgrObjectPtr<SymbolFileIter>& out) {
  ScopedLock guard(&m_lock);
  if (m_symbolFiles.empty()) {
    status_t status = collectSymbolFilesToResolve(m_symbolFiles);
    if (status != STATUS_OK) return status;
  }
  // The iterator walks the loader's own list; the loader outlives every caller's iterator.
  out = new VectorIteratorWrapper<std::vector<ISymbolFileToResolve*>, ISymbolFileToResolve*>(&m_symbolFiles);
  return STATUS_OK;
}

status_t FileFormatLoader::debugInfoLoader(SymMgrObjectPtr<IDebugInfoLoader>& out, int index) {
  ScopedLock guard(&m_lock);
  if (index < 0 || static_cast<size_t>(index) >= m_symbolFiles.size()) return STATUS_FALSE;
  ISymbolFileToResolve* candidate = m_symbolFiles[static_cast<size_t>(index)];
  const wchar_t* path = candidate->fileName();
  const uint32_t format = candidate->format();
  FileIdentity identity = FileIdentity::of(path);

  auto found = m_loaderCache.find(identity);
  if (found != m_loaderCache.end()) {
    out = found->second;
    return STATUS_OK;
  }
  // A null loader is remembered too, so a symbol file that cannot be read is not retried.
  IDebugInfoLoader* loader = createDebugInfoLoader(path, static_cast<int>(format));
  out = loader;
  m_loaderCache[identity] = loader;
  return STATUS_OK;
}

void FileFormatLoader::removeDebugInfoLoader(IDebugInfoLoader* loader) {
  ScopedLock guard(&m_lock);
  for (auto it = m_loaderCache.begin(); it != m_loaderCache.end(); ++it) {
    if (it->second == loader) {
      m_loaderCache.erase(it);
      return;
    }
  }
}

}  // namespace ZOR_3_12
