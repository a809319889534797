#include <voxtrellis/OfflineDiarizerManager.h>

#include "Diarizer/Offline/Clustering/SpeakerClusteringStage.h"
#include "Diarizer/Offline/Core/ChunkQueue.h"
#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "Diarizer/Offline/Core/OfflineReconstruction.h"
#include "Diarizer/Offline/Core/PipelineSupport.h"
#include "Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"
#include "Diarizer/Offline/Utils/NumberFormat.h"
#include "Shared/Elapsed.h"
#include "Shared/MLMultiArrayTensor.h"
#include "Shared/Uuid.h"

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/ModelNames.h>
#include <voxtrellis/OfflineDiarizationError.h>
#include <voxtrellis/StreamingAudioSampleSource.h>
#include <voxtrellis/WorkStopped.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

namespace voxtrellis {

using diarization::fixed;
using diarization::shortest;

namespace {
using Clock = std::chrono::steady_clock;
// Windows queued between the two stage threads: two segmentation batches.
constexpr std::size_t kQueueCapacity = 64;

// Joins a thread on every exit path.
class JoiningThread {
 public:
  template <class F>
  explicit JoiningThread(F&& body) : m_thread(std::forward<F>(body)) {}
  ~JoiningThread() { join(); }
  void join() {
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  std::thread m_thread;
};

SampleReader readerFor(const StreamingAudioSampleSource& source) {
  SampleReader reader;
  reader.sampleCount = source.sampleCount();
  reader.copySamples = [&source](float* destination, int64_t offset, int64_t count) {
    source.copySamples(destination, offset, count);
  };
  return reader;
}

bool isCancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const DiarizationCancelled&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

struct OfflineDiarizerManager::Impl {
  AppLogger logger{"OfflineDiarizer"};
  OfflineDiarizerConfig config;
  std::shared_ptr<const OfflineDiarizerModels> models;
  ModelLoader loader;  // set by setModelLoader; none for the engine's model cache

  std::shared_ptr<const OfflineDiarizerModels> load(const std::filesystem::path& directory, bool fresh,
                                                    std::stop_token stop) const;

  void prewarm(const OfflineDiarizerModels& bundle) const;
  // The pipeline over `models`: its stage threads, the clustering and the
  // reconstruction end with DiarizationCancelled at their next check once
  // `cancellation` is set.
  DiarizationResult diarize(std::shared_ptr<const OfflineDiarizerModels> models,
                            const StreamingAudioSampleSource& audioSource, double audioLoadingSeconds,
                            const ProgressHandler& onProgress, CancellationFlag& cancellation) const;
  void exportEmbeddings(const std::vector<TimedEmbedding>& embeddings, const std::vector<int>& assignments,
                        const std::string& path) const;
};

OfflineDiarizerManager::OfflineDiarizerManager(OfflineDiarizerConfig config) : m_impl(std::make_unique<Impl>()) {
  m_impl->config = std::move(config);
}

OfflineDiarizerManager::~OfflineDiarizerManager() = default;

const OfflineDiarizerConfig& OfflineDiarizerManager::config() const {
  return m_impl->config;
}
bool OfflineDiarizerManager::hasModels() const {
  return m_impl->models != nullptr;
}
void OfflineDiarizerManager::setModelLoader(ModelLoader loader) {
  m_impl->loader = std::move(loader);
}

void OfflineDiarizerManager::initialize(std::shared_ptr<const OfflineDiarizerModels> models) {
  m_impl->models = std::move(models);
  m_impl->logger.info("Offline diarizer models initialized");
}

void OfflineDiarizerManager::prepareModels(const std::optional<std::filesystem::path>& directoryArgument,
                                           bool forceRedownload, std::stop_token stop) {
  auto& impl = *m_impl;
  if (!forceRedownload && impl.models) {
    impl.logger.debug("Offline diarizer models already prepared; skipping load");
    return;
  }
  const std::filesystem::path directory =
      std::filesystem::absolute(directoryArgument.value_or(OfflineDiarizerModels::defaultModelsDirectory()))
          .lexically_normal();
  // The loader already fetches what is missing or does not load, so its first error (which
  // names the file and why) is the one to report.
  std::shared_ptr<const OfflineDiarizerModels> loaded;
  try {
    loaded = impl.load(directory, forceRedownload, stop);
  } catch (const std::exception& error) {
    impl.logger.error(std::string("Offline diarizer model load failed: ") + error.what());
    throw;
  }
  if (!loaded) return;
  impl.models = loaded;
  impl.logger.info("Offline diarizer models initialized");
  impl.prewarm(*loaded);
  impl.logger.info("Offline diarizer models loaded from " + directory.string());
}

std::shared_ptr<const OfflineDiarizerModels> OfflineDiarizerManager::Impl::load(const std::filesystem::path& directory,
                                                                                bool fresh,
                                                                                std::stop_token stop) const {
  if (loader) return loader(directory);
  // The folder in place is replaced only by a whole fresh copy that loads: its files may be
  // the user's own, and a hub that does not answer must not leave fewer of them.
  if (fresh) {
    try {
      return std::make_shared<const OfflineDiarizerModels>(OfflineDiarizerModels::loadFreshCopy(directory, stop));
    } catch (const DownloadUtils::DownloadStopped&) {
      throw;
    } catch (const std::exception& error) {
      logger.warning(std::string("Failed to fetch a fresh copy of the diarizer models during forced reload: ") +
                     error.what() + "; the files in place are loaded as they are");
    }
  }
  return std::make_shared<const OfflineDiarizerModels>(OfflineDiarizerModels::load(directory, {}, stop));
}

void OfflineDiarizerManager::Impl::prewarm(const OfflineDiarizerModels& bundle) const {
  // The window is bounded here too: prewarming runs before any file is
  // processed, so it cannot rely on the validation of process().
  const int64_t samples = config.samplesPerWindow();
  const bool windowUsable = samples >= 1 && samples <= 2147483647;
  const std::string windowProblem = "window of " + std::to_string(samples) + " samples is outside 1...2147483647";
  auto started = Clock::now();
  try {
    if (!windowUsable) throw OfflineDiarizationError::invalidConfiguration(windowProblem);
    auto input = Tensor::zeros(ElementType::float32, {1, 1, samples});
    volatile float touch = input.data<float>()[0] + input.data<float>()[samples - 1];
    (void)touch;
    (void)bundle.segmentationModel->predict(input);
    logger.debug("Segmentation model prewarmed in " + fixed(secondsSince(started), 3) + "s");
  } catch (const std::exception& error) {
    logger.debug(std::string("Segmentation prewarm skipped: ") + error.what());
  }
  started = Clock::now();
  try {
    if (!windowUsable) throw OfflineDiarizationError::invalidConfiguration(windowProblem);
    PLDATransform plda(bundle.pldaRhoModel, bundle.pldaPsi);
    OfflineEmbeddingExtractor extractor(bundle.fbankModel, bundle.embeddingModel, plda, config);
    SegmentationOutput synthetic;
    synthetic.logProbs = {{{0.0f}}};
    synthetic.speakerWeights = {{{1.0f}}};
    synthetic.numChunks = 1;
    synthetic.numFrames = 1;
    synthetic.numSpeakers = 1;
    synthetic.chunkOffsets = {0.0};
    synthetic.frameDuration = std::max(config.segmentation.windowDurationSeconds, 0.001);
    (void)extractor.extractEmbeddings(std::vector<float>(static_cast<std::size_t>(samples), 0.0f), synthetic);
    logger.debug("Embedding stack prewarmed in " + fixed(secondsSince(started), 3) + "s");
  } catch (const std::exception& error) {
    logger.debug(std::string("Embedding prewarm skipped: ") + error.what());
  }
}

namespace {
// The caller's samples read in place: an hour of audio is 230 MB, too much to copy per call.
class BorrowedSampleSource final : public StreamingAudioSampleSource {
 public:
  explicit BorrowedSampleSource(const std::vector<float>& samples) : m_samples(samples) {}
  int64_t sampleCount() const override { return static_cast<int64_t>(m_samples.size()); }
  void copySamples(float* destination, int64_t offset, int64_t count) const override {
    const int64_t total = sampleCount();
    const int64_t start = std::max<int64_t>(offset, 0);
    if (count < 1 || start >= total) return;
    std::copy_n(m_samples.data() + start, std::min(count, total - start), destination);
  }

 private:
  const std::vector<float>& m_samples;
};
}  // namespace

DiarizationResult OfflineDiarizerManager::process(const std::vector<float>& audio) {
  BorrowedSampleSource source(audio);
  return process(source, 0.0);
}

DiarizationResult OfflineDiarizerManager::process(const std::filesystem::path& file) {
  StreamingAudioSourceFactory factory;
  auto made = factory.makeDiskBackedSource(file, m_impl->config.segmentation.sampleRate);
  struct Cleanup {
    const DiskBackedAudioSampleSource& source;
    ~Cleanup() { source.cleanup(); }
  } cleanup{made.source};
  return process(made.source, made.loadDuration);
}

DiarizationResult OfflineDiarizerManager::process(const StreamingAudioSampleSource& audioSource,
                                                  double audioLoadingSeconds, const ProgressHandler& onProgress,
                                                  std::stop_token stop) {
  auto& impl = *m_impl;
  impl.config.validate();
  if (!impl.models) prepareModels(std::nullopt, false, stop);
  if (!impl.models) throw OfflineDiarizationError::modelNotLoaded("offline-diarizer");
  // The caller's stop reaches the pipeline as the cancellation its stages and the clustering
  // already check; whatever the stop cut short, the caller hears that it was stopped.
  CancellationFlag cancellation;
  const std::stop_callback cancelOnStop(stop, [&cancellation] { cancellation.cancel(); });
  try {
    return impl.diarize(impl.models, audioSource, audioLoadingSeconds, onProgress, cancellation);
  } catch (...) {
    if (stop.stop_requested()) throw WorkStopped("Diarization");
    throw;
  }
}

DiarizationResult OfflineDiarizerManager::Impl::diarize(std::shared_ptr<const OfflineDiarizerModels> models,
                                                        const StreamingAudioSampleSource& audioSource,
                                                        double audioLoadingSeconds, const ProgressHandler& onProgress,
                                                        CancellationFlag& cancellation) const {
  const auto pipelineStart = Clock::now();
  const SampleReader reader = readerFor(audioSource);

  // Built before the threads start so that a model lacking a feature fails
  // the call without any thread running.
  PLDATransform extractorPlda(models->pldaRhoModel, models->pldaPsi);
  OfflineEmbeddingExtractor extractor(models->fbankModel, models->embeddingModel, extractorPlda, config);

  ChunkQueue queue(kQueueCapacity);
  SegmentationOutput segmentation;
  std::vector<TimedEmbedding> embeddings;
  double segmentationSeconds = 0, embeddingSeconds = 0;
  std::exception_ptr segmentationError, embeddingError;
  {
    JoiningThread segmentationThread([&] {
      const auto started = Clock::now();
      try {
        OfflineSegmentationProcessor processor;
        segmentation = processor.process(
            reader, *models->segmentationModel, config,
            [&](const SegmentationChunk& chunk) {
              return queue.push(chunk) ? SegmentationChunkContinuation::continueProcessing
                                       : SegmentationChunkContinuation::stop;
            },
            &cancellation);
        queue.finish();
      } catch (...) {
        segmentationError = std::current_exception();
        cancellation.cancel();
        queue.finish(segmentationError);
      }
      segmentationSeconds = secondsSince(started);
    });
    // The windows the segmentation slides over the audio, one per step.
    const int64_t step = config.samplesPerStep();
    const double windows = step > 0 ? static_cast<double>((audioSource.sampleCount() + step - 1) / step) : 0.0;
    auto consume = [&] {
      try {
        const auto started = Clock::now();
        int64_t taken = 0;
        embeddings = extractor.extractEmbeddings(
            reader,
            [&] {
              std::optional<SegmentationChunk> chunk = queue.pop();
              // Asking for the next window means the one before is done.
              if (onProgress && !chunk) onProgress(1.0);
              if (onProgress && chunk && taken > 0 && windows > 0)
                onProgress(std::min(1.0, static_cast<double>(taken) / windows));
              if (chunk) ++taken;
              return chunk;
            },
            &cancellation);
        embeddingSeconds = secondsSince(started);
      } catch (...) {
        embeddingError = std::current_exception();
        cancellation.cancel();
      }
      // Whatever happened, the producer must not wait for this consumer any more.
      queue.closeConsumer();
    };
    std::optional<JoiningThread> embeddingThread;
    try {
      embeddingThread.emplace(consume);
    } catch (...) {
      // Without a consumer the segmentation thread would wait forever on a full queue.
      cancellation.cancel();
      queue.closeConsumer();
      throw;
    }
    segmentationThread.join();
    embeddingThread->join();
  }
  // The segmentation error wins unless it only reports the cancellation that
  // the embedding failure caused.
  if (segmentationError && !(embeddingError && isCancellation(segmentationError))) {
    std::rethrow_exception(segmentationError);
  }
  if (embeddingError) std::rethrow_exception(embeddingError);

  logger.debug("Segmentation completed in " + shortest(segmentationSeconds) + "s (async)");
  logger.debug("Embedding extraction produced " + std::to_string(embeddings.size()) + " vectors in " +
               shortest(embeddingSeconds) + "s (async)");
  if (embeddings.empty()) throw OfflineDiarizationError::noSpeechDetected();

  PLDATransform clusteringPlda(models->pldaRhoModel, models->pldaPsi);
  const auto clustering =
      SpeakerClusteringStage::run(embeddings, segmentation, config, clusteringPlda.psi(), &cancellation);
  cancellation.throwIfCancelled();

  OfflineReconstruction reconstruction(config);
  // No centroid means no embedding held a usable voice: no speakers, rather
  // than all speech given to one invented speaker.
  auto segments = clustering.centroids.empty()
                      ? std::vector<TimedSpeakerSegment>{}
                      : reconstruction.buildSegments(segmentation, clustering.chunkAssignments, clustering.centroids);
  auto database = OfflineReconstruction::buildSpeakerDatabase(segments);

  if (config.exportSettings.embeddingsPath) {
    // The diarization is finished; a failed export must not throw it away.
    try {
      exportEmbeddings(embeddings, clustering.assignments, *config.exportSettings.embeddingsPath);
    } catch (const std::exception& error) {
      logger.error(std::string("Embedding export failed: ") + error.what());
    }
  }

  const double wall = secondsSince(pipelineStart);
  const double post =
      std::max(0.0, wall - segmentationSeconds - embeddingSeconds - clustering.speakerClusteringSeconds);
  PipelineTimings timings(models->compilationDuration, audioLoadingSeconds, segmentationSeconds, embeddingSeconds,
                          clustering.speakerClusteringSeconds, post);
  return DiarizationResult(std::move(segments), std::move(database), timings);
}

void OfflineDiarizerManager::Impl::exportEmbeddings(const std::vector<TimedEmbedding>& embeddings,
                                                    const std::vector<int>& assignments,
                                                    const std::string& path) const {
  // Keys in the record's field order, not sorted.
  nlohmann::ordered_json records = nlohmann::ordered_json::array();
  auto finite = [](const auto& values) {
    for (auto v : values) {
      if (!std::isfinite(v)) return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < embeddings.size(); ++i) {
    const auto& e = embeddings[i];
    if (!std::isfinite(e.startTime) || !std::isfinite(e.endTime) || !finite(e.embedding256) || !finite(e.rho128)) {
      throw OfflineDiarizationError::exportFailed("embedding " + std::to_string(i) + " holds a non-finite number");
    }
    records.push_back({{"chunkIndex", e.chunkIndex},
                       {"speakerIndex", e.speakerIndex},
                       {"startFrame", e.startFrame},
                       {"endFrame", e.endFrame},
                       {"startTime", e.startTime},
                       {"endTime", e.endTime},
                       {"embedding256", e.embedding256},
                       {"rho128", e.rho128},
                       {"cluster", i < assignments.size() ? assignments[i] : -1}});
  }
  const std::string text = records.dump();
  // Written beside the target and renamed over it, so a failed write never
  // leaves a truncated export in place.
  const std::filesystem::path target(path);
  const std::filesystem::path temporary =
      target.parent_path() / ("." + target.filename().string() + "." + makeUuidString() + ".tmp");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw OfflineDiarizationError::exportFailed("cannot write " + path);
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw OfflineDiarizationError::exportFailed("cannot replace " + path + ": " + error.message());
  }
  logger.info("Exported " + std::to_string(embeddings.size()) + " embeddings to " + path);
}

}  // namespace voxtrellis
