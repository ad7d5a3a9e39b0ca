// The DWARF numbers this reader acts on (tags, attributes, forms, unit types, line opcodes).
#ifndef ZOR_DWARF_DWARF_CONSTANTS_H_
#define ZOR_DWARF_DWARF_CONSTANTS_H_

#include <cstdint>

namespace ZOR_3_12 {
namespace dwarf {

enum Tag : uint64_t {
  DW_TAG_entry_point = 0x03,
  DW_TAG_label = 0x0a,
  DW_TAG_lexical_block = 0x0b,
  DW_TAG_compile_unit = 0x11,
  DW_TAG_common_block = 0x1a,
  DW_TAG_inlined_subroutine = 0x1d,
  DW_TAG_module = 0x1e,
  DW_TAG_subprogram = 0x2e,
  DW_TAG_variable = 0x34,
  DW_TAG_namespace = 0x39,
  DW_TAG_imported_unit = 0x3d,
  DW_TAG_partial_unit = 0x3c,
  DW_TAG_type_unit = 0x41,
  DW_TAG_skeleton_unit = 0x4a,
};

enum Attribute : uint64_t {
  DW_AT_sibling = 0x01,
  DW_AT_location = 0x02,
  DW_AT_name = 0x03,
  DW_AT_byte_size = 0x0b,
  DW_AT_stmt_list = 0x10,
  DW_AT_low_pc = 0x11,
  DW_AT_high_pc = 0x12,
  DW_AT_language = 0x13,
  DW_AT_comp_dir = 0x1b,
  DW_AT_inline = 0x20,
  DW_AT_producer = 0x25,
  DW_AT_abstract_origin = 0x31,
  DW_AT_decl_column = 0x39,
  DW_AT_decl_file = 0x3a,
  DW_AT_decl_line = 0x3b,
  DW_AT_specification = 0x47,
  DW_AT_type = 0x49,
  DW_AT_ranges = 0x55,
  DW_AT_call_column = 0x57,
  DW_AT_call_file = 0x58,
  DW_AT_call_line = 0x59,
  DW_AT_linkage_name = 0x6e,
  DW_AT_str_offsets_base = 0x72,
  DW_AT_addr_base = 0x73,
  DW_AT_rnglists_base = 0x74,
  DW_AT_dwo_name = 0x76,
  DW_AT_loclists_base = 0x8c,
  DW_AT_MIPS_linkage_name = 0x2007,
  DW_AT_GNU_dwo_name = 0x2130,
  DW_AT_GNU_dwo_id = 0x2131,
  DW_AT_GNU_ranges_base = 0x2132,
  DW_AT_GNU_addr_base = 0x2133,
};

// Forms as read from the file.
enum Form : uint64_t {
  DW_FORM_addr = 0x01,
  DW_FORM_block2 = 0x03,
  DW_FORM_block4 = 0x04,
  DW_FORM_data2 = 0x05,
  DW_FORM_data4 = 0x06,
  DW_FORM_data8 = 0x07,
  DW_FORM_string = 0x08,
  DW_FORM_block = 0x09,
  DW_FORM_block1 = 0x0a,
  DW_FORM_data1 = 0x0b,
  DW_FORM_flag = 0x0c,
  DW_FORM_sdata = 0x0d,
  DW_FORM_strp = 0x0e,
  DW_FORM_udata = 0x0f,
  DW_FORM_ref_addr = 0x10,
  DW_FORM_ref1 = 0x11,
  DW_FORM_ref2 = 0x12,
  DW_FORM_ref4 = 0x13,
  DW_FORM_ref8 = 0x14,
  DW_FORM_ref_udata = 0x15,
  DW_FORM_indirect = 0x16,
  DW_FORM_sec_offset = 0x17,
  DW_FORM_exprloc = 0x18,
  DW_FORM_flag_present = 0x19,
  DW_FORM_strx = 0x1a,
  DW_FORM_addrx = 0x1b,
  DW_FORM_ref_sup4 = 0x1c,
  DW_FORM_strp_sup = 0x1d,
  DW_FORM_data16 = 0x1e,
  DW_FORM_line_strp = 0x1f,
  DW_FORM_ref_sig8 = 0x20,
  DW_FORM_implicit_const = 0x21,
  DW_FORM_loclistx = 0x22,
  DW_FORM_rnglistx = 0x23,
  DW_FORM_ref_sup8 = 0x24,
  DW_FORM_strx1 = 0x25,
  DW_FORM_strx2 = 0x26,
  DW_FORM_strx3 = 0x27,
  DW_FORM_strx4 = 0x28,
  DW_FORM_addrx1 = 0x29,
  DW_FORM_addrx2 = 0x2a,
  DW_FORM_addrx3 = 0x2b,
  DW_FORM_addrx4 = 0x2c,
  DW_FORM_GNU_addr_index = 0x1f01,
  DW_FORM_GNU_str_index = 0x1f02,
  DW_FORM_GNU_ref_alt = 0x1f20,
  DW_FORM_GNU_strp_alt = 0x1f21,
};

// Forms as stored after decoding: every reference becomes an absolute .debug_info offset,
// every constant one of three constant forms, every block one block form, every string a
// pointer. Index forms (strx, addrx, rnglistx, loclistx) keep their index and are resolved
// through the unit's bases when asked, since the bases may follow them in the same entry.
enum StoredForm : uint64_t {
  STORED_ADDR = 0x01,      // value = address + load bias
  STORED_DATA = 0x07,      // unsigned constant
  STORED_STRING = 0x08,    // data = string, value = its length
  STORED_BLOCK = 0x09,     // data = first byte, value = length
  STORED_FLAG = 0x0c,
  STORED_SDATA = 0x0d,     // value = sign-extended constant
  STORED_STRP = 0x0e,      // data = string (null when the offset was outside the section)
  STORED_UDATA = 0x0f,
  STORED_REF = 0x10,       // value = absolute offset of the referenced entry
  STORED_SEC_OFFSET = 0x17,
  STORED_REF_SIG8 = 0x20,  // value = type signature (not followed)
  STORED_STRX = 0x1a,      // value = index into the unit's string offsets
  STORED_ADDRX = 0x1b,     // value = index into the unit's address table
  STORED_RNGLISTX = 0x23,  // value = index into the unit's range-list offsets
  STORED_LOCLISTX = 0x22,
  STORED_REF_ALT = 0x1f20, // value = offset in the supplementary file's .debug_info
  STORED_STRP_ALT = 0x1f21,// value = offset in the supplementary file's .debug_str
  STORED_NONE = 0,         // unknown form: no bytes consumed, value 0
};

enum UnitType : uint8_t {
  DW_UT_compile = 0x01,
  DW_UT_type = 0x02,
  DW_UT_partial = 0x03,
  DW_UT_skeleton = 0x04,
  DW_UT_split_compile = 0x05,
  DW_UT_split_type = 0x06,
};

enum Language : uint64_t {
  DW_LANG_C89 = 0x01,
  DW_LANG_C = 0x02,
  DW_LANG_Ada83 = 0x03,
  DW_LANG_C_plus_plus = 0x04,
  DW_LANG_Fortran77 = 0x07,
  DW_LANG_Fortran90 = 0x08,
  DW_LANG_C99 = 0x0c,
  DW_LANG_Fortran95 = 0x0e,
  DW_LANG_C_plus_plus_03 = 0x19,
  DW_LANG_C_plus_plus_11 = 0x1a,
  DW_LANG_C11 = 0x1d,
  DW_LANG_C_plus_plus_14 = 0x21,
  DW_LANG_Fortran03 = 0x22,
  DW_LANG_Fortran08 = 0x23,
};

constexpr uint8_t DW_CHILDREN_yes = 1;
constexpr uint8_t DW_OP_addr = 0x03;

}  // namespace dwarf
}  // namespace ZOR_3_12

#endif  // ZOR_DWARF_DWARF_CONSTANTS_H_
