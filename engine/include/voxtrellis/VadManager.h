#pragma once

#include <voxtrellis/AudioFormat.h>
#include <voxtrellis/VadSegmentation.h>
#include <voxtrellis/VadTypes.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace voxtrellis {

class OnnxModel;

// The engine's voice-activity detector: one speech probability per chunk of
// 4096 samples (256 ms of 16 kHz mono float audio), with the model's
// recurrent state carried from chunk to chunk by the caller. Also turns the
// probabilities of a recording into speech regions, and drives a streaming
// state machine that reports where speech starts and ends.
//
// The model is "silero-vad-unified-256ms-v6.0.0.mlmodelc" of the repository
// "silero-vad-onnx", under <base>/Models; it is fetched from the model hub
// when missing.
//
// Threading: calls may come from any thread; they run one at a time (each
// holds the detector for its whole run). Results and states are plain values.
class VadManager {
 public:
  static constexpr int chunkSize = 4096;
  static constexpr int sampleRate = 16000;

  // Loads the model from the default base folder (the engine's data folder,
  // "Voxtrellis" under the XDG data home). Throws the download and load
  // errors, ModelRuntimeError (interfaceMismatch) for a model of another
  // interface, and VadError::modelLoadingFailed.
  explicit VadManager(const VadConfig& config = VadConfig::defaultConfig());
  // The same with `modelDirectory` as the base folder.
  VadManager(const VadConfig& config, const std::filesystem::path& modelDirectory);
  // Uses an already loaded model; no download. A null model makes a detector
  // that is not available (every processing call throws notInitialized).
  // Throws ModelRuntimeError (interfaceMismatch) for a model of another interface.
  VadManager(const VadConfig& config, std::shared_ptr<OnnxModel> vadModel);
  ~VadManager();
  VadManager(const VadManager&) = delete;
  VadManager& operator=(const VadManager&) = delete;

  bool isAvailable() const;
  const VadConfig& config() const;

  // One model step. The chunk is brought to exactly 4096 samples (longer ones
  // keep their start, shorter ones repeat their last sample, an empty one is
  // silence). No input state means VadState::initial(). Throws
  // VadError::notInitialized and VadError::modelProcessingFailed; the caller's
  // state is then still the one to use.
  VadResult processChunk(std::span<const float> chunk, const std::optional<VadState>& inputState = std::nullopt);

  // The whole array in chunks of 4096 from a fresh state, one result per
  // chunk (result k covers samples 4096k ... 4096k + 4095). Empty input gives
  // no results. The first failure is thrown and earlier results are dropped.
  std::vector<VadResult> processAudioSamples(std::span<const float> samples);
  std::vector<VadResult> process(std::span<const float> samples);
  // A buffer in any format (converted first; AudioConverterError passes through).
  std::vector<VadResult> process(const AudioPCMBuffer& buffer);
  // A whole audio file (AudioFileError and AudioConverterError pass through).
  std::vector<VadResult> process(const std::filesystem::path& audioFile);

  // ---- speech segmentation --------------------------------------------------

  // Speech regions of a recording (16 kHz mono). Throws like processAudioSamples
  // and std::invalid_argument for an invalid configuration.
  std::vector<VadSegment> segmentSpeech(std::span<const float> samples,
                                        const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig());
  // Regions from probabilities already computed for `totalSamples` samples; no
  // model call. No results or no samples give no regions.
  std::vector<VadSegment> segmentSpeech(const std::vector<VadResult>& results, int64_t totalSamples,
                                        const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig());
  // The samples of each region.
  std::vector<std::vector<float>> segmentSpeechAudio(
      std::span<const float> samples, const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig());

  // ---- streaming events -----------------------------------------------------

  VadStreamState makeStreamState() const { return VadStreamState::initial(); }
  // One chunk of a live stream: its probability, the next state and a
  // speech-start or speech-end event when one happens. Event times (seconds,
  // rounded to `timeResolution` decimals) only with `returnSeconds`. Throws
  // like processChunk; the caller's state is then unchanged.
  VadStreamResult processStreamingChunk(std::span<const float> chunk, const VadStreamState& state,
                                        const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig(),
                                        bool returnSeconds = false, int timeResolution = 1);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
