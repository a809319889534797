#pragma once

#include <cstddef>
#include <cstdint>

struct AVCodecContext;
struct AVFormatContext;

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
// - FFmpeg's readers of containers have no such bound of their own: one allocation of FFmpeg's
//   is never larger than kMostAllocation, process-wide (av_max_alloc). Nothing a reader of a
//   sound file keeps comes near it (the largest is an M4A's index, 24 bytes a packet: 128 MB is
//   some 35 hours of AAC), and the process uses FFmpeg for nothing but sound.
class MediaBounds {
 public:
  static constexpr int64_t kMostFrameSamples = int64_t(1) << 20;
  static constexpr int64_t kLeastFrameSamples = int64_t(1) << 16;
  static constexpr int64_t kMostSamplesPerByte = int64_t(1) << 14;
  static constexpr std::size_t kMostAllocation = std::size_t(128) << 20;

  // Makes FFmpeg's process-wide settings, once: the bound above, and its console chatter
  // (duration estimates, skipped-sample notes) kept off the host's standard error (failures are
  // told otherwise). Called before any file is opened; safe from any thread.
  static void apply();
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
