#pragma once

#include <voxtrellis/DiarizationResult.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace voxtrellis {

class StreamingAudioSampleSource;
struct OfflineDiarizerModels;

// The application's diarizer: given 16 kHz mono samples it answers who spoke
// when, as speaker turns labelled "S1", "S2", ... with a voice vector per
// speaker and per-stage timings. Segmentation and embedding extraction run on
// two threads joined by a bounded queue of finished windows; both end (and
// are joined) before a call returns, also on failure.
//
// Thread safety: one caller at a time. The configuration never changes.
class OfflineDiarizerManager {
 public:
  // Loads the model bundle from a models directory; see OfflineDiarizerModels::load.
  using ModelLoader =
      std::function<std::shared_ptr<const OfflineDiarizerModels>(const std::filesystem::path& directory)>;

  explicit OfflineDiarizerManager(OfflineDiarizerConfig config = OfflineDiarizerConfig::defaultConfig());
  ~OfflineDiarizerManager();
  OfflineDiarizerManager(const OfflineDiarizerManager&) = delete;
  OfflineDiarizerManager& operator=(const OfflineDiarizerManager&) = delete;

  const OfflineDiarizerConfig& config() const;
  bool hasModels() const;

  // Replaces the held models (no prewarming).
  void initialize(std::shared_ptr<const OfflineDiarizerModels> models);

  // Loads the models (default directory when none is given; the loader
  // fetches what is missing or does not load), then prewarms them. Without
  // forceRedownload a manager that holds models does nothing. With it, a
  // whole fresh copy of the repository folder is downloaded first and takes
  // the folder's place once complete and loaded; when none that loads can be
  // had, that is logged and the files in place, all kept, are loaded. A stop
  // asked for through `stop` ends a download under way within about a second
  // with DownloadUtils::DownloadStopped. Throws the load's error (a
  // ModelFileError naming a file that is missing or does not load, when no
  // copy could be had); the manager then keeps the models it held.
  void prepareModels(const std::optional<std::filesystem::path>& directory = std::nullopt, bool forceRedownload = false,
                     std::stop_token stop = {});

  // Diarizes in-memory samples (audio-loading time 0).
  DiarizationResult process(const std::vector<float>& audio);
  // Decodes a file to a disk-backed source at the configured rate and
  // diarizes it; the temporary file is removed whatever happens.
  DiarizationResult process(const std::filesystem::path& file);
  // The fraction (0...1, increasing) of the analysis windows whose voice
  // vectors are done; called on the pipeline's embedding thread after every
  // window. It reaches 1 before clustering, which reports nothing.
  using ProgressHandler = std::function<void(double)>;

  // The main operation. Throws OfflineDiarizationError (invalidConfiguration,
  // invalidBatchSize, modelNotLoaded, processingFailed, noSpeechDetected),
  // model runtime, file and source errors. A failed embedding export is
  // logged and does not fail the call. A stop asked for through `stop` is
  // seen before the next batch of windows, window's voice vectors, linkage
  // merge or clustering iteration, and ends the call with WorkStopped
  // ("Diarization was stopped") once both stage threads have ended.
  DiarizationResult process(const StreamingAudioSampleSource& audioSource, double audioLoadingSeconds,
                            const ProgressHandler& onProgress = {}, std::stop_token stop = {});

  // Replaces how models are loaded (tests, other model stores). A forced
  // reload then only loads again: nothing is fetched into the model cache.
  void setModelLoader(ModelLoader loader);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
