#pragma once

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVInputFormat;
struct AVPacket;

namespace voxtrellis {

// Where the frames a decoder gives lie in a file's sound, in the seconds the engine's loader
// counts: the application's player lays its frames out by the same rules, so that a
// transcript's times and the player's position agree on every file, damaged or not.
// - A frame follows on from the one before, unless its stamp says it lies later in a file whose
//   container states where its frames lie (FLAC's sample numbers, MP4's sample tables, Ogg's
//   granules, PCM), after damage was skipped or by more than a tenth of a second (Ogg's reader
//   drops damaged pages without a word): the stretch between could not be decoded and is
//   silence of its length. Raw MP3 and ADTS AAC stamp their frames by counting them: there a
//   frame the decoder refuses is silence of the length its own header states (whose time a seek
//   finds by counting headers, as the player does).
// - A stamp earlier than where the sound before it ended, or past the file's stated length, is
//   not believed: the frame follows on (a joined file's stamps counted short across its joint,
//   a damaged frame's header).
// - After a seek the first frame lies at its stamp; where that lies past the target, silence
//   fills the stretch up to it.
// Positions are in seconds: a stream may change its rate midway.
class FrameTimeline {
 public:
  // `positioned`: the container states where its frames lie (stampsArePositions). `longest`:
  // the stated length of the stream in seconds, beyond which no stamp is believed; 0 when it is
  // not known.
  FrameTimeline(bool positioned, double longest);

  struct Placement {
    double start = 0;    // seconds
    double silence = 0;  // seconds of silence that come before it, from start - silence on
  };
  // The next decoded frame, stamped at `stamp` seconds (negative: without a stamp), `length`
  // seconds long; `afterDamage`: damage was skipped since the frame before, and in raw MP3 and
  // ADTS the decoder refused frames of `refused` seconds meanwhile (rawFrame).
  Placement place(double stamp, double length, bool afterDamage, double refused = 0);
  // A seek to `target` seconds: the next frame lies at its stamp (see above).
  void restart(double target);
  // Where the last frame placed ends, in seconds.
  double end() const { return m_end; }

  // The `longest` for a stream: the length its container states, and a second more; 0 where it
  // only guesses it from the bit rate.
  static double longestStamp(const AVFormatContext& container, int stream);
  // Errors a decoder may give for one packet (a damaged packet holding several frames): one that
  // says so more often without being given more input is stuck, no damage it gets past, and
  // decoding ends there.
  static constexpr int kMostErrorsPerPacket = 64;
  // Whether the container states where its frames lie: every format but those whose reader
  // counts frames (raw MP3 and raw ADTS AAC).
  static bool stampsArePositions(const AVFormatContext& container);
  // FFmpeg's MP3 decoder labels the first frame after a change of rate (the joint of a file
  // joined end to end, or a seek across one) with the rate it decoded before, although its
  // samples are at the new one, which the codec context holds by then: the frame gets it.
  static void correctRate(AVFrame& frame, const AVCodecContext& codec);
  // What the header of a raw MP3 or ADTS AAC packet states it holds: samples, at its rate;
  // nothing in another format, or without such a header.
  struct RawFrame {
    int samples = 0;
    int rate = 0;
    double seconds() const { return rate > 0 ? double(samples) / rate : 0.0; }
  };
  static RawFrame rawFrame(const AVInputFormat& format, const AVPacket& packet);
  // A packet a decoder refuses that is an ID3 tag in front of a later part's header frame (an
  // MP3 joined end to end), not damage.
  static bool isJointTag(const AVPacket& packet);
  // Makes `frame` `samples` samples of silence in the sample format, rate and channel layout of
  // `like`. False when there is not enough memory.
  static bool makeSilence(AVFrame& frame, const AVFrame& like, int samples);

 private:
  bool m_positioned;
  double m_longest;
  double m_end = 0;
  bool m_settled = true;  // false from a seek until its first frame
};

}  // namespace voxtrellis
