#include <voxtrellis/AppLogger.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include <unistd.h>

namespace voxtrellis {

namespace {

// The sink is swapped rarely and read on every message, so readers take a
// shared_ptr copy under a short lock instead of holding a lock while logging.
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<const AppLogger::Sink>& sinkSlot() {
  static std::shared_ptr<const AppLogger::Sink> slot;
  return slot;
}
std::atomic<bool> g_hasSink{false};

std::string currentTimeText() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return text;
}

}  // namespace

std::optional<AppLogger::Level> AppLogger::levelFromRawValue(int rawValue) {
  if (rawValue < 0 || rawValue > 5) return std::nullopt;
  return static_cast<Level>(rawValue);
}

const char* AppLogger::tag(Level level) {
  switch (level) {
    case Level::debug: return "DEBUG";
    case Level::info: return "INFO";
    case Level::notice: return "NOTICE";
    case Level::warning: return "WARN";
    case Level::error: return "ERROR";
    case Level::fault: return "FAULT";
  }
  return "INFO";
}

std::string& AppLogger::defaultSubsystem() {
  static std::string subsystem = "com.quillbrookline";
  return subsystem;
}

void AppLogger::setSink(Sink sink) {
  std::lock_guard lock(sinkMutex());
  if (sink) {
    sinkSlot() = std::make_shared<const Sink>(std::move(sink));
    g_hasSink.store(true);
  } else {
    sinkSlot().reset();
    g_hasSink.store(false);
  }
}

AppLogger::AppLogger(std::string category) : m_subsystem(defaultSubsystem()), m_category(std::move(category)) {}

AppLogger::AppLogger(std::string subsystem, std::string category)
    : m_subsystem(std::move(subsystem)), m_category(std::move(category)) {}

std::string AppLogger::consoleLine(const std::string& time, Level level, const std::string& category,
                                   const std::string& message) {
  std::string line;
  line.reserve(time.size() + category.size() + message.size() + 32);
  line += '[';
  line += time;
  line += "] [";
  line += tag(level);
  line += "] [Voxtrellis.";
  line += category;
  line += "] ";
  line += message;
  line += '\n';
  return line;
}

void AppLogger::log(Level level, const std::string& message) const {
  if (g_hasSink.load(std::memory_order_relaxed)) {
    std::shared_ptr<const Sink> sink;
    {
      std::lock_guard lock(sinkMutex());
      sink = sinkSlot();
    }
    if (sink) (*sink)(Record{m_subsystem, m_category, level, message});
  }
  if (level >= Level::warning) {
    const std::string line = consoleLine(currentTimeText(), level, m_category, message);
    // One write per line keeps lines from concurrent threads whole; nothing is retried.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  }
}

}  // namespace voxtrellis
