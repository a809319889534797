#include "VariantCheck.h"

#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "Services/PlaybackDecoder.h"
#include "engine/Shared/AudioTestFiles.h"

#include <voxtrellis/MediaBounds.h>

#include <QAudioFormat>

#include <algorithm>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace audiofuzz {

namespace {

// Seconds of sound the decoder gives from where it stands, up to `most`.
double soundTo(parlowvista::PlaybackDecoder& decoder, double most) {
  const QAudioFormat& format = decoder.format();
  const qsizetype step = format.bytesForDuration(1000000);
  qint64 bytes = 0;
  QByteArray sound;
  bool more = true;
  while (more && double(bytes) / format.bytesForDuration(1000000) < most) {
    sound.clear();
    more = decoder.decode(sound, step);
    bytes += sound.size();
  }
  return double(bytes) / format.bytesForDuration(1000000);
}

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

// The rate the header of the file's audio stream states, as FFmpeg reads it, and the bytes of its
// sample frames where they are of a fixed size (PCM); 0 without one.
std::pair<int, int> statedFormat(const std::filesystem::path& file) {
  voxtrellis::MediaBounds::apply();
  AVFormatContext* container = nullptr;
  if (avformat_open_input(&container, file.c_str(), nullptr, nullptr) < 0) return {};
  std::pair<int, int> stated;
  if (voxtrellis::MediaBounds::findStreamInfo(*container) >= 0) {
    const int stream = av_find_best_stream(container, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream >= 0) {
      const AVCodecParameters& audio = *container->streams[stream]->codecpar;
      stated = {audio.sample_rate, av_get_exact_bits_per_sample(audio.codec_id) > 0 ? audio.block_align : 0};
    }
  }
  avformat_close_input(&container);
  return stated;
}

// The PCM the loader gives: 16 kHz mono float.
constexpr int kLoaderRate = 16000;
QAudioFormat loaderFormat() {
  QAudioFormat format;
  format.setSampleRate(kLoaderRate);
  format.setChannelCount(1);
  format.setSampleFormat(QAudioFormat::Float);
  return format;
}

// How well `heard` matches `loaded` best, starting within `slack` samples of `at`: 1 for the
// same sound.
double bestLikeness(const std::vector<float>& loaded, const std::vector<float>& heard, std::size_t at,
                    std::size_t slack) {
  return voxtrellis::test::bestMatch(loaded, heard.data(), heard.size(), at > slack ? at - slack : 0, at + slack + 1)
      .likeness;
}

// The seeks to `spots` whose first tenth of a second is not the loader's sound at their target,
// where the loader has sound there, as a line of text; empty when each one is.
std::string misplacedSeeks(const QString& path, const parlowvista::LoadedAudio& loaded,
                           const std::vector<double>& spots) {
  std::ostringstream out;
  const std::size_t tenth = kLoaderRate / 10, slack = std::size_t(0.03 * kLoaderRate);
  try {
    parlowvista::PlaybackDecoder decoder(path, loaderFormat(), loaded.places);
    for (const double spot : spots) {
      const auto at = std::size_t(spot * kLoaderRate);
      if (at + tenth > loaded.samples.size() || voxtrellis::test::rms(loaded.samples, at, at + tenth) < 0.02) continue;
      decoder.seek(spot);
      QByteArray sound;
      decoder.decode(sound, decoder.format().bytesForDuration(100000));
      std::vector<float> heard(std::min<std::size_t>(std::size_t(sound.size()) / sizeof(float), tenth));
      std::copy_n(reinterpret_cast<const float*>(sound.constData()), heard.size(), heard.data());
      const double likeness = heard.size() < tenth ? 0.0 : bestLikeness(loaded.samples, heard, at, slack);
      if (likeness < 0.6) out << (out.tellp() > 0 ? ", " : "") << "from " << spot << " s (" << likeness << ")";
    }
  } catch (const std::exception& error) {
    out << "the player's decoder failed: " << error.what();
  }
  return out.str();
}

}  // namespace

Outcome examine(const std::filesystem::path& file, double seconds, double most) {
  Outcome outcome;
  std::tie(outcome.statedRate, outcome.statedFrameBytes) = statedFormat(file);
  const QString path = QString::fromStdString(file.string());
  try {
    const parlowvista::LoadedAudio loaded = parlowvista::AudioProcessor().loadAndResample(path);
    outcome.loaded = loaded.duration;
    outcome.misplaced = misplacedSeeks(path, loaded, {seconds / 2, seconds * 0.9});
  } catch (const std::exception& error) {
    outcome.loaderSays = error.what();
  }
  try {
    parlowvista::PlaybackDecoder decoder(path, parlowvista::AudioPlayerService::probeFormat());
    QByteArray first;
    while (first.isEmpty() && decoder.decode(first, decoder.format().bytesPerFrame())) {
    }
    if (first.isEmpty()) {
      outcome.playerSays = decoder.stoppedOnError() ? "its audio cannot be decoded" : "it holds no sound";
      return outcome;
    }
    for (const double spot : {seconds / 2, seconds * 0.9}) {
      decoder.seek(spot);
      QByteArray some;
      decoder.decode(some, decoder.format().bytesForDuration(100000));
    }
    decoder.seek(0);
    outcome.played = soundTo(decoder, most);
    if (decoder.stoppedOnError()) outcome.playerSays = "decoding stopped on an error";
  } catch (const std::exception& error) {
    outcome.playerSays = error.what();
  }
  return outcome;
}

std::string toLine(const Outcome& outcome) {
  std::ostringstream out;
  out.precision(17);
  out << (outcome.loaded ? *outcome.loaded : -1.0) << '\t' << (outcome.played ? *outcome.played : -1.0) << '\t'
      << outcome.statedRate << '\t' << outcome.statedFrameBytes << '\t' << oneLine(outcome.misplaced) << '\t'
      << oneLine(outcome.loaderSays) << '\t' << oneLine(outcome.playerSays);
  return out.str();
}

Outcome fromLine(const std::string& line) {
  Outcome outcome;
  std::istringstream in(line);
  std::string loaded, played, rate, frameBytes;
  std::getline(in, loaded, '\t');
  std::getline(in, played, '\t');
  std::getline(in, rate, '\t');
  std::getline(in, frameBytes, '\t');
  if (!rate.empty()) outcome.statedRate = std::stoi(rate);
  if (!frameBytes.empty()) outcome.statedFrameBytes = std::stoi(frameBytes);
  std::getline(in, outcome.misplaced, '\t');
  std::getline(in, outcome.loaderSays, '\t');
  std::getline(in, outcome.playerSays);
  if (!loaded.empty() && std::stod(loaded) >= 0) outcome.loaded = std::stod(loaded);
  if (!played.empty() && std::stod(played) >= 0) outcome.played = std::stod(played);
  return outcome;
}

}  // namespace audiofuzz
