#pragma once

#include <voxtrellis/SoundPlaces.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <vector>

namespace parlowvista {

// The loader's failures; what() is the user-facing description, detail() what only helps to
// find out why (the decoder's own words), or empty.
class AudioError : public std::runtime_error {
 public:
  enum class Kind {
    fileNotFound,
    unsupportedFormat,
    conversionFailed,
    invalidAudioData,
    notAudio,
    unreadableName,
    unreadable
  };
  // "Audio file not found: " + the file name.
  static AudioError fileNotFound(const QString& path);
  // "Unsupported audio format: " + the lower-cased extension.
  static AudioError unsupportedFormat(const QString& extension);
  // "Audio conversion failed: " + the reason.
  static AudioError conversionFailed(const QString& reason);
  // "Invalid audio data".
  static AudioError invalidAudioData();
  // "Not an audio file, or damaged: " + the file name; the decoder's error as the detail.
  static AudioError notAudio(const QString& path, const QString& decoderError);
  // "The file's name cannot be read: " + the name as far as it reads, and what to do.
  static AudioError unreadableName(const QString& path);
  // The file name + " cannot be read (" + the system's words + ")": a read of it failed (a failing
  // disk, a network share gone away) before any of its sound.
  static AudioError unreadable(const QString& path, const QString& reason);
  Kind kind() const { return m_kind; }
  const QString& detail() const { return m_detail; }
  // The detail of a failure that is an AudioError with one, else empty.
  static QString detailOf(const std::exception_ptr& error);

 private:
  AudioError(Kind kind, const QString& description, QString detail = {})
      : std::runtime_error(description.toStdString()), m_kind(kind), m_detail(std::move(detail)) {}
  Kind m_kind;
  QString m_detail;
};

// One format the loader decodes: its name as the user knows it ("AIFF") and its file-name
// extensions, lower case ("aiff").
struct AudioFormat {
  QString name;
  QStringList extensions;
};

// One decoded file: 16 kHz mono float samples and their duration in seconds (the decoded
// audio's, never the length the file's header announces), and what the user should know of
// damage skipped in it, for the activity log: which file, where and how much could not be
// decoded ("Part of talk.flac could not be decoded: 0.3 s at 00:07.628 was skipped, the rest of
// the file was kept"; "about 0.3 s" where bytes that were no packet count in it, see
// voxtrellis::SkippedDamage), and from where a file that could not be read to its end could not
// be read ("Nothing of talk.flac could be read from 00:29.990 on (Input/output error): the rest of
// the file is not in the transcript"; after damage: "...was skipped; nothing of it could be read
// from ..."); empty when nothing was. Where its sound lies in the file, as the samples have it
// (voxtrellis::SoundPlaces: for the player to seek by); null where the container tells no
// packet's position.
struct LoadedAudio {
  std::vector<float> samples;
  double duration = 0;
  QString damage;
  std::shared_ptr<const voxtrellis::SoundPlaces> places;
};

// Turns one audio file (WAV, MP3, M4A, AAC, FLAC, AIFF, CAF) into the engine's 16 kHz mono
// float samples, through the engine's converter: decoded and resampled block by block with
// the resampler flushed at the end, so only the output is ever held whole. Stateless;
// blocking; any thread.
class AudioProcessor {
 public:
  // WAV, MP3, M4A, AAC, FLAC, AIFF and CAF, each under one extension: the one list of what the
  // application offers and takes (the file dialogs, drops, the drop zone's text and this
  // loader). An AIFF file is taken as ".aiff" only; ".aif" is refused like any other name.
  static const QList<AudioFormat>& supportedFormats();
  // Every extension of supportedFormats(), in order: "wav", "mp3", ..., "aiff", "caf".
  static const QStringList& supportedExtensions();

  // Checks in this order: the file exists (fileNotFound; unreadableName when its name did not
  // survive decoding into text), its extension (unsupportedFormat), that it is a regular file,
  // not a pipe or folder (conversionFailed), that its header declares a sample size its samples
  // are stored in (a WAV of 7 bits per sample is notAudio), then decodes (a readable file the
  // decoder cannot open or read is notAudio, one whose reads fail before any sound unreadable; one
  // the user may not read keeps the decoder's AudioFileError), then a file of no frames
  // (invalidAudioData).
  // `progress` (when given) hears the share of the file read so far, on this thread. A stop
  // asked for through `stop` ends the decoding at its next frame with voxtrellis::WorkStopped.
  LoadedAudio loadAndResample(const QString& path, const std::function<void(double)>& progress = {},
                              std::stop_token stop = {}) const;

  // Frames and sample rate of the file's audio stream as its container states them, without
  // decoding; nothing when the container does not say or only guesses from the bit rate.
  struct StreamLength {
    qint64 frames = 0;
    double sampleRate = 0;
  };
  static std::optional<StreamLength> probeLength(const QString& path);
};

}  // namespace parlowvista
