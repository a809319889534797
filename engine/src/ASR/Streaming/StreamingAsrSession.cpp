#include <voxtrellis/StreamingAsrSession.h>

namespace voxtrellis {

StreamingAsrSession::StreamingAsrSession()
    : StreamingAsrSession([] {
        const auto folder = AsrModels::download(std::nullopt, false, AsrModelVersion::v3);
        return AsrModels::load(folder, std::nullopt, AsrModelVersion::v3);
      }) {}

StreamingAsrSession::StreamingAsrSession(ModelLoader loader) : m_loader(std::move(loader)) {
  m_logger.info("Created new StreamingAsrSession");
}

StreamingAsrSession::~StreamingAsrSession() = default;

void StreamingAsrSession::initialize() {
  std::lock_guard lock(m_lock);
  if (m_loadedModels) {
    m_logger.info("Models already loaded, skipping initialization");
    return;
  }
  initializeLocked();
}

void StreamingAsrSession::initializeLocked() {
  m_logger.info("Loading ASR models for session...");
  m_loadedModels = m_loader();
  m_logger.info("ASR models loaded successfully");
}

std::shared_ptr<StreamingAsrManager> StreamingAsrSession::createStream(AudioSource source,
                                                                       const StreamingAsrConfig& config) {
  std::lock_guard lock(m_lock);
  if (auto it = m_streams.find(source); it != m_streams.end()) {
    m_logger.warning("Stream already exists for source: " + audioSourceName(source) + ". Returning existing stream.");
    return it->second;
  }
  if (!m_loadedModels) initializeLocked();
  if (!m_loadedModels) throw StreamingAsrError::modelsNotLoaded();
  m_logger.info("Creating new stream for source: " + audioSourceName(source));
  auto manager = std::make_shared<StreamingAsrManager>(config);
  manager->start(*m_loadedModels, source);
  m_streams[source] = manager;
  return manager;
}

std::shared_ptr<StreamingAsrManager> StreamingAsrSession::getStream(AudioSource source) const {
  std::lock_guard lock(m_lock);
  auto it = m_streams.find(source);
  return it == m_streams.end() ? nullptr : it->second;
}

void StreamingAsrSession::removeStream(AudioSource source) {
  std::lock_guard lock(m_lock);
  if (m_streams.erase(source) > 0) m_logger.info("Removed stream for source: " + audioSourceName(source));
}

std::map<AudioSource, std::shared_ptr<StreamingAsrManager>> StreamingAsrSession::activeStreams() const {
  std::lock_guard lock(m_lock);
  return m_streams;
}

void StreamingAsrSession::cleanup() {
  std::lock_guard lock(m_lock);
  m_logger.info("Cleaning up StreamingAsrSession...");
  for (const auto& [source, manager] : m_streams) {
    manager->cancel();
    m_logger.info("Cancelled stream for source: " + audioSourceName(source));
  }
  m_streams.clear();
  m_loadedModels.reset();
  m_logger.info("StreamingAsrSession cleanup complete");
}

}  // namespace voxtrellis
