#include "Services/PlaybackDecoder.h"

#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/AudioFrameConverter.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace parlowvista {

namespace {

// Output frames one conversion step aims at: whatever the rates (a header may claim 1 Hz), a
// step converts at least one input sample and about this much output, never a whole packet's.
constexpr int kStepFrames = 4096;
// Past this many channels the decoder's output is mixed to one channel before the resampler,
// which only knows the positions of the common layouts.
constexpr int kMostResampledChannels = 8;
constexpr int kReadBlockBytes = 64 * 1024;

std::optional<voxtrellis::AudioFrameConverter::SampleType> sampleTypeOf(const QAudioFormat& format) {
  using SampleType = voxtrellis::AudioFrameConverter::SampleType;
  switch (format.sampleFormat()) {
    case QAudioFormat::Int16: return SampleType::int16;
    case QAudioFormat::Int32: return SampleType::int32;
    case QAudioFormat::Float: return SampleType::float32;
    default: return std::nullopt;
  }
}

}  // namespace

struct PlaybackDecoder::State {
  QString path;
  QAudioFormat format;
  int fd = -1;
  AVIOContext* io = nullptr;
  AVFormatContext* container = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  std::unique_ptr<voxtrellis::AudioFrameConverter> converter;
  int stream = -1;
  AVRational timeBase{1, 1};
  int64_t startTime = 0;  // the stream's first timestamp, in its time base
  double announced = 0;

  bool flushSent = false;  // the end of the input was told to the decoder
  bool codecDrained = false;
  bool resamplerDrained = false;
  bool failed = false;     // decoding stopped on an error
  bool frameHeld = false;  // `frame` holds input not converted yet, from `frameOffset` on
  int frameOffset = 0;
  int64_t nextInputSample = 0;  // of the next decoded frame, -1 when a seek left it unknown
  int64_t skipUntil = -1;       // input samples before this one are dropped (a seek's target)

  ~State() {
    closeContainer();
    if (fd >= 0) ::close(fd);
  }

  QString name() const { return QFileInfo(path).fileName(); }
  [[noreturn]] void fail(const QString& pattern) const { throw PlaybackError(pattern.arg(name())); }
  [[noreturn]] void cannotPlay(const QString& reason) const {
    throw PlaybackError(QStringLiteral("Cannot play %1: %2").arg(name(), reason));
  }

  static int readPacket(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<State*>(opaque);
    const ssize_t got = ::read(self->fd, buffer, std::size_t(size));
    if (got < 0) return AVERROR(errno);
    return got == 0 ? AVERROR_EOF : int(got);
  }
  static int64_t seekTo(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<State*>(opaque);
    if (whence & AVSEEK_SIZE) {
      struct stat info {};
      return ::fstat(self->fd, &info) == 0 ? int64_t(info.st_size) : AVERROR(errno);
    }
    const off_t landed = ::lseek(self->fd, offset, whence & ~AVSEEK_FORCE);
    return landed < 0 ? AVERROR(errno) : int64_t(landed);
  }

  void closeContainer() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&container);
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }

  // The descriptor is opened without waiting (a FIFO's open would wait for a writer) and
  // checked before anything reads from it.
  void openFile() {
    fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail(QStringLiteral("Cannot open audio file: %1"));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      fail(QStringLiteral("Cannot open audio file: %1 (not a regular file)"));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    openContainer();
  }

  // Reads the container from the descriptor's start; the file's name only helps tell formats
  // apart by their extension.
  void openContainer() {
    if (::lseek(fd, 0, SEEK_SET) < 0) fail(QStringLiteral("Cannot read audio file: %1"));
    auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBlockBytes));
    io = buffer ? avio_alloc_context(buffer, kReadBlockBytes, 0, this, &readPacket, nullptr, &seekTo) : nullptr;
    if (!io) {
      av_free(buffer);
      cannotPlay(QStringLiteral("out of memory"));
    }
    container = avformat_alloc_context();
    if (!container) cannotPlay(QStringLiteral("out of memory"));
    container->pb = io;
    container->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&container, QFile::encodeName(path).constData(), nullptr, nullptr) < 0) {
      fail(QStringLiteral("Cannot open audio file: %1"));
    }
    if (avformat_find_stream_info(container, nullptr) < 0) fail(QStringLiteral("Cannot read audio file: %1"));
    stream = av_find_best_stream(container, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0) fail(QStringLiteral("No audio stream in file: %1"));
    const AVStream* audio = container->streams[stream];
    timeBase = audio->time_base;
    startTime = audio->start_time == AV_NOPTS_VALUE ? 0 : audio->start_time;
    if (container->duration != AV_NOPTS_VALUE && container->duration > 0) {
      announced = double(container->duration) / AV_TIME_BASE;
    } else if (audio->duration != AV_NOPTS_VALUE && audio->duration > 0) {
      announced = double(audio->duration) * av_q2d(audio->time_base);
    }
    const AVCodec* decoder = avcodec_find_decoder(audio->codecpar->codec_id);
    if (!decoder) cannotPlay(QStringLiteral("no decoder for its audio"));
    codec = avcodec_alloc_context3(decoder);
    if (!codec || avcodec_parameters_to_context(codec, audio->codecpar) < 0) {
      cannotPlay(QStringLiteral("no decoder for its audio"));
    }
    codec->pkt_timebase = timeBase;
    if (avcodec_open2(codec, decoder, nullptr) < 0) cannotPlay(QStringLiteral("no decoder for its audio"));
    if (codec->sample_rate <= 0 || codec->ch_layout.nb_channels <= 0) {
      cannotPlay(QStringLiteral("its audio has no sample rate or channels"));
    }
    if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      const int channels = codec->ch_layout.nb_channels;
      av_channel_layout_uninit(&codec->ch_layout);
      av_channel_layout_default(&codec->ch_layout, channels);
    }
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!packet || !frame) cannotPlay(QStringLiteral("out of memory"));
  }

  void seek(double seconds) {
    // A container read again for an earlier seek that could not be opened then is gone.
    if (!codec) cannotPlay(QStringLiteral("its audio cannot be read again"));
    seconds = std::max(0.0, seconds);
    flushSent = codecDrained = resamplerDrained = failed = false;
    dropFrame();
    skipUntil = std::llround(seconds * codec->sample_rate);
    const int64_t target = av_rescale_q(std::llround(seconds * AV_TIME_BASE), AV_TIME_BASE_Q, timeBase) + startTime;
    if (av_seek_frame(container, stream, target, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(codec);
      nextInputSample = -1;
    } else {
      // A container that cannot seek is read again from its start, up to the target.
      closeContainer();
      openContainer();
      nextInputSample = 0;
    }
    // What the converter still holds belongs to the old position.
    converter->reset();
  }

  void dropFrame() {
    if (frameHeld) av_frame_unref(frame);
    frameHeld = false;
    frameOffset = 0;
  }

  // Converts the held frame's next slice (or, without one, drains the converter) into `out`.
  void convertStep(QByteArray& out) {
    voxtrellis::AudioFrameConverter::Output converted;
    try {
      if (frameHeld) {
        const int64_t perStep = int64_t(kStepFrames) * frame->sample_rate / format.sampleRate();
        const int inputSamples = int(std::clamp<int64_t>(perStep, 1, frame->nb_samples - frameOffset));
        converted = converter->convert(*frame, frameOffset, inputSamples);
        frameOffset += inputSamples;
        if (frameOffset >= frame->nb_samples) dropFrame();
      } else {
        converted = converter->drain();
      }
    } catch (const voxtrellis::AudioConverterError&) {
      // A part of the stream in a format nothing converts: it ends there, and says so.
      qWarning().noquote() << "[PlaybackDecoder] No conversion for the audio of" << name();
      dropFrame();
      failed = true;
      codecDrained = resamplerDrained = true;
      return;
    }
    out.append(reinterpret_cast<const char*>(converted.data),
               qsizetype(converted.frames) * qsizetype(converter->bytesPerFrame()));
  }

  // Takes the decoded frame in: drops what lies before a seek's target.
  void take() {
    int64_t first = nextInputSample >= 0 ? nextInputSample : std::max<int64_t>(skipUntil, 0);
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
      first = av_rescale_q(frame->best_effort_timestamp - startTime, timeBase, AVRational{1, codec->sample_rate});
    }
    nextInputSample = first + frame->nb_samples;
    int from = 0;
    if (skipUntil >= 0) {
      if (nextInputSample <= skipUntil) {
        av_frame_unref(frame);
        return;
      }
      from = static_cast<int>(std::max<int64_t>(skipUntil - first, 0));
      skipUntil = -1;
    }
    frameHeld = true;
    frameOffset = from;
  }

  bool decode(QByteArray& out, qsizetype wanted) {
    if (!codec) {
      failed = true;
      return false;
    }
    const qsizetype target = out.size() + wanted;
    while (out.size() < target) {
      if (frameHeld) {
        convertStep(out);
        continue;
      }
      if (codecDrained) {
        if (resamplerDrained) return false;
        resamplerDrained = true;
        convertStep(out);
        continue;
      }
      const int received = avcodec_receive_frame(codec, frame);
      if (received == 0) {
        if (frame->nb_samples > 0) {
          take();
        } else {
          av_frame_unref(frame);
        }
        continue;
      }
      if (received == AVERROR_EOF) {
        codecDrained = true;
        continue;
      }
      if (received != AVERROR(EAGAIN) || flushSent) {
        if (received != AVERROR(EAGAIN)) {
          qWarning().noquote() << "[PlaybackDecoder] Decoding stopped early:" << name();
          failed = true;
        }
        codecDrained = true;
        continue;
      }
      if (const int read = av_read_frame(container, packet); read < 0) {
        // The end of the file; a read error ends it too, and is said once what was decoded
        // has played.
        if (read != AVERROR_EOF) failed = true;
        flushSent = true;
        avcodec_send_packet(codec, nullptr);
        continue;
      }
      // A damaged packet is skipped, as players do; the rest of the file still plays.
      if (packet->stream_index == stream) avcodec_send_packet(codec, packet);
      av_packet_unref(packet);
    }
    return true;
  }
};

PlaybackDecoder::PlaybackDecoder(const QString& path, const QAudioFormat& format) : m_state(std::make_unique<State>()) {
  m_state->path = path;
  m_state->format = format;
  const auto sampleType = sampleTypeOf(format);
  if (!format.isValid() || !sampleType) m_state->cannotPlay(QStringLiteral("unsupported output format"));
  voxtrellis::AudioFrameConverter::Target target;
  target.sampleRate = format.sampleRate();
  target.channelCount = format.channelCount();
  target.sampleType = *sampleType;
  target.mixAbove = kMostResampledChannels;
  m_state->converter = std::make_unique<voxtrellis::AudioFrameConverter>(target);
  m_state->openFile();
}

PlaybackDecoder::~PlaybackDecoder() = default;

const QAudioFormat& PlaybackDecoder::format() const {
  return m_state->format;
}

double PlaybackDecoder::announcedDuration() const {
  return m_state->announced;
}

bool PlaybackDecoder::announcesExactly() const {
  const State& d = *m_state;
  if (!d.container || !d.codec) return false;
  // Samples of a fixed size: the length follows from the file's size, and seeks land exactly.
  return d.container->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE ||
         av_get_exact_bits_per_sample(d.codec->codec_id) > 0;
}

void PlaybackDecoder::seek(double seconds) {
  m_state->seek(seconds);
}

bool PlaybackDecoder::decode(QByteArray& out, qsizetype wanted) {
  return m_state->decode(out, wanted);
}

bool PlaybackDecoder::stoppedOnError() const {
  return m_state->failed;
}

}  // namespace parlowvista
