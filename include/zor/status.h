// Result codes of every fallible operation, and their fixed wide-character messages.
#ifndef ZOR_STATUS_H_
#define ZOR_STATUS_H_

#include <cstdint>
#include <ostream>

#include <zor/export.h>

namespace ZOR_3_12 {

enum status_t : uint32_t {
  STATUS_OK = 0,
  STATUS_FALSE = 1,
  STATUS_FAILURE_BIT = 0x10000000,
  STATUS_UNSPECIFIED_ERROR = 0x10000001,
  STATUS_NOT_IMPLEMENTED = 0x10000002,
  STATUS_OUT_OF_MEMORY = 0x10000003,
  STATUS_INVALID_ARGUMENT = 0x10000004,
  STATUS_NOT_SUPPORTED = 0x10000005,
  STATUS_INVALID_POINTER = 0x10000006,
  STATUS_CANT_CREATE_FILE = 0x10000007,
  STATUS_CANT_DELETE_FILE = 0x10000008,
  STATUS_CANT_OPEN_FILE = 0x10000009,
  STATUS_CANT_CLOSE_FILE = 0x1000000a,
  STATUS_CANT_WRITE_FILE = 0x1000000b,
  STATUS_CANT_READ_FILE = 0x1000000c,
  STATUS_BAD_FILE_FORMAT = 0x1000000d,
  STATUS_BAD_DEBUG_INFO = 0x1000000e,
  STATUS_NO_DEBUG_INFO = 0x1000000f,
  STATUS_NO_VALID_PDB = 0x10000010,
  STATUS_NO_PDB_READER = 0x10000011,
  STATUS_NOT_FOUND = 0x10000012,
  // 0x10000013 is deliberately unused.
  STATUS_FILE_CHANGED = 0x10000014,
  STATUS_FILE_NOT_EXIST = 0x10000015,
  STATUS_UNKNOWN_PROPERTY = 0x10000016,
  STATUS_EMPTY_FILE_NAME = 0x10000017,
  STATUS_NOT_INITIALIZED = 0x10000018,
  STATUS_UNKNOWN_FILE_FORMAT = 0x10000019,
};

// Callers tell failure from success by the bit alone, never by comparing codes.
inline bool failed(status_t s) { return (s & STATUS_FAILURE_BIT) != 0; }
inline bool succeeded(status_t s) { return !failed(s); }

// The message of a status: a static NUL-terminated string, never to be freed.
ZOR_API const wchar_t* toUString(status_t status);

// Writes exactly the message of toUString, nothing else.
ZOR_API std::wostream& operator<<(std::wostream& os, status_t status);

}  // namespace ZOR_3_12

#endif  // ZOR_STATUS_H_
