#include "Services/PlaybackStream.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace parlowvista {

namespace {

AVSampleFormat sampleFormatOf(const QAudioFormat& format) {
  switch (format.sampleFormat()) {
    case QAudioFormat::Int16: return AV_SAMPLE_FMT_S16;
    case QAudioFormat::Int32: return AV_SAMPLE_FMT_S32;
    case QAudioFormat::Float: return AV_SAMPLE_FMT_FLT;
    default: return AV_SAMPLE_FMT_NONE;
  }
}

}  // namespace

struct PlaybackStream::Decoder {
  QString path;
  QAudioFormat format;
  AVFormatContext* container = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwrContext* resampler = nullptr;
  int stream = -1;
  AVRational timeBase{1, 1};
  int64_t startTime = 0;  // the stream's first timestamp, in its time base

  bool flushSent = false;  // the end of the input was told to the decoder
  bool codecDrained = false;
  bool resamplerDrained = false;
  QByteArray pending;  // converted bytes not read yet, from `pendingOffset` on
  qsizetype pendingOffset = 0;

  double seekBase = 0;          // seconds: where the first byte read since the last seek lies
  qint64 deliveredBytes = 0;    // read since the last seek
  int64_t nextInputSample = 0;  // of the next decoded frame, -1 when a seek left it unknown
  int64_t skipUntil = -1;       // input samples before this one are dropped (a seek's target)

  ~Decoder() { close(); }

  [[noreturn]] void fail(const QString& reason) const {
    throw std::runtime_error(
        QStringLiteral("Cannot play %1: %2").arg(QFileInfo(path).fileName(), reason).toStdString());
  }

  void close() {
    swr_free(&resampler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&container);
  }

  void open() {
    const QByteArray encoded = QFile::encodeName(path);
    if (avformat_open_input(&container, encoded.constData(), nullptr, nullptr) < 0) fail(QStringLiteral("unreadable"));
    if (avformat_find_stream_info(container, nullptr) < 0) fail(QStringLiteral("unreadable"));
    const AVCodec* decoder = nullptr;
    stream = av_find_best_stream(container, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream < 0 || !decoder) fail(QStringLiteral("no audio stream"));
    const AVStream* audio = container->streams[stream];
    timeBase = audio->time_base;
    startTime = audio->start_time == AV_NOPTS_VALUE ? 0 : audio->start_time;
    codec = avcodec_alloc_context3(decoder);
    if (!codec || avcodec_parameters_to_context(codec, audio->codecpar) < 0) fail(QStringLiteral("no decoder"));
    codec->pkt_timebase = timeBase;
    if (avcodec_open2(codec, decoder, nullptr) < 0) fail(QStringLiteral("no decoder"));
    if (codec->sample_rate <= 0 || codec->ch_layout.nb_channels <= 0) fail(QStringLiteral("no rate or channels"));
    if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      const int channels = codec->ch_layout.nb_channels;
      av_channel_layout_uninit(&codec->ch_layout);
      av_channel_layout_default(&codec->ch_layout, channels);
    }
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, format.channelCount());
    const int made = swr_alloc_set_opts2(&resampler, &outLayout, sampleFormatOf(format), format.sampleRate(),
                                         &codec->ch_layout, codec->sample_fmt, codec->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    if (made < 0 || !resampler || swr_init(resampler) < 0) fail(QStringLiteral("no resampler"));
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!packet || !frame) fail(QStringLiteral("out of memory"));
  }

  int bytesPerFrame() const { return format.bytesPerFrame(); }

  void seek(double seconds) {
    seconds = std::max(0.0, seconds);
    pending.clear();
    pendingOffset = 0;
    seekBase = seconds;
    deliveredBytes = 0;
    flushSent = codecDrained = resamplerDrained = false;
    skipUntil = std::llround(seconds * codec->sample_rate);
    const int64_t target = av_rescale_q(std::llround(seconds * AV_TIME_BASE), AV_TIME_BASE_Q, timeBase) + startTime;
    if (av_seek_frame(container, stream, target, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(codec);
      nextInputSample = -1;
    } else {
      // A container that cannot seek is read again from its start, up to the target.
      close();
      open();
      nextInputSample = 0;
    }
    // What the resampler still holds belongs to the old position.
    swr_close(resampler);
    if (swr_init(resampler) < 0) fail(QStringLiteral("no resampler"));
  }

  // Appends the converted samples of `input` (from its `from`-th sample on; null drains the
  // resampler) to `pending`.
  void convert(const AVFrame* input, int from) {
    const int inputSamples = input ? input->nb_samples - from : 0;
    const int room = swr_get_out_samples(resampler, inputSamples);
    if (room <= 0) return;
    const qsizetype before = pending.size();
    pending.resize(before + qsizetype(room) * bytesPerFrame());
    auto* out = reinterpret_cast<uint8_t*>(pending.data() + before);
    const uint8_t* in[AV_NUM_DATA_POINTERS] = {};
    if (input) {
      const auto sampleFormat = static_cast<AVSampleFormat>(input->format);
      const int bytes = av_get_bytes_per_sample(sampleFormat);
      const bool planar = av_sample_fmt_is_planar(sampleFormat);
      const int planes = planar ? input->ch_layout.nb_channels : 1;
      const int stride = bytes * (planar ? 1 : input->ch_layout.nb_channels);
      for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) in[p] = input->extended_data[p] + from * stride;
    }
    const int converted = swr_convert(resampler, &out, room, input ? in : nullptr, inputSamples);
    pending.resize(before + qsizetype(std::max(converted, 0)) * bytesPerFrame());
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
      if (nextInputSample <= skipUntil) return;
      from = static_cast<int>(std::max<int64_t>(skipUntil - first, 0));
      skipUntil = -1;
    }
    convert(frame, from);
  }

  // Decodes until there is something to read; false at the end of the file.
  bool decodeMore() {
    while (pendingOffset >= pending.size()) {
      pending.clear();
      pendingOffset = 0;
      if (codecDrained) {
        if (resamplerDrained) return false;
        resamplerDrained = true;
        convert(nullptr, 0);
        continue;
      }
      const int received = avcodec_receive_frame(codec, frame);
      if (received == 0) {
        if (frame->nb_samples > 0) take();
        av_frame_unref(frame);
        continue;
      }
      if (received == AVERROR_EOF) {
        codecDrained = true;
        continue;
      }
      if (received != AVERROR(EAGAIN) || flushSent) {
        if (received != AVERROR(EAGAIN)) {
          qWarning().noquote() << "[PlaybackStream] Decoding stopped early:" << QFileInfo(path).fileName();
        }
        codecDrained = true;
        continue;
      }
      if (av_read_frame(container, packet) < 0) {
        // The end of the file, or a read error that ends it: what is decoded still plays.
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

PlaybackStream::PlaybackStream(const QString& path, const QAudioFormat& format)
    : m_decoder(std::make_unique<Decoder>()) {
  m_decoder->path = path;
  m_decoder->format = format;
  if (!format.isValid() || sampleFormatOf(format) == AV_SAMPLE_FMT_NONE) {
    m_decoder->fail(QStringLiteral("unsupported output format"));
  }
  m_decoder->open();
  open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

PlaybackStream::~PlaybackStream() = default;

const QAudioFormat& PlaybackStream::format() const {
  return m_decoder->format;
}

void PlaybackStream::seek(double seconds) {
  m_decoder->seek(seconds);
}

double PlaybackStream::position() const {
  const Decoder& d = *m_decoder;
  return d.seekBase + double(d.deliveredBytes / d.bytesPerFrame()) / d.format.sampleRate();
}

bool PlaybackStream::isExhausted() const {
  Decoder& d = *m_decoder;
  return d.pendingOffset >= d.pending.size() && !d.decodeMore();
}

qint64 PlaybackStream::readData(char* data, qint64 maxSize) {
  Decoder& d = *m_decoder;
  qint64 written = 0;
  while (written < maxSize && d.decodeMore()) {
    const qint64 count = std::min<qint64>(maxSize - written, d.pending.size() - d.pendingOffset);
    std::copy_n(d.pending.constData() + d.pendingOffset, count, data + written);
    d.pendingOffset += count;
    written += count;
  }
  d.deliveredBytes += written;
  return written;
}

}  // namespace parlowvista
