#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/AudioFrameConverter.h>
#include <voxtrellis/StreamingAudioSampleSource.h>
#include <voxtrellis/TemporaryDirectory.h>

#include "Shared/AudioFileDecoder.h"
#include "Shared/Elapsed.h"
#include "Shared/NumberText.h"
#include "Shared/Uuid.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
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
  return voxtrellis::temporaryDirectory();
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

    try {
      // Refuses rates too low to resample, which also bounds what one block of input becomes.
      decoder.checkResampling(targetSampleRate);
    } catch (const AudioFileError&) {
      throw StreamingAudioError::processingFailed("Unsupported audio format " + std::to_string(decoder.channelCount()) +
                                                  " ch, " + std::to_string(decoder.sampleRate()) +
                                                  " Hz; failed to create converter");
    }
    m_logger.debug("Streaming conversion " + shortestDecimal(decoder.sampleRate()) + "Hz×" +
                   std::to_string(decoder.channelCount()) + "ch → " + shortestDecimal(targetSampleRate) + "Hz×1ch");

    int64_t written = 0;
    try {
      // Every frame in its own format: a stream may change its layout or rate midway.
      AudioFrameConverter::Target target;
      target.sampleRate = targetSampleRate;
      target.mixAbove = 2;
      target.maxUpsampling = AudioFileDecoder::kMaxUpsampling;
      AudioFrameConverter converter(target);
      auto write = [&](const AudioFrameConverter::Output& output) {
        writeAll(tempFile.fd(), reinterpret_cast<const float*>(output.data), static_cast<std::size_t>(output.frames));
        written += output.frames;
      };
      for (;;) {
        const AVFrame* frame = nullptr;
        try {
          frame = decoder.nextFrame();
        } catch (const AudioFileError& e) {
          throw StreamingAudioError::processingFailed(std::string("Failed while reading audio: ") + e.what());
        }
        if (!frame) break;
        // In blocks, so that what one conversion gives stays bounded whatever the frame's size.
        for (int from = 0; from < frame->nb_samples; from += kBlockFrames) {
          write(converter.convert(*frame, from, std::min(kBlockFrames, frame->nb_samples - from)));
        }
      }
      write(converter.drain());
    } catch (const AudioConverterError& e) {
      const bool described = e.code() == AudioConverterError::Code::conversionFailed;
      const std::string text = (described ? std::string() : std::string("Audio conversion failed: ")) + e.what();
      m_logger.error("Streaming conversion failed before file mapping: " + text);
      throw StreamingAudioError::processingFailed(text);
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
