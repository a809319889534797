#include "Services/PlaybackDecoder.h"

#include "Services/DescriptorInput.h"
#include "Services/PlaybackConversion.h"
#include "Services/RawStreamIndex.h"

#include <voxtrellis/AudioHeader.h>
#include <voxtrellis/FrameTimeline.h>
#include <voxtrellis/MediaBounds.h>
#include <voxtrellis/ReadError.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace parlowvista {

namespace {

// A seek decodes from this much before its target and drops what lies before it: MP3's frames
// draw on the bytes of the frames before them (its bit reservoir), and AAC's and Vorbis's
// overlap them, so the first frames a decoder gives after a seek are silent or half there.
constexpr double kPrerollSeconds = 0.25;
// Packets let go at most while looking for the one a seek by position went to.
constexpr int kMostPassedBy = 32;

}  // namespace

struct PlaybackDecoder::State {
  QString path;
  QAudioFormat format;
  int fd = -1;
  // What FFmpeg may allocate while the file is open (the index's container reads it too).
  std::optional<voxtrellis::MediaBounds::FileAllowance> allowance;
  std::unique_ptr<DescriptorInput> input;
  AVFormatContext* container = nullptr;  // input's
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  std::unique_ptr<PlaybackConversion> conversion;
  int stream = -1;
  AVRational timeBase{1, 1};
  int64_t startTime = 0;  // the stream's first timestamp, in its time base
  double announced = 0;
  // Where frames lie, as the loader lays them out; where raw MP3 and ADTS packets lie.
  std::optional<voxtrellis::FrameTimeline> timeline;
  // The loader's places of the file's sound, gone to by position in raw MP3, ADTS and FLAC
  // (`byPosition`), else by the container's stamp; without them, raw MP3 and ADTS have the index.
  std::shared_ptr<const voxtrellis::SoundPlaces> places;
  bool byPosition = false;
  std::unique_ptr<RawStreamIndex> raw;
  // A seek went by position: the reader's own index of stamps is of no use since.
  bool soughtByPosition = false;
  // FFmpeg finds a FLAC file's start by searching among its frames, and passes over any that are
  // not in order (a copy of its last ones in the header's padding): its start is read again from
  // the file's start, as the loader read it.
  bool startSearched = false;
  // The packet a seek went to (its signature, and its stamp where it went by that), and how many
  // read before it came are let go.
  struct Awaited {
    uint64_t signature = 0;
    std::optional<int64_t> stamp;
  };
  std::optional<Awaited> awaited;
  int passedBy = 0;
  // Where the loader laid out the sound of the packet a seek to one of its places went to
  // (seconds), and that packet's stamp as read here, once it came: the frame out of it lies there.
  std::optional<double> placeSeconds;
  std::optional<int64_t> placeStamp;

  bool flushSent = false;  // the end of the input was told to the decoder
  bool codecDrained = false;
  bool resamplerDrained = false;
  bool failed = false;         // decoding stopped on an error
  QString unreadable;          // why the file could not be read on, when it last could not
  bool soundDecoded = false;   // some sound came out of the file since it was opened
  bool damaged = false;        // damage was skipped since the last frame
  int64_t unreadableAt = -1;   // the file's position at the last bytes that were no packet
  int errorsWithoutInput = 0;  // the decoder's errors since it was last given a packet
  int64_t failedRun = 0;       // failed decodes since the last frame of sound, as in the loader
  int64_t fileSize = -1;
  bool resetDecoder = false;  // damage was met since then: a new decoder takes the next, as in the loader
  double skipUntil = -1;      // sound before this (a seek's target, seconds) is dropped, -1 for none

  ~State() {
    raw.reset();
    closeContainer();
    if (fd >= 0) ::close(fd);
  }

  QString name() const { return QFileInfo(path).fileName(); }
  [[noreturn]] void fail(const QString& pattern) const { throw PlaybackError(pattern.arg(name())); }
  [[noreturn]] void cannotPlay(const QString& reason) const {
    throw PlaybackError(QStringLiteral("Cannot play %1: %2").arg(name(), reason));
  }

  void closeContainer() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    input.reset();
    container = nullptr;
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
    fileSize = info.st_size;
    std::string start(voxtrellis::MediaBounds::kProbeBytes, '\0');
    const ssize_t got = ::pread(fd, start.data(), start.size(), 0);
    start.resize(std::size_t(std::max<ssize_t>(got, 0)));
    allowance.emplace(fileSize, start);
    openContainer();
  }

  // Reads the container from the file's start.
  void openContainer() {
    input = std::make_unique<DescriptorInput>(fd, QFile::encodeName(path));
    const int opened = input->open(0);
    if (opened == AVERROR(ENOMEM)) cannotPlay(QStringLiteral("out of memory"));
    if (opened < 0) fail(QStringLiteral("Cannot open audio file: %1"));
    container = input->container();
    if (voxtrellis::MediaBounds::findStreamInfo(*container) < 0) fail(QStringLiteral("Cannot read audio file: %1"));
    // A read that failed while the header was looked into (a tag at the file's end, say) is not
    // the stream's, as in the loader.
    container->pb->error = 0;
    stream = av_find_best_stream(container, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0) fail(QStringLiteral("No audio stream in file: %1"));
    const AVStream* audio = container->streams[stream];
    timeBase = audio->time_base;
    startTime = voxtrellis::FrameTimeline::streamStart(*container, stream);
    if (container->duration != AV_NOPTS_VALUE && container->duration > 0) {
      announced = double(container->duration) / AV_TIME_BASE;
    } else if (audio->duration != AV_NOPTS_VALUE && audio->duration > 0) {
      announced = double(audio->duration) * av_q2d(audio->time_base);
    }
    timeline.emplace(*container, stream);
    byPosition = voxtrellis::FrameTimeline::placesByPosition(*container);
    startSearched = std::string_view(container->iformat->name) == "flac";
    if (places && !placesFit()) places.reset();
    if (!raw && !places) raw = RawStreamIndex::start(*container, stream, fd, QFile::encodeName(path));
    soughtByPosition = false;
    // Samples of a fixed size (PCM) lie at the rate times the block size: FFmpeg's seek in them
    // goes by the bytes per second the header states, which may be anything (a WAV stating the
    // mono figure of a stereo file played minute 15 for minute 30), where the loader, reading
    // them in order, never looks.
    AVCodecParameters* stated = audio->codecpar;
    if (av_get_exact_bits_per_sample(stated->codec_id) > 0 && stated->block_align > 0 && stated->sample_rate > 0) {
      stated->bit_rate = int64_t(stated->block_align) * stated->sample_rate * 8;
    }
    openDecoder();
    // What the loader refuses is refused here too, by the same check (see voxtrellis::AudioHeader).
    if (voxtrellis::AudioHeader::refusal(*audio->codecpar, *codec)) {
      cannotPlay(QStringLiteral("not an audio file, or damaged"));
    }
    if (codec->sample_rate <= 0 || codec->ch_layout.nb_channels <= 0) {
      cannotPlay(QStringLiteral("its audio has no sample rate or channels"));
    }
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!packet || !frame) cannotPlay(QStringLiteral("out of memory"));
  }

  // Reads of the file at positions of their own, for the places' checks.
  voxtrellis::SoundPlaces::ReadAt readAt() const {
    return [this](int64_t offset, uint8_t* buffer, int64_t size) -> int64_t {
      return ::pread(fd, buffer, std::size_t(size), offset);
    };
  }
  // The places given are of the file as it is now.
  bool placesFit() const {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    return places->fits(info.st_size, readAt());
  }

  // A decoder of the stream as the file's header describes it, in place of any before.
  void openDecoder() {
    avcodec_free_context(&codec);
    const AVCodecParameters* stated = container->streams[stream]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(stated->codec_id);
    if (!decoder) cannotPlay(QStringLiteral("no decoder for its audio"));
    codec = avcodec_alloc_context3(decoder);
    if (!codec || avcodec_parameters_to_context(codec, stated) < 0) {
      cannotPlay(QStringLiteral("no decoder for its audio"));
    }
    codec->pkt_timebase = timeBase;
    voxtrellis::MediaBounds::bound(*codec);
    if (avcodec_open2(codec, decoder, nullptr) < 0) cannotPlay(QStringLiteral("no decoder for its audio"));
    if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC && codec->ch_layout.nb_channels > 0) {
      const int channels = codec->ch_layout.nb_channels;
      av_channel_layout_uninit(&codec->ch_layout);
      av_channel_layout_default(&codec->ch_layout, channels);
    }
  }

  double stampedSeconds(int64_t timestamp) const { return double(timestamp - startTime) * av_q2d(timeBase); }
  int64_t timestampAt(double seconds) const {
    return av_rescale_q(std::llround(seconds * AV_TIME_BASE), AV_TIME_BASE_Q, timeBase) + startTime;
  }

  // Goes to a packet whose time is known: one of the loader's places, where the frame out of it
  // lies where the loader laid it, by its position (raw MP3, ADTS and FLAC: the reader's own
  // stamps after such a seek start again from 0, which also has it drop the encoder's delay from
  // the first packet, as the loader drops it from the file's first) or by the container's stamp
  // of it; without them, a raw file's packet of the index, by its position. The start, before any
  // seek by position, goes by its stamp, without waiting for the index (but see startSearched).
  // Nothing when neither knows a packet; false where the file is to be read again from its start.
  std::optional<bool> seekToKnownPacket(double from) {
    if (from <= 0 && !soughtByPosition) {
      if (startSearched) return false;
      timeline->restartCount(std::nullopt);
      return av_seek_frame(container, stream, startTime, AVSEEK_FLAG_BACKWARD) >= 0;
    }
    std::optional<voxtrellis::SoundPlaces::Place> place = places ? places->before(from) : std::nullopt;
    // The loader kept no place before it (damage from the file's start on): the file is read
    // again from its start, as the loader read it.
    if (place && place->seconds > from) return false;
    if (place && !voxtrellis::SoundPlaces::foundAt(*place, readAt())) {
      // Not the packet the loader found there: the file was changed since (edited in place, at
      // the same size), and its places are none of it. Seeks go by the index, as without them.
      qWarning().noquote() << "[PlaybackDecoder] The loader's places are not of" << name() << "as it is now";
      places.reset();
      place.reset();
      raw = RawStreamIndex::start(*container, stream, fd, QFile::encodeName(path));
      if (!raw) return std::nullopt;
    }
    std::optional<RawStreamIndex::Checkpoint> checkpoint;
    if (!places && raw) {
      checkpoint = raw->before(timestampAt(from));
    } else if (place) {
      placeSeconds = place->seconds;
      if (!byPosition) {
        awaited = Awaited{place->signature, place->stamp};
        return av_seek_frame(container, stream, place->stamp, AVSEEK_FLAG_BACKWARD) >= 0;
      }
      // The packets after it are counted on from the loader's own count of it, so that their
      // stamps are the loader's: past damage the loader laid the sound at that count.
      checkpoint = RawStreamIndex::Checkpoint{place->position, place->signature, place->stamp};
    }
    if (!checkpoint) return std::nullopt;
    timeline->restartCount(checkpoint->stamp);
    awaited = Awaited{checkpoint->signature, std::nullopt};
    soughtByPosition = true;
    return av_seek_frame(container, stream, checkpoint->position, AVSEEK_FLAG_BYTE) >= 0;
  }

  void seek(double seconds) {
    // A container read again for an earlier seek that could not be opened then is gone.
    if (!codec) cannotPlay(QStringLiteral("its audio cannot be read again"));
    seconds = std::max(0.0, seconds);
    flushSent = codecDrained = resamplerDrained = failed = damaged = false;
    errorsWithoutInput = 0;
    failedRun = 0;
    unreadableAt = -1;
    resetDecoder = false;
    awaited.reset();
    passedBy = 0;
    placeSeconds.reset();
    placeStamp.reset();
    // What is still to be converted, and what the converter holds, belong to the old position.
    conversion->reset();
    skipUntil = seconds;
    const double from = std::max(0.0, seconds - kPrerollSeconds);
    std::optional<bool> sought = raw || places || startSearched ? seekToKnownPacket(from) : std::nullopt;
    if (!sought) sought = av_seek_frame(container, stream, timestampAt(from), AVSEEK_FLAG_BACKWARD) >= 0;
    if (*sought) {
      avcodec_flush_buffers(codec);
      // Read from the stream's start, its frames are laid out as the loader lays them out from there.
      if (from <= 0 && !placeSeconds && !soughtByPosition) {
        timeline->restartFromStart();
      } else {
        timeline->restart(seconds);
      }
    } else {
      // Read again from its start, up to the target (a container that cannot seek, a seek before
      // the loader's first place, the start of a FLAC file).
      closeContainer();
      openContainer();
    }
  }

  // A part of the stream in a format nothing converts: it ends there, and says so.
  void noConversion() {
    qWarning().noquote() << "[PlaybackDecoder] No conversion for the audio of" << name();
    failed = true;
    codecDrained = resamplerDrained = true;
  }

  // Takes the decoded frame in where the loader lays it out (FrameTimeline), after silence
  // for frames lost to damage; drops what lies before a seek's target, counted in samples at
  // the frame's own rate.
  void take() {
    voxtrellis::FrameTimeline::correctRate(*frame, *codec);
    soundDecoded = true;
    failedRun = 0;
    const int rate = std::max(frame->sample_rate, 1);  // a frame without one is refused by the converter
    const double length = double(frame->nb_samples) / rate;
    const double stamp =
        frame->best_effort_timestamp == AV_NOPTS_VALUE ? -1.0 : stampedSeconds(frame->best_effort_timestamp);
    const bool atPlace =
        placeStamp && (frame->best_effort_timestamp == *placeStamp || frame->best_effort_timestamp == AV_NOPTS_VALUE);
    const voxtrellis::FrameTimeline::Placement placed =
        atPlace ? timeline->placeAt(*placeSeconds, length) : timeline->place(stamp, length, damaged);
    placeSeconds.reset();
    placeStamp.reset();
    damaged = false;
    double silence = placed.silence;
    int offset = 0;
    if (skipUntil >= 0) {
      if (placed.start + length <= skipUntil) {
        av_frame_unref(frame);
        return;
      }
      silence = std::clamp(placed.start - skipUntil, 0.0, placed.silence);
      offset = int(std::clamp<int64_t>(std::llround((skipUntil - placed.start) * rate), 0, frame->nb_samples - 1));
      skipUntil = -1;
    }
    conversion->take(*frame, silence, offset);
  }

  // Damage met after sound is skipped, as the loader skips it; before any, decoding stops.
  void skipDamage() {
    if (soundDecoded) {
      damaged = true;
      return;
    }
    qWarning().noquote() << "[PlaybackDecoder] Decoding stopped early:" << name();
    failed = true;
    codecDrained = true;
  }

  // A decoding failed: past the loader's bound on a run of them (voxtrellis::MediaBounds), the
  // file ends there, as the loader's sound does; before any sound, on an error.
  void failedDecode() {
    if (++failedRun <= voxtrellis::MediaBounds::mostFailedRun(fileSize)) return;
    failed = failed || !soundDecoded;
    codecDrained = true;
  }

  void endInput() {
    flushSent = true;
    avcodec_send_packet(codec, nullptr);
  }

  // The next packet to the decoder; at the end of the file (also where the bytes after the last
  // packet are none, and nothing follows), the end of the input.
  void feed() {
    const int read = av_read_frame(container, packet);
    if (const auto error = voxtrellis::takeReadError(*container, read)) {
      // The file cannot be read on (a failing disk, a network share gone away), which is not its
      // end: decoding stops on an error there, as the loader's sound ends there. A seek tries again.
      unreadable = QString::fromStdString(*error);
      failed = true;
      endInput();
      return;
    }
    if (read >= 0) unreadable.clear();  // read again since, from a seek
    if (read == AVERROR_INVALIDDATA && soundDecoded) {
      // Bytes that are no packet: read on past them, as long as reading moves on.
      damaged = resetDecoder = true;
      const int64_t at = avio_tell(container->pb);
      if (at <= unreadableAt) endInput();
      unreadableAt = at;
      return;
    }
    if (read < 0) {
      // Any other read error ends it too, where the loader ends it (a header cut short, a packet
      // whose size runs past the file); before any sound, decoding stopped on an error.
      if (read != AVERROR_EOF && !soundDecoded) failed = true;
      endInput();
      return;
    }
    bool arrived = false;
    if (packet->stream_index == stream && awaited) {
      // Packets that lie before the one a seek went to, read first past damage: let go.
      arrived = voxtrellis::SoundPlaces::signatureOf(packet->data, packet->size) == awaited->signature &&
                (!awaited->stamp || packet->pts == *awaited->stamp);
      if (!arrived && ++passedBy <= kMostPassedBy) {
        av_packet_unref(packet);
        return;
      }
      awaited.reset();
    }
    if (packet->stream_index == stream) {
      timeline->stampPacket(*packet);
      if (arrived && placeSeconds) {
        placeStamp = packet->pts;
        // The place is where the loader laid the packet's whole sound: the samples FFmpeg has a
        // decoder drop from the first packet after a seek (an encoder's delay, which a damaged
        // time base had it reckon in the middle of an M4A file) are kept, and dropped where they
        // lie before the seek's target.
        std::size_t size = 0;
        uint8_t* skip = av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
        if (skip && size >= 4) std::fill_n(skip, 4, uint8_t(0));
      }
      if (resetDecoder) openDecoder();
      voxtrellis::MediaBounds::bound(*codec, packet->size);
      const int sent = avcodec_send_packet(codec, packet);
      errorsWithoutInput = 0;
      // A packet the decoder refuses is skipped, as the loader skips it; the tag in front of a
      // joined part's header is no damage.
      resetDecoder = sent < 0 && sent != AVERROR(EAGAIN) && !voxtrellis::FrameTimeline::isJointTag(*packet);
      // Before any sound too: the sound then begins after damage, as in the loader.
      if (resetDecoder) {
        damaged = true;
        failedDecode();
      }
    }
    av_packet_unref(packet);
  }

  bool decode(QByteArray& out, qsizetype wanted) {
    if (!codec) {
      failed = true;
      return false;
    }
    const qsizetype target = out.size() + wanted;
    while (out.size() < target) {
      if (conversion->pending()) {
        if (!conversion->step(out)) noConversion();
        continue;
      }
      if (codecDrained) {
        if (resamplerDrained) return false;
        resamplerDrained = true;
        if (!conversion->drain(out)) noConversion();
        continue;
      }
      const int received = avcodec_receive_frame(codec, frame);
      if (received == 0) {
        if (frame->nb_samples <= 0) {
          av_frame_unref(frame);
        } else if (voxtrellis::FrameTimeline::holdsNoSound(*frame, *codec)) {
          // Skipped as the loader skips it, before any sound too; a new decoder takes the next.
          av_frame_unref(frame);
          damaged = resetDecoder = true;
          placeStamp.reset();
          failedDecode();
        } else {
          take();
        }
      } else if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && flushSent)) {
        codecDrained = true;
      } else if (received != AVERROR(EAGAIN)) {
        skipDamage();
        resetDecoder = true;
        failedDecode();
        if (++errorsWithoutInput > voxtrellis::FrameTimeline::kMostErrorsPerPacket) codecDrained = true;
      } else {
        feed();
      }
    }
    return true;
  }
};

PlaybackDecoder::PlaybackDecoder(const QString& path, const QAudioFormat& format,
                                 std::shared_ptr<const voxtrellis::SoundPlaces> places)
    : m_state(std::make_unique<State>()) {
  voxtrellis::MediaBounds::apply();
  m_state->path = path;
  m_state->places = std::move(places);
  m_state->format = format;
  m_state->conversion = std::make_unique<PlaybackConversion>(format, m_state->name());
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

bool PlaybackDecoder::seeksByLoadersPlaces() const {
  return m_state->places != nullptr;
}

QString PlaybackDecoder::stopReason() const {
  const State& d = *m_state;
  if (!d.failed) return {};
  if (d.unreadable.isEmpty()) return QStringLiteral("Cannot play %1: its audio cannot be decoded").arg(d.name());
  if (!d.soundDecoded) return QStringLiteral("Cannot play %1: it cannot be read (%2)").arg(d.name(), d.unreadable);
  return QStringLiteral("The rest of %1 cannot be read (%2): playback stops here").arg(d.name(), d.unreadable);
}

}  // namespace parlowvista
