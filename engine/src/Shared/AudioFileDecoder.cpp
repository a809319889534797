#include "Shared/AudioFileDecoder.h"

#include "Shared/NumberText.h"
#include "Shared/PlaceKeeper.h"
#include "Shared/RawDamageMeasure.h"
#include "Shared/StatedEnd.h"

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AudioHeader.h>
#include <voxtrellis/FrameTimeline.h>
#include <voxtrellis/MediaBounds.h>
#include <voxtrellis/ReadError.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace voxtrellis {

std::string ffmpegErrorText(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(status, text, sizeof text);
  return text;
}

namespace {

static_assert(AudioHeader::kLeastRate * AudioFileDecoder::kMaxUpsampling == 16000,
              "the header check refuses the rates the loader cannot resample to its 16 kHz");

// MP3 frames after damage draw on the bytes of the frames it took (the bit reservoir): a decoder
// that starts again there gives digital silence for one or two of them, sound lost too.
constexpr int kMostStarvedFrames = 3;

bool digitalSilence(const AVFrame& frame) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format);
  const int planes = planar ? frame.ch_layout.nb_channels : 1;
  const std::size_t bytes = std::size_t(frame.nb_samples) * std::size_t(av_get_bytes_per_sample(format)) *
                            std::size_t(planar ? 1 : frame.ch_layout.nb_channels);
  for (int plane = 0; plane < planes; ++plane) {
    const uint8_t* data = frame.extended_data[plane];
    if (std::any_of(data, data + bytes, [](uint8_t byte) { return byte != 0; })) return false;
  }
  return true;
}

}  // namespace

struct AudioFileDecoder::Impl {
  std::string path;
  // What FFmpeg may allocate while the file is open.
  std::optional<MediaBounds::FileAllowance> allowance;
  AVIOContext* input = nullptr;  // the container's, of our own: a read that fails is told by it
  AVFormatContext* format = nullptr;
  const AVCodec* decoder = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int streamIndex = -1;
  bool inputDone = false;
  bool flushed = false;
  bool decoded = false;  // some sound came out
  std::optional<StatedEnd> statedEnd;
  double streamStart = 0;  // seconds of the stream's first timestamp
  AVRational timeBase{1, 1};
  double position = 0;  // where the next decoded frame starts, seconds
  std::optional<FrameTimeline> timeline;
  std::optional<RawDamageMeasure> rawDamage;  // raw MP3 and ADTS AAC: what damage cost them
  std::optional<PlaceKeeper> placeKeeper;     // where the file's sound lies in it
  int starvedFrames = 0;                      // frames of digital silence since the damage
  // Damage skipped since the last frame delivered: where it was met (seconds), -1 for none, and
  // the stamped length of the packets the decoder refused meanwhile.
  double damagedAt = -1;
  double refusedSeconds = 0;
  int64_t unreadableAt = -1;   // the file's position at the last packet that could not be read
  std::string unreadable;      // why the file could not be read on, once it could not
  int errorsWithoutInput = 0;  // the decoder's errors since it was last given a packet
  int64_t failedRun = 0;       // failed decodes since the last frame of sound (see MediaBounds)
  bool ended = false;          // the stream ended on damage nothing decodable follows
  // Damage was met since the decoder was last given a packet: a new one takes the next, so that
  // nothing the damage left in the old one outlasts it (an AAC decoder that took a damaged packet
  // for a new layout of its channels stays silent for good, and a flush does not undo that).
  bool resetDecoder = false;
  std::vector<SkippedDamage> skipped;
  AVFrame* silence = nullptr;  // silence standing for frames lost to damage, handed out first
  double silenceLeft = 0;      // seconds of it still to come
  bool frameWaiting = false;   // `frame` waits behind that silence, to start at waitingStart
  double waitingStart = 0;
  AppLogger logger{"AudioFileDecoder"};
  std::function<void(double)> onProgress;
  double reported = 0;
  int64_t fileSize = -1;
  // Where the last packet the decoder took starts in the file (as stated), and where it started
  // when the decoder last gave sound: a damaged file's last good packet, or one a little after it
  // (the decoder's delay), which may run on over the damage (FLAC's parser joins what follows).
  int64_t takenStart = -1;
  int64_t goodStart = -1;
  // What may lie after a file's last good packet and still be its end: a packet cut short, a tag.
  static constexpr int64_t kMostTailBytes = 4096;
  static constexpr double kMostTailSeconds = 1.0;  // of the stream's bytes

  void reportPosition() {
    if (!onProgress || fileSize <= 0) return;
    const double fraction = std::min(1.0, static_cast<double>(avio_tell(format->pb)) / static_cast<double>(fileSize));
    if (fraction < reported + 0.001) return;
    reported = fraction;
    onProgress(fraction);
  }

  ~Impl() {
    statedEnd.reset();
    av_frame_free(&silence);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    avio_closep(&input);
  }
  [[noreturn]] void fail(AudioFileError::Kind kind, int status) const {
    throw AudioFileError(kind, path, ffmpegErrorText(status));
  }
  // The file cannot be opened, or its stream cannot be read before any sound: where a read of it
  // failed, that is what is said (a failing disk is no damaged file), whatever the reader made of
  // the bytes it did not get.
  [[noreturn]] void failOnReading(AudioFileError::Kind kind, int status) {
    if (const auto error = takeReadError(input)) throw AudioFileError(AudioFileError::Kind::unreadable, path, *error);
    fail(kind, status);
  }

  // A decoder of the stream as the file's header describes it, in place of any before; `kind` is
  // what a failure is.
  void openDecoder(AudioFileError::Kind kind) {
    avcodec_free_context(&codec);
    codec = avcodec_alloc_context3(decoder);
    if (!codec) fail(kind, AVERROR(ENOMEM));
    int status = avcodec_parameters_to_context(codec, format->streams[streamIndex]->codecpar);
    if (status < 0) fail(kind, status);
    MediaBounds::bound(*codec);
    status = avcodec_open2(codec, decoder, nullptr);
    if (status < 0) fail(kind, status);
    if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC && codec->ch_layout.nb_channels > 0) {
      const int channels = codec->ch_layout.nb_channels;
      av_channel_layout_uninit(&codec->ch_layout);
      av_channel_layout_default(&codec->ch_layout, channels);
    }
  }

  // Damage found in the stream (a frame that does not decode, bytes that are no packet): after
  // sound it is skipped, as the ffmpeg tool does, and what decodes after it is kept; before any,
  // the file is refused.
  void skipDamage(int status) {
    if (!decoded || status == AVERROR(ENOMEM)) fail(AudioFileError::Kind::readFailed, status);
    if (damagedAt < 0) damagedAt = position;
    if (rawDamage) rawDamage->damaged();
  }
  // A packet whose sound is lost, `seconds` of it (the decoder refused it, or gave no sound for
  // it): skipped like players do, before any sound too (then the sound begins after damage, at
  // its stamp).
  void skipLostPacket(int status, double seconds) {
    if (!decoded) {
      damagedAt = 0;
      if (rawDamage) rawDamage->damaged();
    } else {
      skipDamage(status);
    }
    refusedSeconds += seconds;
  }
  void skipRefused(int status) {
    skipLostPacket(status, double(std::max<int64_t>(packet->duration, 0)) * av_q2d(timeBase));
    if (rawDamage) rawDamage->refused(*packet);
  }
  // A frame that holds no sound (FrameTimeline::holdsNoSound); a new decoder takes the next packet.
  void skipNoSound() {
    const double seconds = double(frame->nb_samples) / std::max(frame->sample_rate, 1);
    skipLostPacket(AVERROR_INVALIDDATA, seconds);
    if (rawDamage) rawDamage->lost(seconds);
    resetDecoder = true;
  }
  // Where nothing decodes after the damage (a file cut inside a sample frame, bytes after the
  // last packet that are none), the stream ends at its last good frame, and a warning says where.
  // Where the file could not be read on, skipped() says so too.
  void warnOfDamageAtTheEnd() {
    if (!unreadable.empty()) {
      logger.warning("The audio of " + path + " cannot be read after " + formatFixed(position, 3) + " s (" +
                     unreadable + "): it ends there");
      skipped.push_back(SkippedDamage{position, 0, false, std::exchange(unreadable, {})});
      damagedAt = -1;
    }
    if (damagedAt < 0) return;
    logger.warning("The audio of " + path + " is damaged after " + formatFixed(damagedAt, 3) +
                   " s: nothing decodes after it, and it ends there");
    // More of the stream's bytes than a packet cut short or a stray tail lie past its last good
    // packet (its second half overwritten, say): the rest of its sound is missing, and skipped()
    // says so. Where the container's index tells where its packets end (an M4A's index may lie
    // after them), what lies past that is none of the sound, and the packets it says were lost
    // are told as other damage is.
    const std::optional<int64_t> indexed = soundEnd();
    const int64_t end = indexed ? *indexed : fileSize;
    const int64_t left = end > 0 && goodStart > 0 ? end - goodStart : 0;
    const double bytesPerSecond = position > 0 ? double(goodStart) / position : 0;
    if (left > kMostTailBytes && double(left) > bytesPerSecond * kMostTailSeconds) {
      skipped.push_back(SkippedDamage{damagedAt, 0, false, ffmpegErrorText(AVERROR_INVALIDDATA)});
    } else if (indexed && refusedSeconds > 0) {
      skipped.push_back(SkippedDamage{damagedAt, refusedSeconds});
    }
    damagedAt = -1;
  }
  // Where the stream's packets end in the file, by the container's index of every one of them
  // (MP4 and CAF keep one); nothing without such an index.
  std::optional<int64_t> soundEnd() const {
    if (!format->iformat || !MediaBounds::indexesEveryPacket(*format->iformat)) return std::nullopt;
    AVStream* stream = format->streams[streamIndex];
    int64_t end = -1;
    for (int i = 0, count = avformat_index_get_entries_count(stream); i < count; ++i) {
      if (const AVIndexEntry* entry = avformat_index_get_entry(stream, i))
        end = std::max(end, entry->pos + entry->size);
    }
    if (end <= 0 || (fileSize > 0 && end > fileSize)) return std::nullopt;
    return end;
  }

  // A decoding failed: true when the run of such failures is longer than the file could make
  // packets for (MediaBounds::mostFailedRun).
  bool failedPastBound() { return ++failedRun > MediaBounds::mostFailedRun(fileSize); }
  // The end of the stream where nothing decodable follows; before any sound, the file is refused.
  std::nullptr_t endOnDamage() {
    if (!decoded) fail(AudioFileError::Kind::readFailed, AVERROR_INVALIDDATA);
    ended = true;
    warnOfDamageAtTheEnd();
    return nullptr;
  }

  // The received frame laid out in the file's seconds: after damage, silence stands for what
  // could not be decoded where the container says how long that lasted.
  const AVFrame* received() {
    FrameTimeline::correctRate(*frame, *codec);
    decoded = true;
    failedRun = 0;
    const double stamp = frame->best_effort_timestamp == AV_NOPTS_VALUE
                             ? -1.0
                             : double(frame->best_effort_timestamp) * av_q2d(timeBase) - streamStart;
    const int rate = std::max(frame->sample_rate, 1);  // a frame without one is refused by the converter
    const FrameTimeline::Placement placed = timeline->place(stamp, double(frame->nb_samples) / rate, damagedAt >= 0);
    position = placed.start + double(frame->nb_samples) / rate;
    placeKeeper->delivered(*frame, placed.start, damagedAt >= 0);
    const bool starved = rawDamage && damagedAt >= 0 && starvedFrames < kMostStarvedFrames && digitalSilence(*frame);
    if (!starved) goodStart = takenStart;
    if (starved) {
      ++starvedFrames;  // part of the damage, which the next frame of sound tells
    } else if (damagedAt >= 0 || placed.silence > 0) {
      const double at =
          damagedAt >= 0 ? std::min(damagedAt, placed.start - placed.silence) : placed.start - placed.silence;
      SkippedDamage damage{at, placed.silence > 0 ? placed.silence : refusedSeconds};
      if (rawDamage) {
        const RawDamageMeasure::Loss loss = rawDamage->settle();
        damage.seconds = loss.seconds;
        damage.estimated = loss.estimated;
      }
      skipped.push_back(damage);
      logger.warning("The audio of " + path + " is damaged at " + formatFixed(at, 3) +
                     " s: " + (damage.estimated ? "about " : "") + formatFixed(damage.seconds, 3) +
                     " s could not be decoded and were skipped");
      damagedAt = -1;
      refusedSeconds = 0;
      starvedFrames = 0;
    }
    if (placed.silence <= 0) return statedEnd->deliver(*frame, placed.start);
    silenceLeft = placed.silence;
    frameWaiting = true;
    waitingStart = placed.start;
    return nextSilence();
  }

  // The decoder took the packet lying at `at` in the file (-1: not known).
  void tookPacket(int64_t at) {
    if (at >= 0) takenStart = at;
    // Bytes that were no packet before it, read past without a word, are damage all the same.
    if (rawDamage && rawDamage->isDamaged() && damagedAt < 0) damagedAt = position;
    placeKeeper->took(*packet, at, damagedAt >= 0);
  }

  // The next slice of silence, a second at most.
  const AVFrame* nextSilence() {
    if (!silence) silence = av_frame_alloc();
    const int rate = std::max(frame->sample_rate, 1);
    const int samples = int(std::clamp<int64_t>(std::llround(silenceLeft * rate), 1, rate));
    if (!silence || !FrameTimeline::makeSilence(*silence, *frame, samples)) {
      fail(AudioFileError::Kind::readFailed, AVERROR(ENOMEM));
    }
    silenceLeft = samples >= std::llround(silenceLeft * rate) ? 0 : silenceLeft - double(samples) / rate;
    return silence;
  }
};

AudioFileDecoder::AudioFileDecoder(const std::string& path) : m_impl(std::make_unique<Impl>()) {
  MediaBounds::apply();
  Impl& d = *m_impl;
  d.path = path;
  int status = avio_open(&d.input, path.c_str(), AVIO_FLAG_READ);
  if (status < 0) d.fail(AudioFileError::Kind::openFailed, status);
  std::string start(MediaBounds::kProbeBytes, '\0');
  const int got = avio_read(d.input, reinterpret_cast<unsigned char*>(start.data()), int(start.size()));
  start.resize(std::size_t(std::max(got, 0)));
  if (const int64_t back = avio_seek(d.input, 0, SEEK_SET); back < 0) {
    d.failOnReading(AudioFileError::Kind::openFailed, int(back));
  }
  d.allowance.emplace(avio_size(d.input), start);
  d.format = avformat_alloc_context();
  if (!d.format) d.fail(AudioFileError::Kind::openFailed, AVERROR(ENOMEM));
  d.format->pb = d.input;
  d.format->flags |= AVFMT_FLAG_CUSTOM_IO;
  status = avformat_open_input(&d.format, path.c_str(), nullptr, nullptr);
  if (status < 0) d.failOnReading(AudioFileError::Kind::openFailed, status);
  status = MediaBounds::findStreamInfo(*d.format);
  if (status < 0) d.failOnReading(AudioFileError::Kind::openFailed, status);
  // A read that failed while the header was looked into (a tag at the file's end, say) is not
  // the stream's: only one that fails while the stream is read says the rest is missing.
  if (d.format->pb) d.format->pb->error = 0;
  const AVCodec* decoder = nullptr;
  d.streamIndex = av_find_best_stream(d.format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (d.streamIndex < 0 || !decoder) {
    throw AudioFileError(AudioFileError::Kind::openFailed, path, "no audio stream");
  }
  d.decoder = decoder;
  d.openDecoder(AudioFileError::Kind::openFailed);
  if (const auto refusal = AudioHeader::refusal(*d.format->streams[d.streamIndex]->codecpar, *d.codec)) {
    throw AudioFileError(AudioFileError::Kind::openFailed, path, *refusal);
  }
  if (d.codec->sample_rate <= 0 || d.codec->ch_layout.nb_channels <= 0) {
    throw AudioFileError(AudioFileError::Kind::openFailed, path, "audio stream without rate or channels");
  }
  const AVStream* stream = d.format->streams[d.streamIndex];
  d.timeBase = stream->time_base;
  d.streamStart = double(FrameTimeline::streamStart(*d.format, d.streamIndex)) * av_q2d(d.timeBase);
  const bool endStated = d.format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE && stream->duration > 0 &&
                         stream->duration != AV_NOPTS_VALUE;
  d.statedEnd.emplace(endStated ? double(stream->duration) * av_q2d(d.timeBase) : -1.0, path);
  d.timeline.emplace(*d.format, d.streamIndex);
  d.fileSize = d.format->pb ? avio_size(d.format->pb) : -1;
  d.placeKeeper.emplace(path, d.fileSize, FrameTimeline::placesByPosition(*d.format),
                        FrameTimeline::rawFormat(*d.format));
  if (const AVInputFormat* raw = FrameTimeline::rawFormat(*d.format)) {
    // Past damage the packets are looked for in the file, through a reader of its own.
    auto file = std::make_shared<std::ifstream>();
    d.rawDamage.emplace(*raw, [file, path](int64_t offset, uint8_t* buffer, int64_t size) -> int64_t {
      if (!file->is_open()) file->open(path, std::ios::binary);
      file->clear();
      if (!file->seekg(offset)) return -1;
      file->read(reinterpret_cast<char*>(buffer), size);
      return file->gcount();
    });
  }
  d.packet = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.packet || !d.frame) d.fail(AudioFileError::Kind::openFailed, AVERROR(ENOMEM));
}

AudioFileDecoder::~AudioFileDecoder() = default;

void AudioFileDecoder::setProgressHandler(std::function<void(double)> handler) {
  Impl& d = *m_impl;
  d.onProgress = std::move(handler);
}

int AudioFileDecoder::sampleRate() const {
  return m_impl->codec->sample_rate;
}
int AudioFileDecoder::channelCount() const {
  return m_impl->codec->ch_layout.nb_channels;
}

int64_t AudioFileDecoder::estimatedFrames() const {
  const AVStream* stream = m_impl->format->streams[m_impl->streamIndex];
  int64_t duration = stream->duration;
  AVRational base = stream->time_base;
  if (duration <= 0 && m_impl->format->duration > 0) {
    duration = m_impl->format->duration;
    base = AVRational{1, AV_TIME_BASE};
  }
  if (duration <= 0) return 0;
  return av_rescale_q(duration, base, AVRational{1, sampleRate()});
}

const AVFrame* AudioFileDecoder::nextFrame() {
  Impl& d = *m_impl;
  if (const AVFrame* held = d.statedEnd->next()) return held;
  if (d.ended) return nullptr;
  if (d.silenceLeft > 0) return d.nextSilence();
  if (d.frameWaiting) {
    d.frameWaiting = false;
    return d.statedEnd->deliver(*d.frame, d.waitingStart);
  }
  for (;;) {
    av_frame_unref(d.frame);
    int status = avcodec_receive_frame(d.codec, d.frame);
    if (status == 0) {
      if (d.frame->nb_samples <= 0) continue;
      if (!FrameTimeline::holdsNoSound(*d.frame, *d.codec)) return d.received();
      d.skipNoSound();
      if (d.failedPastBound()) return d.endOnDamage();
      continue;
    }
    if (status == AVERROR_EOF) {
      d.warnOfDamageAtTheEnd();
      return nullptr;
    }
    if (status != AVERROR(EAGAIN)) {
      d.skipDamage(status);
      d.resetDecoder = true;
      if (++d.errorsWithoutInput > FrameTimeline::kMostErrorsPerPacket || d.failedPastBound()) {
        return d.endOnDamage();
      }
      continue;
    }
    if (d.inputDone) {
      if (d.flushed) {
        d.warnOfDamageAtTheEnd();
        return nullptr;
      }
      d.flushed = true;
      avcodec_send_packet(d.codec, nullptr);
      continue;
    }
    status = av_read_frame(d.format, d.packet);
    d.reportPosition();
    if (auto error = takeReadError(*d.format, status)) {
      // The file could not be read on (a failing disk, a network share gone away), which is not
      // its end: what was read is kept, and the rest said to be missing; before any sound, the
      // file is refused, for that.
      if (!d.decoded) throw AudioFileError(AudioFileError::Kind::unreadable, d.path, *error);
      d.unreadable = std::move(*error);
      d.inputDone = true;
      continue;
    }
    if (status == AVERROR_INVALIDDATA) {
      // Bytes that are no packet: read on past them, as long as reading moves on.
      d.skipDamage(status);
      d.resetDecoder = true;
      const int64_t at = avio_tell(d.format->pb);
      d.inputDone = at <= d.unreadableAt;
      d.unreadableAt = at;
      continue;
    }
    if (status < 0) {
      // Any other error of the reader (a header cut short, a packet whose size runs past the
      // file, chunks found inconsistent) ends the sound there, as the ffmpeg tool ends it, when
      // there was some; before any, the file is refused.
      if (status != AVERROR_EOF) {
        if (!d.decoded) d.fail(AudioFileError::Kind::readFailed, status);
        if (d.damagedAt < 0) d.damagedAt = d.position;
      }
      d.inputDone = true;
      continue;
    }
    if (d.packet->stream_index == d.streamIndex) {
      d.timeline->stampPacket(*d.packet);
      if (d.resetDecoder) d.openDecoder(AudioFileError::Kind::readFailed);
      d.resetDecoder = false;
      MediaBounds::bound(*d.codec, d.packet->size);
      status = avcodec_send_packet(d.codec, d.packet);
      d.errorsWithoutInput = 0;
      // A packet the decoder refuses is skipped like players do (before any sound too); the rest
      // of the file still decodes. The tag in front of a joined part's header is no damage.
      if (status == AVERROR(ENOMEM)) {
        av_packet_unref(d.packet);
        d.fail(AudioFileError::Kind::readFailed, status);
      }
      const bool refused = status < 0 && status != AVERROR(EAGAIN) && !FrameTimeline::isJointTag(*d.packet);
      d.resetDecoder = refused;
      if (refused) {
        d.skipRefused(status);
        if (d.failedPastBound()) {
          av_packet_unref(d.packet);
          return d.endOnDamage();
        }
      } else if (status >= 0 || (d.rawDamage && FrameTimeline::isJointTag(*d.packet))) {
        // A raw stream's packet is found in the file: the position FFmpeg states may lie short.
        d.tookPacket(d.rawDamage ? d.rawDamage->taken(*d.packet) : d.packet->pos);
      }
    }
    av_packet_unref(d.packet);
  }
}

const std::vector<SkippedDamage>& AudioFileDecoder::skipped() const {
  return m_impl->skipped;
}

const SoundPlaces& AudioFileDecoder::places() const {
  return m_impl->placeKeeper->places();
}

void AudioFileDecoder::checkResampling(int outRate) const {
  const int rate = m_impl->codec->sample_rate;
  if (static_cast<int64_t>(outRate) > static_cast<int64_t>(rate) * kMaxUpsampling) {
    throw AudioFileError(
        AudioFileError::Kind::openFailed, m_impl->path,
        "a sample rate of " + std::to_string(rate) + " Hz cannot be resampled to " + std::to_string(outRate) + " Hz");
  }
}

}  // namespace voxtrellis
