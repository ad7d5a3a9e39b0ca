#include "support/pdb_oracle.h"

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "support/symbolizer_agreement.h"

namespace pdb_oracle {

bool haveOracle() { return std::system("llvm-pdbutil-14 --version > /dev/null 2>&1") == 0; }

Oracle readOracle(const std::string& pdb) {
  Oracle oracle;
  std::string text =
      agreement::run("llvm-pdbutil-14 dump --summary --modules --publics --symbols --l --files --section-headers '" + pdb + "'");
  std::istringstream lines(text);
  std::string line;
  std::regex modHeader(R"(^\s*Mod (\d+) \| `(.*)`:)");
  std::regex obj(R"(^\s*Obj: `(.*)`:)");
  std::regex proc(R"(\| S_[GL]PROC32(?:_ID)? \[size = \d+\] `(.*)`)");
  std::regex procAddr(R"(addr = (\d+):(\d+), code size = (\d+))");
  std::regex pub(R"(\| S_PUB32 \[size = \d+\] `(.*)`)");
  std::regex pubFlags(R"(flags = (.*), addr = (\d+):(\d+))");
  std::regex fileHeader(R"(^(\S.*) \((MD5|SHA1|SHA256|None)(?:: ([0-9A-F]*))?\)$)");
  std::regex block(R"(^\s+(\d{4}):([0-9A-F]{8})-([0-9A-F]{8}), line/addr entries)");
  std::regex entry(R"((\d+)(?::\d+)? ([0-9A-F]{8}))");
  std::regex virtualAddress(R"(^\s*([0-9A-F]+) virtual address)");
  std::regex version(R"(Ver = (.*), language = )");
  std::regex backend(R"(backend = (\d+)\.)");
  std::regex guid(R"(GUID: \{(.*)\})");
  std::regex age(R"(^\s*Age: (\d+))");
  std::string section;
  uint32_t module = 0;
  std::string file;
  uint32_t blockSection = 0;
  uint32_t blockEnd = 0;
  size_t blockFirst = 0;  // index of the block's first entry
  bool inOriginalHeaders = false;
  std::string previous;
  std::vector<uint32_t> lineSections;
  std::vector<size_t> blockStarts;
  std::smatch m;
  while (std::getline(lines, line)) {
    // A title is the line above a rule of '='.
    if (line.find("=====") != std::string::npos) {
      size_t first = previous.find_first_not_of(' ');
      size_t last = previous.find_last_not_of(' ');
      section = first == std::string::npos ? std::string() : previous.substr(first, last - first + 1);
      if (section == "Original Section Headers") inOriginalHeaders = true;
      continue;
    }
    previous = line;
    if (line.empty()) continue;
    if (std::regex_search(line, m, modHeader)) {
      module = std::stoul(m[1]);
      if (section == "Modules") oracle.modules.push_back(m[2]);
      file.clear();
      continue;
    }
    if (section == "Summary") {
      if (std::regex_search(line, m, guid)) oracle.guid = m[1];
      if (std::regex_search(line, m, age)) oracle.age = std::stoul(m[1]);
    } else if (section == "Modules") {
      if (std::regex_search(line, m, obj)) oracle.objects.push_back(m[1]);
    } else if (section == "Symbols") {
      if (std::regex_search(line, m, proc)) {
        std::string name = m[1];
        std::getline(lines, line);
        if (std::regex_search(line, m, procAddr))
          oracle.procs.push_back({module, name, uint32_t(std::stoul(m[1])), uint32_t(std::stoul(m[2])),
                                  uint32_t(std::stoul(m[3]))});
      } else if (std::regex_search(line, m, version)) {
        oracle.compilerVersions.push_back(m[1]);
        std::getline(lines, line);
        if (std::regex_search(line, m, backend)) oracle.backEndMajors.push_back(std::stoul(m[1]));
      }
    } else if (section == "Public Symbols") {
      if (std::regex_search(line, m, pub)) {
        std::string name = m[1];
        std::getline(lines, line);
        if (std::regex_search(line, m, pubFlags))
          oracle.publics.push_back({name, std::string(m[1]).find("function") != std::string::npos,
                                    uint32_t(std::stoul(m[2])), uint32_t(std::stoul(m[3]))});
      }
    } else if (section == "Files" || section == "Lines") {
      size_t first = line.find_first_not_of(' ');
      if (first == std::string::npos) continue;
      std::string trimmed = line.substr(first);
      if (trimmed.compare(0, 2, "- ") == 0) trimmed = trimmed.substr(2);
      std::smatch f;
      if (std::regex_match(trimmed, f, std::regex(R"(\((MD5|SHA1|SHA256|None)(?:: ([0-9A-F]*))?\) (.*))"))) {
        oracle.md5[f[3]] = f[2];
      } else if (std::regex_match(line, m, fileHeader)) {
        file = m[1];
      } else if (std::regex_search(line, m, block)) {
        blockSection = std::stoul(m[1]);
        blockEnd = std::stoul(m[3].str(), nullptr, 16);
        blockFirst = oracle.lines.size();
      } else if (!file.empty() && blockSection != 0) {
        // Offsets for now; the section headers come later in the listing.
        for (std::sregex_iterator it(line.begin(), line.end(), entry), end; it != end; ++it) {
          uint32_t offset = std::stoul((*it)[2].str(), nullptr, 16);
          oracle.lines.push_back({module, file, uint32_t(std::stoul((*it)[1])), offset, blockEnd, 0});
          lineSections.push_back(blockSection);
          blockStarts.push_back(blockFirst);
        }
      }
    } else if (section == "Section Headers" && !inOriginalHeaders) {
      if (std::regex_search(line, m, virtualAddress)) oracle.sectionRvas.push_back(std::stoul(m[1], nullptr, 16));
    }
  }
  for (size_t i = 0; i < oracle.lines.size(); ++i) {
    Oracle::Line& l = oracle.lines[i];
    const bool lastOfBlock = i + 1 == oracle.lines.size() || blockStarts[i + 1] != blockStarts[i];
    const uint32_t end = lastOfBlock ? l.blockEnd : oracle.lines[i + 1].rva;
    l.length = end > l.rva ? end - l.rva : 0;  // entries sharing an offset: all but the last get 0
  }
  for (size_t i = 0; i < oracle.lines.size(); ++i) oracle.lines[i].rva += oracle.sectionRvas.at(lineSections[i] - 1);
  return oracle;
}

std::vector<uint32_t> functionStarts(const Oracle& oracle) {
  std::vector<uint32_t> starts;
  for (const Oracle::Proc& p : oracle.procs) starts.push_back(oracle.sectionRvas.at(p.section - 1) + p.offset);
  for (const Oracle::Public& p : oracle.publics)
    if (p.function) starts.push_back(oracle.sectionRvas.at(p.section - 1) + p.offset);
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  return starts;
}

}  // namespace pdb_oracle
