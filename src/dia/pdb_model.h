// What the plug-in knows about one PDB: everything the interface can be asked, read once
// when the PDB is loaded and immutable afterwards, so that sessions, symbols and
// enumerations may share it across threads without locks. Symbol ids are indices into
// `symbols`; they are assigned in a fixed order (compilands 1..N in module order, then the
// global scope, then everything else in stream order), so they are the same for every
// session on the same file.
#ifndef ZOR_DIA_PDB_MODEL_H_
#define ZOR_DIA_PDB_MODEL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "dia/dia_interfaces.h"

namespace dia {
namespace plugin {

struct PdbSymbol {
  SymTag tag = SymTagNull;
  uint32_t parent = 0;     // lexical parent id, 0 for the global scope
  uint32_t compiland = 0;  // id of the compiland the symbol comes from, 0 for none
  std::string name;

  bool hasAddress = false;  // section:offset known
  bool hasRva = false;      // the section exists in the PDB's section headers
  uint16_t section = 0;
  uint32_t offset = 0;
  uint32_t rva = 0;
  bool hasLength = false;
  uint64_t length = 0;
  bool code = false;
  bool function = false;
  uint32_t typeId = 0;  // an array-type symbol describing the data's type, 0 for none

  // Compilands.
  std::string libraryName;
  std::string sourceFileName;
  // Compiland details.
  bool hasDetails = false;
  uint32_t language = 0;
  uint32_t backEndMajor = 0;
  uint32_t backEndMinor = 0;
  std::string compilerName;
  // Compiland environment entries.
  bool hasValue = false;
  std::string value;
  // Thunks.
  bool isThunk = false;
  uint32_t thunkOrdinal = 0;
  bool hasTarget = false;
  uint32_t targetRva = 0;

  std::vector<uint32_t> children;
};

struct PdbLine {
  uint32_t rva = 0;
  uint32_t length = 0;
  uint32_t line = 0;
  uint32_t column = 0;
  uint32_t fileId = 0;
  uint32_t compilandId = 0;
};

struct PdbSourceFile {
  std::string name;
  uint32_t checksumKind = 0;  // 1 MD5, 2 SHA1, 3 SHA256, 0 none
  std::vector<uint8_t> checksum;
  std::vector<uint32_t> compilands;  // ids of the compilands with lines in the file
};

struct PdbDebugStream {
  std::string name;
  uint32_t recordSize = 0;
  std::vector<uint8_t> data;  // whole records only
};

struct PdbModel {
  GUID guid = {};
  uint32_t signature = 0;
  uint32_t age = 0;
  uint32_t dbiAge = 0;
  bool hasDbiAge = false;
  uint16_t machine = 0;  // the image's machine type as the DBI stream records it

  std::vector<PdbSymbol> symbols;  // index = id; index 0 is never a symbol
  uint32_t globalId = 0;
  uint32_t compilandCount = 0;

  std::vector<PdbSourceFile> files;              // index = unique id - 1
  std::vector<std::vector<uint32_t>> compilandFiles;  // index = compiland id - 1
  std::vector<PdbLine> lines;                    // ordered by rva
  std::vector<std::vector<uint32_t>> compilandLines;  // index = compiland id - 1; line indices by rva
  uint32_t longestLine = 0;

  std::vector<PdbDebugStream> debugStreams;

  const PdbSymbol* symbol(uint32_t id) const { return id != 0 && id < symbols.size() ? &symbols[id] : nullptr; }
  const PdbSourceFile* file(uint32_t id) const { return id != 0 && id <= files.size() ? &files[id - 1] : nullptr; }
};

}  // namespace plugin
}  // namespace dia

#endif  // ZOR_DIA_PDB_MODEL_H_
