// What the peer tools of the system (binutils, nm, readelf, objdump, the LLVM symbolizer)
// say about a file, parsed from their text output at test time: the comparison oracle of the
// reader suites. Every function answers empty when the tool is missing, so callers can skip.
#ifndef ZOR_TESTS_SUPPORT_ELF_ORACLE_H_
#define ZOR_TESTS_SUPPORT_ELF_ORACLE_H_

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/symbolizer_agreement.h"

namespace elf_oracle {

// Runs `command` (its standard error discarded); the exit status, or -1 when it cannot run.
inline int runStatus(const std::string& command, std::string& out) {
  out = agreement::run("{ " + command + "; } 2>/dev/null; echo \"#status $?\"");
  const size_t mark = out.rfind("#status ");
  if (mark == std::string::npos) return -1;
  const int status = std::atoi(out.c_str() + mark + 8);
  out.resize(mark);
  return status;
}

inline bool run(const std::string& command, std::string& out) { return runStatus(command, out) == 0; }

inline bool haveTool(const char* tool) {
  std::string out;
  return run(std::string("command -v ") + tool, out) && !out.empty();
}

inline std::vector<std::string> split(const std::string& s) {
  std::istringstream in(s);
  return std::vector<std::string>(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The lines `command` prints; none when it fails.
inline std::vector<std::string> outputLines(const std::string& command) {
  std::string out;
  return run(command, out) ? lines(out) : std::vector<std::string>();
}

struct NmSymbol {
  uint64_t address, size;  // size 0 when nm shows none
  char type;
  std::string name;
  bool isCode() const { return type == 'T' || type == 't' || type == 'W' || type == 'i'; }
  bool isGlobal() const { return type == 'T' || type == 'W'; }
};

// `nm -S --defined-only` (with `dynamic`, of .dynsym); `filter` is a shell pipe stage such
// as " | c++filt".
inline std::vector<NmSymbol> nm(const std::string& path, bool dynamic = false, const std::string& filter = "") {
  std::vector<NmSymbol> result;
  std::string out;
  run(std::string("nm ") + (dynamic ? "-D " : "") + "-S --defined-only '" + path + "'" + filter, out);
  for (const std::string& line : lines(out)) {
    // "start size type name" (the size is missing for symbols without one)
    std::istringstream in(line);
    std::string start, second, third, rest;
    in >> start >> second >> third;
    std::getline(in, rest);
    NmSymbol s{std::strtoull(start.c_str(), nullptr, 16), 0, 0, ""};
    if (second.size() == 1) {
      s.type = second[0];
      s.name = third + rest;
    } else {
      s.size = std::strtoull(second.c_str(), nullptr, 16);
      s.type = third.empty() ? 0 : third[0];
      s.name = rest.empty() ? rest : rest.substr(1);
    }
    if (!s.name.empty()) result.push_back(s);
  }
  return result;
}

inline uint64_t nmValue(const std::string& path, const std::string& name) {
  for (const NmSymbol& s : nm(path))
    if (s.name == name) return s.address;
  return 0;
}

struct Section {
  unsigned index;
  std::string name;
  std::string type;
  uint64_t addr, offset, size;
  std::string flags;
  bool has(char flag) const { return flags.find(flag) != std::string::npos; }
};

// `readelf -SW`.
inline std::vector<Section> sections(const std::string& path) {
  std::vector<Section> result;
  for (const std::string& line : outputLines("readelf -SW '" + path + "'")) {
    size_t open = line.find('[');
    size_t close = line.find(']');
    if (open == std::string::npos || close == std::string::npos || line.find("Nr]") != std::string::npos) continue;
    std::vector<std::string> t = split(line.substr(close + 1));
    Section s;
    s.index = static_cast<unsigned>(std::strtoul(line.c_str() + open + 1, nullptr, 10));
    if (t.size() == 10 || t.size() == 9) {
      s.name = t[0];
      s.type = t[1];
    } else if (t.size() == 9 - 1 || t.size() == 8) {  // section 0 has no name
      t.insert(t.begin(), "");
      s.type = t[1];
    } else {
      continue;
    }
    s.addr = std::strtoull(t[2].c_str(), nullptr, 16);
    s.offset = std::strtoull(t[3].c_str(), nullptr, 16);
    s.size = std::strtoull(t[4].c_str(), nullptr, 16);
    s.flags = t.size() == 10 ? t[6] : "";
    result.push_back(s);
  }
  return result;
}

struct Load {
  uint64_t offset, vaddr, filesz, memsz;
  std::string flags;
};

// The PT_LOAD lines of `readelf -lW`.
inline std::vector<Load> loads(const std::string& path) {
  std::vector<Load> result;
  for (const std::string& line : outputLines("readelf -lW '" + path + "'")) {
    std::vector<std::string> t = split(line);
    if (t.size() < 7 || t[0] != "LOAD") continue;
    Load l;
    l.offset = std::strtoull(t[1].c_str(), nullptr, 16);
    l.vaddr = std::strtoull(t[2].c_str(), nullptr, 16);
    l.filesz = std::strtoull(t[4].c_str(), nullptr, 16);
    l.memsz = std::strtoull(t[5].c_str(), nullptr, 16);
    for (size_t i = 6; i + 1 < t.size(); ++i) l.flags += t[i];
    result.push_back(l);
  }
  return result;
}

struct Symbol {
  std::string table;  // ".symtab" or ".dynsym"
  uint64_t value, size;
  std::string type, bind, ndx, name;
};

// `readelf -sW`: both symbol tables; version suffixes are cut from names.
inline std::vector<Symbol> symbols(const std::string& path) {
  std::vector<Symbol> result;
  std::string table;
  for (const std::string& line : outputLines("readelf -sW '" + path + "'")) {
    if (line.rfind("Symbol table '", 0) == 0) {
      table = line.substr(14, line.find('\'', 14) - 14);
      continue;
    }
    std::vector<std::string> t = split(line);
    if (t.size() < 8 || t[0].empty() || t[0].back() != ':') continue;
    Symbol s;
    s.table = table;
    s.value = std::strtoull(t[1].c_str(), nullptr, 16);
    s.size = std::strtoull(t[2].c_str(), nullptr, 0);
    s.type = t[3];
    s.bind = t[4];
    s.ndx = t[6];
    s.name = t[7];
    // Sizes above 99999 are printed in hex with a 0x prefix, which strtoull base 0 reads.
    size_t at = s.name.find('@');
    if (at != std::string::npos) s.name.resize(at);
    result.push_back(s);
  }
  return result;
}

struct PltLabel {
  uint64_t address;
  std::string name;  // without "@plt"
};

// `<name@plt>` labels that `objdump -d -j .plt` prints.
inline std::vector<PltLabel> pltLabels(const std::string& path) {
  std::vector<PltLabel> result;
  for (const std::string& line : outputLines("objdump -d -j .plt '" + path + "'")) {
    size_t lt = line.find(" <");
    size_t at = line.find("@plt>:");
    if (lt == std::string::npos || at == std::string::npos || at < lt) continue;
    result.push_back({std::strtoull(line.c_str(), nullptr, 16), line.substr(lt + 2, at - lt - 2)});
  }
  return result;
}

inline std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace elf_oracle

#endif  // ZOR_TESTS_SUPPORT_ELF_ORACLE_H_
