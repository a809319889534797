#pragma once

#include "Shared/AppLogger.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace voxtrellis {

// What this host is, in one line, and the process's memory figures.
namespace SystemInfo {

// Fixed for the build: this engine runs on x86_64 and 64-bit ARM Linux; the
// Apple-specific flags are honest about it.
bool isAppleSilicon();
bool isIntelMac();

// "Linux <kernel release>, arch=<machine>, chip=<cpu model>, cores=<online>/<configured>,
// mem=<physical memory>". Never fails.
std::string summary();

// Resident and peak resident memory of the process in bytes, none when unreadable.
std::optional<uint64_t> currentResidentMemoryBytes();
std::optional<uint64_t> peakResidentMemoryBytes();

// Logs "Host environment: " + summary() at info level the first time only,
// whichever caller and thread comes first.
class HostLine {
 public:
  void logOnce(const AppLogger& logger);

 private:
  std::once_flag m_once;
};

// The process-wide HostLine: the host line appears once per process.
void logOnce(const AppLogger& logger);

// Memory text in units of 1024 bytes ("16 GB", "15.5 GB", "512 MB").
std::string formatMemory(uint64_t bytes);

// First "model name" (or "Hardware"/"Model") value of a /proc/cpuinfo text, else "UnknownChip".
std::string chipName(const std::string& cpuinfo);

}  // namespace SystemInfo

// Fixed dimensions of the recognition models.
namespace ASRConstants {
inline constexpr int melHopSize = 160;
inline constexpr int encoderSubsampling = 8;
inline constexpr int samplesPerEncoderFrame = melHopSize * encoderSubsampling;  // 1280, 80 ms at 16 kHz
inline constexpr int encoderHiddenSize = 1024;
inline constexpr int decoderHiddenSize = 640;
inline constexpr double highWERThreshold = 0.15;

// Encoder frames covering `sampleCount` samples, rounded up; 0 for 0 or less.
inline constexpr int64_t calculateEncoderFrames(int64_t sampleCount) {
  return sampleCount <= 0 ? 0 : (sampleCount + samplesPerEncoderFrame - 1) / samplesPerEncoderFrame;
}
}  // namespace ASRConstants

}  // namespace voxtrellis
