#include <voxtrellis/FrameTimeline.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstring>
#include <string_view>

namespace voxtrellis {

namespace {
// Stamps this much apart from where the sound before ended are the rounding of a time base, not
// a stretch of lost frames.
constexpr double kLeastGapSeconds = 0.002;
// Without damage met, only a stretch this long is frames lost without a word (a reader that
// drops the damaged pages of an Ogg file): stamps of frames inside an Ogg page are reckoned from
// the page's end and may lie a few milliseconds off.
constexpr double kLeastSilentLossSeconds = 0.1;
}  // namespace

FrameTimeline::FrameTimeline(bool positioned, double longest) : m_positioned(positioned), m_longest(longest) {}

FrameTimeline::Placement FrameTimeline::place(double stamp, double length, bool afterDamage) {
  Placement placed{m_end, 0};
  const bool believed = stamp >= 0 && (m_longest <= 0 || stamp <= m_longest);
  const double least = afterDamage ? kLeastGapSeconds : kLeastSilentLossSeconds;
  if (believed && !m_settled) {
    placed.start = stamp;
  } else if (believed && m_positioned && stamp > m_end + least) {
    placed.start = stamp;
  }
  if (m_positioned && placed.start > m_end + kLeastGapSeconds) placed.silence = placed.start - m_end;
  m_end = placed.start + length;
  m_settled = true;
  return placed;
}

void FrameTimeline::restart(double target) {
  m_end = target;
  m_settled = false;
}

double FrameTimeline::longestStamp(const AVFormatContext& container, int stream) {
  if (container.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return 0;
  const AVStream* audio = container.streams[stream];
  double stated = container.duration > 0 ? double(container.duration) / AV_TIME_BASE : 0.0;
  if (audio->duration > 0 && audio->duration != AV_NOPTS_VALUE) {
    stated = std::max(stated, double(audio->duration) * av_q2d(audio->time_base));
  }
  return stated > 0 ? stated + 1.0 : 0.0;
}

bool FrameTimeline::stampsArePositions(const AVFormatContext& container) {
  const std::string_view name = container.iformat ? container.iformat->name : "";
  return name != "mp3" && name != "aac";
}

void FrameTimeline::correctRate(AVFrame& frame, const AVCodecContext& codec) {
  const bool mpegAudio =
      codec.codec_id == AV_CODEC_ID_MP3 || codec.codec_id == AV_CODEC_ID_MP2 || codec.codec_id == AV_CODEC_ID_MP1;
  if (mpegAudio && codec.sample_rate > 0 && frame.sample_rate != codec.sample_rate) {
    frame.sample_rate = codec.sample_rate;
  }
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
