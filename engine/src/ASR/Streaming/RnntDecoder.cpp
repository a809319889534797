#include <voxtrellis/ASRError.h>
#include <voxtrellis/RnntDecoder.h>

#include "ASR/Streaming/EouJointModel.h"
#include "ASR/Streaming/EouPredictionModel.h"

namespace voxtrellis {

namespace {

struct State {
  int32_t lastToken = RnntDecoder::blankId;
  std::vector<float> h = std::vector<float>(RnntDecoder::hiddenSize, 0.0f);
  std::vector<float> c = std::vector<float>(RnntDecoder::hiddenSize, 0.0f);
};

// Element (0, i, t) of a [1, H, T] array for i = 0 ... H - 1, as [1, H, 1].
Tensor column(const MLMultiArray& array, int64_t t) {
  const int64_t width = array.shape()[1];
  Tensor out = Tensor::zeros(ElementType::float32, {1, width, 1});
  float* dst = out.data<float>();
  const float* src = array.dataAs<float>();
  const auto& strides = array.strides();
  for (int64_t i = 0; i < width; ++i) dst[i] = src[t * strides[2] + i * strides[1]];
  return out;
}

// The last step (0, i, U - 1) of a dense prediction [1, D, U], as [1, D, 1].
Tensor lastStep(const Tensor& prediction) {
  const int64_t width = prediction.shape()[1];
  const int64_t steps = prediction.shape()[2];
  if (steps == 1) return prediction;
  Tensor out = Tensor::zeros(ElementType::float32, {1, width, 1});
  const float* src = prediction.data<float>();
  for (int64_t i = 0; i < width; ++i) out.data<float>()[i] = src[i * steps + steps - 1];
  return out;
}

}  // namespace

struct RnntDecoder::Impl {
  EouPredictionModel prediction;
  EouJointModel joint;
  State state;

  Impl(std::shared_ptr<OnnxModel> d, std::shared_ptr<OnnxModel> j) : prediction(std::move(d)), joint(std::move(j)) {}
};

RnntDecoder::RnntDecoder(std::shared_ptr<OnnxModel> decoderModel, std::shared_ptr<OnnxModel> jointModel)
    : m_impl(std::make_unique<Impl>(std::move(decoderModel), std::move(jointModel))) {}

RnntDecoder::~RnntDecoder() = default;

void RnntDecoder::resetState() {
  m_impl->state = State{};
}

int32_t RnntDecoder::lastToken() const {
  return m_impl->state.lastToken;
}
const std::vector<float>& RnntDecoder::hiddenState() const {
  return m_impl->state.h;
}
const std::vector<float>& RnntDecoder::cellState() const {
  return m_impl->state.c;
}

DecodeResult RnntDecoder::decodeWithEOU(const MLMultiArray& encoderOutput, int /*timeOffset*/, int skipFrames,
                                        std::optional<int> validOutLen) {
  const auto& shape = encoderOutput.shape();
  if (shape.size() != 3 || shape[0] != 1 || encoderOutput.dataType() != MLMultiArrayDataType::float32) {
    throw ASRError::processingFailed("Encoder output is not a float32 [1, H, T] array");
  }
  const int64_t frames = shape[2];
  const int64_t end = validOutLen ? std::min<int64_t>(*validOutLen, frames) : frames;

  // Work on a copy of the state; it replaces the carried one only when the
  // whole chunk has been decoded.
  State working = m_impl->state;
  DecodeResult result;
  for (int64_t t = std::max(skipFrames, 0); t < end; ++t) {
    const Tensor frame = column(encoderOutput, t);
    for (int step = 0; step < maxSymbolsPerStep; ++step) {
      EouPredictionModel::Output predicted = m_impl->prediction.predict(working.lastToken, working.h, working.c);
      const int32_t token = m_impl->joint.predict(frame, lastStep(predicted.decoder));
      if (token == eouId) {
        result.eouDetected = true;
        m_impl->state = std::move(working);
        return result;
      }
      if (token == blankId) break;
      result.tokenIds.push_back(token);
      working.lastToken = token;
      working.h = std::move(predicted.h);
      working.c = std::move(predicted.c);
    }
  }
  m_impl->state = std::move(working);
  return result;
}

std::vector<int> RnntDecoder::decode(const MLMultiArray& encoderOutput, int timeOffset, int skipFrames,
                                     std::optional<int> validOutLen) {
  return decodeWithEOU(encoderOutput, timeOffset, skipFrames, validOutLen).tokenIds;
}

}  // namespace voxtrellis
