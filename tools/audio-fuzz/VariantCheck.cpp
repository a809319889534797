#include "VariantCheck.h"

#include "Services/AudioPlayerService.h"
#include "Services/AudioProcessor.h"
#include "Services/PlaybackDecoder.h"

#include <QAudioFormat>

#include <sstream>

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

// The rate the header of the file's audio stream states, as FFmpeg reads it; 0 without one.
int statedRate(const std::filesystem::path& file) {
  AVFormatContext* container = nullptr;
  if (avformat_open_input(&container, file.c_str(), nullptr, nullptr) < 0) return 0;
  int rate = 0;
  if (avformat_find_stream_info(container, nullptr) >= 0) {
    const int stream = av_find_best_stream(container, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream >= 0) rate = container->streams[stream]->codecpar->sample_rate;
  }
  avformat_close_input(&container);
  return rate;
}

}  // namespace

Outcome examine(const std::filesystem::path& file, double seconds, double most) {
  Outcome outcome;
  outcome.statedRate = statedRate(file);
  const QString path = QString::fromStdString(file.string());
  try {
    outcome.loaded = parlowvista::AudioProcessor().loadAndResample(path).duration;
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
      << outcome.statedRate << '\t' << oneLine(outcome.loaderSays) << '\t' << oneLine(outcome.playerSays);
  return out.str();
}

Outcome fromLine(const std::string& line) {
  Outcome outcome;
  std::istringstream in(line);
  std::string loaded, played, rate;
  std::getline(in, loaded, '\t');
  std::getline(in, played, '\t');
  std::getline(in, rate, '\t');
  if (!rate.empty()) outcome.statedRate = std::stoi(rate);
  std::getline(in, outcome.loaderSays, '\t');
  std::getline(in, outcome.playerSays);
  if (!loaded.empty() && std::stod(loaded) >= 0) outcome.loaded = std::stod(loaded);
  if (!played.empty() && std::stod(played) >= 0) outcome.played = std::stod(played);
  return outcome;
}

}  // namespace audiofuzz
