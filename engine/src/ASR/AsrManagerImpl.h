#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AsrManager.h>
#include <voxtrellis/AudioConverter.h>

#include "ASR/ProgressEmitter.h"
#include "Onnx/OnnxModel.h"
#include "Shared/SystemInfo.h"

#include <future>
#include <memory>

namespace voxtrellis {

struct AsrManager::Impl {
  AppLogger logger{"ASR"};
  ASRConfig config;
  AudioConverter audioConverter;
  std::shared_ptr<OnnxModel> preprocessorModel;
  std::shared_ptr<OnnxModel> encoderModel;
  std::shared_ptr<OnnxModel> decoderModel;
  std::shared_ptr<OnnxModel> jointModel;
  std::optional<AsrModels> asrModels;
  std::shared_ptr<ProgressEmitter> progressEmitter = ProgressEmitter::create();
  std::map<int64_t, std::string> vocabulary;
  TdtDecoderState microphoneDecoderState;
  TdtDecoderState systemDecoderState;
  // Warming of the shared array cache; waited for on destruction only.
  std::future<void> warming;
};

// Fixed numbers of the recogniser (16 kHz mono audio).
namespace asr {
inline constexpr int windowSamples = 240000;                                  // one model window, 15 s
inline constexpr int minimumSamples = 16000;                                  // 1 s
inline constexpr int samplesPerFrame = ASRConstants::samplesPerEncoderFrame;  // 80 ms
inline constexpr double frameSeconds = 0.08;
inline constexpr double chunkOverlapSeconds = 2.0;
inline constexpr int chunkSampleRate = 16000;

// Sample count rounded up to whole encoder frames when that still fits the window.
inline int frameAlignedLength(int count) {
  const int aligned = ((count + samplesPerFrame - 1) / samplesPerFrame) * samplesPerFrame;
  return (aligned > count && aligned <= windowSamples) ? aligned : count;
}
inline int framesFor(int samples) {
  return static_cast<int>(ASRConstants::calculateEncoderFrames(samples));
}
}  // namespace asr

}  // namespace voxtrellis
