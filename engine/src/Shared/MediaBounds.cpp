#include <voxtrellis/MediaBounds.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace voxtrellis {

void MediaBounds::apply() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_FATAL);
    av_max_alloc(kMostAllocation);
  });
}

void MediaBounds::bound(AVCodecContext& codec) {
  codec.max_samples = kMostFrameSamples;
}

void MediaBounds::bound(AVCodecContext& codec, int bytes) {
  codec.max_samples =
      std::clamp(int64_t(std::max(bytes, 0)) * kMostSamplesPerByte, kLeastFrameSamples, kMostFrameSamples);
}

int MediaBounds::findStreamInfo(AVFormatContext& container) {
  std::vector<AVDictionary*> options(container.nb_streams, nullptr);
  const std::string most = std::to_string(kMostFrameSamples);
  for (AVDictionary*& streamOptions : options) av_dict_set(&streamOptions, "max_samples", most.c_str(), 0);
  const int status = avformat_find_stream_info(&container, options.empty() ? nullptr : options.data());
  for (AVDictionary*& streamOptions : options) av_dict_free(&streamOptions);
  return status;
}

int64_t MediaBounds::mostFailedRun(int64_t fileSize) {
  return std::max(kLeastFailedRun, fileSize / kLeastPacketBytes);
}

}  // namespace voxtrellis
