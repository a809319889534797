#include "Services/EnhancementCommands.h"

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

QStringList samplesArguments(const AudioEnhancementSettings& settings, int padding) {
  const QString chain =
      (padding > 0 ? QString("apad=pad_len=%1,").arg(padding) : QString()) + buildFilterChain(settings) + ":latency=1";
  const QStringList raw{"-f", "f32le", "-ar", "16000", "-ac", "1"};
  return quiet(raw + QStringList{"-i", "pipe:0", "-af", chain} + raw + QStringList{"-c:a", "pcm_f32le", "pipe:1"});
}

QStringList previewArguments(const QString& input, const QString& output, const AudioEnhancementSettings& settings) {
  return quiet({"-i", input, "-y", "-t", "10", "-af", buildFilterChain(settings), "-ar", "44100", "-ac", "2", output});
}

QStringList originalPreviewArguments(const QString& input, const QString& output) {
  return quiet({"-i", input, "-y", "-t", "10", "-ar", "44100", "-ac", "2", output});
}

}  // namespace parlowvista::enhancement
