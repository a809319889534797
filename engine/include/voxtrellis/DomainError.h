#pragma once

#include <stdexcept>
#include <string>

namespace voxtrellis {

// An error identified by a domain text and an integer code, with a fixed
// description (what()). Used where the engine reports failures by domain and
// code rather than by its own enumerations, e.g. domain "ANEOptimizer" code -1,
// or domain "HTTP" with the status code.
class DomainError : public std::runtime_error {
 public:
  DomainError(std::string domain, long code, const std::string& description)
      : std::runtime_error(description), m_domain(std::move(domain)), m_code(code) {}

  const std::string& domain() const { return m_domain; }
  long code() const { return m_code; }

 private:
  std::string m_domain;
  long m_code;
};

}  // namespace voxtrellis
