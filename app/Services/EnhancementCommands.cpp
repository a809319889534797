#include "Services/EnhancementCommands.h"

#include <QRegularExpression>

#include <cmath>

namespace parlowvista::enhancement {

namespace {

qint64 truncated(double value) {
  return static_cast<qint64>(std::trunc(value));
}

// The tool's errors alone on its standard error, without its banner, build configuration and
// stream listing: the failure's text is then the cause ("…: No space left on device").
QStringList quiet(const QStringList& arguments) {
  return QStringList{"-hide_banner", "-loglevel", "error"} + arguments;
}

}  // namespace

QString buildFilterChain(const AudioEnhancementSettings& s) {
  QStringList stages{"highpass=f=80"};
  if (s.noiseReduction) {
    stages << QString("afftdn=nr=%1:nf=-25").arg(truncated(s.noiseReductionStrength * 30) + 5);
  }
  if (s.dynamicCompression) {
    const double c = s.compressionStrength;
    const qint64 t = truncated(c * 10 - 30);
    const double kRaw = c * 5 - 20;
    const qint64 k = truncated(kRaw);
    const qint64 k5 = truncated(kRaw + 5);
    stages << QString("compand=attacks=%1:decays=0.3:points=-80/-80|%2/%2|%3/%4|0/-7|20/-7:gain=%5")
                  .arg(QString::asprintf("%.3f", (1 - c) * 0.08 + 0.02))
                  .arg(t)
                  .arg(k)
                  .arg(k5)
                  .arg(truncated(c * 5 + 3));
  }
  if (s.normalizeVolume) stages << "loudnorm=I=-16:TP=-1.5:LRA=11";
  stages << "alimiter=limit=0.95:attack=5:release=50";
  return stages.join(",");
}

QStringList enhanceArguments(const QString& input, const QString& output, const AudioEnhancementSettings& settings) {
  return quiet({"-progress", "pipe:1", "-nostats", "-i", input, "-y", "-af", buildFilterChain(settings), "-ar", "16000",
                "-ac", "1", "-c:a", "pcm_f32le", "-sample_fmt", "flt", output});
}

QStringList previewArguments(const QString& input, const QString& output, const AudioEnhancementSettings& settings) {
  return quiet({"-i", input, "-y", "-t", "10", "-af", buildFilterChain(settings), "-ar", "44100", "-ac", "2", output});
}

QStringList originalPreviewArguments(const QString& input, const QString& output) {
  return quiet({"-i", input, "-y", "-t", "10", "-ar", "44100", "-ac", "2", output});
}

QStringList probeArguments(const QString& input) {
  return {"-v", "quiet", "-show_entries", "format=duration", "-of", "default=noprint_wrappers=1:nokey=1", input};
}

std::optional<double> parseProgress(const QString& chunk, double duration) {
  static const QRegularExpression pattern("out_time_ms=\\d+");
  const auto match = pattern.match(chunk);
  if (!match.hasMatch()) return std::nullopt;
  bool ok = false;
  const double value = match.captured().section('=', -1).toDouble(&ok);
  if (!ok) return std::nullopt;
  const double fraction = value / 1000000.0 / duration;
  // A zero duration gives an infinite or undefined quotient: report the end.
  if (std::isnan(fraction)) return 1.0;
  return std::min(fraction, 1.0);
}

double parseProbeDuration(const QByteArray& output) {
  bool ok = false;
  const double seconds = QString::fromUtf8(output).trimmed().toDouble(&ok);
  return ok && std::isfinite(seconds) ? seconds : 60.0;
}

}  // namespace parlowvista::enhancement
