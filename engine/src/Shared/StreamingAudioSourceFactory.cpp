#include <voxtrellis/StreamingAudioSampleSource.h>

#include "Shared/AudioFileDecoder.h"
#include "Shared/Elapsed.h"
#include "Shared/NumberText.h"
#include "Shared/Uuid.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace voxtrellis {

namespace {

constexpr int kBlockFrames = 16384;

// Closes the handle and, unless released, removes the file: a failed build
// never leaves its temporary file behind.
class TemporaryFile {
 public:
  TemporaryFile(std::filesystem::path path, int fd) : m_path(std::move(path)), m_fd(fd) {}
  ~TemporaryFile() {
    closeHandle();
    if (!m_kept) {
      std::error_code ignored;
      std::filesystem::remove(m_path, ignored);
    }
  }
  int fd() const { return m_fd; }
  bool closeHandle() {
    if (m_fd < 0) return true;
    const bool ok = ::close(m_fd) == 0;
    m_fd = -1;
    return ok;
  }
  void keep() { m_kept = true; }

 private:
  std::filesystem::path m_path;
  int m_fd;
  bool m_kept = false;
};

void writeAll(int fd, const float* data, std::size_t count) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  std::size_t left = count * sizeof(float);
  while (left > 0) {
    const ssize_t written = ::write(fd, bytes, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw StreamingAudioError::processingFailed("Streaming audio source creation failed: " +
                                                  std::string(std::strerror(errno)));
    }
    bytes += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

StreamingAudioSourceFactory::StreamingAudioSourceFactory() : m_logger("StreamingAudioSourceFactory") {}

std::filesystem::path StreamingAudioSourceFactory::temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? std::filesystem::path(dir) : std::filesystem::path("/tmp");
}

StreamingAudioSourceFactory::Result StreamingAudioSourceFactory::makeDiskBackedSource(const std::filesystem::path& file,
                                                                                      int targetSampleRate) const {
  const auto started = std::chrono::steady_clock::now();
  try {
    if (targetSampleRate < 1) {
      throw StreamingAudioError::processingFailed("Invalid target sample rate " + std::to_string(targetSampleRate));
    }
    AudioFileDecoder decoder(file.string());

    const std::filesystem::path temp = temporaryDirectory() / ("voxtrellis-streaming-" + makeUuidString() + ".raw");
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
      throw StreamingAudioError::processingFailed("Failed to create temporary audio buffer at " + temp.string());
    TemporaryFile tempFile(temp, fd);

    SwrHandle swr;
    try {
      // Refuses rates too low to resample, which also bounds the block buffer
      // below to kMaxUpsampling × kBlockFrames samples.
      swr.reset(decoder.makeResampler(targetSampleRate, 1, true));
    } catch (const AudioFileError&) {
      throw StreamingAudioError::processingFailed("Unsupported audio format " + std::to_string(decoder.channelCount()) +
                                                  " ch, " + std::to_string(decoder.sampleRate()) +
                                                  " Hz; failed to create converter");
    }
    m_logger.debug("Streaming conversion " + shortestDecimal(decoder.sampleRate()) + "Hz×" +
                   std::to_string(decoder.channelCount()) + "ch → " + shortestDecimal(targetSampleRate) + "Hz×1ch");

    int64_t written = 0;
    try {
      const int outputCapacity = std::max(
          1024, static_cast<int>((static_cast<int64_t>(targetSampleRate) * kBlockFrames + decoder.sampleRate() - 1) /
                                 decoder.sampleRate()));
      std::vector<float> output(static_cast<std::size_t>(outputCapacity));
      auto convert = [&](const uint8_t* const* data, int frames) {
        const int room = std::max(outputCapacity, swr_get_out_samples(swr.get(), frames));
        if (static_cast<std::size_t>(room) > output.size()) output.resize(static_cast<std::size_t>(room));
        uint8_t* out = reinterpret_cast<uint8_t*>(output.data());
        const int produced = swr_convert(swr.get(), &out, room, const_cast<const uint8_t**>(data), frames);
        if (produced < 0) {
          throw StreamingAudioError::processingFailed("Audio conversion failed: " + ffmpegErrorText(produced));
        }
        writeAll(tempFile.fd(), output.data(), static_cast<std::size_t>(produced));
        written += produced;
        return produced;
      };
      for (;;) {
        const AVFrame* frame = nullptr;
        try {
          frame = decoder.nextFrame();
        } catch (const AudioFileError& e) {
          throw StreamingAudioError::processingFailed(std::string("Failed while reading audio: ") + e.what());
        }
        if (!frame) break;
        convert(frame->extended_data, frame->nb_samples);
      }
      while (convert(nullptr, 0) > 0) {
      }
    } catch (const StreamingAudioError& e) {
      m_logger.error(std::string("Streaming conversion failed before file mapping: ") + e.what());
      throw;
    }

    if (!tempFile.closeHandle()) {
      throw StreamingAudioError::processingFailed("Streaming audio source creation failed: " +
                                                  std::string(std::strerror(errno)));
    }
    std::error_code sizeError;
    const auto size = std::filesystem::file_size(temp, sizeError);
    if (!sizeError) m_logger.debug("Streaming audio temp file size=" + std::to_string(size) + " bytes");
    m_logger.debug("Streaming audio total samples=" + std::to_string(written));

    DiskBackedAudioSampleSource source = DiskBackedAudioSampleSource::map(temp);
    if (source.sampleCount() != written) {
      m_logger.warning("Mapped sample count mismatch (reported=" + std::to_string(source.sampleCount()) +
                       ", tracked=" + std::to_string(written) + "); continuing");
    }
    tempFile.keep();
    const double seconds = secondsSince(started);
    return Result{std::move(source), seconds};
  } catch (const StreamingAudioError&) {
    throw;
  } catch (const std::exception& e) {
    const std::string text = std::string("Streaming audio source creation failed: ") + e.what();
    m_logger.error(text);
    throw StreamingAudioError::processingFailed(text);
  }
}

}  // namespace voxtrellis
