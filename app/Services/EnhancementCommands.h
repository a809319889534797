#pragma once

#include "Models/AudioEnhancementSettings.h"

#include <QString>
#include <QStringList>

namespace parlowvista {

// The command lines the audio enhancer and the preview give ffmpeg. Pure. ffmpeg
// writes its errors only ("-hide_banner -loglevel error"), so that they are what a failure says.
namespace enhancement {

// "highpass=f=80", then by switch afftdn (noise reduction), compand (compression) and
// loudnorm (normalisation), then "alimiter=limit=0.95:attack=5:release=50"; joined by ",".
QString buildFilterChain(const AudioEnhancementSettings& settings);

// The enhancement of loaded samples: 16 kHz mono 32-bit floats in on standard input, the chain,
// the same out on standard output. The limiter makes up for its look-ahead itself ("latency=1");
// what else of the chain gives its sound late (ffmpeg's noise reduction) is made up by the
// caller, who knows by how much: the chain first pads the sound with `padding` samples of
// silence, which come out last.
QStringList samplesArguments(const AudioEnhancementSettings& settings, int padding);
// The first 10 s through the chain, 44.1 kHz stereo.
QStringList previewArguments(const QString& input, const QString& output, const AudioEnhancementSettings& settings);
// The first 10 s untouched, 44.1 kHz stereo.
QStringList originalPreviewArguments(const QString& input, const QString& output);

}  // namespace enhancement

}  // namespace parlowvista
