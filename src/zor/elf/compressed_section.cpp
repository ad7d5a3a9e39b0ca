#include "zor/elf/compressed_section.h"

#include <cstring>

#include <libdeflate.h>
#include <zstd.h>

namespace ZOR_3_12 {
namespace internal {
namespace {

constexpr uint64_t kShfCompressed = 0x800;
constexpr uint32_t kCompressZlib = 1;
constexpr uint32_t kCompressZstd = 2;
constexpr uint32_t kChdr32Size = 12;
constexpr uint32_t kChdr64Size = 24;
constexpr uint32_t kGnuHeaderSize = 12;
constexpr char kGnuMagic[4] = {'Z', 'L', 'I', 'B'};
constexpr char kGnuPrefix[] = ".zdebug";

struct Header {
  uint32_t type = 0;  // kCompressZlib or kCompressZstd
  uint64_t size = 0;  // claimed uncompressed size
  uint32_t headerSize = 0;
};

DecodeStatus readHeader(SectionCompression kind, const elf::Span& raw, bool is64, Header& h) {
  if (kind == SectionCompression::kGnu) {
    if (!raw.holds(0, kGnuHeaderSize)) return DecodeStatus::kTruncatedHeader;
    if (std::memcmp(raw.data, kGnuMagic, sizeof kGnuMagic) != 0) return DecodeStatus::kUnknownFormat;
    h.type = kCompressZlib;
    for (int i = 4; i < 12; ++i) h.size = h.size << 8 | raw.data[i];
    h.headerSize = kGnuHeaderSize;
    return DecodeStatus::kOk;
  }
  if (kind != SectionCompression::kGabi) return DecodeStatus::kUnknownFormat;
  const uint32_t headerSize = is64 ? kChdr64Size : kChdr32Size;
  if (!raw.holds(0, headerSize)) return DecodeStatus::kTruncatedHeader;
  h.type = elf::load32(raw.data);
  h.size = is64 ? elf::load64(raw.data + 8) : elf::load32(raw.data + 4);
  h.headerSize = headerSize;
  if (h.type != kCompressZlib && h.type != kCompressZstd) return DecodeStatus::kUnknownFormat;
  return DecodeStatus::kOk;
}

// The whole claimed size is allocated at once, uninitialised: only the pages the stream
// really fills are touched, so a damaged stream claiming a large size costs little before
// it fails. The decoder checks the stream's Adler-32 as well.
bool inflateExactly(const unsigned char* in, uint64_t inSize, uint64_t claim, DecodedBytes& out) {
  struct Decompressor {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    ~Decompressor() { libdeflate_free_decompressor(d); }
  } decompressor;
  if (decompressor.d == nullptr) return false;
  out.resize(static_cast<size_t>(claim));
  size_t produced = 0;
  const libdeflate_result rc = libdeflate_zlib_decompress(decompressor.d, in, static_cast<size_t>(inSize), out.data(),
                                                          out.size(), &produced);
  return rc == LIBDEFLATE_SUCCESS && produced == claim;
}

bool unzstdExactly(const unsigned char* in, uint64_t inSize, uint64_t claim, DecodedBytes& out) {
  // A single frame that records its size must record the claimed one: checked before the
  // output is allocated.
  const unsigned long long frameSize = ZSTD_getFrameContentSize(in, static_cast<size_t>(inSize));
  if (frameSize == ZSTD_CONTENTSIZE_ERROR) return false;
  if (frameSize != ZSTD_CONTENTSIZE_UNKNOWN && frameSize != claim &&
      ZSTD_findFrameCompressedSize(in, static_cast<size_t>(inSize)) == inSize)
    return false;
  out.resize(static_cast<size_t>(claim));
  const size_t n = ZSTD_decompress(out.data(), out.size(), in, static_cast<size_t>(inSize));
  return !ZSTD_isError(n) && n == out.size();
}

}  // namespace

SectionCompression sectionCompression(const elf::SectionHeader& header, const char* name) {
  if (header.sh_type == elf::kShtNobits || header.sh_size == 0) return SectionCompression::kNone;
  if (header.sh_flags & kShfCompressed) return SectionCompression::kGabi;
  if (name && std::strncmp(name, kGnuPrefix, sizeof kGnuPrefix - 1) == 0) return SectionCompression::kGnu;
  return SectionCompression::kNone;
}

bool claimedSize(SectionCompression kind, const elf::Span& raw, bool is64, uint64_t& size) {
  Header h;
  if (readHeader(kind, raw, is64, h) != DecodeStatus::kOk) return false;
  size = h.size;
  return true;
}

DecodeStatus decodeSection(SectionCompression kind, const elf::Span& raw, bool is64, DecodedBytes& out) {
  out.clear();
  Header h;
  const DecodeStatus status = readHeader(kind, raw, is64, h);
  if (status != DecodeStatus::kOk) return status;
  const uint64_t packed = raw.size - h.headerSize;
  if (h.size > kMaxDecodedSize || h.size / kMaxExpansion > packed) return DecodeStatus::kOversized;
  if (h.size == 0) return DecodeStatus::kOk;  // nothing to decode: an empty section
  const unsigned char* in = raw.data + h.headerSize;
  const bool ok =
      h.type == kCompressZlib ? inflateExactly(in, packed, h.size, out) : unzstdExactly(in, packed, h.size, out);
  if (!ok) {
    out.clear();
    out.shrink_to_fit();
    return DecodeStatus::kCorrupt;
  }
  return DecodeStatus::kOk;
}

}  // namespace internal
}  // namespace ZOR_3_12
