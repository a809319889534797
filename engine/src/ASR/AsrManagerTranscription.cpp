#include "ASR/AsrManagerImpl.h"
#include "ASR/AsrPredictionOptions.h"
#include "ASR/ChunkProcessor.h"
#include "ASR/EncoderInput.h"
#include "ASR/TDT/TdtDecoderV3.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/WorkStopped.h>

#include "Shared/Elapsed.h"
#include "Shared/MLArrayCache.h"
#include "Shared/MLMultiArrayTensor.h"

#include <chrono>
#include <cstring>

namespace voxtrellis {

namespace {

std::string joinedSortedNames(const NamedTensors& features) {
  std::string s;
  for (const auto& [name, tensor] : features) {  // std::map keeps names sorted
    if (!s.empty()) s += ", ";
    s += name;
  }
  return s;
}

}  // namespace

NamedTensors prepareEncoderInput(const std::vector<std::string>& encoderInputNames,
                                 const NamedTensors& preprocessorOutput, const NamedTensors& originalInput) {
  bool allPresent = true;
  for (const auto& name : encoderInputNames) {
    if (!preprocessorOutput.count(name)) {
      allPresent = false;
      break;
    }
  }
  if (allPresent) {
    return preprocessorOutput;
  }
  NamedTensors features;
  for (const auto& name : encoderInputNames) {
    if (auto it = preprocessorOutput.find(name); it != preprocessorOutput.end()) {
      features[name] = it->second;
    } else if (auto in = originalInput.find(name); in != originalInput.end()) {
      features[name] = in->second;
    } else {
      throw ASRError::processingFailed("Missing required encoder input: " + name +
                                       ". Available inputs: " + joinedSortedNames(preprocessorOutput) +
                                       ", fallback inputs: " + joinedSortedNames(originalInput));
    }
  }
  return features;
}

ASRResult AsrManagerImpl::transcribeWithState(std::span<const float> samples, TdtDecoderState& state,
                                              const std::function<void(double)>& progress,
                                              const std::stop_token& stop) {
  if (!isAvailable()) {
    throw ASRError::notInitialized();
  }
  if (samples.size() < static_cast<size_t>(asr::minimumSamples)) {
    throw ASRError::invalidAudioData();
  }
  const auto startTime = std::chrono::steady_clock::now();

  if (samples.size() > static_cast<size_t>(asr::windowSamples)) {
    // Long audio: chunks decoded from fresh states of their own; the given
    // state is not used on this road.
    ChunkProcessor processor(samples, asr::chunkSampleRate, asr::chunkOverlapSeconds);
    return processor.process(*this, startTime, progress, stop);
  }
  if (stop.stop_requested()) throw WorkStopped("Recognition");

  const int count = static_cast<int>(samples.size());
  const int aligned = asr::frameAlignedLength(count);
  std::vector<float> window(asr::windowSamples, 0.0f);
  std::memcpy(window.data(), samples.data(), samples.size() * sizeof(float));

  // The whole file is in this one window: no audio follows it.
  InferenceResult inference = executeMLInferenceWithTimings(window, aligned, std::nullopt, state, 0, false, 0,
                                                            /*keepTokenAtEnd=*/true);
  const double processingTime = secondsSince(startTime);
  const TdtHypothesis& h = inference.hypothesis;
  return processTranscriptionResult(h.tokenIds, h.timestamps, h.confidences, h.tokenDurations,
                                    inference.encoderSequenceLength, samples, processingTime);
}

AsrManagerImpl::InferenceResult AsrManagerImpl::executeMLInferenceWithTimings(
    std::span<const float> paddedSamples, std::optional<int> originalLength, std::optional<int> actualAudioFrames,
    TdtDecoderState& state, int contextFrameAdjustment, bool isLastChunk, int globalFrameOffset, bool keepTokenAtEnd) {
  const NamedTensors preprocessorInput = preparePreprocessorInput(paddedSamples, originalLength);
  if (!preprocessorModel || !encoderModel) {
    throw ASRError::notInitialized();
  }
  if (!predictionOptions) {
    predictionOptions = optimizedPredictionOptions();
  }
  const NamedTensors preprocessorOutput = preprocessorModel->predict(preprocessorInput, *predictionOptions);
  const NamedTensors encoderInput =
      prepareEncoderInput(encoderModel->inputNames(), preprocessorOutput, preprocessorInput);
  const TdtEncoderModel::Output encoded = encoderModel->predict(encoderInput, *predictionOptions);

  const int samples = originalLength.value_or(static_cast<int>(paddedSamples.size()));
  const int audioFrames = actualAudioFrames.value_or(asr::framesFor(samples));
  InferenceResult result;
  result.encoderSequenceLength = encoded.encoderLength;
  result.hypothesis = tdtDecodeWithTimings(encoded.encoder, encoded.encoderLength, audioFrames, state,
                                           contextFrameAdjustment, isLastChunk, globalFrameOffset, keepTokenAtEnd);
  return result;
}

NamedTensors AsrManagerImpl::preparePreprocessorInput(std::span<const float> samples,
                                                      std::optional<int> actualLength) const {
  const int64_t n = static_cast<int64_t>(samples.size());
  MLMultiArrayPtr audioArray = sharedMLArrayCache().getArray({1, n}, MLMultiArrayDataType::float32);
  std::memcpy(audioArray->dataPointer(), samples.data(), samples.size() * sizeof(float));
  const int length = actualLength.value_or(static_cast<int>(n));
  if (preprocessorModel) {
    return preprocessorModel->makeInput(denseTensor(audioArray), length);
  }
  return TdtPreprocessorModel::makeInput(denseTensor(audioArray), length, ElementType::int32);
}

TdtHypothesis AsrManagerImpl::tdtDecodeWithTimings(const Tensor& encoderOutput, int encoderSequenceLength,
                                                   int actualAudioFrames, TdtDecoderState& state,
                                                   int contextFrameAdjustment, bool isLastChunk, int globalFrameOffset,
                                                   bool keepTokenAtEnd) {
  if (!decoderModel || !jointModel) {
    throw ASRError::notInitialized();
  }
  TdtDecoderV3::Request request;
  request.encoderOutput = &encoderOutput;
  request.encoderSequenceLength = encoderSequenceLength;
  request.actualAudioFrames = actualAudioFrames;
  request.contextFrameAdjustment = contextFrameAdjustment;
  request.isLastChunk = isLastChunk;
  request.globalFrameOffset = globalFrameOffset;
  request.keepTokenAtEnd = keepTokenAtEnd;
  if (asrModels && asrModels->version == AsrModelVersion::v2) {
    ASRConfig v2 = config;
    v2.tdtConfig.blankId = 1024;
    return TdtDecoderV2(v2).decodeWithTimings(request, *decoderModel, *jointModel, state);
  }
  return TdtDecoderV3(config).decodeWithTimings(request, *decoderModel, *jointModel, state);
}

}  // namespace voxtrellis
