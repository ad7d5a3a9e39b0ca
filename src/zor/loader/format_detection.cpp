// Format detection: the first bytes of a file decide between PE and ELF. PE is tried first.
#include <cstring>

#include "kave/file.h"
#include "zor/loader/file_format_loader.h"
#include "zor/object/globals.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace internal {

namespace {

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kLfanewOffset = 60;
// Signature, file header and the largest optional header: what the PE reader looks at first.
constexpr uint64_t kNtHeadersSize = 248;
constexpr uint64_t kSignatureSize = 4;

uint32_t readLe32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool looksLikePe(const wchar_t* path) {
  KAVE_3_1::File file(KAVE_3_1::Filename(KAVE_3_1::String(path), 0, false));
  unsigned char dos[kDosHeaderSize] = {};
  file.setOffset(0);
  const uint64_t got = file.read(kDosHeaderSize, dos);
  if (got == KAVE_3_1::FILE_READ_FAILED) {
    ZOR_ASSERT_TEXT("false", kPeSource, 82);
    return false;
  }
  if (got < kDosHeaderSize || dos[0] != 'M' || dos[1] != 'Z') return false;

  // e_lfanew comes from the file: a negative value or one whose signature would not fit in
  // the file is simply not a PE image, and no read is issued for it.
  const int32_t lfanew = static_cast<int32_t>(readLe32(dos + kLfanewOffset));
  const uint64_t fileSize = file.size();
  if (lfanew < 0 || fileSize < kSignatureSize || uint64_t(lfanew) > fileSize - kSignatureSize) return false;

  unsigned char nt[kNtHeadersSize] = {};
  file.setOffset(uint64_t(lfanew));
  const uint64_t ntGot = file.read(kNtHeadersSize, nt);
  if (ntGot == KAVE_3_1::FILE_READ_FAILED) {
    ZOR_ASSERT_TEXT("false", kPeSource, 95);
    return false;
  }
  return ntGot >= kSignatureSize && readLe32(nt) == 0x4550;
}

bool looksLikeElf(const wchar_t* path) {
  KAVE_3_1::File file(KAVE_3_1::Filename(KAVE_3_1::String(path), 0, false));
  unsigned char ident[4] = {};
  file.setOffset(0);
  const uint64_t got = file.read(sizeof(ident), ident);
  if (got == KAVE_3_1::FILE_READ_FAILED) {
    ZOR_ASSERT_TEXT("false", kElfSource, 155);
    return false;
  }
  return got == sizeof(ident) && std::memcmp(ident, "\x7F" "ELF", 4) == 0;
}

}  // namespace internal

SymMgrObjectPtr<IFileFormatLoader> IFileFormatLoader::create(const wchar_t* path) {
  if (path == nullptr) path = L"";
  if (internal::looksLikePe(path)) return internal::makePeLoader(path, &internal::peLoaderLock());
  if (internal::looksLikeElf(path)) return internal::makeElfLoader(path, &internal::elfLoaderLock());
  return SymMgrObjectPtr<IFileFormatLoader>();
}

}  // namespace ZOR_3_12
