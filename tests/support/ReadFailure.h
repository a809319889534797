#pragma once

#include <cstdint>
#include <filesystem>

namespace testsupport {

// Reads of one file that fail as those of a failing disk, an SD card or a network share gone
// away do: while a ReadFailure lives, every read of the file (found by its device and inode,
// through any descriptor: read(), pread()) from byte `from` on fails with EIO, and a read across
// `from` stops short there. Its source, linked into a test program, defines the program's own
// read() and pread(), which stand in front of the C library's for every library of the process
// (FFmpeg's reading of a file, the player's descriptor) and pass any other read through. Child
// processes are not touched. One at a time; made and ended on one thread, the reads on any.
class ReadFailure {
 public:
  ReadFailure(const std::filesystem::path& file, std::int64_t from);
  ~ReadFailure();
  ReadFailure(const ReadFailure&) = delete;
  ReadFailure& operator=(const ReadFailure&) = delete;

  // Reads that failed so far.
  static int failures();
};

}  // namespace testsupport
