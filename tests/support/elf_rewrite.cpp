#include "support/elf_rewrite.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace elf_rewrite {

bool haveObjcopy() { return std::system("command -v objcopy >/dev/null 2>&1") == 0; }

bool withDebugSections(const std::string& base, const std::map<std::string, std::string>& sections,
                       const std::string& out) {
  if (!haveObjcopy()) return false;
  std::string command = "objcopy --remove-section='.debug_*' --remove-section=.gnu_debugaltlink";
  std::vector<std::string> files;
  for (const auto& section : sections) {
    std::string file = out + "." + std::to_string(files.size()) + ".bin";
    std::ofstream(file, std::ios::binary) << section.second;
    files.push_back(file);
    command += " --add-section '" + section.first + "=" + file + "'";
  }
  command += " '" + base + "' '" + out + "' 2>/dev/null";
  bool ok = std::system(command.c_str()) == 0;
  for (const std::string& file : files) std::remove(file.c_str());
  return ok;
}

}  // namespace elf_rewrite
