// zor-dump: what the library knows about one module: its properties, its segments, chosen
// sections, its symbols in address order and, on request, its compilation units and line rows.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <zor/extensions.h>
#include <zor/zor.h>

#include "tool_text.h"

using namespace ZOR_3_12;

namespace {

const char kUsage[] =
    "usage: zor-dump [options] MODULE\n"
    "\n"
    "Prints what the symbol library reads from MODULE (an ELF or PE image):\n"
    "  module     image and symbol file names and formats, architecture, preferred load\n"
    "             address, image size, content checksum and memory estimate;\n"
    "  segments   one line each: name, [start, end) virtual addresses, kind (code, data,\n"
    "             other), file offset and file size;\n"
    "  sections   with --section NAME: name, address, size, file offset;\n"
    "  symbols    one line per symbol range in address order: [start, end), kind, linkage\n"
    "             (local, global), name.\n"
    "\n"
    "  --section NAME     print the section header NAME (may be repeated)\n"
    "  --pieces           cut the symbols into non-overlapping pieces: where symbols\n"
    "                     overlap, each address belongs to the one the library prefers\n"
    "  --no-symbols       leave the symbol list out\n"
    "  --kinds=MASK       symbol kinds to list (1 function, 2 label, 4 data, 8 public;\n"
    "                     default all)\n"
    "  --no-demangle      print names as stored in the file\n"
    "  --help, -h         this text\n"
    "\n"
    "A module that cannot be loaded ends the program with status 1.\n";

struct Options {
  std::string module;
  std::vector<std::string> sections;
  bool pieces = false;
  bool symbols = true;
  bool demangle = true;
  uint32_t kinds = SYMBOL_KIND_ALL;
  bool units = false;
  bool lines = false;
};

const char* formatName(uint32_t f) { return f == EXEC_FORMAT_PE ? "PE" : f == EXEC_FORMAT_ELF ? "ELF" : "unknown"; }
const char* symFormatName(uint32_t f) {
  return f == SYM_FORMAT_DWARF ? "DWARF" : f == SYM_FORMAT_PDB ? "PDB" : "none (image symbols only)";
}
const char* archName(uint32_t a) {
  switch (a) {
    case ARCH_I386: return "i386";
    case ARCH_IA64: return "ia64";
    case ARCH_X86_64: return "x86-64";
    case ARCH_ARM: return "arm";
    case ARCH_THUMB: return "thumb";
    case ARCH_EM180: return "em180";
    default: return "unknown";
  }
}
const char* segmentKindName(uint32_t k) { return k == SEGMENT_KIND_CODE ? "code" : k == SEGMENT_KIND_DATA ? "data" : "other"; }
std::string kindName(uint32_t k) {
  switch (k) {
    case SYMBOL_KIND_FUNCTION: return "function";
    case SYMBOL_KIND_LABEL: return "label";
    case SYMBOL_KIND_DATA: return "data";
    case SYMBOL_KIND_PUBLIC: return "public";
    default: return "kind" + std::to_string(k);
  }
}
const char* linkageName(int32_t l) { return l == SYMBOL_LINKAGE_GLOBAL ? "global" : l == SYMBOL_LINKAGE_LOCAL ? "local" : "-"; }

void printProperties(IModuleSymbolBank* bank) {
  std::printf("module\n");
  std::printf("  image file       %s\n", zortools::utf8(bank->execFileName()).c_str());
  std::printf("  image format     %s\n", formatName(bank->execFileFormat()));
  std::printf("  symbol file      %s\n", zortools::utf8(bank->symFileName()).c_str());
  std::printf("  symbol format    %s\n", symFormatName(bank->symFileFormat()));
  std::printf("  architecture     %s\n", archName(bank->architecture()));
  std::printf("  preferred base   %s\n", zortools::hex(bank->preferredLoadAddress()).c_str());
  std::printf("  image size       %s\n", zortools::hex(bank->imageSize()).c_str());
  std::printf("  checksum         %s\n", zortools::utf8(bank->checkSum()).c_str());
  std::printf("  size estimate    %llu\n", static_cast<unsigned long long>(bank->sizeEstimate()));
}

void printSegments(IModuleSymbolBank* bank) {
  std::printf("\nsegments\n");
  SymMgrObjectPtr<SegmentIter> it;
  if (failed(bank->segments(it)) || !it) {
    std::printf("  (none)\n");
    return;
  }
  const uint64_t base = bank->preferredLoadAddress();
  for (ISegment* s = it->current(); s != nullptr; it->next(), s = it->current()) {
    const uint64_t start = base + s->rva();
    std::printf("  %-20s [%s, %s)  %-5s  file offset %s  file size %s\n", zortools::utf8(s->name()).c_str(),
                zortools::hex(start).c_str(), zortools::hex(start + s->size()).c_str(), segmentKindName(s->kind()),
                zortools::hex(s->fileOffset()).c_str(), zortools::hex(s->fileSize()).c_str());
  }
}

void printSection(IModuleSymbolBank* bank, const std::string& name) {
  SymMgrObjectPtr<ISection> section;
  if (bank->sectionByName(zortools::wide(name).c_str(), section) != STATUS_OK || !section) {
    std::printf("  %-20s not found\n", name.c_str());
    return;
  }
  std::printf("  %-20s address %s  size %s  file offset %s\n", zortools::utf8(section->name()).c_str(),
              zortools::hex(section->address()).c_str(), zortools::hex(section->size()).c_str(),
              zortools::hex(section->fileOffset()).c_str());
}

void printSymbols(IModuleSymbolBank* bank, const Options& o) {
  std::printf("\n%s\n", o.pieces ? "symbol pieces" : "symbols");
  SymMgrObjectPtr<SymbolRangeIter> it;
  const status_t status = o.pieces ? bank->nonOverlappedSymbolRanges(it, o.kinds, nullptr, nullptr, nullptr)
                                   : bank->originalSymbolRanges(it, o.kinds, nullptr, nullptr);
  if (failed(status)) {
    std::printf("  error: %s\n", zortools::utf8(toUString(status)).c_str());
    return;
  }
  if (!it) return;
  std::string line;
  for (SymMgrObjectPtr<ISymbolRange> r = it->current(); r; it->next(), r = it->current()) {
    SymMgrObjectPtr<IAddress> start = r->startAddress();
    const uint64_t from = start ? start->va() : 0;
    ISymbol* symbol = r->symbol();
    line = "  [" + zortools::hex(from) + ", " + zortools::hex(from + r->size()) + ")  ";
    if (symbol == nullptr) {
      line += "(no symbol)";
    } else {
      std::string kind = kindName(symbol->kind());
      kind.resize(8, ' ');
      line += kind + "  ";
      std::string linkage = linkageName(symbol->linkage());
      linkage.resize(6, ' ');
      line += linkage + "  ";
      zortools::appendUtf8(line, o.demangle ? symbol->demangledName(true) : symbol->name());
      if (r->thunk() != nullptr) line += "  [thunk]";
    }
    line += '\n';
    std::fputs(line.c_str(), stdout);
  }
}

const char* languageName(int32_t l) {
  switch (l) {
    case LANGUAGE_ADA: return "Ada";
    case LANGUAGE_C: return "C";
    case LANGUAGE_CPP: return "C++";
    case LANGUAGE_FORTRAN: return "Fortran";
    default: return "other";
  }
}

std::string fileName(ISourceFile* file) { return file && file->name() ? zortools::utf8(file->name()) : "??"; }

// The units reached through the function symbols (the bank lists no units by themselves),
// each with the files its functions are declared in or start in.
std::map<uint32_t, std::set<ISourceFile*>> unitsOfFunctions(IModuleSymbolBank* bank) {
  std::map<uint32_t, std::set<ISourceFile*>> units;
  SymMgrObjectPtr<SymbolRangeIter> it;
  if (failed(bank->originalSymbolRanges(it, SYMBOL_KIND_FUNCTION, nullptr, nullptr)) || !it) return units;
  for (SymMgrObjectPtr<ISymbolRange> r = it->current(); r; it->next(), r = it->current()) {
    ISymbol* symbol = r->symbol();
    uint32_t unit = 0;
    if (symbol == nullptr || symbol->compUnitId(unit) != STATUS_OK) continue;
    std::set<ISourceFile*>& files = units[unit];
    SymMgrObjectPtr<ISourceLocation> declared;
    if (symbol->sourceLocation(declared) == STATUS_OK && declared && declared->sourceFile())
      files.insert(declared->sourceFile());
    // The entry may come from another file (a header whose code was inlined there).
    SymMgrObjectPtr<ISourceLocation> entry;
    SymMgrObjectPtr<IAddress> start = r->startAddress();
    if (start && lineTableLocationByAddress(bank, start.get(), entry) == STATUS_OK && entry && entry->sourceFile())
      files.insert(entry->sourceFile());
  }
  return units;
}

void printUnits(IModuleSymbolBank* bank, const std::map<uint32_t, std::set<ISourceFile*>>& units) {
  std::printf("\nunits\n");
  for (const auto& unit : units) {
    ICompUnitDetails* details = nullptr;
    if (bank->compUnitDetailsById(unit.first, details) != STATUS_OK || details == nullptr) {
      std::printf("  %u  (no details)\n", unit.first);
      continue;
    }
    std::printf("  %u  %s  dir %s  compiler %s  version %d.%d  language %s\n", unit.first,
                fileName(details->getPrimarySourceFile()).c_str(),
                zortools::utf8(details->getCompilationDirectory()).c_str(),
                zortools::utf8(details->getCompilerName()).c_str(), details->getMajorVersion(),
                details->getMinorVersion(), languageName(details->getLanguage()));
  }
}

void printLines(IModuleSymbolBank* bank, const std::map<uint32_t, std::set<ISourceFile*>>& units) {
  std::printf("\nlines\n");
  std::string line;
  for (const auto& unit : units) {
    std::vector<ISourceFile*> files;
    ICompUnitDetails* details = nullptr;
    if (bank->compUnitDetailsById(unit.first, details) != STATUS_OK || details == nullptr) continue;
    // Lines are keyed by the unit's own key, which may differ from the symbols' unit id.
    const uint64_t key = details->getId();
    if (details->getPrimarySourceFile()) files.push_back(details->getPrimarySourceFile());
    for (ISourceFile* f : unit.second)
      if (files.empty() || f != files.front()) files.push_back(f);
    std::printf("  unit %u\n", unit.first);
    for (ISourceFile* file : files) {
      SymMgrObjectPtr<SourceLineIter> rows;
      if (file->lines(rows, key, nullptr, nullptr) != STATUS_OK || !rows) continue;
      for (SymMgrObjectPtr<ISourceLine> l = rows->current(); l; rows->next(), l = rows->current()) {
        SymMgrObjectPtr<IAddress> start = l->startAddress();
        ISourceLocation* where = l->location();
        const uint64_t from = start ? start->va() : 0;
        line = "    [" + zortools::hex(from) + ", " + zortools::hex(from + l->size()) + ")  ";
        line += fileName(where ? where->sourceFile() : file);
        line += ':' + std::to_string(where ? where->line() : 0) + ':' + std::to_string(where ? where->column() : 0);
        line += '\n';
        std::fputs(line.c_str(), stdout);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--section" && i + 1 < argc) {
      o.sections.push_back(argv[++i]);
    } else if (arg.compare(0, 10, "--section=") == 0) {
      o.sections.push_back(arg.substr(10));
    } else if (arg == "--pieces") {
      o.pieces = true;
    } else if (arg == "--no-symbols") {
      o.symbols = false;
    } else if (arg == "--units") {
      o.units = true;
    } else if (arg == "--lines") {
      o.lines = true;
    } else if (arg == "--no-demangle") {
      o.demangle = false;
    } else if (arg.compare(0, 8, "--kinds=") == 0) {
      o.kinds = static_cast<uint32_t>(std::strtoul(arg.c_str() + 8, nullptr, 0));
    } else if (!arg.empty() && arg[0] != '-' && o.module.empty()) {
      o.module = arg;
    } else {
      std::fprintf(stderr, "zor-dump: unexpected argument '%s'\ntry 'zor-dump --help'\n", arg.c_str());
      return 2;
    }
  }
  if (o.module.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  SymMgrObjectPtr<ISymbolManager> manager;
  status_t status = ISymbolManager::create(manager);
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  if (succeeded(status)) status = manager->loadSymbolsFromModule(zortools::wide(o.module).c_str(), nullptr, bank);
  if (failed(status) || !bank) {
    std::fprintf(stderr, "%s\n", zortools::loadFailure("zor-dump", o.module, status).c_str());
    return 1;
  }

  printProperties(bank.get());
  printSegments(bank.get());
  if (!o.sections.empty()) {
    std::printf("\nsections\n");
    for (const std::string& s : o.sections) printSection(bank.get(), s);
  }
  if (o.symbols) printSymbols(bank.get(), o);
  if (o.units || o.lines) {
    const auto units = unitsOfFunctions(bank.get());
    if (o.units) printUnits(bank.get(), units);
    if (o.lines) printLines(bank.get(), units);
  }
  std::fflush(stdout);
  return 0;
}
