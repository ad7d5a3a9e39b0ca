// Tracing and assertion service: operation scopes written to a named log, error records,
// assertion failures that report and return, and hooks that let tests observe assertion
// and error records even when tracing is off.
//
// Record layout (one line each, written whole under the log's mutex):
//   "<log> <thread> > Class::function"            entering an enabled scope
//   "<log> <thread> < Class::function"            leaving it
//   "<log> <thread> [source:line] <caller text>"  text started with Trace::start()
// Every function here is safe to call from several threads at once.
#ifndef KAVE_TRACE_H_
#define KAVE_TRACE_H_

#include <cstddef>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace KAVE_3_1 {

// A named destination for records. The stream must outlive the log.
class Log {
 public:
  // Writes to standard error.
  explicit Log(const char* name);
  // Writes to *stream (standard error if stream is null).
  Log(const char* name, std::ostream* stream);
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  std::ostream& stream();
  const std::string& name() const;
  // Held while a whole record is written to stream().
  std::mutex& mutex();

  // Writes one complete record line (a newline is appended).
  void writeLine(const std::string& text);

 private:
  std::string m_name;
  std::ostream* m_stream;
  std::mutex m_mutex;
};

// A named trace option. The name is known to the service (isOptionKnown) while the object
// lives; the same name may be registered more than once.
class Option {
 public:
  Option(const char* name, Option* parent);
  ~Option();
  Option(const Option&) = delete;
  Option& operator=(const Option&) = delete;

  const char* name() const;
  const Option* parent() const;

 private:
  std::string m_name;
  Option* m_parent;
};

bool isOptionKnown(const char* name);

// An operation scope. A disabled trace allocates nothing and writes nothing; an enabled
// one writes an entry record now and an exit record when destroyed.
class Trace {
 public:
  Trace(Log* log, const std::string& function, const std::string& className, bool enabled);
  // Same, for literal names: avoids building std::string temporaries on hot paths.
  Trace(Log* log, const char* function, const char* className, bool enabled);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Starts a record written from sourcePath:line. The returned stream collects the text
  // and emits it as one line at the next flush (std::endl) or when this trace ends; when
  // the trace is disabled it discards everything. With error set the record is counted
  // and reported to the record observer whether or not the trace is enabled.
  std::ostream& start(const char* sourcePath, unsigned long line, bool error);

  bool enabled() const;

 private:
  void begin(Log* log, const char* function, size_t functionLen, const char* className,
             size_t classNameLen);

  Log* m_log;
  // "Class::function"; empty (and unallocated) when disabled. Copied rather than pointed
  // to because callers commonly pass temporaries that die before the scope ends.
  std::string m_scope;
  bool m_enabled;
};

// Reports "ASSERTION FAILED: condition [sourcePath:line]" to the assertion stream, counts
// it, informs the record observer and returns.
void assertFailed(const char* condition, const char* sourcePath, unsigned int line);

// Where assertion failures are written; standard error by default, null for silence.
void setAssertStream(std::ostream* s);
std::ostream* assertStream();

struct RecordInfo {
  enum Kind { Assertion, Error } kind;
  std::string condition;  // the asserted condition; empty for error records
  std::string source;
  unsigned long line;
};

// Called for every assertion failure and error record, from the recording thread, while
// the service's observer lock is held: an observer must not itself assert or start error
// records.
using RecordObserver = std::function<void(const RecordInfo&)>;
void setRecordObserver(RecordObserver observer);  // empty = none
RecordObserver recordObserver();

unsigned long assertionCount();
unsigned long errorCount();

// Test helper: collects every record while alive and silences the assertion stream;
// restores the previous observer and stream when destroyed. Captures may nest.
class RecordCapture {
 public:
  RecordCapture();
  ~RecordCapture();
  RecordCapture(const RecordCapture&) = delete;
  RecordCapture& operator=(const RecordCapture&) = delete;

  // Snapshot-safe only once recording threads have finished.
  const std::vector<RecordInfo>& records() const;
  size_t assertions() const;
  size_t errors() const;
  bool hasAssertion(const std::string& condition) const;

 private:
  void add(const RecordInfo& info);

  mutable std::mutex m_mutex;
  std::vector<RecordInfo> m_records;
  RecordObserver m_previousObserver;
  std::ostream* m_previousStream;
};

}  // namespace KAVE_3_1

#endif  // KAVE_TRACE_H_
