#pragma once

// Helpers the benchmark programs share: a scratch folder kept between runs,
// large audio files made there once, wall-clock seconds and memory figures.
#include "Shared/SystemInfo.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace bench {

namespace fs = std::filesystem;

// $TMPDIR/voxtrellis-bench (or /tmp/...), created when missing.
inline fs::path benchFolder() {
  const char* tmp = std::getenv("TMPDIR");
  fs::path folder = fs::path(tmp && *tmp ? tmp : "/tmp") / "voxtrellis-bench";
  fs::create_directories(folder);
  return folder;
}

// `name` inside benchFolder(), made by `ffmpeg <inputsAndOptions>` when it is
// not there yet; empty when the tool fails. The tool writes to a side file
// that is renamed at the end, so an interrupted run never leaves half a file.
inline fs::path ffmpegMadeFile(const std::string& name, const std::string& inputsAndOptions) {
  const fs::path file = benchFolder() / name;
  if (!fs::exists(file)) {
    const std::string partial = file.string() + ".part" + file.extension().string();
    const std::string command = "ffmpeg -nostdin -loglevel error -y " + inputsAndOptions + " '" + partial +
                                "' && mv '" + partial + "' '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
  }
  return file;
}

inline double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Lets the peak resident size (VmHWM) start again from the current one.
inline void resetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// Resident and peak resident memory of the process in MiB, 0 when unreadable.
inline double currentMiB() {
  return static_cast<double>(voxtrellis::SystemInfo::currentResidentMemoryBytes().value_or(0)) / (1024.0 * 1024.0);
}
inline double peakMiB() {
  return static_cast<double>(voxtrellis::SystemInfo::peakResidentMemoryBytes().value_or(0)) / (1024.0 * 1024.0);
}

}  // namespace bench
