// An in-memory stand-in for the PDB plug-in: a PDB described by the test (symbols, lines,
// source files, OMAP tables) served through the same
// interfaces, installed in place of the plug-in through the DIA manager's test hook.
// Every object and string it hands out is counted, so tests can check that the library
// gives all of them back.
#ifndef ZOR_TESTS_SUPPORT_FAKE_DIA_H_
#define ZOR_TESTS_SUPPORT_FAKE_DIA_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dia/dia_interfaces.h"

namespace fake_dia {

struct Symbol {
  uint32_t id = 0;
  uint32_t tag = 0;
  uint32_t parent = 0;
  std::wstring name;
  bool managed = false;
  uint32_t section = 1;
  uint32_t offset = 0;
  uint32_t rva = 0;
  uint64_t length = 0;
  uint32_t type = 0;  // symbol id of the type, 0 for none
  bool code = true;
  bool function = false;
  uint32_t thunkOrdinal = 0;
  uint32_t targetRva = 0;
  std::vector<uint32_t> children;
};

struct Line {
  uint32_t rva = 0;
  uint32_t length = 0;
  uint32_t line = 0;
  uint32_t column = 0;
  uint32_t fileId = 0;
  uint32_t compilandId = 0;
};

struct SourceFile {
  uint32_t id = 0;
  std::wstring name;
  uint32_t checksumType = 0;
  std::vector<uint8_t> checksum;
};

struct Pdb {
  Pdb();

  // Adds a symbol under `parent` (0: the global scope) and answers its id.
  uint32_t add(Symbol s, uint32_t parent = 0);
  Symbol& at(uint32_t id) { return symbols.at(id); }
  uint32_t addCompiland(const std::wstring& name);
  uint32_t addFunction(uint32_t compiland, const std::wstring& name, uint32_t rva, uint64_t length);
  uint32_t addPublic(const std::wstring& name, uint32_t rva, bool function = true);

  std::map<uint32_t, Symbol> symbols;
  uint32_t globalId = 1;
  std::vector<Line> lines;
  std::map<uint32_t, SourceFile> files;
  bool hasOmap = false;
  std::vector<std::pair<uint32_t, uint32_t>> omapFrom;
  std::vector<std::pair<uint32_t, uint32_t>> omapTo;
};

// Installs `pdb` as what every data source made from now on serves (null uninstalls and
// restores loading the real plug-in).
void install(std::shared_ptr<Pdb> pdb);

// Objects and strings handed out and not yet given back.
long liveObjects();
long liveStrings();

}  // namespace fake_dia

#endif  // ZOR_TESTS_SUPPORT_FAKE_DIA_H_
