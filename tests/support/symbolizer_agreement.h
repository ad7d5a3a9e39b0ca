// Frame-by-frame comparison of our inline chains with llvm-symbolizer-14 (and GNU addr2line
// as a second oracle) at every function start and 2,000 random code addresses of a module.
// Used by every suite that checks a debug-information format end to end.
#ifndef ZOR_TESTS_SUPPORT_SYMBOLIZER_AGREEMENT_H_
#define ZOR_TESTS_SUPPORT_SYMBOLIZER_AGREEMENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include <zor/zor.h>

namespace agreement {

struct Frame {
  std::string function;  // qualified name without parameters (our demangler's grouping form)
  std::string file;
  uint32_t line = 0;
  bool operator==(const Frame& o) const { return function == o.function && file == o.file && line == o.line; }
};

struct CodeSymbol {
  uint64_t start;
  uint64_t size;
  std::string name;
};

// Standard output of a shell command (empty when it cannot run).
std::string run(const std::string& command);
bool haveSymbolizer();

// Sized symbols of an image whose nm type letter is in `types` (local and global code by
// default).
std::vector<CodeSymbol> codeSymbols(const std::string& path, const std::string& types = "tT");
// Every function start plus 2,000 random addresses inside functions (fixed seed).
std::vector<uint64_t> addressesToCheck(const std::string& path);
// llvm-symbolizer-14's frames at each address, innermost first, names in our grouping form;
// with `undecorate` the symbolizer first strips x86 C decorations from the names it reads.
std::vector<std::vector<Frame>> symbolizerFrames(const std::string& modulePath, const std::vector<uint64_t>& addresses,
                                                 bool undecorate = false);
// Our frames at an address, innermost first, through the public interface.
std::vector<Frame> ourFrames(ZOR_3_12::IModuleSymbolBank* bank, uint64_t va);

// Loads modulePath through a fresh symbol manager and expects at least 99% of the
// addresses of objPath (the image whose symbol table gives the addresses) to agree with the
// oracles, differences explained; prints the tally. Skips when llvm-symbolizer-14 is missing.
void expectAgreement(const std::string& name, const std::string& modulePath, const std::string& objPath);

}  // namespace agreement

#endif  // ZOR_TESTS_SUPPORT_SYMBOLIZER_AGREEMENT_H_
