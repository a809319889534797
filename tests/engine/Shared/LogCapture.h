#pragma once

#include <voxtrellis/AppLogger.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace voxtrellis::test {

// Installs a log sink for the object's lifetime and keeps every record.
class LogCapture {
 public:
  LogCapture() {
    AppLogger::setSink([this](const AppLogger::Record& record) {
      std::lock_guard lock(m_mutex);
      m_records.push_back(record);
    });
  }
  ~LogCapture() { AppLogger::setSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<AppLogger::Record> records() {
    std::lock_guard lock(m_mutex);
    return m_records;
  }
  std::vector<std::string> messages(const std::string& category = {}) {
    std::vector<std::string> out;
    for (const auto& r : records()) {
      if (category.empty() || r.category == category) out.push_back(r.message);
    }
    return out;
  }
  int countStartingWith(const std::string& prefix) {
    int n = 0;
    for (const auto& m : messages()) n += m.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  bool contains(const std::string& message) {
    const auto all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
  }
  // Whether a record of this level has `text` anywhere in its message.
  bool contains(AppLogger::Level level, const std::string& text) {
    for (const auto& r : records()) {
      if (r.level == level && r.message.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex m_mutex;
  std::vector<AppLogger::Record> m_records;
};

}  // namespace voxtrellis::test
