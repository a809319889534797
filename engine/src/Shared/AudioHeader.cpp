#include <voxtrellis/AudioHeader.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string_view>

namespace voxtrellis {

std::optional<std::string> AudioHeader::refusal(const AVCodecParameters& stream, const AVCodecContext& opened) {
  const AVCodecDescriptor* kind = avcodec_descriptor_get(stream.codec_id);
  const int bits = av_get_exact_bits_per_sample(stream.codec_id);
  const int channels = stream.ch_layout.nb_channels;
  if (kind && std::string_view(kind->name).substr(0, 4) == "pcm_" && bits > 0 && bits % 8 == 0 &&
      stream.block_align > 0 && channels > 0 && stream.block_align != channels * bits / 8) {
    return "the header declares " + std::to_string(stream.bits_per_coded_sample) + " bits per sample in frames of " +
           std::to_string(stream.block_align) + " bytes";
  }
  for (const int rate : {stream.sample_rate, opened.sample_rate}) {
    if (rate > kMostRate || (rate > 0 && rate < kLeastRate)) {
      return "the header states a rate of " + std::to_string(rate) + " Hz";
    }
  }
  return std::nullopt;
}

}  // namespace voxtrellis
