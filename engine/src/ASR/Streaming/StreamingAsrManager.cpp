#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AsrManager.h>
#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/StreamingAsrManager.h>

#include "ASR/Streaming/StreamingWindowStep.h"
#include "ASR/Streaming/WindowGeometry.h"
#include "Shared/Elapsed.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

namespace voxtrellis {

using namespace streaming;

namespace {

using Clock = std::chrono::steady_clock;

std::string decimal(double value) {
  std::ostringstream s;
  s << value;
  std::string text = s.str();
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

std::string fixed(double value, int places) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  return text;
}

AsrModels downloadAndLoad() {
  const auto folder = AsrModels::download(std::nullopt, false, AsrModelVersion::v3);
  return AsrModels::load(folder, std::nullopt, AsrModelVersion::v3);
}

}  // namespace

// ---- values -------------------------------------------------------------------

StreamingAsrConfig StreamingAsrConfig::custom(double chunkDuration, double confirmationThreshold) {
  return {chunkDuration, std::min(chunkDuration * 0.5, 1.0), 10.0, 2.0, 10.0, confirmationThreshold};
}

ASRConfig StreamingAsrConfig::asrConfig() const {
  ASRConfig config;
  config.sampleRate = 16000;
  config.tdtConfig = TdtConfig::defaults();
  return config;
}

void StreamingAsrConfig::validate() const {
  const auto check = [](double value, const char* name, bool positive) {
    if (!std::isfinite(value) || value < 0 || (positive && value * kSampleRate < 1) || value > 86400) {
      throw StreamingAsrError::invalidConfiguration(std::string(name) + " must be finite, " +
                                                    (positive ? "at least one sample" : "0 or more") +
                                                    " and at most a day");
    }
  };
  check(chunkSeconds, "chunkSeconds", true);
  check(hypothesisChunkSeconds, "hypothesisChunkSeconds", false);
  check(leftContextSeconds, "leftContextSeconds", false);
  check(rightContextSeconds, "rightContextSeconds", false);
  check(minContextForConfirmation, "minContextForConfirmation", false);
  if (!std::isfinite(confirmationThreshold)) {
    throw StreamingAsrError::invalidConfiguration("confirmationThreshold must be finite");
  }
}

std::vector<std::string> StreamingTranscriptionUpdate::tokens() const {
  std::vector<std::string> out;
  out.reserve(tokenTimings.size());
  for (const auto& t : tokenTimings) out.push_back(t.token);
  return out;
}

std::string audioSourceName(AudioSource source) {
  return source == AudioSource::system ? "system" : "microphone";
}

StreamingAsrError StreamingAsrError::streamAlreadyExists(AudioSource source) {
  return {Code::streamAlreadyExists, "A stream already exists for source: " + audioSourceName(source)};
}
StreamingAsrError StreamingAsrError::audioBufferProcessingFailed(const std::string& underlying) {
  return {Code::audioBufferProcessingFailed, "Audio buffer processing failed: " + underlying};
}
StreamingAsrError StreamingAsrError::audioConversionFailed(const std::string& underlying) {
  return {Code::audioConversionFailed, "Audio conversion failed: " + underlying};
}
StreamingAsrError StreamingAsrError::modelProcessingFailed(const std::string& underlying) {
  return {Code::modelProcessingFailed, "Model processing failed: " + underlying};
}
StreamingAsrError StreamingAsrError::invalidConfiguration(const std::string& message) {
  return {Code::invalidConfiguration, "Invalid configuration: " + message};
}
StreamingAsrError StreamingAsrError::modelsNotLoaded() {
  return {Code::modelsNotLoaded, "ASR models have not been loaded"};
}
StreamingAsrError StreamingAsrError::bufferOverflow() {
  return {Code::bufferOverflow, "Audio buffer overflow occurred"};
}

// ---- the recogniser ----------------------------------------------------------------

struct StreamingAsrManager::Impl {
  AppLogger logger{"StreamingASR"};
  AudioConverter audioConverter;
  StreamingAsrConfig config;
  WindowGeometry g;
  ClosableQueue<AudioPCMBuffer> input;
  std::function<AsrModels()> modelLoader = downloadAndLoad;

  std::mutex subscribersLock;
  std::vector<std::weak_ptr<StreamingUpdateQueue>> subscribers;
  bool updatesClosed = false;

  std::mutex taskLock;  // start, finish, cancel
  std::thread recognizer;
  std::exception_ptr taskError;
  std::atomic<bool> cancelled{false};
  bool started = false;

  // Window processing and reset take this for their whole run, so a reset
  // never overlaps a window that is with the recogniser.
  std::mutex windowLock;
  std::shared_ptr<AsrManager> asrManager;
  std::atomic<AudioSource> audioSource{AudioSource::microphone};
  int64_t segmentIndex = 0;
  int64_t lastProcessedFrame = 0;
  std::vector<float> sampleBuffer;
  int64_t bufferStartIndex = 0;
  int64_t nextWindowCenterStart = 0;
  int64_t processedChunks = 0;
  std::atomic<int64_t> failedWindows{0};
  std::chrono::system_clock::time_point startTime;

  // Readable while a window runs.
  mutable std::mutex stateLock;
  std::vector<int> accumulatedTokens;
  std::string volatileTranscript;
  std::string confirmedTranscript;

  explicit Impl(const StreamingAsrConfig& c) : config(c), g(WindowGeometry::of(c)) {}

  int64_t received() const { return bufferStartIndex + static_cast<int64_t>(sampleBuffer.size()); }

  void broadcast(const StreamingTranscriptionUpdate& update) {
    std::lock_guard lock(subscribersLock);
    std::erase_if(subscribers, [&](const std::weak_ptr<StreamingUpdateQueue>& weak) {
      auto queue = weak.lock();
      return !queue || !queue->push(update);
    });
  }
  void closeUpdates() {
    std::lock_guard lock(subscribersLock);
    updatesClosed = true;
    for (const auto& weak : subscribers) {
      if (auto queue = weak.lock()) queue->close();
    }
    subscribers.clear();
  }

  void run();
  void processReadyWindows();
  void flushRemaining();
  void discardConsumed();
  // Recognises [windowStart, windowEnd) and keeps the words of the chunk
  // [centreStart, centreEnd); isLastChunk: no audio follows the window.
  void processWindow(int64_t windowStart, int64_t windowEnd, int64_t centreStart, int64_t centreEnd, bool isLastChunk);
  void updateTranscriptionState(const ASRResult& result);
  void attemptErrorRecovery(const StreamingAsrError& error);
  void resetDecoder();
};

StreamingAsrManager::StreamingAsrManager(const StreamingAsrConfig& config) {
  config.validate();
  m_impl = std::make_shared<Impl>(config);
  m_impl->logger.info("Initialized StreamingAsrManager with config: chunk=" + decimal(config.chunkSeconds) + "s left=" +
                      decimal(config.leftContextSeconds) + "s right=" + decimal(config.rightContextSeconds) + "s");
  const WindowGeometry& g = m_impl->g;
  if (g.fitted || g.rounded) {
    const std::string reason = g.fitted ? "The configured window is longer than the recogniser's " +
                                              std::to_string(kModelWindowSamples) + "-sample input"
                                        : "Window lengths are whole 80 ms encoder frames";
    m_impl->logger.notice(reason + "; using chunk=" + decimal(g.chunk / 16000.0) +
                          "s left=" + decimal(g.left / 16000.0) + "s right=" + decimal(g.right / 16000.0) + "s");
  }
}

StreamingAsrManager::~StreamingAsrManager() {
  m_impl->cancelled = true;
  m_impl->input.close();
  if (m_impl->recognizer.joinable()) m_impl->recognizer.join();
}

void StreamingAsrManager::setModelLoader(std::function<AsrModels()> loader) {
  std::lock_guard lock(m_impl->windowLock);
  m_impl->modelLoader = std::move(loader);
}

void StreamingAsrManager::start(AudioSource source) {
  m_impl->logger.info("Starting streaming ASR engine for source: " + audioSourceName(source) + "...");
  std::function<AsrModels()> loader;
  {
    std::lock_guard lock(m_impl->windowLock);
    loader = m_impl->modelLoader;
  }
  start(loader(), source);
}

void StreamingAsrManager::start(const AsrModels& models, AudioSource source) {
  Impl& d = *m_impl;
  std::lock_guard task(d.taskLock);
  if (d.started) throw StreamingAsrError::invalidConfiguration("the stream has already started");
  d.logger.info("Starting streaming ASR engine with pre-loaded models for source: " + audioSourceName(source) + "...");
  {
    std::lock_guard lock(d.windowLock);
    d.audioSource = source;
    d.asrManager = AsrManager::create(d.config.asrConfig());
    d.asrManager->initialize(models);
    window::primeDecoderState(*d.asrManager, source);
    d.segmentIndex = 0;
    d.lastProcessedFrame = 0;
    d.startTime = std::chrono::system_clock::now();
    std::lock_guard state(d.stateLock);
    d.accumulatedTokens.clear();
  }
  d.started = true;
  d.recognizer = std::thread([impl = m_impl] { impl->run(); });
  d.logger.info("Streaming ASR engine started successfully");
}

void StreamingAsrManager::streamAudio(const AudioPCMBuffer& buffer) {
  m_impl->input.push(buffer);
}

std::shared_ptr<StreamingUpdateQueue> StreamingAsrManager::transcriptionUpdates() {
  auto queue = std::make_shared<StreamingUpdateQueue>();
  std::lock_guard lock(m_impl->subscribersLock);
  if (m_impl->updatesClosed) {
    queue->close();
  } else {
    m_impl->subscribers.push_back(queue);
  }
  return queue;
}

void StreamingAsrManager::Impl::run() {
  logger.info("Recognition task started, waiting for audio...");
  try {
    while (auto buffer = input.pop()) {
      if (cancelled) break;
      std::vector<float> samples;
      try {
        samples = audioConverter.resampleBuffer(*buffer);
      } catch (const std::exception& e) {
        const auto error = StreamingAsrError::audioBufferProcessingFailed(e.what());
        logger.error(std::string("Audio buffer processing error: ") + error.what());
        std::lock_guard lock(windowLock);
        attemptErrorRecovery(error);
        continue;
      }
      std::lock_guard lock(windowLock);
      sampleBuffer.insert(sampleBuffer.end(), samples.begin(), samples.end());
      processReadyWindows();
    }
    // A cancelled stream wants no more results: its remainder is dropped.
    if (!cancelled) {
      std::lock_guard lock(windowLock);
      flushRemaining();
    }
    logger.info("Recognition task completed");
  } catch (...) {
    taskError = std::current_exception();
  }
  closeUpdates();
}

void StreamingAsrManager::Impl::processReadyWindows() {
  while (!cancelled) {
    const int64_t end = received();
    if (end < nextWindowCenterStart + g.chunk + g.right) return;
    const int64_t windowStart = std::max<int64_t>(nextWindowCenterStart - g.left, 0);
    const int64_t windowEnd = nextWindowCenterStart + g.chunk + g.right;
    if (windowEnd - bufferStartIndex > static_cast<int64_t>(sampleBuffer.size()) ||
        windowEnd <= std::max<int64_t>(windowStart, bufferStartIndex)) {
      return;
    }
    processWindow(windowStart, windowEnd, nextWindowCenterStart, nextWindowCenterStart + g.chunk, false);
    nextWindowCenterStart += g.chunk;
    discardConsumed();
  }
}

void StreamingAsrManager::Impl::flushRemaining() {
  for (;;) {
    const int64_t end = received();
    if (nextWindowCenterStart >= end) return;
    const int64_t length = std::min(end - nextWindowCenterStart, g.chunk);
    const int64_t windowStart = std::max<int64_t>(nextWindowCenterStart - g.left, 0);
    // A chunk that does not end the stream keeps the right context there is:
    // a word on its last frame, whose duration reaches past the window,
    // would otherwise wait for a window that only has it as left context.
    const int64_t windowEnd = std::min(nextWindowCenterStart + length + g.right, end);
    if (windowEnd <= std::max<int64_t>(windowStart, bufferStartIndex)) return;
    processWindow(windowStart, windowEnd, nextWindowCenterStart, nextWindowCenterStart + length, windowEnd >= end);
    nextWindowCenterStart += length;
    discardConsumed();
  }
}

void StreamingAsrManager::Impl::discardConsumed() {
  const int64_t drop = std::max<int64_t>(nextWindowCenterStart - g.left, 0) - bufferStartIndex;
  if (drop >= 1 && drop <= static_cast<int64_t>(sampleBuffer.size())) {
    sampleBuffer.erase(sampleBuffer.begin(), sampleBuffer.begin() + drop);
    bufferStartIndex += drop;
  }
}

void StreamingAsrManager::Impl::processWindow(int64_t windowStart, int64_t windowEnd, int64_t centreStart,
                                              int64_t centreEnd, bool isLastChunk) {
  if (!asrManager) return;
  const int64_t from = std::max<int64_t>(windowStart - bufferStartIndex, 0);
  const std::span<const float> samples(sampleBuffer.data() + from,
                                       static_cast<std::size_t>(windowEnd - bufferStartIndex - from));
  const int64_t absoluteStart = bufferStartIndex + from;
  const auto started = Clock::now();
  window::StepResult step;
  try {
    step = window::transcribe(*asrManager, samples, audioSource, isLastChunk);
  } catch (const std::exception& e) {
    const auto error = StreamingAsrError::modelProcessingFailed(e.what());
    logger.error(std::string("Model processing error: ") + error.what());
    failedWindows += 1;
    attemptErrorRecovery(error);
    return;
  }

  // Only the words of this window's chunk: context on either side belongs to
  // the neighbouring windows, which decode it as their own chunk. (The last
  // chunk of a stream ends with the audio: nothing of it lies beyond.)
  const int64_t offset = absoluteStart / kSamplesPerFrame;
  const int64_t firstFrame = centreStart / kSamplesPerFrame;
  const int64_t endFrame = (centreEnd + kSamplesPerFrame - 1) / kSamplesPerFrame;
  std::vector<int> tokens;
  std::vector<int> timestamps;
  std::vector<float> confidences;
  for (std::size_t i = 0; i < step.tokens.size(); ++i) {
    const int64_t frame = (i < step.timestamps.size() ? step.timestamps[i] : 0) + offset;
    if (frame < firstFrame || frame >= endFrame) continue;
    tokens.push_back(step.tokens[i]);
    timestamps.push_back(static_cast<int>(frame));
    confidences.push_back(i < step.confidences.size() ? step.confidences[i] : 1.0f);
  }
  {
    std::lock_guard state(stateLock);
    accumulatedTokens.insert(accumulatedTokens.end(), tokens.begin(), tokens.end());
  }
  if (!timestamps.empty()) {
    lastProcessedFrame = std::max<int64_t>(lastProcessedFrame, *std::max_element(timestamps.begin(), timestamps.end()));
  }
  segmentIndex += 1;
  processedChunks += 1;
  const double seconds = secondsSince(started);
  const ASRResult result =
      window::resultOf(*asrManager, tokens, timestamps, confidences, step.encoderSequenceLength, samples, seconds);
  logger.debug("Chunk " + std::to_string(processedChunks) + ": '" + result.text + "', time: " + fixed(seconds, 3) +
               "s)");
  updateTranscriptionState(result);
  const double total = static_cast<double>(received()) / kSampleRate;
  StreamingTranscriptionUpdate update;
  update.text = result.text;
  update.isConfirmed = config.confirmationThreshold <= result.confidence && config.minContextForConfirmation <= total;
  update.confidence = result.confidence;
  update.timestamp = std::chrono::system_clock::now();
  update.tokenIds = tokens;
  update.tokenTimings = result.tokenTimings.value_or(std::vector<TokenTiming>{});
  broadcast(update);
}

void StreamingAsrManager::Impl::updateTranscriptionState(const ASRResult& result) {
  const double total = static_cast<double>(received()) / kSampleRate;
  const double c = result.confidence;
  std::lock_guard state(stateLock);
  if (c >= config.confirmationThreshold && total >= config.minContextForConfirmation) {
    if (!volatileTranscript.empty()) {
      confirmedTranscript =
          confirmedTranscript.empty() ? volatileTranscript : confirmedTranscript + " " + volatileTranscript;
    }
    volatileTranscript = result.text;
    logger.debug("CONFIRMED (" + decimal(c) + ", " + fixed(total, 1) +
                 "s context): promoted to confirmed; new volatile '" + result.text + "'");
  } else {
    volatileTranscript = result.text;
    const std::string reason = total >= config.minContextForConfirmation
                                   ? "low confidence"
                                   : "insufficient context (" + fixed(total, 1) + "s)";
    logger.debug("VOLATILE (" + decimal(c) + "): " + reason + " - updated volatile '" + result.text + "'");
  }
}

void StreamingAsrManager::Impl::attemptErrorRecovery(const StreamingAsrError& error) {
  logger.warning(std::string("Attempting error recovery for: ") + error.what());
  switch (error.code()) {
    case StreamingAsrError::Code::streamAlreadyExists:
      logger.error("Stream already exists - cannot recover automatically");
      break;
    case StreamingAsrError::Code::audioBufferProcessingFailed: logger.info("Recovering from audio buffer error"); break;
    case StreamingAsrError::Code::audioConversionFailed: logger.info("Recovering from audio conversion error"); break;
    case StreamingAsrError::Code::modelProcessingFailed:
      logger.info("Recovering from model processing error - resetting decoder state");
      resetDecoder();
      break;
    case StreamingAsrError::Code::invalidConfiguration:
      logger.error("Configuration error cannot be recovered automatically");
      break;
    case StreamingAsrError::Code::modelsNotLoaded:
      logger.error("Models not loaded - cannot recover automatically");
      break;
    case StreamingAsrError::Code::bufferOverflow: logger.info("Buffer overflow handled automatically"); break;
  }
}

void StreamingAsrManager::Impl::resetDecoder() {
  if (!asrManager) return;
  try {
    window::primeDecoderState(*asrManager, audioSource);
    logger.info("Successfully reset decoder state during error recovery");
    return;
  } catch (const std::exception& e) {
    logger.error(std::string("Failed to reset decoder state during recovery: ") + e.what());
  }
  try {
    auto fresh = AsrManager::create(config.asrConfig());
    fresh->initialize(modelLoader());
    asrManager = std::move(fresh);
    logger.info("Successfully reinitialized ASR manager during error recovery");
  } catch (const std::exception& f) {
    logger.error(std::string("Failed to reinitialize ASR manager during recovery: ") + f.what());
  }
}

std::string StreamingAsrManager::finish() {
  Impl& d = *m_impl;
  d.logger.info("Finishing streaming ASR...");
  d.input.close();
  {
    std::lock_guard task(d.taskLock);
    if (d.recognizer.joinable()) d.recognizer.join();
  }
  // Recognition has ended, or never started: no update can come any more.
  d.closeUpdates();
  if (d.taskError) {
    try {
      std::rethrow_exception(d.taskError);
    } catch (const std::exception& e) {
      d.logger.error(std::string("Recognition task failed: ") + e.what());
      throw;
    }
  }
  std::string text;
  {
    std::lock_guard lock(d.windowLock);
    std::lock_guard state(d.stateLock);
    if (d.asrManager && !d.accumulatedTokens.empty()) {
      // One decoding of every token of the stream.
      const std::vector<float> confidences(d.accumulatedTokens.size(), 1.0f);
      text = window::resultOf(*d.asrManager, d.accumulatedTokens, {}, confidences, 0, {}, 0).text;
    } else {
      text = d.confirmedTranscript + d.volatileTranscript;
    }
  }
  d.logger.info("Final transcription: " + std::to_string(text.size()) + " characters");
  return text;
}

void StreamingAsrManager::reset() {
  Impl& d = *m_impl;
  std::lock_guard lock(d.windowLock);
  {
    std::lock_guard state(d.stateLock);
    d.volatileTranscript.clear();
    d.confirmedTranscript.clear();
  }
  d.processedChunks = 0;
  d.failedWindows = 0;
  d.startTime = std::chrono::system_clock::now();
  d.sampleBuffer.clear();
  d.bufferStartIndex = 0;
  d.nextWindowCenterStart = 0;
  if (d.asrManager) window::primeDecoderState(*d.asrManager, d.audioSource);
  d.segmentIndex = 0;
  d.lastProcessedFrame = 0;
  {
    std::lock_guard state(d.stateLock);
    d.accumulatedTokens.clear();
  }
  d.logger.info("StreamingAsrManager reset for source: " + audioSourceName(d.audioSource));
}

void StreamingAsrManager::cancel() {
  Impl& d = *m_impl;
  // Before the input ends, so the recognition thread sees it with the end.
  d.cancelled = true;
  d.input.close();
  d.closeUpdates();
  d.logger.info("StreamingAsrManager cancelled");
}

AudioSource StreamingAsrManager::source() const {
  return m_impl->audioSource;
}

std::string StreamingAsrManager::volatileTranscript() const {
  std::lock_guard state(m_impl->stateLock);
  return m_impl->volatileTranscript;
}

std::string StreamingAsrManager::confirmedTranscript() const {
  std::lock_guard state(m_impl->stateLock);
  return m_impl->confirmedTranscript;
}

int64_t StreamingAsrManager::failedWindows() const {
  return m_impl->failedWindows;
}

int64_t StreamingAsrManager::chunkSamples() const {
  return m_impl->g.chunk;
}
int64_t StreamingAsrManager::leftContextSamples() const {
  return m_impl->g.left;
}
int64_t StreamingAsrManager::rightContextSamples() const {
  return m_impl->g.right;
}

}  // namespace voxtrellis
