#include "Services/AudioProcessor.h"

#include "Models/TranscribedSegment.h"

#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/MediaBounds.h>

#include <QFile>
#include <QFileInfo>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/rational.h>
}

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>

namespace parlowvista {

namespace {

// The activity log's word on damage the loader skipped, and on a file it could not read to its
// end (see LoadedAudio::damage).
QString describeDamage(const QString& name, std::vector<voxtrellis::SkippedDamage> skipped) {
  QString unreadable;
  const auto cut =
      std::find_if(skipped.begin(), skipped.end(), [](const auto& stretch) { return !stretch.unreadable.empty(); });
  if (cut != skipped.end()) {
    unreadable = QStringLiteral("could be read from %1 on (%2): the rest of the file is not in the transcript")
                     .arg(TranscribedSegment::formatTimestamp(cut->at), QString::fromStdString(cut->unreadable));
    skipped.erase(cut);
  }
  if (skipped.empty()) {
    return unreadable.isEmpty() ? QString() : QStringLiteral("Nothing of %1 %2").arg(name, unreadable);
  }
  double lost = 0;
  bool estimated = false;
  for (const auto& stretch : skipped) {
    lost += stretch.seconds;
    estimated = estimated || stretch.estimated;
  }
  const QString at = TranscribedSegment::formatTimestamp(skipped.front().at);
  const QString amount = lost > 0 ? QStringLiteral("%1%2 s")
                                        .arg(estimated ? QStringLiteral("about ") : QString())
                                        .arg(lost, 0, 'f', 1 + (lost < 0.1))
                                  : QString();
  QString what;
  if (skipped.size() == 1) {
    what = amount.isEmpty() ? QStringLiteral("a damaged stretch at %1").arg(at)
                            : QStringLiteral("%1 at %2").arg(amount, at);
  } else {
    what = QStringLiteral("%1 damaged stretches%2, the first at %3")
               .arg(skipped.size())
               .arg(amount.isEmpty() ? QString() : QStringLiteral(" (%1 in all)").arg(amount), at);
  }
  return QStringLiteral("Part of %1 could not be decoded: %2 %3 skipped%4")
      .arg(name, what, skipped.size() == 1 ? QStringLiteral("was") : QStringLiteral("were"),
           unreadable.isEmpty() ? QStringLiteral(", the rest of the file was kept")
                                : QStringLiteral("; nothing of it ") + unreadable);
}

}  // namespace

AudioError AudioError::fileNotFound(const QString& path) {
  return AudioError(Kind::fileNotFound, "Audio file not found: " + QFileInfo(path).fileName());
}

AudioError AudioError::unsupportedFormat(const QString& extension) {
  return AudioError(Kind::unsupportedFormat, "Unsupported audio format: " + extension);
}

AudioError AudioError::conversionFailed(const QString& reason) {
  return AudioError(Kind::conversionFailed, "Audio conversion failed: " + reason);
}

AudioError AudioError::invalidAudioData() {
  return AudioError(Kind::invalidAudioData, "Invalid audio data");
}

AudioError AudioError::notAudio(const QString& path, const QString& decoderError) {
  return AudioError(Kind::notAudio, "Not an audio file, or damaged: " + QFileInfo(path).fileName(), decoderError);
}

AudioError AudioError::unreadable(const QString& path, const QString& reason) {
  return AudioError(Kind::unreadable, QStringLiteral("%1 cannot be read (%2)").arg(QFileInfo(path).fileName(), reason));
}

AudioError AudioError::unreadableName(const QString& path) {
  return AudioError(Kind::unreadableName,
                    "The file's name cannot be read: " + QFileInfo(path).fileName() + " (rename it and add it again)",
                    "The file name is not valid UTF-8: " + path);
}

QString AudioError::detailOf(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const AudioError& audio) {
    return audio.detail();
  } catch (...) {
  }
  return {};
}

const QList<AudioFormat>& AudioProcessor::supportedFormats() {
  // FFmpeg finds the container from the content; the extension only decides what is offered.
  static const QList<AudioFormat> formats{{"WAV", {"wav"}},   {"MP3", {"mp3"}},   {"M4A", {"m4a"}}, {"AAC", {"aac"}},
                                          {"FLAC", {"flac"}}, {"AIFF", {"aiff"}}, {"CAF", {"caf"}}};
  return formats;
}

const QStringList& AudioProcessor::supportedExtensions() {
  static const QStringList extensions = [] {
    QStringList all;
    for (const AudioFormat& format : supportedFormats()) all += format.extensions;
    return all;
  }();
  return extensions;
}

std::optional<AudioProcessor::StreamLength> AudioProcessor::probeLength(const QString& path) {
  voxtrellis::MediaBounds::apply();
  AVFormatContext* format = nullptr;
  const QByteArray name = QFile::encodeName(path);
  if (avformat_open_input(&format, name.constData(), nullptr, nullptr) < 0) return std::nullopt;
  std::optional<StreamLength> length;
  // A length guessed from the bit rate (raw AAC, say) is no frame count: the decoded
  // samples tell better then.
  if (voxtrellis::MediaBounds::findStreamInfo(*format) >= 0 &&
      format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index >= 0) {
      const AVStream* stream = format->streams[index];
      const int rate = stream->codecpar->sample_rate;
      double seconds = -1;
      if (stream->duration != AV_NOPTS_VALUE && stream->duration >= 0) {
        seconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
      } else if (format->duration != AV_NOPTS_VALUE && format->duration >= 0) {
        seconds = static_cast<double>(format->duration) / AV_TIME_BASE;
      }
      if (rate > 0 && seconds >= 0 && std::isfinite(seconds)) {
        length = StreamLength{static_cast<qint64>(std::llround(seconds * rate)), static_cast<double>(rate)};
      }
    }
  }
  avformat_close_input(&format);
  return length;
}

LoadedAudio AudioProcessor::loadAndResample(const QString& path, const std::function<void(double)>& progress,
                                            std::stop_token stop) const {
  const QFileInfo info(path);
  if (!info.exists()) {
    // A name that is not valid UTF-8 reaches the application with its undecodable bytes
    // replaced: the file is there, under a name no path of ours can spell.
    if (info.fileName().contains(QChar::ReplacementCharacter)) throw AudioError::unreadableName(path);
    throw AudioError::fileNotFound(path);
  }
  const QString extension = info.suffix().toLower();
  if (!supportedExtensions().contains(extension)) throw AudioError::unsupportedFormat(extension);
  // A named pipe or device would hold the decoder's open until something writes to it.
  std::error_code error;
  if (!std::filesystem::is_regular_file(QFile::encodeName(path).toStdString(), error)) {
    throw AudioError::conversionFailed(info.fileName() + " is not a regular file");
  }

  // The length a header announces is not trusted: a file cut short still states its whole
  // length, and a header may claim anything. The decoded audio is what there is.
  const voxtrellis::AudioConverter converter;
  LoadedAudio audio;
  std::vector<voxtrellis::SkippedDamage> skipped;
  voxtrellis::SoundPlaces places;
  try {
    audio.samples = converter.resampleAudioFile(QFile::encodeName(path).toStdString(), progress, std::move(stop),
                                                &skipped, &places);
  } catch (const voxtrellis::AudioFileError& error) {
    // The decoder's words ("Invalid data found when processing input") mean nothing to a user;
    // they stay as the detail. A file the user may not read says so as it is.
    if (!info.isReadable()) throw;
    if (error.kind() == voxtrellis::AudioFileError::Kind::unreadable) {
      throw AudioError::unreadable(path, QString::fromStdString(error.reason()));
    }
    throw AudioError::notAudio(path, QString::fromStdString(error.what()));
  }
  if (audio.samples.empty()) throw AudioError::invalidAudioData();
  audio.duration = static_cast<double>(audio.samples.size()) / 16000.0;
  audio.damage = describeDamage(info.fileName(), std::move(skipped));
  if (!places.empty()) audio.places = std::make_shared<const voxtrellis::SoundPlaces>(std::move(places));
  return audio;
}

}  // namespace parlowvista
