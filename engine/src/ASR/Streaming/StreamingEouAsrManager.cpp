#include <voxtrellis/ASRError.h>
#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/ModelNames.h>
#include <voxtrellis/NeMoMelSpectrogram.h>
#include <voxtrellis/RnntDecoder.h>
#include <voxtrellis/StreamingEouAsrManager.h>
#include <voxtrellis/Tokenizer.h>

#include "ASR/Streaming/EouEncoderModel.h"
#include "Models/ModelCosts.h"
#include "Onnx/OnnxModel.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace voxtrellis {

namespace {
struct Sizes {
  int chunkSamples, melFrames, validOutputLen, shiftSamples, preCacheSize;
  const char* subdirectory;
};
constexpr Sizes kSizes[] = {
    {2560, 17, 2, 1280, 16, "160ms"}, {10080, 64, 4, 5120, 9, "320ms"}, {50928, 320, 20, 25600, 9, "1600ms"}};
constexpr int kSampleRate = 16000;
}  // namespace

int StreamingChunkSize::chunkSamples() const {
  return kSizes[m_value].chunkSamples;
}
int StreamingChunkSize::melFrames() const {
  return kSizes[m_value].melFrames;
}
int StreamingChunkSize::validOutputLen() const {
  return kSizes[m_value].validOutputLen;
}
int StreamingChunkSize::shiftSamples() const {
  return kSizes[m_value].shiftSamples;
}
int StreamingChunkSize::durationMs() const {
  return chunkSamples() / 16;
}
int StreamingChunkSize::preCacheSize() const {
  return kSizes[m_value].preCacheSize;
}
std::string StreamingChunkSize::modelSubdirectory() const {
  return kSizes[m_value].subdirectory;
}

struct StreamingEouAsrManager::Impl {
  AppLogger logger{"StreamingEOU"};
  AsrModelConfiguration configuration;
  StreamingChunkSize chunkSize;
  bool debugFeatures;
  AudioConverter audioConverter;
  NeMoMelSpectrogram melProcessor;

  // Everything below is guarded by `lock`.
  mutable std::mutex lock;
  int processedChunks = 0;
  std::unique_ptr<EouEncoderModel> streamingEncoder;
  std::shared_ptr<OnnxModel> decoder;
  std::shared_ptr<OnnxModel> joint;
  std::unique_ptr<RnntDecoder> rnntDecoder;
  std::unique_ptr<Tokenizer> tokenizer;
  std::vector<float> audioBuffer;
  std::vector<int> accumulatedTokenIds;
  bool eouDetected = false;
  TextCallback eouCallback;
  TextCallback partialCallback;
  int eouDebounceMs;
  std::optional<int64_t> eouFirstDetectedAt;
  int64_t totalSamplesProcessed = 0;
  std::vector<float> debugFeatureBuffer;
  std::optional<EouEncoderModel::Caches> caches;

  Impl(const AsrModelConfiguration& c, StreamingChunkSize size, int debounce, bool debug)
      : configuration(c), chunkSize(size), debugFeatures(debug), eouDebounceMs(debounce) {}

  // Callbacks a chunk asks for, run once the lock is released.
  struct Notices {
    std::function<void()> partial;
    std::function<void()> eou;
    void run() const {
      if (partial) partial();
      if (eou) eou();
    }
  };

  void resetStates() { caches = EouEncoderModel::zeroCaches(chunkSize.preCacheSize()); }

  // One chunk end to end; the state changes only when every step succeeded.
  Notices processChunkAndDecode(std::span<const float> chunk);
  // Decodes the first complete chunk and drops its shift; none when fewer
  // samples than a chunk are buffered.
  std::optional<Notices> decodeNextChunk();
};

StreamingEouAsrManager::StreamingEouAsrManager(const AsrModelConfiguration& configuration, StreamingChunkSize chunkSize,
                                               int eouDebounceMs, bool debugFeatures)
    : m_impl(std::make_unique<Impl>(configuration, chunkSize, eouDebounceMs, debugFeatures)) {
  m_impl->logger.info("Initialized with chunk size: " + std::to_string(chunkSize.durationMs()) +
                      "ms, EOU debounce: " + std::to_string(eouDebounceMs) + "ms");
}

StreamingEouAsrManager::~StreamingEouAsrManager() = default;

bool StreamingEouAsrManager::eouDetected() const {
  std::lock_guard guard(m_impl->lock);
  return m_impl->eouDetected;
}
int StreamingEouAsrManager::eouDebounceMs() const {
  std::lock_guard guard(m_impl->lock);
  return m_impl->eouDebounceMs;
}
void StreamingEouAsrManager::setEouDebounceMs(int milliseconds) {
  std::lock_guard guard(m_impl->lock);
  m_impl->eouDebounceMs = milliseconds;
}
const AsrModelConfiguration& StreamingEouAsrManager::configuration() const {
  return m_impl->configuration;
}
StreamingChunkSize StreamingEouAsrManager::chunkSize() const {
  return m_impl->chunkSize;
}
bool StreamingEouAsrManager::debugFeatures() const {
  return m_impl->debugFeatures;
}
void StreamingEouAsrManager::setEouCallback(TextCallback callback) {
  std::lock_guard guard(m_impl->lock);
  m_impl->eouCallback = std::move(callback);
}
void StreamingEouAsrManager::setPartialCallback(TextCallback callback) {
  std::lock_guard guard(m_impl->lock);
  m_impl->partialCallback = std::move(callback);
}

void StreamingEouAsrManager::loadModels(const std::filesystem::path& modelDir) {
  Impl& d = *m_impl;
  std::lock_guard guard(d.lock);
  d.logger.info("Loading ONNX models from " + modelDir.string() + "...");
  // Everything is loaded before anything is replaced: the models of two
  // folders do not work together (another variant's encoder takes other
  // cache shapes), so a failed load keeps the whole set in use.
  const ComputeUnits units = d.configuration.computeUnits;
  const auto load = [&](const std::string& name) { return OnnxModel::load(modelDir / name, units, modelCost(name)); };
  auto encoder = std::make_unique<EouEncoderModel>(load(ModelNames::ParakeetEOU::encoderFile));
  auto decoder = load(ModelNames::ParakeetEOU::decoderFile);
  auto joint = load(ModelNames::ParakeetEOU::jointFile);
  auto tokenizer = std::make_unique<Tokenizer>(modelDir / "vocab.json");
  auto rnntDecoder = std::make_unique<RnntDecoder>(decoder, joint);
  auto caches = EouEncoderModel::zeroCaches(d.chunkSize.preCacheSize());
  d.streamingEncoder = std::move(encoder);
  d.decoder = std::move(decoder);
  d.joint = std::move(joint);
  d.tokenizer = std::move(tokenizer);
  d.rnntDecoder = std::move(rnntDecoder);
  d.caches = std::move(caches);
  d.audioBuffer.clear();
  d.logger.info("Models loaded successfully.");
}

void StreamingEouAsrManager::appendAudio(const AudioPCMBuffer& buffer) {
  std::vector<float> samples = m_impl->audioConverter.resampleBuffer(buffer);
  std::lock_guard guard(m_impl->lock);
  m_impl->audioBuffer.insert(m_impl->audioBuffer.end(), samples.begin(), samples.end());
}

StreamingEouAsrManager::Impl::Notices StreamingEouAsrManager::Impl::processChunkAndDecode(
    std::span<const float> chunk) {
  if (!streamingEncoder || !caches || !rnntDecoder) throw ASRError::notInitialized();
  NeMoMelSpectrogram::FlatResult features = melProcessor.computeFlat(chunk);
  const Tensor mel =
      Tensor::borrow(ElementType::float32, {1, NeMoMelSpectrogram::nMels, features.numFrames}, features.mel.data());
  EouEncoderModel::Output encoded = streamingEncoder->predict(mel, features.melLength, *caches);
  if (encoded.encoded.empty() || encoded.encoded.shape().size() != 3) {
    throw ASRError::processingFailed("Missing encoder output");
  }
  const auto keep = std::make_shared<Tensor>(encoded.encoded);
  const MLMultiArray encoderOutput(keep->rawData(), keep->shape(), MLMultiArrayDataType::float32,
                                   {keep->shape()[1] * keep->shape()[2], keep->shape()[2], 1}, keep, keep->byteCount());
  const DecodeResult decoded = rnntDecoder->decodeWithEOU(encoderOutput, 0, 0, chunkSize.validOutputLen());

  // The chunk succeeded: commit everything it changed.
  caches = std::move(encoded.caches);
  if (debugFeatures) debugFeatureBuffer.insert(debugFeatureBuffer.end(), features.mel.begin(), features.mel.end());
  accumulatedTokenIds.insert(accumulatedTokenIds.end(), decoded.tokenIds.begin(), decoded.tokenIds.end());
  Notices notices;
  if (partialCallback && tokenizer && !decoded.tokenIds.empty()) {
    notices.partial = [callback = partialCallback, text = tokenizer->decode(accumulatedTokenIds)] { callback(text); };
  }
  totalSamplesProcessed += chunkSize.shiftSamples();

  if (!decoded.eouDetected || !decoded.tokenIds.empty()) {
    eouFirstDetectedAt.reset();
  } else {
    if (!eouFirstDetectedAt) {
      eouFirstDetectedAt = totalSamplesProcessed;
      logger.debug("EOU candidate at chunk " + std::to_string(processedChunks) + ", starting debounce timer");
    }
    const int64_t elapsed = (totalSamplesProcessed - *eouFirstDetectedAt) * 1000 / kSampleRate;
    if (elapsed >= eouDebounceMs && !eouDetected) {
      eouDetected = true;
      logger.info("EOU confirmed at chunk " + std::to_string(processedChunks) + " after " + std::to_string(elapsed) +
                  "ms silence");
      if (eouCallback && tokenizer) {
        notices.eou = [callback = eouCallback, text = tokenizer->decode(accumulatedTokenIds)] { callback(text); };
      }
    }
  }
  processedChunks += 1;
  return notices;
}

std::optional<StreamingEouAsrManager::Impl::Notices> StreamingEouAsrManager::Impl::decodeNextChunk() {
  const auto size = static_cast<std::size_t>(chunkSize.chunkSamples());
  if (audioBuffer.size() < size) return std::nullopt;
  Notices notices = processChunkAndDecode(std::span<const float>(audioBuffer.data(), size));
  audioBuffer.erase(audioBuffer.begin(), audioBuffer.begin() + chunkSize.shiftSamples());
  return notices;
}

std::string StreamingEouAsrManager::process(const AudioPCMBuffer& buffer) {
  appendAudio(buffer);
  // One chunk at a time under the lock, so concurrent or re-entrant calls
  // never see the same chunk; callbacks run between chunks without it.
  for (;;) {
    std::optional<Impl::Notices> notices;
    {
      std::lock_guard guard(m_impl->lock);
      notices = m_impl->decodeNextChunk();
    }
    if (!notices) break;
    notices->run();
  }
  return "";
}

std::string StreamingEouAsrManager::finish() {
  Impl& d = *m_impl;
  for (;;) {
    std::optional<Impl::Notices> notices;
    {
      std::lock_guard guard(d.lock);
      notices = d.decodeNextChunk();
      if (!notices && !d.audioBuffer.empty()) {
        // The rest, shorter than a chunk, as one last zero-padded chunk.
        std::vector<float> last = d.audioBuffer;
        last.resize(static_cast<std::size_t>(d.chunkSize.chunkSamples()), 0.0f);
        notices = d.processChunkAndDecode(last);
        d.audioBuffer.clear();
      }
    }
    if (!notices) break;
    notices->run();
  }
  std::lock_guard guard(d.lock);
  if (!d.tokenizer) return "";
  std::string text = d.tokenizer->decode(d.accumulatedTokenIds);
  d.accumulatedTokenIds.clear();
  return text;
}

void StreamingEouAsrManager::reset() {
  Impl& d = *m_impl;
  std::lock_guard guard(d.lock);
  d.audioBuffer.clear();
  d.debugFeatureBuffer.clear();
  d.accumulatedTokenIds.clear();
  d.eouDetected = false;
  d.eouFirstDetectedAt.reset();
  d.totalSamplesProcessed = 0;
  d.resetStates();
  if (d.rnntDecoder) d.rnntDecoder->resetState();
  d.processedChunks = 0;
}

void StreamingEouAsrManager::injectSilence(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
    throw std::invalid_argument("injectSilence takes a finite duration of 0 to 86400 seconds");
  }
  const auto count = static_cast<std::size_t>(seconds * kSampleRate);
  std::lock_guard guard(m_impl->lock);
  m_impl->audioBuffer.insert(m_impl->audioBuffer.end(), count, 0.0f);
}

void StreamingEouAsrManager::saveDebugFeatures(const std::filesystem::path& file) const {
  std::vector<float> features;
  {
    std::lock_guard guard(m_impl->lock);
    features = m_impl->debugFeatureBuffer;
  }
  const nlohmann::json document = {{"mel_features", features}, {"count", features.size()}};
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << document.dump(2);
  out.close();
  if (!out) throw std::runtime_error("Could not write debug features to " + file.string());
  m_impl->logger.info("Dumped " + std::to_string(features.size()) + " features to " + file.string());
}

}  // namespace voxtrellis
