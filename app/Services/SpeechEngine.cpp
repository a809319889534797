#include "Services/SpeechEngine.h"

#include <voxtrellis/AsrManager.h>
#include <voxtrellis/AsrModels.h>
#include <voxtrellis/AudioSource.h>
#include <voxtrellis/OfflineDiarizerManager.h>
#include <voxtrellis/StreamingAudioSampleSource.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace parlowvista {

namespace {

// Samples the diarizer reads in place, so a long file is never copied for it.
class SpanSampleSource final : public voxtrellis::StreamingAudioSampleSource {
 public:
  explicit SpanSampleSource(std::span<const float> samples) : m_samples(samples) {}
  int64_t sampleCount() const override { return static_cast<int64_t>(m_samples.size()); }
  void copySamples(float* destination, int64_t offset, int64_t count) const override {
    const int64_t start = std::max<int64_t>(offset, 0);
    if (count < 1 || start >= sampleCount()) return;
    const int64_t n = std::min(count, sampleCount() - start);
    std::memcpy(destination, m_samples.data() + start, static_cast<std::size_t>(n) * sizeof(float));
  }

 private:
  std::span<const float> m_samples;
};

class EngineRecognizer final : public SpeechRecognizer {
 public:
  explicit EngineRecognizer(std::shared_ptr<voxtrellis::AsrManager> manager) : m_manager(std::move(manager)) {}
  voxtrellis::ASRResult transcribe(std::span<const float> samples, const StepProgress& progress,
                                   std::stop_token stop) override {
    std::lock_guard lock(m_mutex);
    return m_manager->transcribe(samples, voxtrellis::AudioSource::microphone, progress, std::move(stop));
  }

 private:
  std::mutex m_mutex;
  std::shared_ptr<voxtrellis::AsrManager> m_manager;
};

class EngineDiarizer final : public SpeakerDiarizer {
 public:
  explicit EngineDiarizer(std::unique_ptr<voxtrellis::OfflineDiarizerManager> manager)
      : m_manager(std::move(manager)) {}
  voxtrellis::DiarizationResult process(std::span<const float> samples, const StepProgress& progress,
                                        std::stop_token stop) override {
    std::lock_guard lock(m_mutex);
    return m_manager->process(SpanSampleSource(samples), 0, progress, std::move(stop));
  }

 private:
  std::mutex m_mutex;
  std::unique_ptr<voxtrellis::OfflineDiarizerManager> m_manager;
};

}  // namespace

VoxtrellisSpeechEngine::VoxtrellisSpeechEngine(ModelFolders folders) : m_folders(std::move(folders)) {}

std::shared_ptr<SpeechRecognizer> VoxtrellisSpeechEngine::loadRecognizer(const std::function<void()>& modelsLoaded,
                                                                         std::stop_token stop) {
  using voxtrellis::AsrModels;
  const auto folder = AsrModels::download(m_folders.recognizer, false, voxtrellis::AsrModelVersion::v3, stop);
  AsrModels models = AsrModels::load(folder, std::nullopt, voxtrellis::AsrModelVersion::v3, stop);
  if (modelsLoaded) modelsLoaded();
  auto manager = voxtrellis::AsrManager::create(voxtrellis::ASRConfig::defaults());
  manager->initialize(models);
  return std::make_shared<EngineRecognizer>(std::move(manager));
}

std::shared_ptr<SpeakerDiarizer> VoxtrellisSpeechEngine::prepareDiarizer(
    const voxtrellis::OfflineDiarizerConfig& config, std::stop_token stop) {
  auto manager = std::make_unique<voxtrellis::OfflineDiarizerManager>(config);
  manager->prepareModels(m_folders.diarizer, false, stop);
  return std::make_shared<EngineDiarizer>(std::move(manager));
}

}  // namespace parlowvista
