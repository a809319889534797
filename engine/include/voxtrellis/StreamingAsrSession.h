#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AsrModels.h>
#include <voxtrellis/AudioSource.h>
#include <voxtrellis/StreamingAsrManager.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace voxtrellis {

// Live recognition of several audio sources at once with the recogniser
// models loaded once: one StreamingAsrManager per source, created and
// started on first request and handed back on later ones.
//
// Threading: calls may come from any thread; they run one at a time, so two
// requests for the same source always get the same manager.
class StreamingAsrSession {
 public:
  using ModelLoader = std::function<AsrModels()>;

  // Models come from the model cache (downloaded when missing).
  StreamingAsrSession();
  // Models come from `loader` (a seam for callers with their own model store).
  explicit StreamingAsrSession(ModelLoader loader);
  ~StreamingAsrSession();
  StreamingAsrSession(const StreamingAsrSession&) = delete;
  StreamingAsrSession& operator=(const StreamingAsrSession&) = delete;

  // Loads the models unless they are loaded. Throws the loader's errors.
  void initialize();
  // The source's manager, created with `config` and started when there is
  // none (a later request's configuration is ignored). Throws the loading and
  // start errors, and StreamingAsrError::modelsNotLoaded; nothing is stored then.
  std::shared_ptr<StreamingAsrManager> createStream(
      AudioSource source, const StreamingAsrConfig& config = StreamingAsrConfig::defaultConfig());
  std::shared_ptr<StreamingAsrManager> getStream(AudioSource source) const;
  // Forgets the source's manager without stopping it.
  void removeStream(AudioSource source);
  std::map<AudioSource, std::shared_ptr<StreamingAsrManager>> activeStreams() const;
  // Cancels every manager and forgets managers and models.
  void cleanup();

 private:
  void initializeLocked();

  AppLogger m_logger{"StreamingSession"};
  ModelLoader m_loader;
  mutable std::mutex m_lock;
  std::optional<AsrModels> m_loadedModels;
  std::map<AudioSource, std::shared_ptr<StreamingAsrManager>> m_streams;
};

}  // namespace voxtrellis
