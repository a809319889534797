#include "ASR/AsrManagerImpl.h"
#include "ASR/ChunkProcessor.h"
#include "ASR/EncoderInput.h"
#include "ASR/TDT/TdtDecoderV3.h"

#include <voxtrellis/ASRError.h>

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

int readFirstInteger(const Tensor& t) {
  switch (t.type()) {
    case ElementType::int32: return t.data<int32_t>()[0];
    case ElementType::int64: return static_cast<int>(t.data<int64_t>()[0]);
    default: return static_cast<int>(t.toFloats().at(0));
  }
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
                                              const std::function<void(double)>& progress) {
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
    return processor.process(*this, startTime, progress);
  }

  const int count = static_cast<int>(samples.size());
  const int aligned = asr::frameAlignedLength(count);
  std::vector<float> window(asr::windowSamples, 0.0f);
  std::memcpy(window.data(), samples.data(), samples.size() * sizeof(float));

  // The whole file is in this one window: no audio follows it.
  InferenceResult inference = executeMLInferenceWithTimings(window, aligned, std::nullopt, state, 0, false, 0,
                                                            /*keepTokenAtEnd=*/true);
  const double processingTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
  const TdtHypothesis& h = inference.hypothesis;
  return processTranscriptionResult(h.tokenIds, h.timestamps, h.confidences, h.tokenDurations,
                                    inference.encoderSequenceLength, samples, processingTime);
}

AsrManagerImpl::InferenceResult AsrManagerImpl::executeMLInferenceWithTimings(
    std::span<const float> paddedSamples, std::optional<int> originalLength, std::optional<int> actualAudioFrames,
    TdtDecoderState& state, int contextFrameAdjustment, bool isLastChunk, int globalFrameOffset, bool keepTokenAtEnd) {
  AsrManagerImpl& d = *this;
  const int64_t n = static_cast<int64_t>(paddedSamples.size());

  // Preprocessor input: the samples in one block copy into a cached array.
  MLMultiArrayPtr audioArray = sharedMLArrayCache().getArray({1, n}, MLMultiArrayDataType::float32);
  std::memcpy(audioArray->dataPointer(), paddedSamples.data(), paddedSamples.size() * sizeof(float));
  NamedTensors preprocessorInput;
  preprocessorInput["audio_signal"] = denseTensor(audioArray);
  Tensor length = Tensor::zeros(ElementType::int32, {1});
  length.data<int32_t>()[0] = originalLength.value_or(static_cast<int>(n));
  if (d.preprocessorModel) {
    if (const TensorInfo* info = d.preprocessorModel->input("audio_length"); info && info->type == ElementType::int64) {
      Tensor wide = Tensor::zeros(ElementType::int64, {1});
      wide.data<int64_t>()[0] = length.data<int32_t>()[0];
      length = wide;
    }
  }
  preprocessorInput["audio_length"] = length;

  if (!d.preprocessorModel || !d.encoderModel) {
    throw ASRError::notInitialized();
  }
  const NamedTensors preprocessorOutput = d.preprocessorModel->predict(preprocessorInput);

  std::vector<std::string> encoderInputNames;
  for (const auto& info : d.encoderModel->inputs()) {
    encoderInputNames.push_back(info.name);
  }
  const NamedTensors encoderInput = prepareEncoderInput(encoderInputNames, preprocessorOutput, preprocessorInput);
  const NamedTensors encoderOutput = d.encoderModel->predict(encoderInput);

  auto encoder = encoderOutput.find("encoder");
  if (encoder == encoderOutput.end() || encoder->second.empty()) {
    throw ASRError::processingFailed("Invalid encoder output");
  }
  auto encoderLength = encoderOutput.find("encoder_length");
  if (encoderLength == encoderOutput.end() || encoderLength->second.elementCount() < 1) {
    throw ASRError::processingFailed("Invalid encoder output length");
  }
  const int encoderSequenceLength = readFirstInteger(encoderLength->second);
  const int audioFrames = actualAudioFrames.value_or(asr::framesFor(originalLength.value_or(static_cast<int>(n))));

  TdtDecoderV3::Request request;
  request.encoderOutput = &encoder->second;
  request.encoderSequenceLength = encoderSequenceLength;
  request.actualAudioFrames = audioFrames;
  request.contextFrameAdjustment = contextFrameAdjustment;
  request.isLastChunk = isLastChunk;
  request.globalFrameOffset = globalFrameOffset;
  request.keepTokenAtEnd = keepTokenAtEnd;

  InferenceResult result;
  result.encoderSequenceLength = encoderSequenceLength;
  if (d.asrModels && d.asrModels->version == AsrModelVersion::v2) {
    ASRConfig v2 = d.config;
    v2.tdtConfig.blankId = 1024;
    result.hypothesis = TdtDecoderV2(v2).decodeWithTimings(request, *d.decoderModel, *d.jointModel, state);
  } else {
    result.hypothesis = TdtDecoderV3(d.config).decodeWithTimings(request, *d.decoderModel, *d.jointModel, state);
  }
  return result;
}

}  // namespace voxtrellis
