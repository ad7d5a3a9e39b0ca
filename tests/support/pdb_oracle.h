// What llvm-pdbutil-14 lists for a PDB: modules, procedures, publics, line blocks, file
// checksums, section addresses and the summary, parsed from its dump. The oracle of the PDB
// plug-in and end-to-end suites; empty when the tool is missing.
#ifndef ZOR_TESTS_SUPPORT_PDB_ORACLE_H_
#define ZOR_TESTS_SUPPORT_PDB_ORACLE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pdb_oracle {

struct Oracle {
  struct Proc {
    uint32_t module;
    std::string name;
    uint32_t section, offset, size;
  };
  struct Public {
    std::string name;
    bool function;
    uint32_t section, offset;
  };
  struct Line {
    uint32_t module;
    std::string file;
    uint32_t line;
    uint32_t rva;
    uint32_t blockEnd;  // end of the code the line's block describes
    uint32_t length;    // up to the next entry of the block, or to its end
  };
  std::vector<std::string> modules;
  std::vector<std::string> objects;
  std::vector<uint32_t> sectionRvas;
  std::vector<Proc> procs;
  std::vector<Public> publics;
  std::vector<Line> lines;
  std::map<std::string, std::string> md5;  // file -> checksum
  std::vector<std::string> compilerVersions;
  std::vector<uint32_t> backEndMajors;
  std::string guid;
  uint32_t age = 0;
};

bool haveOracle();
Oracle readOracle(const std::string& pdb);
// RVAs of the procedures and of the publics marked as functions, sorted, without repeats.
std::vector<uint32_t> functionStarts(const Oracle& oracle);

}  // namespace pdb_oracle

#endif  // ZOR_TESTS_SUPPORT_PDB_ORACLE_H_
