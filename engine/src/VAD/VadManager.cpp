#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/ModelNames.h>
#include <voxtrellis/VadManager.h>

#include "Models/RepositoryCache.h"
#include "Shared/ANEMemoryOptimizer.h"
#include "Shared/Elapsed.h"
#include "Shared/NumberText.h"
#include "VAD/SpeechSegmentation.h"
#include "VAD/VadModel.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace voxtrellis {

namespace {

using Clock = std::chrono::steady_clock;

// Exactly 4096 samples: longer chunks keep their start, shorter ones repeat
// their last sample, an empty one is silence.
void fitChunk(std::span<const float> chunk, float* out) {
  const std::size_t n = std::min<std::size_t>(chunk.size(), VadManager::chunkSize);
  std::copy_n(chunk.begin(), n, out);
  const float fill = chunk.empty() ? 0.0f : chunk[n - 1];
  std::fill(out + n, out + VadManager::chunkSize, fill);
}

void copyInto(const std::vector<float>& values, MLMultiArray& array, std::size_t maxCount, int64_t offset = 0) {
  float* data = array.dataAs<float>();
  std::fill(data, data + array.count(), 0.0f);
  const std::size_t room = static_cast<std::size_t>(std::max<int64_t>(array.count() - offset, 0));
  const std::size_t n = std::min({values.size(), maxCount, room});
  std::copy_n(values.begin(), n, data + offset);
}

}  // namespace

struct VadManager::Impl {
  AppLogger logger{"VadManager"};
  VadConfig config;
  AudioConverter audioConverter;
  ANEMemoryOptimizer memoryOptimizer;
  std::unique_ptr<VadModel> vadModel;
  std::mutex lock;  // one call at a time: the pooled arrays are shared between chunks

  explicit Impl(const VadConfig& c) : config(c) {}

  void load(const std::filesystem::path& baseDirectory) {
    const auto started = Clock::now();
    const std::filesystem::path modelsDirectory = baseDirectory / "Models";
    // The model class checks the model's inputs and outputs as part of the load, so a hub's
    // copy of another interface never takes the folder's place.
    RepositoryCache::useFolder(
        Repo::vad, modelsDirectory, std::nullopt, true, [&](const std::filesystem::path& folder) {
          const auto models =
              RepositoryCache::loadModelFolders(folder, {ModelNames::VAD::sileroVadFile}, config.computeUnits);
          vadModel = std::make_unique<VadModel>(models.at(ModelNames::VAD::sileroVadFile));
        });
    logger.info("VAD model loaded successfully");
    logger.info("VAD system initialized in " + formatFixed(secondsSince(started), 2) + "s");
  }

  VadResult processChunk(std::span<const float> chunk, const std::optional<VadState>& inputState);
  VadModel::Output modelStep(const float* chunk, const VadState& state);
  std::vector<VadResult> processAudioSamples(std::span<const float> samples);
  vad::Thresholds thresholds(const VadSegmentationConfig& c) const {
    return vad::thresholdsFor(config.defaultThreshold, c);
  }
};

VadManager::VadManager(const VadConfig& config) : m_impl(std::make_unique<Impl>(config)) {
  m_impl->load(DownloadUtils::defaultModelsDirectory().parent_path());
}

VadManager::VadManager(const VadConfig& config, const std::filesystem::path& modelDirectory)
    : m_impl(std::make_unique<Impl>(config)) {
  m_impl->load(modelDirectory);
}

VadManager::VadManager(const VadConfig& config, std::shared_ptr<OnnxModel> vadModel)
    : m_impl(std::make_unique<Impl>(config)) {
  if (vadModel) m_impl->vadModel = std::make_unique<VadModel>(std::move(vadModel));
  m_impl->logger.info("VAD initialized with provided model");
}

VadManager::~VadManager() = default;

bool VadManager::isAvailable() const {
  return m_impl->vadModel != nullptr;
}

const VadConfig& VadManager::config() const {
  return m_impl->config;
}

VadModel::Output VadManager::Impl::modelStep(const float* chunk, const VadState& state) {
  try {
    MLMultiArrayPtr audio =
        memoryOptimizer.getPooledBuffer("vad_audio_input", {1, VadModel::inputSamples}, MLMultiArrayDataType::float32);
    MLMultiArrayPtr hidden =
        memoryOptimizer.getPooledBuffer("vad_hidden_state", {1, VadModel::stateSize}, MLMultiArrayDataType::float32);
    MLMultiArrayPtr cell =
        memoryOptimizer.getPooledBuffer("vad_cell_state", {1, VadModel::stateSize}, MLMultiArrayDataType::float32);
    copyInto(state.context, *audio, VadState::contextLength);
    std::copy_n(chunk, chunkSize, audio->dataAs<float>() + VadState::contextLength);
    copyInto(state.hiddenState, *hidden, VadState::stateSize);
    copyInto(state.cellState, *cell, VadState::stateSize);
    return vadModel->predict(Tensor::borrow(ElementType::float32, {1, VadModel::inputSamples}, audio->dataPointer()),
                             Tensor::borrow(ElementType::float32, {1, VadModel::stateSize}, hidden->dataPointer()),
                             Tensor::borrow(ElementType::float32, {1, VadModel::stateSize}, cell->dataPointer()));
  } catch (const VadError& e) {
    logger.error(e.what());
    throw;
  } catch (const std::exception& e) {
    logger.error(std::string("Model processing failed: ") + e.what());
    throw VadError::modelProcessingFailed(e.what());
  }
}

VadResult VadManager::Impl::processChunk(std::span<const float> chunk, const std::optional<VadState>& inputState) {
  if (!vadModel) throw VadError::notInitialized();
  const auto started = Clock::now();
  const VadState state = inputState.value_or(VadState::initial());
  float fitted[chunkSize];
  fitChunk(chunk, fitted);
  VadModel::Output out = modelStep(fitted, state);
  VadResult result;
  result.probability = out.probability;
  result.isVoiceActive = out.probability >= config.defaultThreshold;
  result.outputState.hiddenState = std::move(out.hiddenState);
  result.outputState.cellState = std::move(out.cellState);
  result.outputState.context.assign(fitted + chunkSize - VadState::contextLength, fitted + chunkSize);
  result.processingTime = secondsSince(started);
  return result;
}

std::vector<VadResult> VadManager::Impl::processAudioSamples(std::span<const float> samples) {
  std::vector<VadResult> results;
  results.reserve((samples.size() + chunkSize - 1) / chunkSize);
  std::optional<VadState> state;
  for (std::size_t start = 0; start < samples.size(); start += chunkSize) {
    const std::size_t n = std::min<std::size_t>(chunkSize, samples.size() - start);
    results.push_back(processChunk(samples.subspan(start, n), state));
    state = results.back().outputState;
  }
  return results;
}

VadResult VadManager::processChunk(std::span<const float> chunk, const std::optional<VadState>& inputState) {
  std::lock_guard guard(m_impl->lock);
  return m_impl->processChunk(chunk, inputState);
}

std::vector<VadResult> VadManager::processAudioSamples(std::span<const float> samples) {
  std::lock_guard guard(m_impl->lock);
  return m_impl->processAudioSamples(samples);
}

std::vector<VadResult> VadManager::process(std::span<const float> samples) {
  return processAudioSamples(samples);
}

std::vector<VadResult> VadManager::process(const AudioPCMBuffer& buffer) {
  const std::vector<float> samples = m_impl->audioConverter.resampleBuffer(buffer);
  return processAudioSamples(samples);
}

std::vector<VadResult> VadManager::process(const std::filesystem::path& audioFile) {
  const std::vector<float> samples = m_impl->audioConverter.resampleAudioFile(audioFile);
  return processAudioSamples(samples);
}

namespace {
std::vector<float> probabilitiesOf(const std::vector<VadResult>& results) {
  std::vector<float> p;
  p.reserve(results.size());
  for (const VadResult& r : results) p.push_back(r.probability);
  return p;
}
}  // namespace

std::vector<VadSegment> VadManager::segmentSpeech(std::span<const float> samples, const VadSegmentationConfig& config) {
  config.validate();
  const std::vector<VadResult> results = processAudioSamples(samples);
  return segmentSpeech(results, static_cast<int64_t>(samples.size()), config);
}

std::vector<VadSegment> VadManager::segmentSpeech(const std::vector<VadResult>& results, int64_t totalSamples,
                                                  const VadSegmentationConfig& config) {
  config.validate();
  if (results.empty() || totalSamples < 1) return {};
  std::vector<VadSegment> segments;
  for (const auto& [start, end] :
       vad::detectSpeechSampleRanges(probabilitiesOf(results), totalSamples, config, m_impl->thresholds(config))) {
    segments.push_back({start / static_cast<double>(sampleRate), end / static_cast<double>(sampleRate)});
  }
  return segments;
}

std::vector<std::vector<float>> VadManager::segmentSpeechAudio(std::span<const float> samples,
                                                               const VadSegmentationConfig& config) {
  config.validate();
  const std::vector<VadResult> results = processAudioSamples(samples);
  std::vector<std::vector<float>> audio;
  if (results.empty()) return audio;
  // Cut at the detected sample positions themselves, so no rounding through
  // seconds can move a boundary by a sample.
  for (const auto& [start, end] : vad::detectSpeechSampleRanges(
           probabilitiesOf(results), static_cast<int64_t>(samples.size()), config, m_impl->thresholds(config))) {
    audio.emplace_back(samples.begin() + start, samples.begin() + end);
  }
  return audio;
}

VadStreamResult VadManager::processStreamingChunk(std::span<const float> chunk, const VadStreamState& state,
                                                  const VadSegmentationConfig& config, bool returnSeconds,
                                                  int timeResolution) {
  config.validate();
  VadResult result = processChunk(chunk, state.modelState);
  return vad::streamingStateMachine(state, result.probability, static_cast<int64_t>(chunk.size()),
                                    std::move(result.outputState), config, m_impl->thresholds(config), returnSeconds,
                                    timeResolution);
}

}  // namespace voxtrellis
