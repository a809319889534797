#include "Services/PlaybackDecoder.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace parlowvista {

namespace {

// Output frames one conversion step aims at: whatever the rates (a header may claim 1 Hz), a
// step converts at least one input sample and about this much output, never a whole packet's.
constexpr int kStepFrames = 4096;
// Past this many channels the decoder's output is mixed to one channel here before the
// resampler, which only knows the positions of the common layouts.
constexpr int kMostResampledChannels = 8;
constexpr int kReadBlockBytes = 64 * 1024;

AVSampleFormat sampleFormatOf(const QAudioFormat& format) {
  switch (format.sampleFormat()) {
    case QAudioFormat::Int16: return AV_SAMPLE_FMT_S16;
    case QAudioFormat::Int32: return AV_SAMPLE_FMT_S32;
    case QAudioFormat::Float: return AV_SAMPLE_FMT_FLT;
    default: return AV_SAMPLE_FMT_NONE;
  }
}

// Adds `count` samples of one channel, from sample `from` on, as floats into `mix`.
template <typename Sample>
void addChannel(const uint8_t* base, int stride, int from, int count, double scale, double offset, float* mix) {
  for (int i = 0; i < count; ++i) {
    Sample value;
    std::memcpy(&value, base + std::size_t(from + i) * stride, sizeof value);
    mix[i] += float((double(value) - offset) * scale);
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
  SwrContext* resampler = nullptr;
  int stream = -1;
  AVRational timeBase{1, 1};
  int64_t startTime = 0;  // the stream's first timestamp, in its time base
  double announced = 0;
  bool mixToOne = false;     // more channels than the resampler is given: mixed here first
  std::vector<float> mixed;  // one step's mixed input

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
    swr_free(&resampler);
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
    prepareResampler();
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!packet || !frame) cannotPlay(QStringLiteral("out of memory"));
  }

  void prepareResampler() {
    mixToOne = codec->ch_layout.nb_channels > kMostResampledChannels;
    AVChannelLayout inLayout{};
    if (mixToOne) {
      av_channel_layout_default(&inLayout, 1);
    } else {
      av_channel_layout_copy(&inLayout, &codec->ch_layout);
    }
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, format.channelCount());
    const int made =
        swr_alloc_set_opts2(&resampler, &outLayout, sampleFormatOf(format), format.sampleRate(), &inLayout,
                            mixToOne ? AV_SAMPLE_FMT_FLT : codec->sample_fmt, codec->sample_rate, 0, nullptr);
    // One channel goes to every speaker at its own level (the converter takes a mono source for
    // a centre speaker and lowers it by 3 dB on the way to left and right).
    bool mixed = true;
    if (made >= 0 && resampler && inLayout.nb_channels == 1) {
      const std::vector<double> everySpeaker(static_cast<std::size_t>(outLayout.nb_channels), 1.0);
      mixed = swr_set_matrix(resampler, everySpeaker.data(), 1) >= 0;
    }
    av_channel_layout_uninit(&outLayout);
    av_channel_layout_uninit(&inLayout);
    if (made < 0 || !resampler || !mixed || swr_init(resampler) < 0)
      cannotPlay(QStringLiteral("no conversion for its audio"));
  }

  int bytesPerFrame() const { return format.bytesPerFrame(); }

  void seek(double seconds) {
    // A container read again for an earlier seek that could not be opened then is gone.
    if (!codec || !resampler) cannotPlay(QStringLiteral("its audio cannot be read again"));
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
    // What the resampler still holds belongs to the old position.
    swr_close(resampler);
    if (swr_init(resampler) < 0) cannotPlay(QStringLiteral("no conversion for its audio"));
  }

  void dropFrame() {
    if (frameHeld) av_frame_unref(frame);
    frameHeld = false;
    frameOffset = 0;
  }

  // The decoded frame's samples [from, from + count) mixed into one channel, in `mixed`.
  void mixDown(int from, int count) {
    mixed.assign(std::size_t(count), 0.0f);
    const auto sampleFormat = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(sampleFormat);
    const int channels = frame->ch_layout.nb_channels;
    const int bytes = av_get_bytes_per_sample(sampleFormat);
    const int stride = planar ? bytes : bytes * channels;
    for (int c = 0; c < channels; ++c) {
      const uint8_t* base = planar ? frame->extended_data[c] : frame->extended_data[0] + std::size_t(c) * bytes;
      switch (av_get_packed_sample_fmt(sampleFormat)) {
        case AV_SAMPLE_FMT_U8: addChannel<uint8_t>(base, stride, from, count, 1.0 / 128, 128, mixed.data()); break;
        case AV_SAMPLE_FMT_S16: addChannel<int16_t>(base, stride, from, count, 1.0 / 32768, 0, mixed.data()); break;
        case AV_SAMPLE_FMT_S32:
          addChannel<int32_t>(base, stride, from, count, 1.0 / 2147483648.0, 0, mixed.data());
          break;
        case AV_SAMPLE_FMT_S64:
          addChannel<int64_t>(base, stride, from, count, 1.0 / 9.2233720368547758e18, 0, mixed.data());
          break;
        case AV_SAMPLE_FMT_FLT: addChannel<float>(base, stride, from, count, 1.0, 0, mixed.data()); break;
        case AV_SAMPLE_FMT_DBL: addChannel<double>(base, stride, from, count, 1.0, 0, mixed.data()); break;
        default: return;
      }
    }
    for (float& sample : mixed) sample /= float(channels);
  }

  // Converts the held frame's next slice (or, without one, drains the resampler) into `out`.
  void convertStep(QByteArray& out) {
    int inputSamples = 0;
    std::vector<const uint8_t*> planes;
    if (frameHeld) {
      const int64_t perStep = int64_t(kStepFrames) * codec->sample_rate / format.sampleRate();
      inputSamples = int(std::clamp<int64_t>(perStep, 1, frame->nb_samples - frameOffset));
      if (mixToOne) {
        mixDown(frameOffset, inputSamples);
        planes.push_back(reinterpret_cast<const uint8_t*>(mixed.data()));
      } else {
        const auto sampleFormat = static_cast<AVSampleFormat>(frame->format);
        const bool planar = av_sample_fmt_is_planar(sampleFormat);
        const int channels = frame->ch_layout.nb_channels;
        const int stride = av_get_bytes_per_sample(sampleFormat) * (planar ? 1 : channels);
        for (int p = 0; p < (planar ? channels : 1); ++p) {
          planes.push_back(frame->extended_data[p] + std::size_t(frameOffset) * stride);
        }
      }
    }
    const int room = swr_get_out_samples(resampler, inputSamples);
    if (room > 0) {
      const qsizetype before = out.size();
      out.resize(before + qsizetype(room) * bytesPerFrame());
      auto* target = reinterpret_cast<uint8_t*>(out.data() + before);
      const int converted =
          swr_convert(resampler, &target, room, frameHeld ? planes.data() : nullptr, frameHeld ? inputSamples : 0);
      out.resize(before + qsizetype(std::max(converted, 0)) * bytesPerFrame());
    } else if (frameHeld) {
      swr_convert(resampler, nullptr, 0, planes.data(), inputSamples);
    }
    if (frameHeld) {
      frameOffset += inputSamples;
      if (frameOffset >= frame->nb_samples) dropFrame();
    }
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
    if (!codec || !resampler) {
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
  if (!format.isValid() || sampleFormatOf(format) == AV_SAMPLE_FMT_NONE) {
    m_state->cannotPlay(QStringLiteral("unsupported output format"));
  }
  m_state->openFile();
}

PlaybackDecoder::~PlaybackDecoder() = default;

const QAudioFormat& PlaybackDecoder::format() const {
  return m_state->format;
}

double PlaybackDecoder::announcedDuration() const {
  return m_state->announced;
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
