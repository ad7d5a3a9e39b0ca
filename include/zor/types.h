// Enumerations shared across the interface: image formats, architectures, segment kinds,
// symbol kinds and symbol-file formats.
#ifndef ZOR_TYPES_H_
#define ZOR_TYPES_H_

#include <cstdint>

#include <zor/export.h>

namespace ZOR_3_12 {

enum exec_format_t : uint32_t {
  EXEC_FORMAT_PE = 1,
  EXEC_FORMAT_ELF = 2,
};

enum architecture_t : uint32_t {
  ARCH_UNKNOWN = 0,
  ARCH_I386 = 1,
  ARCH_IA64 = 2,
  ARCH_X86_64 = 3,
  ARCH_ARM = 4,
  ARCH_THUMB = 5,
  ARCH_EM180 = 6,
};

enum segment_kind_t : uint32_t {
  SEGMENT_KIND_OTHER = 0,
  SEGMENT_KIND_CODE = 1,
  SEGMENT_KIND_DATA = 2,
};

// One bit per kind; queries pass masks, 0xFFFFFFFF meaning every kind.
enum symbol_kind_t : uint32_t {
  SYMBOL_KIND_FUNCTION = 1,
  SYMBOL_KIND_LABEL = 2,
  SYMBOL_KIND_DATA = 4,
  SYMBOL_KIND_PUBLIC = 8,
  SYMBOL_KIND_16 = 16,
};
constexpr uint32_t SYMBOL_KIND_ALL = 0xFFFFFFFFu;

// Linkage of a symbol: a greater value wins a tie between symbols at one address.
enum symbol_linkage_t : int32_t {
  SYMBOL_LINKAGE_LOCAL = 1,
  SYMBOL_LINKAGE_GLOBAL = 2,
};

enum sym_format_t : uint32_t {
  SYM_FORMAT_NONE = 0,
  SYM_FORMAT_DWARF = 1,
  SYM_FORMAT_PDB = 2,
};

// Resolution state of a candidate symbol file: only FOUND means usable.
enum resolve_state_t : uint32_t {
  RESOLVE_STATE_NONE = 0,
  RESOLVE_STATE_FOUND = 1,
  RESOLVE_STATE_NO_PATH = 2,
  RESOLVE_STATE_REJECTED = 3,
  RESOLVE_STATE_NOT_FOUND = 4,
};

// A compilation-unit key of all ones means "no unit" in results and "every unit" in filters.
constexpr uint64_t COMP_UNIT_ALL = 0xFFFFFFFFFFFFFFFFull;

// Rank of a kind when several symbols cover one address: a smaller value wins.
ZOR_API uint8_t symbolPriorityByKind(symbol_kind_t kind);

}  // namespace ZOR_3_12

#endif  // ZOR_TYPES_H_
