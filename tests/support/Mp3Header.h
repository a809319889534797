#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

// Makes the Info (or Xing) header of an MP3 that ffmpeg wrote state `frames` MPEG frames
// (the big-endian count after the header's flags), whatever the file holds. False when the
// file has no such header.
inline bool setMp3FrameCount(const std::filesystem::path& path, uint32_t frames) {
  const std::string bytes = readFile(path);
  auto tag = bytes.find("Info");
  if (tag == std::string::npos) tag = bytes.find("Xing");
  if (tag == std::string::npos) return false;
  const char value[4] = {char(frames >> 24), char(frames >> 16), char(frames >> 8), char(frames)};
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(tag + 8));
  file.write(value, 4);
  return bool(file);
}

}  // namespace testsupport
