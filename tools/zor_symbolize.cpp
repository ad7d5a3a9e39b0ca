// zor-symbolize: addresses of a module to function names and source locations, with the
// command line and output layouts of the usual LLVM symbolizer for the options it knows.
//
//   zor-symbolize --obj=PATH [options] [ADDRESS...]
//
// Addresses are virtual addresses of the file (as its symbol table shows them), written in
// hexadecimal with or without "0x". Without address arguments one address per line is read
// from standard input, and each answer is written as soon as no further input waits.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <zor/extensions.h>
#include <zor/zor.h>

#include "tool_text.h"

using namespace ZOR_3_12;

namespace {

enum class FunctionNames { Linkage, Short, None };
enum class Style { Llvm, Gnu, Json };

struct Options {
  std::string obj;
  bool inlines = true;  // on by default, as in the LLVM tool
  FunctionNames functions = FunctionNames::Linkage;
  bool demangle = true;
  Style style = Style::Llvm;
  bool printAddress = false;
  bool basenames = false;
  unsigned threads = 0;  // 0: one per core
  std::vector<std::string> addresses;
};

const char kUsage[] =
    "usage: zor-symbolize --obj=PATH [options] [ADDRESS...]\n"
    "\n"
    "Prints the function and source location of each address of the module PATH.\n"
    "ADDRESS is a virtual address of the file in hexadecimal, with or without 0x; without\n"
    "address arguments, addresses are read one per line from standard input.\n"
    "\n"
    "  --obj=PATH, --obj PATH, -e PATH   the module (ELF or PE image)\n"
    "  --functions=linkage|short|none    function name form (default linkage); -f = linkage\n"
    "  --demangle, -C                    demangle names (default)\n"
    "  --no-demangle                     print names as stored in the file\n"
    "  --inlines, -i                     print the chain of inlined calls (default)\n"
    "  --no-inlines                      only the innermost function\n"
    "  --output-style=LLVM|GNU|JSON      output layout (default LLVM)\n"
    "  --addresses, -a                   print the address before its answer\n"
    "  --basenames, -s                   strip directories from file names\n"
    "  --threads=N                       answer waiting input on N threads (default: one per\n"
    "                                    core); the output is the same for every N\n"
    "  --help, -h                        this text\n"
    "\n"
    "LLVM layout: function, FILE:LINE:COLUMN, blank line. GNU: function, FILE:LINE.\n"
    "JSON: one object per address (an array of them for address arguments). Unknown\n"
    "answers are ?? and ??:0:0. A module that cannot be loaded ends the program with\n"
    "status 1.\n";

bool parseArguments(int argc, char** argv, Options& o, std::string& error) {
  auto valueOf = [&](int& i, const std::string& arg, const std::string& name, std::string& value) {
    if (arg.compare(0, name.size() + 1, name + "=") == 0) {
      value = arg.substr(name.size() + 1);
      return true;
    }
    if (arg == name) {
      if (i + 1 >= argc) {
        error = "missing value for " + name;
        return false;
      }
      value = argv[++i];
      return true;
    }
    return false;
  };
  bool addressesOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (addressesOnly || arg.empty() || arg[0] != '-') {
      o.addresses.push_back(arg);
    } else if (arg == "--") {
      addressesOnly = true;
    } else if (valueOf(i, arg, "--obj", value) || valueOf(i, arg, "-e", value) ||
               valueOf(i, arg, "--exe", value)) {
      o.obj = value;
    } else if (valueOf(i, arg, "--functions", value)) {
      if (value == "linkage") o.functions = FunctionNames::Linkage;
      else if (value == "short") o.functions = FunctionNames::Short;
      else if (value == "none") o.functions = FunctionNames::None;
      else return error = "unknown --functions value '" + value + "'", false;
    } else if (arg == "--functions") {
      o.functions = FunctionNames::Linkage;
    } else if (valueOf(i, arg, "--output-style", value)) {
      if (value == "LLVM") o.style = Style::Llvm;
      else if (value == "GNU") o.style = Style::Gnu;
      else if (value == "JSON") o.style = Style::Json;
      else return error = "unknown --output-style value '" + value + "'", false;
    } else if (arg == "--inlines" || arg == "--inlining") {
      o.inlines = true;
    } else if (arg == "--no-inlines") {
      o.inlines = false;
    } else if (arg == "--demangle") {
      o.demangle = true;
    } else if (arg == "--no-demangle") {
      o.demangle = false;
    } else if (arg == "--addresses" || arg == "--print-address") {
      o.printAddress = true;
    } else if (arg == "--basenames") {
      o.basenames = true;
    } else if (valueOf(i, arg, "--threads", value)) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != 0 || n == 0 || n > 256) return error = "bad --threads value '" + value + "'", false;
      o.threads = static_cast<unsigned>(n);
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg.size() > 1 && arg[1] != '-') {
      // Grouped single-letter flags, as in -afiC.
      for (size_t k = 1; k < arg.size(); ++k) {
        switch (arg[k]) {
          case 'a': o.printAddress = true; break;
          case 'C': o.demangle = true; break;
          case 'f': o.functions = FunctionNames::Linkage; break;
          case 'i': o.inlines = true; break;
          case 's': o.basenames = true; break;
          default: return error = "unknown option '" + arg + "'", false;
        }
      }
    } else {
      return error = "unknown option '" + arg + "'", false;
    }
  }
  if (o.obj.empty()) return error = "no module given (--obj=PATH)", false;
  return true;
}

// One frame of the answer for an address: a function and a source location. Inlined code
// gives several frames, innermost first.
struct Frame {
  std::string function;  // empty: unknown
  std::string file;      // empty: unknown
  uint32_t line = 0;
  uint32_t column = 0;
  bool hasStart = false;
  uint64_t startAddress = 0;
  std::string startFile;
  uint32_t startLine = 0;

  // Back to an unknown frame, keeping the strings' room for the next answer.
  void clear() {
    function.clear();
    file.clear();
    line = column = 0;
    hasStart = false;
    startAddress = 0;
    startFile.clear();
    startLine = 0;
  }
};

const uint32_t kCodeKinds = SYMBOL_KIND_FUNCTION | SYMBOL_KIND_PUBLIC;

// The facts of recently met symbols, one per slot by the symbol's address. The addresses of
// a batch meet far fewer functions than a module holds, but over a whole module the facts
// would add up to a copy of its names: the table keeps a fixed number, and a slot's strings
// keep their room for the next symbol that lands there, so a miss rarely allocates.
class FactsCache {
 public:
  const Frame* find(ISymbol* symbol) const {
    const Slot& slot = m_slots[slotOf(symbol)];
    return slot.symbol == symbol ? &slot.facts : nullptr;
  }
  // The slot for `symbol`, emptied for its facts.
  Frame& place(ISymbol* symbol) {
    Slot& slot = m_slots[slotOf(symbol)];
    slot.symbol = symbol;
    slot.facts.clear();
    return slot.facts;
  }

 private:
  static constexpr int kSlotBits = 9;
  static size_t slotOf(ISymbol* symbol) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(symbol) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
  }
  struct Slot {
    ISymbol* symbol = nullptr;
    Frame facts;
  };
  std::vector<Slot> m_slots = std::vector<Slot>(size_t{1} << kSlotBits);
};

class Symbolizer {
 public:
  Symbolizer(IModuleSymbolBank* bank, const Options& options) : m_bank(bank), m_options(options) {}

  // The frames for one address, innermost first; always at least one (an unknown one when
  // nothing is found). The chain is the library's own: the innermost frame stands at the
  // line-table row, each outer one at the call site of the frame inside it. Without
  // --inlines, the one frame names the innermost function and the line-table row.
  // `out` keeps its frames from one answer to the next, so their strings keep their room.
  void frames(uint64_t va, std::vector<Frame>& out) {
    size_t used = 0;
    auto next = [&out, &used]() -> Frame& {
      if (used == out.size()) out.emplace_back();
      Frame& frame = out[used++];
      frame.clear();
      return frame;
    };
    frameList(va, next);
    out.resize(used);
  }

 private:
  template <class NextFrame>
  void frameList(uint64_t va, NextFrame& next) {
    SymMgrObjectPtr<IAddress> address;
    if (failed(m_bank->addressByVa(va, address)) || !address) {
      next();
      return;
    }
    m_chain.clear();
    std::vector<InlineFrame>& chain = m_chain;
    if (inlineFrames(m_bank, address.get(), chain) != STATUS_OK || chain.empty()) {
      // No function covers the address: a public symbol may still name it.
      Frame& only = next();
      SymMgrObjectPtr<ISymbolRange> range;
      const status_t found = m_bank->symbolRangeByAddress(address.get(), range, kCodeKinds, nullptr);
      m_warm = true;
      if (found == STATUS_OK && range && range->symbol()) describeFunction(range->symbol(), only, true);
      SymMgrObjectPtr<ISourceLocation> location;
      if (lineTableLocationByAddress(m_bank, address.get(), location) == STATUS_OK && location)
        describeLocation(location.get(), only.file, only.line, &only.column);
      return;
    }
    const size_t count = m_options.inlines ? chain.size() : 1;
    Frame* last = nullptr;
    for (size_t i = 0; i < count; ++i) {
      Frame& frame = next();
      if (chain[i].location) describeLocation(chain[i].location.get(), frame.file, frame.line, &frame.column);
      // Only the outermost frame is a function of its own with a start address.
      if (chain[i].function) describeFunction(chain[i].function, frame, i + 1 == chain.size());
      last = &frame;
    }
    // The linkage name of the last frame printed is the one of the function that holds the
    // code, from the symbol table when it covers the address: debug information names split
    // parts (main.cold) and template instances in its own spelling.
    if (m_options.functions == FunctionNames::Linkage) {
      ISymbol* symbol = symbolTableSymbol(address.get());
      renameFunction(symbol ? symbol : chain.back().function, *last);
    }
  }

  // Picks a candidate that no compilation unit owns, i.e. one of the symbol table.
  class SymbolTableFirst : public ISymbolSelector {
   public:
    SymMgrObjectPtr<ISymbol> select(SymMgrObjectPtr<SymbolIter> candidates) override {
      SymMgrObjectPtr<ISymbol> first = candidates->current();
      for (SymMgrObjectPtr<ISymbol> s = first; s; candidates->next(), s = candidates->current()) {
        uint32_t unit = 0;
        if (s->compUnitId(unit) != STATUS_OK) return s;
      }
      return first;
    }
  };

  ISymbol* symbolTableSymbol(IAddress* address) {
    SymbolTableFirst selector;
    SymMgrObjectPtr<ISymbolRange> range;
    const status_t found = m_bank->symbolRangeByAddress(address, range, kCodeKinds, &selector);
    m_warm = true;
    if (found != STATUS_OK || !range) return nullptr;
    ISymbol* symbol = range->symbol();
    uint32_t unit = 0;
    return symbol != nullptr && symbol->compUnitId(unit) != STATUS_OK ? symbol : nullptr;
  }

  // The name and start of `symbol` for a frame; its declaration stays the debug one.
  void renameFunction(ISymbol* symbol, Frame& frame) {
    if (symbol == nullptr) return;
    if (const Frame* known = m_warm ? m_linkageNames.find(symbol) : nullptr) return applyLinkageName(*known, frame);
    Frame scratch;
    Frame& facts = m_warm ? m_linkageNames.place(symbol) : scratch;
    if (appendName(symbol, m_options.demangle ? SymbolNameForm::kFull : SymbolNameForm::kName, facts.function)) {
      if (SymMgrObjectPtr<IAddress> start = symbol->address()) {
        facts.hasStart = true;
        facts.startAddress = start->va();
      }
    }
    applyLinkageName(facts, frame);
  }

  static void applyLinkageName(const Frame& facts, Frame& frame) {
    if (facts.function.empty()) return;
    frame.function = facts.function;
    if (facts.hasStart) {
      frame.hasStart = true;
      frame.startAddress = facts.startAddress;
    }
  }

  // Appends `symbol`'s name in `form` to `out`; false when the name is empty. Names are
  // taken in UTF-8: a wide copy would be made only to be narrowed again, and kept for the
  // module's life.
  static bool appendName(ISymbol* symbol, SymbolNameForm form, std::string& out) {
    const size_t before = out.size();
    appendSymbolNameUtf8(symbol, form, out);
    return out.size() > before;
  }

  // `hasStart`: inlined code has no start address of its own. A function's facts are the
  // same at every address it covers, so once m_warm they are kept per symbol.
  void describeFunction(ISymbol* symbol, Frame& frame, bool hasStart) {
    FactsCache& known = hasStart ? m_functionsWithStart : m_inlinedFunctions;
    if (const Frame* facts = m_warm ? known.find(symbol) : nullptr) return copyFunction(*facts, frame);
    Frame scratch;
    Frame& facts = m_warm ? known.place(symbol) : scratch;
    readFunction(symbol, facts, hasStart);
    copyFunction(facts, frame);
  }

  static void copyFunction(const Frame& facts, Frame& frame) {
    frame.function += facts.function;
    if (facts.hasStart) {
      frame.hasStart = true;
      frame.startAddress = facts.startAddress;
    }
    if (!facts.startFile.empty()) frame.startFile = facts.startFile;
    if (facts.startLine) frame.startLine = facts.startLine;
  }

  void readFunction(ISymbol* symbol, Frame& frame, bool hasStart) {
    uint32_t unit = 0;
    const bool fromDebugInfo = symbol->compUnitId(unit) == STATUS_OK;
    SymbolNameForm form = SymbolNameForm::kName;
    switch (m_options.functions) {
      case FunctionNames::Linkage: form = m_options.demangle ? SymbolNameForm::kFull : SymbolNameForm::kName; break;
      // The short form is the source-level name that only debug information gives.
      case FunctionNames::Short:
        if (!fromDebugInfo) return;
        form = SymbolNameForm::kShort;
        break;
      case FunctionNames::None: return;
    }
    if (!appendName(symbol, form, frame.function)) return;
    if (SymMgrObjectPtr<IAddress> start = hasStart ? symbol->address() : nullptr) {
      frame.hasStart = true;
      frame.startAddress = start->va();
    }
    SymMgrObjectPtr<ISourceLocation> declared;
    if (fromDebugInfo && symbol->sourceLocation(declared) == STATUS_OK && declared)
      describeLocation(declared.get(), frame.startFile, frame.startLine, nullptr);
  }

  void describeLocation(ISourceLocation* location, std::string& file, uint32_t& line, uint32_t* column) {
    ISourceFile* source = location->sourceFile();
    if (source == nullptr || source->name() == nullptr) return;
    // Source files live as long as the module and keep their names.
    auto known = m_fileNames.find(source);
    if (known == m_fileNames.end()) {
      std::string name;
      zortools::appendUtf8(name, source->name());
      if (m_options.basenames) {
        const size_t slash = name.find_last_of("/\\");
        if (slash != std::string::npos) name.erase(0, slash + 1);
      }
      known = m_fileNames.emplace(source, std::move(name)).first;
    }
    file = known->second;
    line = location->line();
    if (column) *column = location->column();
  }

  IModuleSymbolBank* m_bank;
  const Options& m_options;
  std::vector<InlineFrame> m_chain;  // the chain of the address being answered
  // Every kind of symbol the tool asks for has been loaded (the bank loads kinds on their
  // first request); from then on no load can merge into a symbol and change its facts.
  bool m_warm = false;
  FactsCache m_functionsWithStart;
  FactsCache m_inlinedFunctions;
  FactsCache m_linkageNames;
  std::unordered_map<ISourceFile*, std::string> m_fileNames;
};

// True when `text` holds a character JSON must escape. Names of templates run to hundreds of
// characters and are written for every frame: sixteen bytes are tested at a time where the
// processor allows, else the test is one branch-free pass the compiler vectorises.
bool needsEscape(const std::string& text) {
  const char* p = text.data();
  const size_t n = text.size();
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i below = _mm_set1_epi8(0x1F), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // A byte is at most 0x1F exactly when the unsigned minimum with 0x1F is the byte itself.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, below), bytes);
    const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash));
    if (_mm_movemask_epi8(_mm_or_si128(control, special)) != 0) return true;
  }
#endif
  unsigned found = 0;
  for (; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    found |= unsigned(c < 0x20) | unsigned(c == '"') | unsigned(c == '\\');
  }
  return found != 0;
}

// Room for one answer at the end of `out`, made once and written through a pointer: an
// answer is a dozen short pieces per frame, and appending them one by one (each append
// checking and growing the string) cost as much as all the JSON text itself.
class Room {
 public:
  Room(std::string& out, size_t most) : m_out(out) {
    const size_t at = out.size();
    out.resize(at + most);
    m_p = &out[at];
  }
  ~Room() { m_out.resize(static_cast<size_t>(m_p - m_out.data())); }
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  void put(const char* text, size_t size) {
    std::memcpy(m_p, text, size);
    m_p += size;
  }
  template <size_t N>
  void put(const char (&text)[N]) {
    put(text, N - 1);
  }
  void put(const std::string& text) { put(text.data(), text.size()); }
  void put(char c) { *m_p++ = c; }
  void number(uint32_t value) { m_p = std::to_chars(m_p, m_p + 10, value).ptr; }
  void hex(uint64_t value) {
    put("0x");
    m_p = std::to_chars(m_p, m_p + 16, value, 16).ptr;
  }

  // The most a JSON string of `text` takes: a control character becomes six characters.
  static size_t jsonSize(const std::string& text, bool plain) { return (plain ? 1 : 6) * text.size() + 2; }
  void jsonString(const std::string& text, bool plain) {
    put('"');
    if (plain) {
      put(text);
    } else {
      for (unsigned char c : text) escape(c);
    }
    put('"');
  }

 private:
  void escape(unsigned char c) {
    static const char kDigits[] = "0123456789abcdef";
    switch (c) {
      case '"': return put("\\\"");
      case '\\': return put("\\\\");
      case '\n': return put("\\n");
      case '\t': return put("\\t");
      case '\r': return put("\\r");
      default:
        if (c >= 0x20) return put(static_cast<char>(c));
        put("\\u00");
        put(kDigits[c >> 4]);
        put(kDigits[c & 15]);
    }
  }

  std::string& m_out;
  char* m_p;
};

void appendJsonString(std::string& out, const std::string& text) {
  // Names and paths rarely hold a character that needs escaping: copied whole.
  const bool plain = !needsEscape(text);
  Room room(out, Room::jsonSize(text, plain));
  room.jsonString(text, plain);
}

class Printer {
 public:
  explicit Printer(const Options& options) : m_options(options) { appendJsonString(m_moduleJson, options.obj); }

  void answer(const std::string& input, bool parsed, uint64_t va, const std::vector<Frame>& frames) {
    if (m_options.style == Style::Json) return json(input, parsed, va, frames);
    if (!parsed) {  // an unreadable line is echoed, as the LLVM tool does
      m_out += input;
      m_out += '\n';
      return;
    }
    if (m_options.printAddress) {
      zortools::appendHex(m_out, va);
      m_out += '\n';
    }
    for (const Frame& f : frames) {
      if (m_options.functions != FunctionNames::None) {
        m_out += f.function.empty() ? "??" : f.function;
        m_out += '\n';
      }
      m_out += f.file.empty() ? "??" : f.file;
      m_out += ':';
      m_out += std::to_string(f.line);
      if (m_options.style == Style::Llvm) {
        m_out += ':';
        m_out += std::to_string(f.column);
      }
      m_out += '\n';
    }
    if (m_options.style == Style::Llvm) m_out += '\n';
  }

  // Address arguments give one JSON array for all of them; standard input one line each.
  void beginBatch() {
    if (m_options.style == Style::Json) m_out += '[';
    m_inBatch = true;
    m_first = true;
  }
  void endBatch() {
    if (m_options.style == Style::Json) m_out += "]\n";
    m_inBatch = false;
  }

  // Takes over the answers another printer has written so far, after its own; the other
  // printer gives its memory back.
  void append(Printer& other) {
    m_out += other.m_out;
    std::string().swap(other.m_out);
  }

  void flush() {
    if (!m_out.empty()) std::fwrite(m_out.data(), 1, m_out.size(), stdout);
    m_out.clear();
    std::fflush(stdout);
  }
  void flushIfLarge() {
    if (m_out.size() >= (1u << 16)) {
      std::fwrite(m_out.data(), 1, m_out.size(), stdout);
      m_out.clear();
    }
  }

 private:
  void json(const std::string& input, bool parsed, uint64_t va, const std::vector<Frame>& frames) {
    if (m_inBatch && !m_first) m_out += ',';
    m_first = false;
    if (!parsed) {
      m_out += "{\"Error\":{\"Message\":";
      appendJsonString(m_out, "unable to parse arguments: " + input);
      m_out += "},\"ModuleName\":";
      appendJsonString(m_out, m_options.obj);
      m_out += '}';
    } else {
      // Pieces of fixed size: 64 bytes around the answer, 256 per frame, besides strings.
      size_t most = 64 + m_moduleJson.size();
      m_plain.clear();
      for (const Frame& f : frames) {
        for (const std::string* text : {&f.file, &f.function, &f.startFile}) {
          m_plain.push_back(!needsEscape(*text));
          most += Room::jsonSize(*text, m_plain.back());
        }
        most += 256;
      }
      Room room(m_out, most);
      room.put("{\"Address\":\"");  // a number needs no escapes
      room.hex(va);
      room.put("\",\"ModuleName\":");
      room.put(m_moduleJson);
      room.put(",\"Symbol\":[");
      for (size_t i = 0; i < frames.size(); ++i) {
        const Frame& f = frames[i];
        if (i) room.put(',');
        room.put("{\"Column\":");
        room.number(f.column);
        room.put(",\"Discriminator\":0,\"FileName\":");
        room.jsonString(f.file, m_plain[3 * i]);
        room.put(",\"FunctionName\":");
        room.jsonString(f.function, m_plain[3 * i + 1]);
        room.put(",\"Line\":");
        room.number(f.line);
        room.put(",\"StartAddress\":\"");
        if (f.hasStart && !f.function.empty()) room.hex(f.startAddress);
        room.put("\",\"StartFileName\":");
        room.jsonString(f.startFile, m_plain[3 * i + 2]);
        room.put(",\"StartLine\":");
        room.number(f.startLine);
        room.put('}');
      }
      room.put("]}");
    }
    if (!m_inBatch) m_out += '\n';
  }

  const Options& m_options;
  std::string m_moduleJson;  // the module path as a JSON string, the same in every answer
  std::string m_out;
  std::vector<char> m_plain;  // per string of the answer being written: no escapes needed
  bool m_inBatch = false;
  bool m_first = true;
};

// Answers one input line: an address to frames, or the echo of what is no address.
void answerLine(Symbolizer& symbolizer, Printer& printer, std::vector<Frame>& frames, const std::string& input) {
  uint64_t va = 0;
  const bool parsed = zortools::parseHex(input, va);
  if (parsed) symbolizer.frames(va, frames);
  printer.answer(input, parsed, va, frames);
}

// Answers `lines` in input order into `printer`. A large batch is cut into chunks that the
// threads take in turn, each answered into its own text; the texts are joined in input
// order, so the output is the same for any number of threads. The calling thread passes
// on every finished text that no unfinished one precedes, so that only the texts of
// chunks in flight are held. The library serves concurrent callers and reads each part of
// the module once, whoever asks first.
void answerBatch(IModuleSymbolBank* bank, const Options& options, const std::vector<std::string>& lines,
                 Printer& printer) {
  constexpr size_t kChunk = 64;
  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  const size_t chunks = (lines.size() + kChunk - 1) / kChunk;
  threads = static_cast<unsigned>(std::min<size_t>(threads, chunks));
  if (threads <= 1) {
    Symbolizer symbolizer(bank, options);
    std::vector<Frame> frames;
    for (const std::string& input : lines) {
      answerLine(symbolizer, printer, frames, input);
      printer.flushIfLarge();
    }
    return;
  }
  std::vector<Printer> texts(chunks, Printer(options));
  std::unique_ptr<std::atomic<bool>[]> finished(new std::atomic<bool>[chunks]);
  for (size_t c = 0; c < chunks; ++c) finished[c] = false;
  std::atomic<size_t> nextChunk{0};
  size_t nextText = 0;  // the first text not yet passed on; the calling thread's alone
  auto passOn = [&] {
    for (; nextText < chunks && finished[nextText].load(std::memory_order_acquire); ++nextText) {
      printer.append(texts[nextText]);
      printer.flushIfLarge();
    }
  };
  auto work = [&](bool caller) {
    Symbolizer symbolizer(bank, options);
    std::vector<Frame> frames;
    for (size_t c = nextChunk++; c < chunks; c = nextChunk++) {
      const size_t end = std::min(lines.size(), (c + 1) * kChunk);
      for (size_t i = c * kChunk; i < end; ++i) answerLine(symbolizer, texts[c], frames, lines[i]);
      finished[c].store(true, std::memory_order_release);
      if (caller) passOn();
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work, false);
  work(true);
  for (std::thread& helper : helpers) helper.join();
  passOn();
}

// A module's records are millions of small pieces, made once and kept to the end. Filling
// the heap page by page costs a fifth of the run on large modules; the C library backs its
// heap with huge pages when told so at start-up (a setting it reads only then), so the tool
// starts itself once more with it. Where that is not possible it simply goes on.
void restartWithHugePageHeap(char** argv) {
#if defined(__GLIBC__) && defined(__linux__)
  // glibc advises huge pages only for heap growth of at least a huge page, and grows the
  // heap by little more than each request: the first megabytes, where the module's records
  // begin, would stay in small pages. A 4 MiB pad makes every growth large enough.
  const char* kSetting = "glibc.malloc.hugetlb=1:glibc.malloc.top_pad=4194304";
  const char* current = std::getenv("GLIBC_TUNABLES");
  if (current && std::strstr(current, "glibc.malloc.hugetlb")) return;  // ours, or the caller's choice
  const std::string tunables = current && *current ? std::string(current) + ":" + kSetting : kSetting;
  if (setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
#else
  (void)argv;
#endif
}

// Ends the program once every answer is written. Tearing the module's records down one by
// one would cost as much as a good part of loading them; the process exit frees it all.
[[noreturn]] void finish() {
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!parseArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "zor-symbolize: %s\n%s", error.c_str(), "try 'zor-symbolize --help'\n");
    return 2;
  }
  restartWithHugePageHeap(argv);
  // Before any other thread runs: this remakes the standard streams, which the library's
  // assertion messages use.
  std::ios::sync_with_stdio(false);

  SymMgrObjectPtr<ISymbolManager> manager;
  status_t status = ISymbolManager::create(manager);
  SymMgrObjectPtr<IModuleSymbolBank> bank;
  if (succeeded(status)) status = manager->loadSymbolsFromModule(zortools::wide(options.obj).c_str(), nullptr, bank);
  if (failed(status) || !bank) {
    std::fprintf(stderr, "%s\n", zortools::loadFailure("zor-symbolize", options.obj, status).c_str());
    return 1;
  }

  // The line table and the function records are read independently of each other: the
  // line table is read on a second thread while the first query reads the functions. The
  // library serves concurrent callers, and each part is built by one thread alone, so the
  // answers are those of a single thread. The thread only reads ahead: an answer that needs
  // the line table waits for it through the library, so once every answer is written the
  // program ends without waiting for the thread (at once, on empty input).
  std::thread lineReader([&bank] {
    SymMgrObjectPtr<IAddress> anywhere;
    SymMgrObjectPtr<ISourceLocation> ignored;
    if (succeeded(bank->addressByVa(bank->preferredLoadAddress(), anywhere)) && anywhere)
      lineTableLocationByAddress(bank.get(), anywhere.get(), ignored);
  });
  lineReader.detach();

  Printer printer(options);
  if (!options.addresses.empty()) {
    // One JSON array: its separators make the answers depend on their neighbours.
    Symbolizer symbolizer(bank.get(), options);
    std::vector<Frame> frames;
    printer.beginBatch();
    for (const std::string& a : options.addresses) {
      answerLine(symbolizer, printer, frames, a);
      printer.flushIfLarge();
    }
    printer.endBatch();
    printer.flush();
    finish();
  }
  // Standard input: the lines that wait are answered together, and the answers are flushed
  // once no further input waits, so a caller feeding one line at a time gets each answer at
  // once while a large batch is shared among the threads and written in large blocks.
  constexpr size_t kBatch = 1 << 14;
  std::vector<std::string> batch;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    batch.push_back(std::move(line));
    const bool waiting = std::cin.rdbuf()->in_avail() > 0;
    if (waiting && batch.size() < kBatch) continue;
    answerBatch(bank.get(), options, batch, printer);
    batch.clear();
    if (waiting) printer.flushIfLarge();
    else printer.flush();
  }
  answerBatch(bank.get(), options, batch, printer);
  printer.flush();
  finish();
}
