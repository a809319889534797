#include <voxtrellis/AudioValidation.h>
#include <voxtrellis/DiarizerError.h>
#include <voxtrellis/DiarizerManager.h>

#include "Diarizer/Core/ChunkSegments.h"
#include "Diarizer/Extraction/EmbeddingExtractor.h"
#include "Diarizer/Segmentation/SegmentationProcessor.h"
#include "Shared/AppLogger.h"
#include "Shared/Elapsed.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

namespace voxtrellis {

namespace {

using Clock = std::chrono::steady_clock;

// Both models take 10 s at 16 kHz: a longer chunk, or another rate, would
// have its audio beyond the first 160 000 samples silently ignored.
constexpr int kModelSampleRate = 16000;
constexpr double kMaxChunkSeconds = static_cast<double>(PyannoteSegmentationModel::kChunkSamples) / kModelSampleRate;

struct ChunkTimings {
  double segmentation = 0;
  double embedding = 0;
  double clustering = 0;
};

}  // namespace

struct DiarizerManager::Impl {
  AppLogger logger{"Diarizer"};
  DiarizerConfig config;
  std::optional<DiarizerModels> models;
  SegmentationProcessor segmentationProcessor;
  std::unique_ptr<EmbeddingExtractor> embeddingExtractor;
  SpeakerManager speakerManager;
  std::vector<float> paddedChunk;

  explicit Impl(DiarizerConfig c)
      : config(c),
        speakerManager(c.clusteringThreshold * 1.2f, c.clusteringThreshold * 0.8f, c.minSpeechDuration,
                       c.minEmbeddingUpdateDuration) {}

  std::vector<TimedSpeakerSegment> processChunk(std::span<const float> chunk, double offset, std::size_t chunkSize,
                                                ChunkTimings& timings);
};

std::vector<TimedSpeakerSegment> DiarizerManager::Impl::processChunk(std::span<const float> chunk, double offset,
                                                                     std::size_t chunkSize, ChunkTimings& timings) {
  const auto start = Clock::now();
  std::fill(paddedChunk.begin(), paddedChunk.end(), 0.0f);
  std::copy_n(chunk.begin(), std::min(chunk.size(), chunkSize), paddedChunk.begin());
  const std::span<const float> buffer(paddedChunk.data(), chunkSize);

  const auto segmentation = segmentationProcessor.getSegments(
      buffer, *models->segmentationModel, static_cast<int>(PyannoteSegmentationModel::kChunkSamples));
  timings.segmentation = secondsSince(start);
  if (!embeddingExtractor) throw DiarizerError::notInitialized();

  ChunkSlots slots;
  slots.frames = segmentation.front();
  const std::size_t slotCount = SegmentationProcessor::kSlots;
  // Frames where two slots overlap give no weight to either voice.
  std::vector<std::vector<float>> masks(slotCount, std::vector<float>(slots.frames.size(), 0.0f));
  for (std::size_t f = 0; f < slots.frames.size(); ++f) {
    float sum = 0;
    for (float v : slots.frames[f]) sum += v;
    if (sum >= 2.0f) continue;
    for (std::size_t s = 0; s < slotCount; ++s) masks[s][f] = slots.frames[f][s];
  }

  const auto embeddingStart = Clock::now();
  slots.embeddings = embeddingExtractor->getEmbeddings(buffer, masks, config.minActiveFramesCount);
  timings.embedding = secondsSince(embeddingStart);

  const auto clusteringStart = Clock::now();
  slots.activities.assign(slotCount, 0.0f);
  for (const auto& frame : slots.frames) {
    for (std::size_t s = 0; s < slotCount; ++s) slots.activities[s] += frame[s];
  }
  slots.labels.assign(slotCount, "");
  for (std::size_t s = 0; s < slotCount; ++s) {
    if (!(slots.activities[s] > config.minActiveFramesCount)) continue;
    if (!AudioValidation::validateEmbedding(slots.embeddings[s])) continue;
    const float speech = slots.activities[s] * static_cast<float>(kFrameStepSeconds);
    if (const auto speaker = speakerManager.assignSpeaker(slots.embeddings[s], speech)) {
      slots.labels[s] = speaker->id();
    }
  }
  timings.clustering = secondsSince(clusteringStart);
  return createTimedSegments(slots, offset, config);
}

DiarizerManager::DiarizerManager(DiarizerConfig config) : m_impl(std::make_unique<Impl>(config)) {}

DiarizerManager::~DiarizerManager() = default;

const DiarizerConfig& DiarizerManager::config() const {
  return m_impl->config;
}

bool DiarizerManager::isAvailable() const {
  return m_impl->models.has_value();
}

void DiarizerManager::initialize(DiarizerModels models) {
  m_impl->logger.info("Initializing diarization system");
  if (!models.segmentationModel || !models.embeddingModel) throw DiarizerError::notInitialized();
  m_impl->embeddingExtractor = std::make_unique<EmbeddingExtractor>(models.embeddingModel);
  m_impl->logger.info("EmbeddingExtractor initialized with embedding model");
  m_impl->models = std::move(models);
}

void DiarizerManager::cleanup() {
  m_impl->models.reset();
  m_impl->logger.info("Diarization resources cleaned up");
}

bool DiarizerManager::validateEmbedding(const std::vector<float>& embedding) const {
  return AudioValidation::validateEmbedding(embedding);
}

AudioValidationResult DiarizerManager::validateAudio(std::span<const float> samples) const {
  return AudioValidation::validateAudio(samples);
}

void DiarizerManager::initializeKnownSpeakers(const std::vector<SpeakerPtr>& speakers) {
  m_impl->speakerManager.initializeKnownSpeakers(speakers, SpeakerInitializationMode::skip, true);
}

SpeakerManager& DiarizerManager::speakerManager() {
  return m_impl->speakerManager;
}

const SpeakerManager& DiarizerManager::speakerManager() const {
  return m_impl->speakerManager;
}

std::shared_ptr<PyannoteSegmentationModel> DiarizerManager::segmentationModel() const {
  return m_impl->models ? m_impl->models->segmentationModel : nullptr;
}

DiarizationResult DiarizerManager::performCompleteDiarization(std::span<const float> samples, int sampleRate,
                                                              double atTime) {
  if (!m_impl->models) throw DiarizerError::notInitialized();
  const auto& config = m_impl->config;
  const double chunkSeconds = std::trunc(config.chunkDuration);
  const double overlapSeconds = std::trunc(config.chunkOverlap);
  // A step of zero would never advance and a negative one never starts.
  if (sampleRate != kModelSampleRate || !(chunkSeconds >= 1 && chunkSeconds <= kMaxChunkSeconds) ||
      !std::isfinite(overlapSeconds) || overlapSeconds >= chunkSeconds) {
    throw DiarizerError::processingFailed("Invalid chunk configuration: chunk " + std::to_string(config.chunkDuration) +
                                          " s, overlap " + std::to_string(config.chunkOverlap) + " s, sample rate " +
                                          std::to_string(sampleRate) +
                                          " (the models take 1 to 10 whole seconds at 16000 Hz, and the overlap must "
                                          "be shorter than the chunk)");
  }
  const auto chunkSize = static_cast<std::size_t>(sampleRate * static_cast<int64_t>(chunkSeconds));
  const auto overlap = static_cast<int64_t>(sampleRate) * static_cast<int64_t>(overlapSeconds);
  const auto step = static_cast<std::size_t>(static_cast<int64_t>(chunkSize) - overlap);
  m_impl->paddedChunk.assign(std::max<std::size_t>(chunkSize, 1), 0.0f);

  std::vector<TimedSpeakerSegment> segments;
  ChunkTimings sums;
  for (std::size_t start = 0; start < samples.size(); start += step) {
    const std::size_t end = std::min(start + chunkSize, samples.size());
    const double offset = static_cast<double>(start) / sampleRate + atTime;
    ChunkTimings chunk;
    auto chunkSegments = m_impl->processChunk(samples.subspan(start, end - start), offset, chunkSize, chunk);
    segments.insert(segments.end(), std::make_move_iterator(chunkSegments.begin()),
                    std::make_move_iterator(chunkSegments.end()));
    sums.segmentation += chunk.segmentation;
    sums.embedding += chunk.embedding;
    sums.clustering += chunk.clustering;
  }
  const auto postStart = Clock::now();
  const double postProcessing = secondsSince(postStart);

  if (!config.debugMode) return DiarizationResult(std::move(segments), std::nullopt, std::nullopt);
  // Copied under the database's lock: another thread may be assigning.
  auto database = m_impl->speakerManager.currentEmbeddings();
  PipelineTimings timings(m_impl->models->compilationDuration, 0, sums.segmentation, sums.embedding, sums.clustering,
                          postProcessing);
  return DiarizationResult(std::move(segments), std::move(database), timings);
}

}  // namespace voxtrellis
