#include <voxtrellis/ReadError.h>

#include "Shared/AudioFileDecoder.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <utility>

namespace voxtrellis {

std::optional<std::string> takeReadError(AVIOContext* input) {
  if (!input || input->error >= 0) return std::nullopt;
  return ffmpegErrorText(std::exchange(input->error, 0));
}

std::optional<std::string> takeReadError(AVFormatContext& container, int status) {
  if (status >= 0) return std::nullopt;
  return takeReadError(container.pb);
}

}  // namespace voxtrellis
