// Decoding of compressed debug sections. Two encodings exist: sections flagged
// SHF_COMPRESSED, which start with an ELF compression header (zlib or zstd), and the older
// .zdebug_* sections, which start with "ZLIB" and the big-endian uncompressed size.
//
// The claimed size is checked before anything is allocated: it may not exceed a fixed
// multiple of the compressed bytes nor an absolute cap, and the stream must produce exactly
// that many bytes. Anything else is a failed decode, never a partial section.
#ifndef ZOR_ELF_COMPRESSED_SECTION_H_
#define ZOR_ELF_COMPRESSED_SECTION_H_

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "zor/elf/elf_format.h"

namespace ZOR_3_12 {
namespace internal {

enum class SectionCompression {
  kNone,
  kGabi,  // SHF_COMPRESSED with an Elf32_Chdr / Elf64_Chdr in front
  kGnu,   // .zdebug_*: "ZLIB" + 8-byte big-endian size + zlib stream
};

// How the section with this header and name is compressed (a .zdebug_ name is enough to
// call it kGnu; its magic is checked when decoding).
SectionCompression sectionCompression(const elf::SectionHeader& header, const char* name);

// No claimed size may exceed this many times the compressed bytes (zlib cannot do better
// than about 1:1032; zstd can, so the margin is generous) ...
constexpr uint64_t kMaxExpansion = 4096;
// ... nor this absolute size.
constexpr uint64_t kMaxDecodedSize = uint64_t(1) << 31;

enum class DecodeStatus {
  kOk,
  kTruncatedHeader,  // fewer bytes than the compression header
  kUnknownFormat,    // neither zlib nor zstd, or a .zdebug section without its magic
  kOversized,        // the claimed size is beyond the caps
  kCorrupt,          // the stream fails or yields another size than claimed
};

// Grows a vector without initialising its new elements: the decoders write the whole
// output, and a damaged stream that claims a large size touches only the pages it fills
// before it fails.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using DecodedBytes = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

// Decodes `raw` (the section's bytes in the file) into `out`. `is64` selects the size of
// the ELF compression header. On failure `out` is left empty.
DecodeStatus decodeSection(SectionCompression kind, const elf::Span& raw, bool is64, DecodedBytes& out);

// The uncompressed size a section claims, without decoding it; false when the header is
// unreadable.
bool claimedSize(SectionCompression kind, const elf::Span& raw, bool is64, uint64_t& size);

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_ELF_COMPRESSED_SECTION_H_
