#include "Shared/SystemInfo.h"

#include "Shared/NumberText.h"

#include <fstream>
#include <sstream>

#include <sys/utsname.h>
#include <unistd.h>

namespace voxtrellis::SystemInfo {

namespace {

std::string readText(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string trim(std::string s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  const auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

// A "VmRSS:   1234 kB" style field of /proc/self/status, in bytes.
std::optional<uint64_t> statusField(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::istringstream values(line.substr(field.size() + 1));
      uint64_t kilobytes = 0;
      if (values >> kilobytes) return kilobytes * 1024;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace

bool isAppleSilicon() {
  return false;
}
bool isIntelMac() {
  return false;
}

std::string chipName(const std::string& cpuinfo) {
  for (const char* key : {"model name", "Hardware", "Model"}) {
    std::istringstream lines(cpuinfo);
    std::string line;
    while (std::getline(lines, line)) {
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      if (trim(line.substr(0, colon)) == key) {
        const std::string value = trim(line.substr(colon + 1));
        if (!value.empty()) return value;
      }
    }
  }
  return "UnknownChip";
}

std::string formatMemory(uint64_t bytes) {
  static const char* units[] = {"bytes", "KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024.0 && unit < 5) {
    value /= 1024.0;
    ++unit;
  }
  const bool whole = unit == 0 || value >= 100.0 || value == static_cast<double>(static_cast<uint64_t>(value));
  return formatFixed(value, whole ? 0 : 1) + " " + units[unit];
}

std::string summary() {
  struct utsname name {};
  std::string release = "unknown", machine = "unknown";
  if (uname(&name) == 0) {
    release = name.release;
    machine = name.machine;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  const uint64_t memory =
      pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
  return "Linux " + release + ", arch=" + machine + ", chip=" + chipName(readText("/proc/cpuinfo")) +
         ", cores=" + std::to_string(online) + "/" + std::to_string(configured) + ", mem=" + formatMemory(memory);
}

std::optional<uint64_t> currentResidentMemoryBytes() {
  return statusField("VmRSS");
}
std::optional<uint64_t> peakResidentMemoryBytes() {
  return statusField("VmHWM");
}

void HostLine::logOnce(const AppLogger& logger) {
  std::call_once(m_once, [&] { logger.info("Host environment: " + summary()); });
}

void logOnce(const AppLogger& logger) {
  static HostLine line;
  line.logOnce(logger);
}

}  // namespace voxtrellis::SystemInfo
