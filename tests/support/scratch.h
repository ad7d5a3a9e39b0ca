// Files, directories, working directory and environment that a test changes for its own
// scope: each is put back (or removed with its contents) when the object goes.
#ifndef ZOR_TESTS_SUPPORT_SCRATCH_H_
#define ZOR_TESTS_SUPPORT_SCRATCH_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "kave/unicode.h"
#include "support/symbolizer_agreement.h"

namespace scratch {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char name[] = "/tmp/zor_test_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    m_path = name;
    write(bytes);
  }
  ~TempFile() { std::remove(m_path.c_str()); }
  void write(const std::string& bytes) const { writeFile(m_path, bytes); }
  const std::string& path() const { return m_path; }
  std::wstring wpath() const { return KAVE_3_1::utf8ToWide(m_path); }

 private:
  std::string m_path;
};

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zor_test_XXXXXX";
    m_path = mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() {
    if (!m_path.empty()) agreement::run("rm -rf '" + m_path + "'");
  }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }
  // Writes `bytes` to the file `name` inside and answers its path.
  std::string add(const std::string& name, const std::string& bytes) const {
    writeFile(*this / name, bytes);
    return *this / name;
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) {
    char buffer[4096];
    m_previous = getcwd(buffer, sizeof buffer) ? buffer : "/";
    m_ok = chdir(dir.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (chdir(m_previous.c_str()) != 0) std::perror("chdir");
  }
  bool ok() const { return m_ok; }

 private:
  std::string m_previous;
  bool m_ok = false;
};

// Sets (or, with null, removes) an environment variable.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old, m_had = true;
    put(value);
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() { put(m_had ? m_old.c_str() : nullptr); }

 private:
  void put(const char* value) { value ? setenv(m_name, value, 1) : unsetenv(m_name); }
  const char* m_name;
  std::string m_old;
  bool m_had = false;
};

}  // namespace scratch

#endif  // ZOR_TESTS_SUPPORT_SCRATCH_H_
