#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace parlowvista {

// The loader's failures; what() is the user-facing description.
class AudioError : public std::runtime_error {
 public:
  enum class Kind { fileNotFound, unsupportedFormat, conversionFailed, invalidAudioData };
  // "Audio file not found: " + the file name.
  static AudioError fileNotFound(const QString& path);
  // "Unsupported audio format: " + the lower-cased extension.
  static AudioError unsupportedFormat(const QString& extension);
  // "Audio conversion failed: " + the reason.
  static AudioError conversionFailed(const QString& reason);
  // "Invalid audio data".
  static AudioError invalidAudioData();
  Kind kind() const { return m_kind; }

 private:
  AudioError(Kind kind, const QString& description) : std::runtime_error(description.toStdString()), m_kind(kind) {}
  Kind m_kind;
};

// One decoded file: 16 kHz mono float samples and their duration in seconds (the decoded
// audio's, never the length the file's header announces).
struct LoadedAudio {
  std::vector<float> samples;
  double duration = 0;
};

// Turns one audio file (WAV, MP3, M4A, AAC, FLAC, AIFF, CAF) into the engine's 16 kHz mono
// float samples, through the engine's converter: decoded and resampled block by block with
// the resampler flushed at the end, so only the output is ever held whole. Stateless;
// blocking; any thread.
class AudioProcessor {
 public:
  // "wav", "mp3", "m4a", "aac", "flac", "aiff", "caf".
  static const QStringList& supportedExtensions();

  // Checks in this order: the file exists (fileNotFound), its extension (unsupportedFormat),
  // that it is a regular file, not a pipe or folder (conversionFailed), then decodes (the decoder's own error,
  // AudioFileError, passes through), then a file of no frames (invalidAudioData).
  // `progress` (when given) hears the share of the file read so far, on this thread.
  LoadedAudio loadAndResample(const QString& path, const std::function<void(double)>& progress = {}) const;

  // Frames and sample rate of the file's audio stream as its container states them, without
  // decoding; nothing when the container does not say or only guesses from the bit rate.
  struct StreamLength {
    qint64 frames = 0;
    double sampleRate = 0;
  };
  static std::optional<StreamLength> probeLength(const QString& path);
};

}  // namespace parlowvista
