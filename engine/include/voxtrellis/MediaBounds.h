#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct AVCodecContext;
struct AVFormatContext;
struct AVInputFormat;

namespace voxtrellis {

// What FFmpeg may spend on one file, for the engine's loader and the application's player alike:
// a damaged or hostile file of a few hundred kilobytes states sizes that FFmpeg would allocate
// and fill (a WAV's tag chunk stating 1.3 GB was zeroed whole before the file was refused; an
// ALAC header stating 16 million samples a frame had every packet zero a 130-MB frame).
// - A decoder's frames hold at most kMostFrameSamples samples of all channels (FFmpeg's own
//   per-decoder bound, `max_samples`): no codec frames more (FLAC's largest is 65535 samples of
//   8 channels). Nor more than kMostSamplesPerByte for each byte of the packet it decodes, or
//   kLeastFrameSamples: the most compact frames are FLAC's of digital silence, under 12 000
//   samples a byte (a 4-byte ALAC packet stating 262 144 samples a frame had each of 20 000 such
//   packets zero a megabyte before it failed). A frame stated larger is a decoding error, which
//   costs next to nothing.
// - A decoding that fails may still have cost a frame of that size: a run of failed decodes
//   (packets refused, decoder errors, frames of no sound) without sound between is the end of
//   what the file holds once it is longer than mostFailedRun() of its size, more than the
//   file's bytes could make packets of a real stream. So the time a file takes is bounded by its
//   size.
// - FFmpeg's readers of containers have no such bound of their own: one allocation of FFmpeg's is
//   never larger than what the files open may honestly need (av_max_alloc). That is
//   kMostAllocation, which nothing a reader of a sound file keeps comes near, but for the readers
//   that keep an index of every packet of the stream (MP4's and CAF's, indexesEveryPacket), in one
//   allocation of kIndexEntryBytes a packet: 128 MB is 31 hours of AAC at 48 kHz. Every packet is
//   at least a byte of its file (an M4A's table of packet sizes alone is 4 bytes a packet), so
//   such a file may take kIndexEntryBytes for each of its bytes, up to FFmpeg's own bound
//   (kMostAllocationOfAny): mostAllocation(). A hostile file of a few hundred kilobytes, and any
//   other kind of file (a WAV whose tag states 1.2 GB, say, however long it is), is held to
//   kMostAllocation.
//   FFmpeg has one bound for the process, and the loader, the player and the player's index open
//   files on threads of their own: the bound is that of the file open that may take the most
//   (FileAllowance). A hostile file opened beside a long M4A may take that file's bound, which is
//   still no more than the M4A may honestly cost by itself: what the process may spend stays in
//   proportion to the files it has open, and falls back once they are closed. The process uses
//   FFmpeg for nothing but sound.
class MediaBounds {
 public:
  static constexpr int64_t kMostFrameSamples = int64_t(1) << 20;
  static constexpr int64_t kLeastFrameSamples = int64_t(1) << 16;
  static constexpr int64_t kMostSamplesPerByte = int64_t(1) << 14;
  static constexpr std::size_t kMostAllocation = std::size_t(128) << 20;
  static constexpr std::size_t kMostAllocationOfAny = std::size_t(INT32_MAX);
  static constexpr std::size_t kIndexEntryBytes = 24;  // sizeof(AVIndexEntry)

  // Makes FFmpeg's process-wide settings, once: the bound above, and its console chatter
  // (duration estimates, skipped-sample notes) kept off the host's standard error (failures are
  // told otherwise). Called before any file is opened; safe from any thread.
  static void apply();
  // The most one allocation of FFmpeg's may take for a file of `fileSize` bytes (unknown:
  // negative) whose first bytes (kProbeBytes of them, or all when it has fewer) are `start`, as
  // FFmpeg finds its container from them: see above.
  static std::size_t mostAllocation(int64_t fileSize, std::string_view start);
  static constexpr int kProbeBytes = 4096;
  // The container's reader keeps an index of every packet of the stream (MP4 and CAF).
  static bool indexesEveryPacket(const AVInputFormat& format);
  // A file open, from before its container is opened to after it is closed: while it lives,
  // FFmpeg's bound is at least mostAllocation(fileSize, start). Applies the settings above. Safe
  // from any thread.
  class FileAllowance {
   public:
    FileAllowance(int64_t fileSize, std::string_view start);
    ~FileAllowance();
    FileAllowance(const FileAllowance&) = delete;
    FileAllowance& operator=(const FileAllowance&) = delete;

   private:
    std::size_t m_bytes;
  };
  // Bounds a decoder's frames; before avcodec_open2.
  static void bound(AVCodecContext& codec);
  // Bounds the frames the decoder makes of a packet of `bytes`; before it is sent.
  static void bound(AVCodecContext& codec, int bytes);
  // avformat_find_stream_info, with the decoders it opens to look at the streams bounded.
  static int findStreamInfo(AVFormatContext& container);
  // The most failed decodes in a row in a file of `fileSize` bytes (unknown: negative): one for
  // every kLeastPacketBytes of it, and never fewer than kLeastFailedRun.
  static int64_t mostFailedRun(int64_t fileSize);
  static constexpr int64_t kLeastPacketBytes = 64;
  static constexpr int64_t kLeastFailedRun = 256;
};

}  // namespace voxtrellis
