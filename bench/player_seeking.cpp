// The first sound after a seek near the end of a 2-hour raw ADTS AAC and MP3 (44.1 kHz stereo),
// decoded as the player's sound thread decodes it: the seek goes to a packet whose time the
// file's index knows, an index of every packet's stamp that a pass over the file makes in the
// background from the moment the file is opened. "first_sound_ms": from the seek to the first
// 10 ms of sound decoded (the median of the iterations).
//
// BM_SeekAtOnce: the seek right after the file is opened (the pass has to get there first: the
// worst case, a row's ▶ clicked the moment a file is loaded).
// BM_SeekAfterASecond: the seek a second after the file is opened, as when one listens first.
// The aim: under 0.3 s in both.

#include "Services/PlaybackDecoder.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <QAudioFormat>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr double kSeekTo = 7000;  // seconds, 200 s before the end

// Made once and kept between runs: encoding two hours of audio takes a minute or two.
fs::path twoHourFile(const std::string& suffix, const std::string& codec) {
  return bench::ffmpegMadeFile("player-2h-44k-stereo." + suffix,
                               "-f lavfi -i 'sine=f=220:d=7200:sample_rate=44100' -ac 2 " + codec);
}

void firstSoundAfterSeek(benchmark::State& state, const fs::path& file, std::chrono::milliseconds wait) {
  if (file.empty()) {
    state.SkipWithError("cannot make the file with the ffmpeg tool");
    return;
  }
  QAudioFormat format;
  format.setSampleRate(48000);
  format.setChannelCount(2);
  format.setSampleFormat(QAudioFormat::Float);
  std::vector<double> times;
  for (auto _ : state) {
    parlowvista::PlaybackDecoder decoder(QString::fromStdString(file.string()), format);
    std::this_thread::sleep_for(wait);
    const auto started = std::chrono::steady_clock::now();
    decoder.seek(kSeekTo);
    QByteArray sound;
    decoder.decode(sound, format.bytesForDuration(10000));
    const double elapsed = bench::seconds(started);
    state.SetIterationTime(elapsed);
    times.push_back(elapsed);
    benchmark::DoNotOptimize(sound.data());
  }
  std::sort(times.begin(), times.end());
  state.counters["first_sound_ms"] = times[times.size() / 2] * 1000;
}

void BM_SeekAtOnce(benchmark::State& state, const std::string& suffix, const std::string& codec) {
  firstSoundAfterSeek(state, twoHourFile(suffix, codec), std::chrono::milliseconds(0));
}
void BM_SeekAfterASecond(benchmark::State& state, const std::string& suffix, const std::string& codec) {
  firstSoundAfterSeek(state, twoHourFile(suffix, codec), std::chrono::milliseconds(1000));
}

BENCHMARK_CAPTURE(BM_SeekAtOnce, adts, std::string("aac"), std::string("-c:a aac -b:a 96k"))
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SeekAtOnce, mp3, std::string("mp3"), std::string("-b:a 128k"))
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SeekAfterASecond, adts, std::string("aac"), std::string("-c:a aac -b:a 96k"))
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SeekAfterASecond, mp3, std::string("mp3"), std::string("-b:a 128k"))
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
