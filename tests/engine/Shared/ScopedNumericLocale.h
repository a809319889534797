#pragma once

#include <clocale>
#include <string>

namespace voxtrellis::test {

// Switches LC_NUMERIC for the object's lifetime, as a host application does
// when it adopts the user's locale.
class ScopedNumericLocale {
 public:
  explicit ScopedNumericLocale(const char* name) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    m_old = old ? old : "C";
    m_active = std::setlocale(LC_NUMERIC, name) != nullptr;
  }
  ~ScopedNumericLocale() { std::setlocale(LC_NUMERIC, m_old.c_str()); }
  ScopedNumericLocale(const ScopedNumericLocale&) = delete;
  ScopedNumericLocale& operator=(const ScopedNumericLocale&) = delete;
  bool active() const { return m_active; }

 private:
  std::string m_old;
  bool m_active = false;
};

}  // namespace voxtrellis::test
