#pragma once

#include <QByteArray>

#include <cstdint>

struct AVFormatContext;
struct AVIOContext;

namespace parlowvista {

// An FFmpeg container read from an open descriptor at a position of its own (pread), so that
// several containers may read one file at once, also once the file is deleted or replaced. The
// file's name only helps tell formats apart by their extension. Not thread-safe.
class DescriptorInput {
 public:
  DescriptorInput(int fd, QByteArray name);
  ~DescriptorInput();
  DescriptorInput(const DescriptorInput&) = delete;
  DescriptorInput& operator=(const DescriptorInput&) = delete;

  // Opens the container from the file's start with the given AVFMT_FLAG_* flags. Returns 0, or
  // FFmpeg's error: AVERROR(ENOMEM), or why the container could not be opened.
  int open(int flags);
  // The open container; null before open() succeeded.
  AVFormatContext* container() const { return m_container; }

 private:
  static int read(void* opaque, uint8_t* buffer, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);

  int m_fd;
  QByteArray m_name;
  int64_t m_position = 0;
  AVIOContext* m_io = nullptr;
  AVFormatContext* m_container = nullptr;
};

}  // namespace parlowvista
