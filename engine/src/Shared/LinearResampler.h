#pragma once

#include <cstdint>
#include <vector>

namespace voxtrellis::LinearResampler {

// Adds the mean of `channelCount` planar channels for `frames` frames to
// `out`: the channel samples are summed in channel order from 0 in single
// precision, then multiplied by the single-precision reciprocal of the count.
void appendMix(const float* const* channels, int channelCount, int64_t frames, std::vector<float>& out);

// Linear-interpolation resampling of a mono signal from `inputRate` to
// `outputRate`. Equal rates return the input unchanged. Output length is
// trunc(n / (inputRate / outputRate)); the sample at or past the last input
// frame holds that frame.
std::vector<float> resample(std::vector<float> mix, double inputRate, double outputRate);

}  // namespace voxtrellis::LinearResampler
