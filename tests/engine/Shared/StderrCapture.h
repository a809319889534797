#pragma once

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace voxtrellis::test {

// Redirects file descriptor 2 into a temporary file for the object's lifetime,
// so tests can read exactly what the engine wrote to standard error.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    m_file = std::tmpfile();
    m_saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(m_file), STDERR_FILENO);
  }
  ~StderrCapture() {
    restore();
    if (m_file) std::fclose(m_file);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far.
  std::string text() {
    std::fflush(stderr);
    std::string out;
    const off_t size = ::lseek(::fileno(m_file), 0, SEEK_END);
    out.resize(static_cast<std::size_t>(size));
    if (size > 0) ::pread(::fileno(m_file), out.data(), out.size(), 0);
    return out;
  }

 private:
  void restore() {
    if (m_saved >= 0) {
      std::fflush(stderr);
      ::dup2(m_saved, STDERR_FILENO);
      ::close(m_saved);
      m_saved = -1;
    }
  }
  std::FILE* m_file = nullptr;
  int m_saved = -1;
};

}  // namespace voxtrellis::test
