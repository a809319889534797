#pragma once

#include <functional>
#include <optional>
#include <string>

namespace voxtrellis {

// The engine's logger: an immutable value naming a log subsystem and a
// category. Warnings and worse are written at once to standard error, one
// line per message and one write call per line, so they show up in a terminal
// without any log tooling. Every message also goes to the process-wide log
// sink, which is quiet unless a host program installs one.
//
// Thread safety: a logger may be copied and used from any thread.
class AppLogger {
 public:
  enum class Level : int { debug = 0, info = 1, notice = 2, warning = 3, error = 4, fault = 5 };

  // The level with the given raw value, none outside 0...5.
  static std::optional<Level> levelFromRawValue(int rawValue);
  // "DEBUG", "INFO", "NOTICE", "WARN", "ERROR", "FAULT".
  static const char* tag(Level level);

  // Subsystem used by loggers made with AppLogger(category). Read once when a
  // logger is made; set it, if at all, before loggers are made (no lock).
  static std::string& defaultSubsystem();

  // One message as handed to the sink.
  struct Record {
    std::string subsystem;
    std::string category;
    Level level;
    std::string message;
  };
  using Sink = std::function<void(const Record&)>;
  // Installs (or, with an empty function, removes) the process-wide sink. The
  // sink may be called from any thread at once and must not log itself.
  static void setSink(Sink sink);

  explicit AppLogger(std::string category);
  AppLogger(std::string subsystem, std::string category);

  const std::string& subsystem() const { return m_subsystem; }
  const std::string& category() const { return m_category; }

  void log(Level level, const std::string& message) const;
  void debug(const std::string& message) const { log(Level::debug, message); }
  void info(const std::string& message) const { log(Level::info, message); }
  void notice(const std::string& message) const { log(Level::notice, message); }
  void warning(const std::string& message) const { log(Level::warning, message); }
  void error(const std::string& message) const { log(Level::error, message); }
  void fault(const std::string& message) const { log(Level::fault, message); }

  // The standard-error line for a message at the given local time text
  // ("HH:mm:ss.SSS"), line feed included.
  static std::string consoleLine(const std::string& time, Level level, const std::string& category,
                                 const std::string& message);

 private:
  std::string m_subsystem;
  std::string m_category;
};

}  // namespace voxtrellis
