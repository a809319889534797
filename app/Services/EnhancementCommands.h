#pragma once

#include "Models/AudioEnhancementSettings.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace parlowvista {

// The command lines the audio enhancer and the preview give ffmpeg and ffprobe. Pure. ffmpeg
// writes its errors only ("-hide_banner -loglevel error"), so that they are what a failure says.
namespace enhancement {

// "highpass=f=80", then by switch afftdn (noise reduction), compand (compression) and
// loudnorm (normalisation), then "alimiter=limit=0.95:attack=5:release=50"; joined by ",".
QString buildFilterChain(const AudioEnhancementSettings& settings);

// The enhancement run: progress on standard output, the chain, 16 kHz mono 32-bit float WAV.
// Debian's ffmpeg refuses "-sample_fmt flt" with its default WAV encoder, so the float PCM
// encoder is named explicitly ("-c:a pcm_f32le").
QStringList enhanceArguments(const QString& input, const QString& output, const AudioEnhancementSettings& settings);
// The first 10 s through the chain, 44.1 kHz stereo.
QStringList previewArguments(const QString& input, const QString& output, const AudioEnhancementSettings& settings);
// The first 10 s untouched, 44.1 kHz stereo.
QStringList originalPreviewArguments(const QString& input, const QString& output);
// ffprobe's duration query.
QStringList probeArguments(const QString& input);

// The progress a chunk of "-progress" output reports against `duration` seconds: the first
// "out_time_ms=<digits>" in the chunk, in microseconds, over the duration, at most 1.0
// (a zero duration gives 1.0). Nothing when the chunk holds no such line.
std::optional<double> parseProgress(const QString& chunk, double duration);

// ffprobe's answer in seconds, or 60 when it is not a number.
double parseProbeDuration(const QByteArray& output);

}  // namespace enhancement

}  // namespace parlowvista
