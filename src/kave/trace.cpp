#include "kave/trace.h"

#include <atomic>
#include <cstring>
#include <iostream>
#include <set>
#include <streambuf>

namespace KAVE_3_1 {

namespace {

// Small per-process thread numbers keep records short and easy to follow.
unsigned threadNumber() {
  static std::atomic<unsigned> s_next{1};
  thread_local unsigned t_number = s_next.fetch_add(1, std::memory_order_relaxed);
  return t_number;
}

std::string recordPrefix(const Log& log) {
  std::string prefix = log.name();
  prefix += ' ';
  prefix += std::to_string(threadNumber());
  prefix += ' ';
  return prefix;
}

// Collects the text that follows Trace::start() on one thread and hands it to the log as
// a single line, so that records of concurrent threads never interleave mid-line.
class LineBuffer : public std::streambuf {
 public:
  void begin(Log* log, std::string text) {
    emit();
    m_log = log;
    m_text = std::move(text);
  }
  // Emits what is pending for log, if anything.
  void finish(Log* log) {
    if (m_log == log) emit();
  }

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) m_text.push_back(static_cast<char>(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    m_text.append(s, static_cast<size_t>(n));
    return n;
  }
  int sync() override {
    emit();
    return 0;
  }

 private:
  void emit() {
    if (m_log != nullptr) {
      while (!m_text.empty() && m_text.back() == '\n') m_text.pop_back();
      m_log->writeLine(m_text);
    }
    m_log = nullptr;
    m_text.clear();
  }

  Log* m_log = nullptr;
  std::string m_text;
};

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Streams are per thread: even a discarding ostream updates its own state (width, flags)
// on every insertion, which would race if shared.
struct ThreadStreams {
  LineBuffer lineBuffer;
  std::ostream lineStream{&lineBuffer};
  NullBuffer nullBuffer;
  std::ostream nullStream{&nullBuffer};
};

ThreadStreams& threadStreams() {
  thread_local ThreadStreams t_streams;
  return t_streams;
}

// Process-wide state; never destroyed so that static objects of other units may still
// trace, assert or drop options during shutdown.
struct State {
  std::mutex optionMutex;
  std::multiset<std::string> options;

  std::mutex assertMutex;
  std::ostream* assertStream = &std::cerr;

  std::mutex observerMutex;
  RecordObserver observer;

  std::atomic<unsigned long> assertions{0};
  std::atomic<unsigned long> errors{0};
};

State& state() {
  static State* s_state = new State;
  return *s_state;
}

void notify(const RecordInfo& info) {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.observerMutex);
  if (st.observer) st.observer(info);
}

}  // namespace

// ---- Log ----

Log::Log(const char* name) : Log(name, nullptr) {}

Log::Log(const char* name, std::ostream* stream)
    : m_name(name != nullptr ? name : ""), m_stream(stream != nullptr ? stream : &std::cerr) {}

Log::~Log() = default;

std::ostream& Log::stream() { return *m_stream; }

const std::string& Log::name() const { return m_name; }

std::mutex& Log::mutex() { return m_mutex; }

void Log::writeLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // One write call per record: a failing stream simply loses it.
  std::string line = text;
  line += '\n';
  m_stream->write(line.data(), static_cast<std::streamsize>(line.size()));
  m_stream->flush();
}

// ---- Option ----

Option::Option(const char* name, Option* parent)
    : m_name(name != nullptr ? name : ""), m_parent(parent) {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.optionMutex);
  st.options.insert(m_name);
}

Option::~Option() {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.optionMutex);
  auto it = st.options.find(m_name);
  if (it != st.options.end()) st.options.erase(it);
}

const char* Option::name() const { return m_name.c_str(); }

const Option* Option::parent() const { return m_parent; }

bool isOptionKnown(const char* name) {
  if (name == nullptr) return false;
  State& st = state();
  std::lock_guard<std::mutex> lock(st.optionMutex);
  return st.options.count(name) != 0;
}

// ---- Trace ----

Trace::Trace(Log* log, const std::string& function, const std::string& className,
             bool enabled)
    : m_log(log), m_enabled(enabled && log != nullptr) {
  if (m_enabled) begin(log, function.data(), function.size(), className.data(), className.size());
}

Trace::Trace(Log* log, const char* function, const char* className, bool enabled)
    : m_log(log), m_enabled(enabled && log != nullptr) {
  if (m_enabled) {
    if (function == nullptr) function = "";
    if (className == nullptr) className = "";
    begin(log, function, std::strlen(function), className, std::strlen(className));
  }
}

void Trace::begin(Log* log, const char* function, size_t functionLen, const char* className,
                  size_t classNameLen) {
  m_scope.reserve(classNameLen + 2 + functionLen);
  m_scope.append(className, classNameLen);
  m_scope += "::";
  m_scope.append(function, functionLen);
  log->writeLine(recordPrefix(*log) + "> " + m_scope);
}

Trace::~Trace() {
  if (!m_enabled) return;
  threadStreams().lineBuffer.finish(m_log);
  m_log->writeLine(recordPrefix(*m_log) + "< " + m_scope);
}

std::ostream& Trace::start(const char* sourcePath, unsigned long line, bool error) {
  if (sourcePath == nullptr) sourcePath = "";
  if (error) {
    state().errors.fetch_add(1, std::memory_order_relaxed);
    notify(RecordInfo{RecordInfo::Error, std::string(), sourcePath, line});
  }
  ThreadStreams& streams = threadStreams();
  if (!m_enabled) return streams.nullStream;
  std::string prefix = recordPrefix(*m_log);
  prefix += '[';
  prefix += sourcePath;
  prefix += ':';
  prefix += std::to_string(line);
  prefix += ']';
  streams.lineBuffer.begin(m_log, std::move(prefix));
  return streams.lineStream;
}

bool Trace::enabled() const { return m_enabled; }

// ---- Assertions and observation ----

void assertFailed(const char* condition, const char* sourcePath, unsigned int line) {
  if (condition == nullptr) condition = "";
  if (sourcePath == nullptr) sourcePath = "";
  State& st = state();
  {
    std::lock_guard<std::mutex> lock(st.assertMutex);
    if (st.assertStream != nullptr) {
      std::string text = "ASSERTION FAILED: ";
      text += condition;
      text += " [";
      text += sourcePath;
      text += ':';
      text += std::to_string(line);
      text += "]\n";
      st.assertStream->write(text.data(), static_cast<std::streamsize>(text.size()));
      st.assertStream->flush();
    }
  }
  st.assertions.fetch_add(1, std::memory_order_relaxed);
  notify(RecordInfo{RecordInfo::Assertion, condition, sourcePath, line});
}

void setAssertStream(std::ostream* s) {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.assertMutex);
  st.assertStream = s;
}

std::ostream* assertStream() {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.assertMutex);
  return st.assertStream;
}

void setRecordObserver(RecordObserver observer) {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.observerMutex);
  st.observer = std::move(observer);
}

RecordObserver recordObserver() {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.observerMutex);
  return st.observer;
}

unsigned long assertionCount() { return state().assertions.load(std::memory_order_relaxed); }

unsigned long errorCount() { return state().errors.load(std::memory_order_relaxed); }

// ---- RecordCapture ----

RecordCapture::RecordCapture()
    : m_previousObserver(recordObserver()), m_previousStream(assertStream()) {
  setAssertStream(nullptr);
  setRecordObserver([this](const RecordInfo& info) { add(info); });
}

RecordCapture::~RecordCapture() {
  setRecordObserver(std::move(m_previousObserver));
  setAssertStream(m_previousStream);
}

void RecordCapture::add(const RecordInfo& info) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_records.push_back(info);
}

const std::vector<RecordInfo>& RecordCapture::records() const { return m_records; }

size_t RecordCapture::assertions() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const RecordInfo& r : m_records) n += r.kind == RecordInfo::Assertion;
  return n;
}

size_t RecordCapture::errors() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const RecordInfo& r : m_records) n += r.kind == RecordInfo::Error;
  return n;
}

bool RecordCapture::hasAssertion(const std::string& condition) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const RecordInfo& r : m_records)
    if (r.kind == RecordInfo::Assertion && r.condition == condition) return true;
  return false;
}

}  // namespace KAVE_3_1
