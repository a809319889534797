#include <voxtrellis/FrameTimeline.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

namespace voxtrellis {

namespace {
// Stamps this much apart from where the sound before ended are the rounding of a time base, not
// a stretch of lost frames.
constexpr double kLeastGapSeconds = 0.002;
// Without damage met, only a stretch this long is frames lost without a word (Ogg's reader drops
// damaged pages): stamps of frames inside an Ogg page are reckoned from the page's end and may lie
// a few milliseconds off.
constexpr double kLeastSilentLossSeconds = 0.1;
// What lost FLAC frames held, by their bytes, is reckoned at this many times the most seconds a
// byte held in any frame decoded so far: a quiet stretch's frames are a few times smaller than a
// loud one's.
constexpr double kByteMargin = 4.0;
}  // namespace

FrameTimeline::FrameTimeline(const AVFormatContext& container, int stream)
    : m_raw(rawFormat(container)),
      m_dropsSilently(container.iformat && std::string_view(container.iformat->name) == "ogg"),
      m_stream(stream),
      m_timeBaseNum(container.streams[stream]->time_base.num),
      m_timeBaseDen(container.streams[stream]->time_base.den) {
  // Containers whose time base is the rate their header states count their stamps in samples:
  // where the decoder's rate is another (a damaged header: a CAF description stating 118 Hz for
  // ALAC at 44.1 kHz put a packet's 4096 samples 34.7 s apart), they count at a rate the sound is
  // not at, and none is believed.
  const std::string_view name = container.iformat ? container.iformat->name : "";
  const int rate = container.streams[stream]->codecpar->sample_rate;
  const bool countsSamples = name == "caf" || name == "wav" || name == "aiff" || name == "flac" || name == "w64";
  m_stampsCount = !countsSamples || rate <= 0 || (m_timeBaseNum == 1 && m_timeBaseDen == rate);
  m_readsEveryPacket = !m_dropsSilently && name != "flac";
  m_givesEveryByte = name == "flac";
  // The length the container states, and a second more; none where it only guesses it from the
  // bit rate, nor for raw MP3 and ADTS, whose stamps are the count here, whatever a header states
  // of their length (an MP3's Info frame counting 24 of its 116 frames had every stamp past 1.6 s
  // disbelieved: a seek there was heard from where it went, 0.35 s early).
  if (m_raw || container.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return;
  const AVStream* audio = container.streams[stream];
  double stated = container.duration > 0 ? double(container.duration) / AV_TIME_BASE : 0.0;
  if (audio->duration > 0 && audio->duration != AV_NOPTS_VALUE) {
    stated = std::max(stated, double(audio->duration) * av_q2d(audio->time_base));
  }
  m_longest = stated > 0 ? stated + 1.0 : 0.0;
}

void FrameTimeline::stampPacket(AVPacket& packet) {
  if (packet.stream_index != m_stream) return;
  ++m_packetsSincePlaced;
  m_bytesSincePlaced += packet.size;
  m_lastPacketBytes = packet.size;
  if (!m_raw) return;
  if (!m_count) {
    if (packet.pts == AV_NOPTS_VALUE) return;
    m_count = packet.pts;
  }
  packet.pts = packet.dts = *m_count;
  const RawFrame frame = rawFrame(*m_raw, packet);
  if (frame.rate > 0)
    *m_count += av_rescale_q(frame.samples, AVRational{1, frame.rate}, AVRational{m_timeBaseNum, m_timeBaseDen});
}

FrameTimeline::Placement FrameTimeline::place(double stamp, double length, bool afterDamage) {
  Placement placed{m_end, 0};
  const bool believed = m_stampsCount && stamp >= 0 && (m_longest <= 0 || stamp <= m_longest);
  const bool lost =
      afterDamage ? stamp > m_end + kLeastGapSeconds : m_dropsSilently && stamp > m_end + kLeastSilentLossSeconds;
  if (believed && (!m_settled || lost)) placed.start = stamp;
  // What was lost, or lies between a seek's target and its first frame, held no more than the
  // packets read since: as many frames, each as long as the longest the decoder gave, twice over
  // (a CAF header stating a billion frames per packet laid 6.7 hours of silence for one lost
  // packet of 4096). Ogg's reader and FLAC's parser pass over what they cannot read without a
  // word: their packets lost are not all counted (FLAC's frames number their samples).
  if ((!m_settled || lost) && m_readsEveryPacket) {
    m_longestFrame = std::max(m_longestFrame, length);
    placed.start = std::min(placed.start, m_end + 2.0 * double(m_packetsSincePlaced) * m_longestFrame);
  }
  // FLAC: what was lost held no more than the bytes read since the frame before (this one's own
  // packet aside, which the frame comes out of), at the most seconds a byte of a frame held so
  // far, this one's included.
  if (lost && m_givesEveryByte && m_lastPacketBytes > 0) {
    m_densest = std::max(m_densest, length / m_lastPacketBytes);
    const int64_t before = std::max<int64_t>(m_bytesSincePlaced - m_lastPacketBytes, 0);
    placed.start = std::min(placed.start, m_end + kByteMargin * double(before) * m_densest);
  }
  if (placed.start > m_end + kLeastGapSeconds) placed.silence = placed.start - m_end;
  settle(placed.start, length);
  return placed;
}

void FrameTimeline::settle(double start, double length) {
  m_end = start + length;
  m_settled = true;
  m_longestFrame = std::max(m_longestFrame, length);
  if (m_lastPacketBytes > 0) m_densest = std::max(m_densest, length / m_lastPacketBytes);
  m_packetsSincePlaced = 0;
  // What its packet held past this frame's sound counts on (a damaged FLAC packet decodes to fewer
  // frames than its bytes held).
  const int64_t held = m_densest > 0 ? m_bytesSincePlaced - std::llround(length / m_densest) : 0;
  m_bytesSincePlaced = std::clamp<int64_t>(held, 0, m_lastPacketBytes);
}

void FrameTimeline::restart(double target) {
  m_end = target;
  m_settled = false;
  m_packetsSincePlaced = 0;
  m_bytesSincePlaced = 0;
}

void FrameTimeline::restartFromStart() {
  m_end = 0;
  m_settled = true;
  m_longestFrame = 0;
  m_densest = 0;
  m_packetsSincePlaced = 0;
  m_bytesSincePlaced = 0;
}

FrameTimeline::Placement FrameTimeline::placeAt(double start, double length) {
  const Placement placed{start, start > m_end + kLeastGapSeconds ? start - m_end : 0.0};
  settle(start, length);
  return placed;
}

int64_t FrameTimeline::streamStart(const AVFormatContext& container, int stream) {
  const AVStream* audio = container.streams[stream];
  if (audio->start_time == AV_NOPTS_VALUE || audio->codecpar->codec_id == AV_CODEC_ID_FLAC) return 0;
  return audio->start_time;
}

const AVInputFormat* FrameTimeline::rawFormat(const AVFormatContext& container) {
  const std::string_view name = container.iformat ? container.iformat->name : "";
  return name == "mp3" || name == "aac" ? container.iformat : nullptr;
}

bool FrameTimeline::placesByPosition(const AVFormatContext& container) {
  return rawFormat(container) || (container.iformat && std::string_view(container.iformat->name) == "flac");
}

void FrameTimeline::correctRate(AVFrame& frame, const AVCodecContext& codec) {
  const bool mpegAudio =
      codec.codec_id == AV_CODEC_ID_MP3 || codec.codec_id == AV_CODEC_ID_MP2 || codec.codec_id == AV_CODEC_ID_MP1;
  if (mpegAudio && codec.sample_rate > 0 && frame.sample_rate != codec.sample_rate) {
    frame.sample_rate = codec.sample_rate;
  }
}

namespace {

// An ADTS header at `at`, with `left` bytes from there on, of the stream `like` heads: its sync
// word, layer 0, and the same rate and channels.
bool adtsHeaderAt(const uint8_t* at, int left, const uint8_t* like) {
  if (left < 7 || at[0] != 0xFF || (at[1] & 0xF6) != 0xF0) return false;
  return (at[2] & 0x3C) == (like[2] & 0x3C) &&
         ((at[2] & 0x01) << 2 | at[3] >> 6) == ((like[2] & 0x01) << 2 | like[3] >> 6);
}
int adtsLength(const uint8_t* at) {
  return ((at[3] & 0x03) << 11) | (at[4] << 3) | (at[5] >> 5);
}

struct Inner {
  int whole = 0;     // frames inside the packet after its first, whole
  int cutBytes = 0;  // bytes at its end of a frame it does not hold whole
};
// A header that states too long a frame (its length field damaged) makes the reader take the
// frames after it into the same packet, and the decoder decodes them all, up to one the packet
// ends inside: those frames, found as headers inside the packet each of which the one before
// leads to, the first two of them at least.
Inner innerAdtsFrames(const uint8_t* data, int size) {
  Inner inner;
  for (int first = 7; first + 7 <= size; ++first) {
    const auto* found = static_cast<const uint8_t*>(std::memchr(data + first, 0xFF, std::size_t(size - 7 - first + 1)));
    if (!found) break;
    first = int(found - data);
    const int length = adtsLength(found);
    if (!adtsHeaderAt(found, size - first, data) || length < 7) continue;
    const int next = first + length;
    if (next < size && !adtsHeaderAt(data + next, size - next, data)) continue;
    for (int at = first; at < size;) {
      const int frame = adtsLength(data + at);
      if (!adtsHeaderAt(data + at, size - at, data) || frame < 7 || at + frame > size) {
        inner.cutBytes = size - at;
        break;
      }
      ++inner.whole;
      at += frame;
    }
    break;
  }
  return inner;
}

}  // namespace

FrameTimeline::RawFrame FrameTimeline::rawFrame(const AVInputFormat& format, const AVPacket& packet) {
  const std::string_view name = format.name;
  const uint8_t* header = packet.data;
  if (name == "aac") {
    // ADTS: 1024 samples a frame, at its rate. A header may state up to four raw data blocks, but
    // FFmpeg's decoder decodes the first alone: a damaged field stating four ran the count three
    // blocks ahead of the sound, and past later damage the sound was laid at that count, behind
    // silence that is none.
    static constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
    if (!adtsHeaderAt(header, packet.size, header)) return {};
    const int rate = (header[2] >> 2) & 0x0F;
    if (rate >= int(std::size(kRates))) return {};
    const Inner inner = innerAdtsFrames(header, packet.size);
    return {1024 * (1 + inner.whole), kRates[rate], inner.cutBytes};
  }
  if (name != "mp3" || packet.size < 4 || header[0] != 0xFF || (header[1] & 0xE0) != 0xE0) return {};
  // MPEG audio: its layer's samples per frame (Layer III of MPEG-2 and 2.5 has half as many).
  const int version = (header[1] >> 3) & 0x03;  // 0: MPEG-2.5, 2: MPEG-2, 3: MPEG-1
  const int layer = (header[1] >> 1) & 0x03;    // 1: III, 2: II, 3: I
  const int rateIndex = (header[2] >> 2) & 0x03;
  if (version == 1 || layer == 0 || rateIndex == 3) return {};
  static constexpr int kRates[] = {44100, 48000, 32000};
  const int rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  return {layer == 3 ? 384 : layer == 2 || version == 3 ? 1152 : 576, rate};
}

bool FrameTimeline::holdsNoSound(const AVFrame& frame, const AVCodecContext& codec) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const AVSampleFormat packed = av_get_packed_sample_fmt(format);
  if ((packed != AV_SAMPLE_FMT_FLT && packed != AV_SAMPLE_FMT_DBL) ||
      av_get_exact_bits_per_sample(codec.codec_id) > 0) {
    return false;
  }
  const bool planar = av_sample_fmt_is_planar(format);
  const int channels = frame.ch_layout.nb_channels;
  const std::size_t count = std::size_t(frame.nb_samples) * std::size_t(planar ? 1 : channels);
  const auto outside = [&](const auto* samples) {
    // Written so that no number (NaN) is outside too.
    return std::any_of(samples, samples + count, [](auto sample) { return !(std::abs(sample) <= kMostLevel); });
  };
  for (int plane = 0; plane < (planar ? channels : 1); ++plane) {
    const uint8_t* data = frame.extended_data[plane];
    if (packed == AV_SAMPLE_FMT_FLT ? outside(reinterpret_cast<const float*>(data))
                                    : outside(reinterpret_cast<const double*>(data))) {
      return true;
    }
  }
  return false;
}

bool FrameTimeline::isJointTag(const AVPacket& packet) {
  return packet.size >= 3 && std::memcmp(packet.data, "ID3", 3) == 0;
}

bool FrameTimeline::makeSilence(AVFrame& frame, const AVFrame& like, int samples) {
  av_frame_unref(&frame);
  frame.format = like.format;
  frame.sample_rate = like.sample_rate;
  frame.nb_samples = samples;
  if (av_channel_layout_copy(&frame.ch_layout, &like.ch_layout) < 0 || av_frame_get_buffer(&frame, 0) < 0) {
    av_frame_unref(&frame);
    return false;
  }
  av_samples_set_silence(frame.extended_data, 0, samples, frame.ch_layout.nb_channels,
                         static_cast<AVSampleFormat>(frame.format));
  return true;
}

}  // namespace voxtrellis
