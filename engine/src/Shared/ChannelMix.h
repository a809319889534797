#pragma once

#include <cstdint>
#include <vector>

namespace voxtrellis::ChannelMix {

// Adds the mean of `channelCount` planar channels for `frames` frames to
// `out`: the channel samples are summed in channel order from 0 in single
// precision, then multiplied by the single-precision reciprocal of the count.
void appendMix(const float* const* channels, int channelCount, int64_t frames, std::vector<float>& out);

}  // namespace voxtrellis::ChannelMix
