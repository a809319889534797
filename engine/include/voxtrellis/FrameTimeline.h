#pragma once

#include <cstdint>
#include <optional>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVInputFormat;
struct AVPacket;

namespace voxtrellis {

// Where the frames of a file's audio stream lie in its sound, in the seconds the engine's loader
// counts: the application's player lays its frames out by the same rules, so that a
// transcript's times and the player's position agree on every file, damaged or not.
// - Raw MP3 and ADTS AAC have no stamps of their own (FFmpeg's readers count their packets at
//   one rate, off wherever a joined file changes its rate): their packets are stamped here, read
//   in order, by the length each one's own header states (rawFrame), counted from the stream's
//   start. A packet without such a header (the tag in front of a joined part) lasts nothing.
// - A frame lies at its stamp where that is later than where the sound before it ended after
//   damage was skipped, or in Ogg by more than a tenth of a second (its reader drops damaged
//   pages without a word, and stamps frames inside a page a few milliseconds off): the stretch
//   between could not be decoded and is silence of its length, at most as long as the packets read
//   since the frame before could hold (each as long as the longest frame, twice over; not in Ogg
//   and FLAC, whose reader and parser pass over damage unseen), in FLAC as long as the bytes read
//   since could hold (its parser hands every byte on: at the most seconds a byte held in a frame
//   so far, four times over; a copy of a file's last frame in front of its first, numbered 2.9 s,
//   laid 2.9 s of silence before the file's sound). Otherwise it follows on from the frame
//   before: a container's stamps that run ahead of its frames without damage (a CAF header
//   stating 4096 frames per packet of one) are no sound, and the file gives no more than its
//   frames hold.
// - A stamp earlier than where the sound before it ended, or past the file's stated length, is
//   not believed: the frame follows on (stamps counted short across a joint, a damaged frame's
//   header). Nor is any in a container that counts its stamps in samples at the rate its header
//   states, where that is not the decoder's rate (a damaged header).
// - After a seek the first frame lies at its stamp; where that lies past the target, silence
//   fills the stretch up to it, as long as the packets read since could hold, at most (as above).
// Positions are in seconds: a stream may change its rate midway.
class FrameTimeline {
 public:
  FrameTimeline(const AVFormatContext& container, int stream);

  // Raw MP3 and ADTS: stamps a packet of the stream read next where its frame lies (see above),
  // and moves the count on by its length. Other packets and formats keep their stamps. Every
  // packet of the stream read is told here, before it goes to the decoder.
  void stampPacket(AVPacket& packet);
  // Packets read from now on follow one stamped `stamp` in the stream's time base (a seek to a
  // packet whose stamp is known), or, without one, the stream's start (its first packet's stamp).
  void restartCount(std::optional<int64_t> stamp) { m_count = stamp; }
  bool countsPackets() const { return m_raw != nullptr; }

  struct Placement {
    double start = 0;    // seconds
    double silence = 0;  // seconds of silence that come before it, from start - silence on
  };
  // The next decoded frame, stamped at `stamp` seconds (negative: without a stamp), `length`
  // seconds long; `afterDamage`: damage was skipped since the frame before.
  Placement place(double stamp, double length, bool afterDamage);
  // A seek to `target` seconds: the next frame lies at its stamp (see above).
  void restart(double target);
  // A seek to the stream's start: frames are laid out as they are from there when it is first read.
  void restartFromStart();
  // The next frame, `length` seconds long, lies at `start` seconds whatever its stamp (a seek
  // went to the packet it came out of, whose sound the loader laid out there), after silence
  // from the seek's target up to it where that lies before it.
  Placement placeAt(double start, double length);

  // What the header of a raw MP3 or ADTS AAC packet states it holds: samples, at its rate;
  // nothing in another format, or without such a header.
  struct RawFrame {
    int samples = 0;
    int rate = 0;
    // An ADTS packet whose header states too long a frame holds the frames after it too, which
    // the decoder decodes (they count in `samples`) up to one it ends inside: that one's bytes.
    int cutBytes = 0;
  };
  // Where the stream's sound begins, in its time base: the stamp FFmpeg finds on its first
  // packet, but 0 for FLAC, whose frames number their samples from the stream's start (FFmpeg's
  // parser merges a damaged first frame with those after it and lends the packet a later one's
  // stamp, which would move every frame of the file).
  static int64_t streamStart(const AVFormatContext& container, int stream);
  // The format when it is raw MP3 or ADTS AAC, else null.
  static const AVInputFormat* rawFormat(const AVFormatContext& container);
  // Raw MP3, ADTS AAC and FLAC: formats in which FFmpeg finds a time by reckoning (a count of
  // packets, a guess from the bit rate, a search among frames that damage may have made up), so
  // that the player goes to the loader's places of their sound (SoundPlaces) by position; in
  // others, by the container's own stamp of the packet.
  static bool placesByPosition(const AVFormatContext& container);
  static RawFrame rawFrame(const AVInputFormat& format, const AVPacket& packet);
  // Errors a decoder may give for one packet (a damaged packet holding several frames): one that
  // says so more often without being given more input is stuck, no damage it gets past, and
  // decoding ends there.
  static constexpr int kMostErrorsPerPacket = 64;
  // A frame a lossy decoder gave out of a damaged packet it took without an error, holding no
  // sound: a sample past kMostLevel times full scale, or no number (a flipped bit in an AAC
  // packet gave 100 000 times full scale, which played as a blast, and whose faint trace left by
  // resampling to 16 kHz differed with what the decoder had decoded before: after a seek the
  // player's differed from the loader's). Such a frame is damage, skipped like a refused packet.
  // Never a frame of PCM, whose floating-point samples may be of any scale.
  static bool holdsNoSound(const AVFrame& frame, const AVCodecContext& codec);
  static constexpr double kMostLevel = 256;
  // FFmpeg's MP3 decoder labels the first frame after a change of rate (the joint of a file
  // joined end to end, or a seek across one) with the rate it decoded before, although its
  // samples are at the new one, which the codec context holds by then: the frame gets it.
  static void correctRate(AVFrame& frame, const AVCodecContext& codec);
  // A packet a decoder refuses that is an ID3 tag in front of a later part's header frame (an
  // MP3 joined end to end), not damage.
  static bool isJointTag(const AVPacket& packet);
  // Makes `frame` `samples` samples of silence in the sample format, rate and channel layout of
  // `like`. False when there is not enough memory.
  static bool makeSilence(AVFrame& frame, const AVFrame& like, int samples);

 private:
  const AVInputFormat* m_raw;
  bool m_dropsSilently;            // the reader drops damaged parts without a word (Ogg)
  bool m_stampsCount = true;       // its stamps count at the sound's rate (see above)
  bool m_readsEveryPacket = true;  // its reader gives every packet, also damaged ones (not Ogg, FLAC)
  bool m_givesEveryByte = false;   // its packets hold every byte of the stream, damaged ones too (FLAC)
  int m_stream;
  int m_timeBaseNum, m_timeBaseDen;
  std::optional<int64_t> m_count;  // the stamp of the raw packet read next
  double m_longest = 0;            // seconds past which no stamp is believed; 0 for no bound
  double m_end = 0;
  bool m_settled = true;             // false from a seek until its first frame
  double m_longestFrame = 0;         // seconds, of the frames laid out
  int64_t m_packetsSincePlaced = 0;  // packets read since the last frame laid out
  int64_t m_bytesSincePlaced = 0;    // their bytes
  int m_lastPacketBytes = 0;         // of the packet read last
  double m_densest = 0;              // the most seconds a byte of a frame's packet held

  void settle(double start, double length);
};

}  // namespace voxtrellis
