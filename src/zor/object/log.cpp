#include <cstdlib>
#include <fstream>
#include <mutex>

#include <zor/log.h>

#include "kave/trace.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace {

// Made on the first call and never destroyed: static objects of other units may trace
// while the library unloads.
KAVE_3_1::Log* s_log = nullptr;
std::ofstream* s_logFile = nullptr;
bool s_traceEnabled = true;
std::once_flag s_logOnce;

void makeLog() {
  s_logFile = new std::ofstream;
  const char* value = std::getenv("ZORTRACE");
  if (value == nullptr) s_traceEnabled = false;
  if (value != nullptr && *value != '\0') s_logFile->open(value, std::ios::out);
  if (s_logFile->is_open())
    s_log = new KAVE_3_1::Log("ZOR3", s_logFile);
  else
    s_log = new KAVE_3_1::Log("ZOR3");
}

}  // namespace

KAVE_3_1::Log* getLog() {
  std::call_once(s_logOnce, makeLog);
  return s_log;
}

namespace internal {

// Makes the log first: argument evaluation order is unspecified, so a trace's own call of
// getLog() may come after this one.
bool traceEnabled() {
  std::call_once(s_logOnce, makeLog);
  return s_traceEnabled;
}

const char* const kSymbolManagerSource = "vcs\\zor\\src\\zor\\zor_symbolmanager";
const char* const kModuleBankSource = "vcs\\zor\\src\\zor\\zor_modulesymbolbank";
const char* const kElfSource = "vcs\\zor\\src\\zor\\zor_fflelf";
const char* const kPeSource = "vcs\\zor\\src\\zor\\zor_fflpe";
const char* const kDwarfSource = "vcs\\zor\\src\\zor\\zor_dildwarf";
const char* const kDiaSource = "vcs\\zor\\src\\zor\\zor_dildia";

std::ostream& errorRecord(KAVE_3_1::Trace& trace, const char* source, unsigned long line) {
  return trace.start(source, line, true) << " ERROR: ";
}

}  // namespace internal
}  // namespace ZOR_3_12
