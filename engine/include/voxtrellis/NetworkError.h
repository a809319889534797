#pragma once

#include <stdexcept>
#include <string>

namespace voxtrellis {

// A transfer that failed below HTTP: no connection, time-out, TLS failure, a
// local write failure. what() is the HTTP client's own explanation.
class NetworkError : public std::runtime_error {
 public:
  NetworkError(int code, const std::string& description) : std::runtime_error(description), m_code(code) {}
  // The HTTP client's error code (libcurl's CURLcode).
  int code() const { return m_code; }

 private:
  int m_code;
};

}  // namespace voxtrellis
