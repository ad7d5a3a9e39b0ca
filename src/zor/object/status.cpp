#include <zor/status.h>

namespace ZOR_3_12 {

const wchar_t* toUString(status_t status) {
  switch (status) {
    case STATUS_OK: return L"\"Operation succeeded\"";
    case STATUS_FALSE: return L"\"Operation succeeded and return logical FALSE\"";
    case STATUS_UNSPECIFIED_ERROR: return L"\"Unspecified error\"";
    case STATUS_NOT_IMPLEMENTED: return L"\"Not implemented\"";
    case STATUS_OUT_OF_MEMORY: return L"\"Out of memory\"";
    case STATUS_INVALID_ARGUMENT: return L"\"One or more arguments are invalid\"";
    case STATUS_NOT_SUPPORTED: return L"\"Not supported\"";
    case STATUS_INVALID_POINTER: return L"\"Invalid pointer\"";
    case STATUS_CANT_CREATE_FILE: return L"\"Can't create file\"";
    case STATUS_CANT_DELETE_FILE: return L"\"Can't delete file\"";
    case STATUS_CANT_OPEN_FILE: return L"\"Can't open file\"";
    case STATUS_CANT_CLOSE_FILE: return L"\"Can't close file\"";
    case STATUS_CANT_WRITE_FILE: return L"\"Can't write to file\"";
    case STATUS_CANT_READ_FILE: return L"\"Can't read from file\"";
    case STATUS_BAD_FILE_FORMAT: return L"\"File format is incorrect\"";
    case STATUS_BAD_DEBUG_INFO: return L"\"Debug information is incorrect\"";
    case STATUS_NO_DEBUG_INFO: return L"\"There is no debug info of some type\"";
    case STATUS_NO_VALID_PDB: return L"\"There is no valid .pdb file\"";
    case STATUS_NO_PDB_READER: return L"\"There is no pdb reader\"";
    case STATUS_NOT_FOUND: return L"\"Not found\"";
    case STATUS_FILE_CHANGED: return L"\"File was changed\"";
    case STATUS_FILE_NOT_EXIST: return L"\"File does not exist\"";
    case STATUS_UNKNOWN_PROPERTY: return L"\"Unknown Property\"";
    case STATUS_EMPTY_FILE_NAME: return L"\"Empty file name\"";
    case STATUS_NOT_INITIALIZED: return L"\"Internal object is not initialized properly\"";
    case STATUS_UNKNOWN_FILE_FORMAT: return L"\"Unknown file format\"";
    default: return L"<Unknown status>";
  }
}

std::wostream& operator<<(std::wostream& os, status_t status) { return os << toUString(status); }

}  // namespace ZOR_3_12
