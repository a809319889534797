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
//
// In a damaged copy of the ADTS file (the frame-length field of its frame at 12 minutes set to 0,
// a header its reader cannot step over; the loader skips that frame and keeps the rest), the
// index reads on past the damage:
// BM_SeekAtOnce/adts_damaged: as above, the first seek having to wait for the index.
// BM_SeekPastDamage: seeks to 7000 s and 3600 s, past the damage, once the index is built, again
// and again; /adts the same in the file without damage. The aim: the same figure in both.

#include "Services/AudioPlayerService.h"
#include "Services/PlaybackDecoder.h"

#include "BenchSupport.h"
#include "engine/Shared/AudioTestFiles.h"

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

// The 2-hour ADTS file with the frame-length field of its frame at 12 minutes set to 0, made once
// beside it.
fs::path damagedTwoHourFile() {
  const fs::path whole = twoHourFile("aac", "-c:a aac -b:a 96k");
  if (whole.empty()) return {};
  const fs::path damaged = bench::benchFolder() / "player-2h-44k-stereo-damaged.aac";
  if (!fs::exists(damaged)) {
    std::ifstream in(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t header = voxtrellis::test::adtsFrames(bytes).at(std::size_t(720.0 * 44100 / 1024));
    bytes[header + 3] = char(bytes[header + 3] & 0xFC);
    bytes[header + 4] = 0;
    bytes[header + 5] = char(bytes[header + 5] & 0x1F);
    std::ofstream(damaged, std::ios::binary) << bytes;
  }
  return damaged;
}

void firstSoundAfterSeek(benchmark::State& state, const fs::path& file, std::chrono::milliseconds wait) {
  if (file.empty()) {
    state.SkipWithError("cannot make the file with the ffmpeg tool");
    return;
  }
  const QAudioFormat format = parlowvista::AudioPlayerService::probeFormat();
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

void BM_SeekPastDamage(benchmark::State& state, bool damaged) {
  const fs::path file = damaged ? damagedTwoHourFile() : twoHourFile("aac", "-c:a aac -b:a 96k");
  if (file.empty()) {
    state.SkipWithError("cannot make the file with the ffmpeg tool");
    return;
  }
  const QAudioFormat format = parlowvista::AudioPlayerService::probeFormat();
  parlowvista::PlaybackDecoder decoder(QString::fromStdString(file.string()), format);
  decoder.seek(1e6);  // waits for the index to be built
  QByteArray sound;
  decoder.decode(sound, 1);
  std::vector<double> times;
  int seeks = 0;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    decoder.seek(seeks++ % 2 ? 3600 : 7000);
    sound.clear();
    decoder.decode(sound, format.bytesForDuration(10000));
    const double elapsed = bench::seconds(started);
    state.SetIterationTime(elapsed);
    times.push_back(elapsed);
    if (sound.isEmpty()) state.SkipWithError("no sound after the seek");
  }
  std::sort(times.begin(), times.end());
  state.counters["first_sound_ms"] = times[times.size() / 2] * 1000;
}

void BM_SeekAtOnceDamaged(benchmark::State& state) {
  firstSoundAfterSeek(state, damagedTwoHourFile(), std::chrono::milliseconds(0));
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

BENCHMARK(BM_SeekAtOnceDamaged)
    ->Name("BM_SeekAtOnce/adts_damaged")
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SeekPastDamage, adts, false)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SeekPastDamage, adts_damaged, true)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
