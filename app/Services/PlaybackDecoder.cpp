#include "Services/PlaybackDecoder.h"

#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/AudioFrameConverter.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

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
// Stamps between two decoded frames longer than this hold no sound (a gap); shorter ones are
// the rounding of a container's time base.
constexpr double kLeastGapSeconds = 0.001;

std::optional<voxtrellis::AudioFrameConverter::SampleType> sampleTypeOf(const QAudioFormat& format) {
  using SampleType = voxtrellis::AudioFrameConverter::SampleType;
  switch (format.sampleFormat()) {
    case QAudioFormat::Int16: return SampleType::int16;
    case QAudioFormat::Int32: return SampleType::int32;
    case QAudioFormat::Float: return SampleType::float32;
    default: return std::nullopt;
  }
}

// The length of an ADTS frame as its own header states it, in seconds; 0 when the packet does
// not start with such a header.
double adtsFrameSeconds(const AVPacket& packet) {
  static constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};
  if (packet.size < 7 || packet.data[0] != 0xFF || (packet.data[1] & 0xF6) != 0xF0) return 0;
  const int rate = (packet.data[2] >> 2) & 0x0F;
  if (rate >= int(std::size(kRates))) return 0;
  const int blocks = (packet.data[6] & 0x03) + 1;
  return 1024.0 * blocks / kRates[rate];
}

// Where the stamps of a stream's packets lie in the file's seconds: the seconds of its decoded
// sound, as the loader and the ffmpeg tool count them. The two part in files joined end to end:
// - FFmpeg's reader of raw ADTS AAC stamps every packet at the rate its first header states, so
//   where the rate changes the later stamps run fast or slow. Each ADTS header states its own
//   rate: stretches of packets whose stamps run at one speed, from a pass over the packets.
// - Stamps that decode to no sound (a joined MP3's header frame, padding the decoder drops) are
//   no seconds of the file: gaps, found as the sound is decoded.
// Without either, the stamps are the file's seconds.
class FileTimeline {
 public:
  double secondsAt(double stamped) const {
    const double scaled = scaledAt(stamped);
    return scaled - gapsUpTo(scaled);
  }
  double stampedAt(double seconds) const {
    double gaps = 0;
    for (const auto& [resumes, length] : m_gaps) {
      if (resumes - gaps - length > seconds) break;
      gaps += length;
    }
    const double scaled = seconds + gaps;
    const Stretch* in = stretchAt<&Stretch::seconds>(scaled);
    return in ? in->stamped + (scaled - in->seconds) / in->scale : scaled;
  }
  // Stamped seconds as far as the stretches tell, gaps left in.
  double scaledAt(double stamped) const {
    const Stretch* in = stretchAt<&Stretch::stamped>(stamped);
    return in ? in->seconds + (stamped - in->stamped) * in->scale : stamped;
  }

  // A packet stamped at `stamped` for `stampedLength` seconds that really lasts `length`; packets
  // come in the order of their stamps.
  void addStretch(double stamped, double stampedLength, double length) {
    const double scale = length / stampedLength;
    const double current = m_stretches.empty() ? 1.0 : m_stretches.back().scale;
    if (std::abs(scale - current) > 1e-6 * current) m_stretches.push_back({stamped, scaledAt(stamped), scale});
  }
  // Sound resumes at `resumes` (scaled seconds) after `length` seconds of stamps without any.
  void addGap(double resumes, double length) { m_gaps.emplace(resumes, length); }

 private:
  struct Stretch {
    double stamped;  // where it starts, in stamped seconds
    double seconds;  // and in scaled seconds
    double scale;    // scaled seconds per stamped second
  };
  // The last stretch starting at or before `value` (stamped or scaled seconds); none before the
  // first.
  template <double Stretch::*start>
  const Stretch* stretchAt(double value) const {
    const auto after = std::upper_bound(m_stretches.begin(), m_stretches.end(), value,
                                        [](double v, const Stretch& stretch) { return v < stretch.*start; });
    return after == m_stretches.begin() ? nullptr : &*std::prev(after);
  }
  double gapsUpTo(double scaled) const {
    double gaps = 0;
    for (auto gap = m_gaps.begin(); gap != m_gaps.end() && gap->first <= scaled; ++gap) gaps += gap->second;
    return gaps;
  }
  std::vector<Stretch> m_stretches;
  std::map<double, double> m_gaps;  // where sound resumes (scaled seconds), and how long it was out
};

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
  bool failed = false;        // decoding stopped on an error
  bool soundDecoded = false;  // some sound came out of the file since it was opened
  bool frameHeld = false;     // `frame` holds input not converted yet, from `frameOffset` on
  int frameOffset = 0;
  // Positions in the file's seconds: a stream may change its rate midway (files joined end to
  // end), so no count of samples at one rate says where a frame lies.
  double nextInput = 0;   // where the next decoded frame starts, -1 when a seek left it unknown
  double skipUntil = -1;  // sound before this is dropped (a seek's target), -1 for none
  FileTimeline timeline;
  bool stampsRead = false;
  double decodedUntil = -1;  // scaled seconds where the last decoded frame ended, -1 when unknown

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

  double stampedSeconds(int64_t timestamp) const { return double(timestamp - startTime) * av_q2d(timeBase); }

  // The stamps of raw ADTS, read once (see FileTimeline): a pass over its packets, after which the
  // container seeks again.
  void readStamps() {
    stampsRead = true;
    if (std::string_view(container->iformat->name) != "aac" ||
        av_seek_frame(container, stream, startTime, AVSEEK_FLAG_BACKWARD) < 0) {
      return;
    }
    while (av_read_frame(container, packet) >= 0) {
      const double length = adtsFrameSeconds(*packet);
      if (packet->stream_index == stream && packet->pts != AV_NOPTS_VALUE && packet->duration > 0 && length > 0) {
        timeline.addStretch(stampedSeconds(packet->pts), double(packet->duration) * av_q2d(timeBase), length);
      }
      av_packet_unref(packet);
    }
  }

  void seek(double seconds) {
    // A container read again for an earlier seek that could not be opened then is gone.
    if (!codec) cannotPlay(QStringLiteral("its audio cannot be read again"));
    seconds = std::max(0.0, seconds);
    flushSent = codecDrained = resamplerDrained = failed = false;
    dropFrame();
    skipUntil = seconds;
    if (!stampsRead) readStamps();
    const int64_t target =
        av_rescale_q(std::llround(timeline.stampedAt(seconds) * AV_TIME_BASE), AV_TIME_BASE_Q, timeBase) + startTime;
    if (av_seek_frame(container, stream, target, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(codec);
      nextInput = -1;
      decodedUntil = -1;
      settleRate(target);
    } else {
      // A container that cannot seek is read again from its start, up to the target.
      closeContainer();
      openContainer();
      nextInput = 0;
      decodedUntil = -1;
    }
    // What the converter still holds belongs to the old position.
    converter->reset();
  }

  // FFmpeg's MP3 decoder labels the first frame after a flush with the rate it decoded last:
  // where a seek crosses a change of rate, that frame would play at the wrong speed and put
  // what follows off by its length. The first frame from the seek tells: when its label is not
  // the rate the decoder has found meanwhile, the container seeks again, and the decoder, at
  // that rate now, starts over.
  void settleRate(int64_t target) {
    for (;;) {
      const int received = avcodec_receive_frame(codec, frame);
      if (received == 0 && frame->sample_rate == codec->sample_rate) {
        takeReceived();
        return;
      }
      // A stale label, or damage or the end that decode() is to meet itself.
      const bool again = received != AVERROR(EAGAIN) || av_read_frame(container, packet) < 0;
      if (again) {
        av_frame_unref(frame);
        if (av_seek_frame(container, stream, target, AVSEEK_FLAG_BACKWARD) >= 0) avcodec_flush_buffers(codec);
        return;
      }
      if (packet->stream_index == stream) avcodec_send_packet(codec, packet);
      av_packet_unref(packet);
    }
  }

  // A frame received from the decoder: taken in when it holds sound, else let go.
  void takeReceived() {
    if (frame->nb_samples <= 0) {
      av_frame_unref(frame);
      return;
    }
    soundDecoded = true;
    take();
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

  // Takes the decoded frame in: drops what lies before a seek's target, counted in samples at
  // the frame's own rate.
  void take() {
    const int rate = std::max(frame->sample_rate, 1);  // a frame without one is refused by the converter
    const double length = double(frame->nb_samples) / rate;
    double first = nextInput >= 0 ? nextInput : std::max(skipUntil, 0.0);
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
      const double scaled = timeline.scaledAt(stampedSeconds(frame->best_effort_timestamp));
      if (decodedUntil >= 0 && scaled - decodedUntil > kLeastGapSeconds) {
        timeline.addGap(scaled, scaled - decodedUntil);
      }
      decodedUntil = scaled + length;
      first = timeline.secondsAt(stampedSeconds(frame->best_effort_timestamp));
    } else if (decodedUntil >= 0) {
      decodedUntil += length;
    }
    nextInput = first + length;
    int from = 0;
    if (skipUntil >= 0) {
      const int64_t before = std::llround((skipUntil - first) * rate);
      if (before >= frame->nb_samples) {
        av_frame_unref(frame);
        return;
      }
      from = static_cast<int>(std::max<int64_t>(before, 0));
      skipUntil = -1;
    }
    frameHeld = true;
    frameOffset = from;
  }

  // Damage after sound that nothing of the stream follows (a file cut inside a sample frame,
  // bytes after the last packet that are none) is the end of what the file holds, as in the
  // loader. Damage with more of the stream after it stops decoding there, which is said.
  bool nothingFollows() {
    for (;;) {
      const int read = av_read_frame(container, packet);
      if (read < 0) return read == AVERROR_EOF || read == AVERROR_INVALIDDATA;
      const bool ours = packet->stream_index == stream;
      av_packet_unref(packet);
      if (ours) return false;
    }
  }
  void endsDamaged() const {
    qWarning().noquote() << QStringLiteral("[PlaybackDecoder] The audio of %1 is damaged after %2 s: it ends there")
                                .arg(name())
                                .arg(nextInput, 0, 'f', 3);
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
        takeReceived();
        continue;
      }
      if (received == AVERROR_EOF) {
        codecDrained = true;
        continue;
      }
      if (received != AVERROR(EAGAIN) || flushSent) {
        if (received != AVERROR(EAGAIN)) {
          if (soundDecoded && nothingFollows()) {
            endsDamaged();
          } else {
            qWarning().noquote() << "[PlaybackDecoder] Decoding stopped early:" << name();
            failed = true;
          }
        }
        codecDrained = true;
        continue;
      }
      if (const int read = av_read_frame(container, packet); read < 0) {
        // The end of the file, also where the bytes after the last packet are none. Any other
        // read error ends it too, and is said once what was decoded has played.
        if (read == AVERROR_INVALIDDATA && soundDecoded) {
          endsDamaged();
        } else if (read != AVERROR_EOF) {
          failed = true;
        }
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
