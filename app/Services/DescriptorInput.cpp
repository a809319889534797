#include "Services/DescriptorInput.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace parlowvista {

namespace {
constexpr int kReadBlockBytes = 64 * 1024;
}

DescriptorInput::DescriptorInput(int fd, QByteArray name) : m_fd(fd), m_name(std::move(name)) {}

DescriptorInput::~DescriptorInput() {
  avformat_close_input(&m_container);
  if (m_io) av_freep(&m_io->buffer);
  avio_context_free(&m_io);
}

int DescriptorInput::open(int flags) {
  m_position = 0;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBlockBytes));
  m_io = buffer ? avio_alloc_context(buffer, kReadBlockBytes, 0, this, &read, nullptr, &seek) : nullptr;
  if (!m_io) {
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  m_container = avformat_alloc_context();
  if (!m_container) return AVERROR(ENOMEM);
  m_container->pb = m_io;
  m_container->flags |= AVFMT_FLAG_CUSTOM_IO | flags;
  // On failure the context is freed and the pointer cleared; the I/O context stays ours.
  return avformat_open_input(&m_container, m_name.constData(), nullptr, nullptr);
}

int DescriptorInput::read(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<DescriptorInput*>(opaque);
  const ssize_t got = ::pread(self->m_fd, buffer, std::size_t(size), self->m_position);
  if (got < 0) return AVERROR(errno);
  if (got == 0) return AVERROR_EOF;
  self->m_position += got;
  return int(got);
}

int64_t DescriptorInput::seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<DescriptorInput*>(opaque);
  struct stat info {};
  if ((whence & AVSEEK_SIZE) || (whence & ~AVSEEK_FORCE) == SEEK_END) {
    if (::fstat(self->m_fd, &info) != 0) return AVERROR(errno);
    if (whence & AVSEEK_SIZE) return int64_t(info.st_size);
  }
  int64_t position = offset;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: break;
    case SEEK_CUR: position += self->m_position; break;
    case SEEK_END: position += int64_t(info.st_size); break;
    default: return AVERROR(EINVAL);
  }
  // A place the file cannot have is refused as FFmpeg's own file reading refuses it (the system's
  // lseek says so; the descriptor's offset is nobody's, every read says where it reads): a reader
  // told to skip past an absurd chunk size goes on from where it was, and the player takes the
  // files the loader takes.
  if (position < 0 || ::lseek(self->m_fd, position, SEEK_SET) < 0) return AVERROR(EINVAL);
  self->m_position = position;
  return position;
}

}  // namespace parlowvista
