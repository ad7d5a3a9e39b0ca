#include "support/symbolizer_agreement.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include <zor/extensions.h>

#include "demangler/demangler.h"
#include "kave/unicode.h"
#include "support/loaded_module.h"

namespace agreement {

using namespace ZOR_3_12;

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

bool haveSymbolizer() { return std::system("command -v llvm-symbolizer-14 >/dev/null 2>&1") == 0; }

static std::string grouped(const std::wstring& name) {
  if (name.empty()) return std::string();
  SymMgrObjectPtr<ISymbolNameDemangler> d = ISymbolNameDemangler::create(name.c_str(), EXEC_FORMAT_ELF);
  return KAVE_3_1::wideToUtf8(d ? d->demangledName(false) : name.c_str());
}

static std::string describe(const std::vector<Frame>& frames) {
  std::string s;
  for (const Frame& f : frames) s += "  " + f.function + " @ " + f.file + ":" + std::to_string(f.line) + "\n";
  return s;
}

// --- a small reader of the symbolizer's JSON lines ---------------------------------------

static std::string jsonString(const std::string& obj, const std::string& key) {
  size_t k = obj.find("\"" + key + "\":\"");
  if (k == std::string::npos) return std::string();
  std::string out;
  for (size_t i = k + key.size() + 4; i < obj.size() && obj[i] != '"'; ++i) {
    if (obj[i] == '\\' && i + 1 < obj.size()) ++i;
    out.push_back(obj[i]);
  }
  return out;
}

static uint64_t jsonNumber(const std::string& obj, const std::string& key) {
  size_t k = obj.find("\"" + key + "\":");
  return k == std::string::npos ? 0 : std::strtoull(obj.c_str() + k + key.size() + 3, nullptr, 10);
}

static std::vector<Frame> parseSymbolizerLine(const std::string& line) {
  std::vector<Frame> frames;
  size_t p = line.find("\"Symbol\":[");
  if (p == std::string::npos) return frames;
  p += 10;
  while (true) {
    size_t open = line.find('{', p);
    if (open == std::string::npos) break;
    size_t close = line.find('}', open);
    if (close == std::string::npos) break;
    std::string obj = line.substr(open, close - open + 1);
    Frame f;
    f.function = grouped(KAVE_3_1::utf8ToWide(jsonString(obj, "FunctionName")));
    f.file = jsonString(obj, "FileName");
    f.line = static_cast<uint32_t>(jsonNumber(obj, "Line"));
    frames.push_back(f);
    p = close + 1;
  }
  return frames;
}

// Standard output of `command` reading the addresses, one per line, from a list file of
// this process (parameterised cases run in parallel test processes).
static std::string runOnAddresses(const std::string& command, const std::vector<uint64_t>& addresses) {
  const std::string list = std::string(ZOR_BINARY_DIR) + "/symbolizer_addresses." + std::to_string(getpid()) + ".txt";
  {
    std::ofstream f(list);
    for (uint64_t a : addresses) f << "0x" << std::hex << a << "\n";
  }
  std::string out = run(command + " < '" + list + "'");
  std::remove(list.c_str());
  return out;
}

std::vector<std::vector<Frame>> symbolizerFrames(const std::string& modulePath, const std::vector<uint64_t>& addresses,
                                                 bool undecorate) {
  // The symbolizer answers one JSON line per address.
  std::istringstream in(runOnAddresses(std::string("llvm-symbolizer-14 --inlines --output-style=JSON ") +
                                           (undecorate ? "" : "--no-demangle ") + "--obj='" + modulePath + "'",
                                       addresses));
  std::vector<std::vector<Frame>> out;
  for (std::string line; std::getline(in, line);) out.push_back(parseSymbolizerLine(line));
  return out;
}

// --- the addresses to check --------------------------------------------------------------

std::vector<CodeSymbol> codeSymbols(const std::string& path, const std::string& types) {
  std::vector<CodeSymbol> out;
  std::istringstream in(run("nm -S --defined-only '" + path + "' 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string a, b, c, name;
    fields >> a >> b >> c >> name;
    if (c.size() != 1 || types.find(c[0]) == std::string::npos) continue;  // needs a size field
    out.push_back({std::strtoull(a.c_str(), nullptr, 16), std::strtoull(b.c_str(), nullptr, 16), name});
  }
  return out;
}

std::vector<uint64_t> addressesToCheck(const std::string& path) {
  std::vector<CodeSymbol> symbols = codeSymbols(path);
  std::vector<uint64_t> out;
  uint64_t total = 0;
  for (const CodeSymbol& s : symbols) {
    out.push_back(s.start);
    total += s.size;
  }
  if (total == 0) return out;
  std::mt19937_64 random(20261205);
  for (int i = 0; i < 2000; ++i) {
    uint64_t pick = random() % total;
    for (const CodeSymbol& s : symbols) {
      if (pick < s.size) {
        out.push_back(s.start + pick);
        break;
      }
      pick -= s.size;
    }
  }
  return out;
}

std::vector<Frame> ourFrames(IModuleSymbolBank* bank, uint64_t va) {
  std::vector<Frame> out;
  SymMgrObjectPtr<IAddress> address;
  if (bank->addressByVa(va, address) != STATUS_OK || !address) return out;
  std::vector<InlineFrame> frames;
  if (inlineFrames(bank, address.get(), frames) != STATUS_OK) return out;
  for (const InlineFrame& f : frames) {
    Frame frame;
    frame.function = f.function ? grouped(f.function->name()) : std::string();
    if (f.location) {
      ISourceFile* file = f.location->sourceFile();
      frame.file = file ? KAVE_3_1::wideToUtf8(file->name()) : std::string();
      frame.line = f.location->line();
    }
    out.push_back(frame);
  }
  return out;
}

// Every symbol-table name that covers an address, without version suffixes ("@@GLIBC_2.2.5"):
// a library exports one function under several aliases and the oracle may pick any of them.
static std::vector<std::string> symtabNames(const std::vector<CodeSymbol>& symbols, uint64_t a) {
  std::vector<std::string> out;
  for (const CodeSymbol& s : symbols) {
    if (a < s.start || a - s.start >= s.size) continue;
    out.push_back(grouped(KAVE_3_1::utf8ToWide(s.name.substr(0, s.name.find('@')))));
  }
  return out;
}

// The oracle's answer where it knows nothing: one frame without name, file or line.
static bool isUnknown(const std::vector<Frame>& frames) {
  return frames.size() == 1 && frames[0].function.empty() && frames[0].file.empty() && frames[0].line == 0;
}

// Differences that are not ours to fix, each with its reason:
// - the symbolizer names the outermost frame after the symbol table when it has an entry
//   there (a `.cold` part, a local `weight.0`, a Fortran `MAIN__`, a name without linkage
//   name in the debug information), while the DWARF function wins the choice here;
// - the symbolizer reports line 0 where it finds no line (no call position in strict
//   DWARF 2, a line table it does not read): such frames are compared by function only.
// - where the symbolizer finds no line at all (it cannot read the line table of clang's
//   strict DWARF 2 C++ output), GNU addr2line, run as a second oracle, must agree exactly.
enum Verdict { kExact, kSymtabName, kOracleNoLine, kSecondOracle, kDifferent };

// addr2line -a -f -i output: an address line, then function and file:line per frame.
static std::map<uint64_t, std::vector<Frame>> parseAddr2line(const std::string& text) {
  std::map<uint64_t, std::vector<Frame>> out;
  std::istringstream in(text);
  std::string line;
  std::vector<Frame>* current = nullptr;
  while (std::getline(in, line)) {
    if (line.rfind("0x", 0) == 0) {
      current = &out[std::strtoull(line.c_str(), nullptr, 16)];
      current->clear();  // an address asked twice is answered twice
      continue;
    }
    if (!current) continue;
    std::string where;
    if (!std::getline(in, where)) break;
    Frame f;
    f.function = line == "??" ? std::string() : grouped(KAVE_3_1::utf8ToWide(line));
    size_t colon = where.rfind(':');
    std::string file = where.substr(0, colon);
    f.file = file == "??" ? std::string() : file;
    f.line = colon == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(where.c_str() + colon + 1, nullptr, 10));
    current->push_back(f);
  }
  return out;
}

static bool oracleHasNoLines(const std::vector<Frame>& frames) {
  for (const Frame& f : frames) {
    if (f.line != 0) return false;
  }
  return true;
}

static Verdict judge(const std::vector<Frame>& expected, const std::vector<Frame>& actual,
                     const std::vector<std::string>& symtab) {
  if (expected == actual || (actual.empty() && isUnknown(expected))) return kExact;
  if (expected.size() != actual.size() || expected.empty()) return kDifferent;
  Verdict verdict = kExact;
  for (size_t i = 0; i < expected.size(); ++i) {
    const Frame& e = expected[i];
    const Frame& a = actual[i];
    bool outermost = i + 1 == expected.size();
    if (e.function != a.function) {
      if (!outermost || std::find(symtab.begin(), symtab.end(), e.function) == symtab.end()) return kDifferent;
      verdict = kSymtabName;
    }
    if (e.file == a.file && e.line == a.line) continue;
    if (e.line != 0) return kDifferent;
    if (verdict == kExact) verdict = kOracleNoLine;
  }
  return verdict;
}

struct Agreement {
  size_t total = 0;
  size_t counts[5] = {0, 0, 0, 0, 0};
  std::vector<std::string> differences;
};

static Agreement compareWithSymbolizer(const std::string& modulePath, const std::string& objPath) {
  Agreement result;
  std::vector<uint64_t> addresses = addressesToCheck(objPath);
  // Weak and indirect functions too: the oracle may name a frame after any alias.
  std::vector<CodeSymbol> symbols = codeSymbols(objPath, "tTWi");
  std::vector<std::vector<Frame>> oracle = symbolizerFrames(modulePath, addresses);
  std::map<uint64_t, std::vector<Frame>> second =
      parseAddr2line(runOnAddresses("addr2line -a -f -i -e '" + modulePath + "' 2>/dev/null", addresses));
  zor_test::LoadedModule module(modulePath);
  IModuleSymbolBank* bank = module.bank.get();
  if (!bank) return result;
  EXPECT_EQ(bank->symFileFormat(), SYM_FORMAT_DWARF);
  for (size_t i = 0; i < addresses.size() && i < oracle.size(); ++i) {
    const uint64_t a = addresses[i];
    const std::vector<Frame>& expected = oracle[i];
    std::vector<Frame> actual = ourFrames(bank, a);
    ++result.total;
    Verdict v = judge(expected, actual, symtabNames(symbols, a));
    if (v != kExact && oracleHasNoLines(expected) && second[a] == actual) v = kSecondOracle;
    ++result.counts[v];
    if (v != kExact) {
      static const char* const kWhy[] = {"", "symbol-table name", "no line in the oracle", "addr2line agrees",
                                         "DIFFERENT"};
      std::ostringstream s;
      s << "0x" << std::hex << a << " (" << kWhy[v] << ")\n expected:\n" << describe(expected) << " got:\n"
        << describe(actual);
      if (oracleHasNoLines(expected)) s << " addr2line:\n" << describe(second[a]);
      result.differences.push_back(s.str());
    }
  }
  return result;
}

void expectAgreement(const std::string& name, const std::string& modulePath, const std::string& objPath) {
  if (!haveSymbolizer()) GTEST_SKIP() << "llvm-symbolizer-14 not installed";
  Agreement a = compareWithSymbolizer(modulePath, objPath);
  ASSERT_GT(a.total, 10u);
  auto percent = [&a](size_t n) { return 100.0 * static_cast<double>(n) / static_cast<double>(a.total); };
  size_t agreed = a.counts[kExact] + a.counts[kSymtabName] + a.counts[kOracleNoLine] + a.counts[kSecondOracle];
  std::cout << "[agreement] " << name << ": exact " << percent(a.counts[kExact]) << "%, with explained "
            << percent(agreed) << "% (" << a.total << " addresses; symbol-table name " << a.counts[kSymtabName]
            << ", no oracle line " << a.counts[kOracleNoLine] << ", addr2line " << a.counts[kSecondOracle]
            << ", different " << a.counts[kDifferent] << ")\n";
  size_t shown = 0;
  for (const std::string& d : a.differences) {
    if (d.find("DIFFERENT") == std::string::npos || shown++ >= 6) continue;
    std::cout << d;
  }
  EXPECT_GE(percent(agreed), 99.0) << name;
}

}  // namespace agreement
