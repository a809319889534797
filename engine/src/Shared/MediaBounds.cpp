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
#include <set>
#include <string>
#include <vector>

namespace voxtrellis {

namespace {

static_assert(sizeof(AVIndexEntry) == MediaBounds::kIndexEntryBytes, "a reader's index, as FFmpeg keeps it");

// The allowances of the files open, and the lock FFmpeg's bound is set under.
std::mutex allowancesLock;
std::multiset<std::size_t>& allowances() {
  static std::multiset<std::size_t> open;
  return open;
}
// Sets FFmpeg's bound to the largest allowance; under the lock.
void setBound() {
  av_max_alloc(allowances().empty() ? MediaBounds::kMostAllocation : *allowances().rbegin());
}

}  // namespace

void MediaBounds::apply() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_FATAL);
    const std::lock_guard lock(allowancesLock);
    setBound();
  });
}

std::size_t MediaBounds::mostAllocation(int64_t fileSize, std::string_view start) {
  if (fileSize <= 0 || start.empty()) return kMostAllocation;
  // FFmpeg's probes read past the bytes they are given, up to this much (zeroed).
  std::vector<unsigned char> bytes(start.size() + AVPROBE_PADDING_SIZE, 0);
  std::copy(start.begin(), start.end(), bytes.begin());
  AVProbeData probe{};
  probe.filename = "";
  probe.buf = bytes.data();
  probe.buf_size = int(std::min<std::size_t>(start.size(), kProbeBytes));
  const AVInputFormat* format = av_probe_input_format(&probe, 1);
  if (!format || !indexesEveryPacket(*format)) return kMostAllocation;
  const auto honest = std::size_t(std::min<int64_t>(fileSize, int64_t(kMostAllocationOfAny))) * kIndexEntryBytes;
  return std::clamp(honest, kMostAllocation, kMostAllocationOfAny);
}

bool MediaBounds::indexesEveryPacket(const AVInputFormat& format) {
  const std::string_view name = format.name ? format.name : "";
  return name.substr(0, 4) == "mov," || name == "caf";
}

MediaBounds::FileAllowance::FileAllowance(int64_t fileSize, std::string_view start)
    : m_bytes(mostAllocation(fileSize, start)) {
  apply();
  const std::lock_guard lock(allowancesLock);
  allowances().insert(m_bytes);
  setBound();
}

MediaBounds::FileAllowance::~FileAllowance() {
  const std::lock_guard lock(allowancesLock);
  allowances().erase(allowances().find(m_bytes));
  setBound();
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
