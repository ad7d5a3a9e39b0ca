// How an operation traces itself and how failures are recorded.
//
//   ZOR_TRACE("loadSymbolsFromModule", "SymbolManager");   // scope of the operation
//   ZOR_ERROR(kSymbolManagerSource, 672) << "could not open file";
//   ZOR_ASSERT(m_ffl, kModuleBankSource, 84);            // reported, execution continues
#ifndef ZOR_OBJECT_TRACE_H_
#define ZOR_OBJECT_TRACE_H_

#include <ostream>
#include <string>

#include <zor/log.h>

#include "kave/trace.h"

namespace ZOR_3_12 {
namespace internal {

// False when ZORTRACE is not defined; makes the log on first use so the switch is read once.
bool traceEnabled();

// Source paths that appear in trace and assertion records.
extern const char* const kSymbolManagerSource;  // vcs\zor\src\zor\zor_symbolmanager
extern const char* const kModuleBankSource;     // vcs\zor\src\zor\zor_modulesymbolbank
extern const char* const kElfSource;            // vcs\zor\src\zor\zor_fflelf
extern const char* const kPeSource;             // vcs\zor\src\zor\zor_fflpe
extern const char* const kDwarfSource;          // vcs\zor\src\zor\zor_dildwarf
extern const char* const kDiaSource;            // vcs\zor\src\zor\zor_dildia

// An error record: " ERROR: " and the message go to the trace's stream, ended by the caller.
std::ostream& errorRecord(KAVE_3_1::Trace& trace, const char* source, unsigned long line);

}  // namespace internal
}  // namespace ZOR_3_12

#define ZOR_TRACE(function, className) \
  ::KAVE_3_1::Trace zorTrace_(::ZOR_3_12::getLog(), function, className, ::ZOR_3_12::internal::traceEnabled())

#define ZOR_ERROR(source, line) ::ZOR_3_12::internal::errorRecord(zorTrace_, (source), (line))

#define ZOR_ASSERT(cond, source, line)                              \
  do {                                                              \
    if (!(cond)) ::KAVE_3_1::assertFailed(#cond, (source), (line)); \
  } while (0)

#define ZOR_ASSERT_TEXT(text, source, line) ::KAVE_3_1::assertFailed((text), (source), (line))

#endif  // ZOR_OBJECT_TRACE_H_
