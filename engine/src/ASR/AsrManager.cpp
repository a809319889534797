#include "ASR/AsrManagerImpl.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/AudioFormat.h>

#include "Shared/MLArrayCache.h"

namespace voxtrellis {

AsrManagerImpl::AsrManagerImpl(const ASRConfig& cfg) : config(cfg) {
  microphoneDecoderState = TdtDecoderState::make();
  systemDecoderState = TdtDecoderState::make();
  // The first window should not wait for its input arrays; transcription
  // works before the warming has finished (the cache then allocates).
  warming = std::async(std::launch::async, [] {
    sharedMLArrayCache().prewarm({{{1, asr::windowSamples}, MLMultiArrayDataType::float32},
                                  {{1}, MLMultiArrayDataType::int32},
                                  {{2, 1, 640}, MLMultiArrayDataType::float32}});
  });
}

AsrManagerImpl::~AsrManagerImpl() {
  if (warming.valid()) {
    warming.wait();
  }
}

bool AsrManagerImpl::isAvailable() const {
  const bool core = encoderModel && decoderModel && jointModel;
  if (!core) {
    return false;
  }
  return !asrModels || preprocessorModel != nullptr;
}

void AsrManagerImpl::initializeDecoderState(TdtDecoderState& state) {
  if (!decoderModel) {
    throw ASRError::notInitialized();
  }
  state.reset();
  Tensor projection = Tensor::zeros(ElementType::float32, {1, TdtDecoderState::hiddenSize, 1});
  TdtDecoderModel::Session session(*decoderModel, projection);  // starts from the zeroed state
  session.step(0);
  state.hiddenState.assign(session.hidden().begin(), session.hidden().end());
  state.cellState.assign(session.cell().begin(), session.cell().end());
}

void AsrManagerImpl::primeBothStates() {
  initializeDecoderState(microphoneDecoderState);
  initializeDecoderState(systemDecoderState);
}

TdtDecoderState& AsrManagerImpl::decoderState(AudioSource source) {
  return source == AudioSource::microphone ? microphoneDecoderState : systemDecoderState;
}

// ---- the public face ---------------------------------------------------------

std::shared_ptr<AsrManager> AsrManager::create(const ASRConfig& config) {
  std::shared_ptr<AsrManager> manager(new AsrManager(config));
  // A session is open before anyone asks, so a listener attached early sees
  // the whole of the first long transcription.
  manager->m_impl->progressEmitter->ensureSession();
  return manager;
}

AsrManager::AsrManager(const ASRConfig& config) : m_impl(std::make_unique<AsrManagerImpl>(config)) {}

AsrManager::~AsrManager() = default;

const ASRConfig& AsrManager::config() const {
  return m_impl->config;
}

bool AsrManager::isAvailable() const {
  return m_impl->isAvailable();
}

std::shared_ptr<ProgressStream> AsrManager::transcriptionProgressStream() {
  return m_impl->progressEmitter->currentStream();
}

void AsrManager::initialize(const AsrModels& models) {
  AsrManagerImpl& d = *m_impl;
  d.logger.info("Initializing AsrManager with provided models");
  d.asrModels = models;
  d.preprocessorModel = models.preprocessor;
  d.encoderModel = models.encoder;
  d.decoderModel = models.decoder;
  d.jointModel = models.joint;
  d.vocabulary = models.vocabulary;
  d.logger.info("Token duration optimization model loaded successfully");
  d.logger.info("AsrManager initialized successfully with provided models");
}

void AsrManager::initializeDecoderState(TdtDecoderState& state) {
  m_impl->initializeDecoderState(state);
}

void AsrManager::resetDecoderState() {
  m_impl->primeBothStates();
}

void AsrManager::resetDecoderState(AudioSource source) {
  m_impl->initializeDecoderState(m_impl->decoderState(source));
}

void AsrManager::resetState() {
  m_impl->microphoneDecoderState = TdtDecoderState::make();
  m_impl->systemDecoderState = TdtDecoderState::make();
}

void AsrManager::cleanup() {
  AsrManagerImpl& d = *m_impl;
  d.preprocessorModel.reset();
  d.encoderModel.reset();
  d.decoderModel.reset();
  d.jointModel.reset();
  d.microphoneDecoderState = TdtDecoderState::make();
  d.systemDecoderState = TdtDecoderState::make();
  d.logger.info("AsrManager resources cleaned up");
}

TdtDecoderState& AsrManager::decoderState(AudioSource source) {
  return m_impl->decoderState(source);
}

const TdtDecoderState& AsrManager::decoderState(AudioSource source) const {
  return source == AudioSource::microphone ? m_impl->microphoneDecoderState : m_impl->systemDecoderState;
}

const std::optional<AsrModels>& AsrManager::asrModels() const {
  return m_impl->asrModels;
}

const std::map<int64_t, std::string>& AsrManager::vocabulary() const {
  return m_impl->vocabulary;
}

ASRResult AsrManager::transcribe(std::span<const float> samples, AudioSource source) {
  return transcribe(samples, source, {});
}

ASRResult AsrManager::transcribe(std::span<const float> samples, AudioSource source, const ProgressHandler& onProgress,
                                 std::stop_token stop) {
  AsrManagerImpl& d = *m_impl;
  const bool isLong = samples.size() > static_cast<size_t>(asr::windowSamples);
  if (isLong) {
    d.progressEmitter->ensureSession();
  }
  // The chunk processor's progress: dropped once the recogniser is gone.
  std::weak_ptr<AsrManager> weak = weak_from_this();
  auto progress = [weak, &onProgress](double p) {
    if (auto self = weak.lock()) {
      self->m_impl->progressEmitter->report(p);
    }
    if (onProgress) onProgress(p);
  };
  ASRResult result;
  try {
    result = d.transcribeWithState(samples, d.decoderState(source), progress, stop);
    d.primeBothStates();
  } catch (...) {
    // A failed file must not hand its decoder context to the next one: prime
    // both states again, and when even that is impossible (no models), leave
    // fresh states rather than half-advanced ones.
    try {
      d.primeBothStates();
    } catch (...) {
      resetState();
    }
    if (isLong) {
      d.progressEmitter->failSession(std::current_exception());
    }
    throw;
  }
  if (isLong) {
    d.progressEmitter->finishSession();
  }
  return result;
}

ASRResult AsrManager::transcribe(const AudioPCMBuffer& buffer, AudioSource source) {
  const std::vector<float> samples = m_impl->audioConverter.resampleBuffer(buffer);
  return transcribe(std::span<const float>(samples), source);
}

ASRResult AsrManager::transcribe(const std::filesystem::path& audioFile, AudioSource source) {
  const std::vector<float> samples = m_impl->audioConverter.resampleAudioFile(audioFile);
  return transcribe(std::span<const float>(samples), source);
}

}  // namespace voxtrellis
