#include "Services/AudioCacheService.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/ReadFailure.h"

#include <voxtrellis/WorkStopped.h>

#include <QIODevice>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <thread>

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

// A gate the next write of this thread waits at (null: none). See write() below.
thread_local Gate* t_writeGate = nullptr;

// The most memory the process has held at once so far.
long peakKilobytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

// The program's own write(), in front of the C library's for every library of the process (the
// cache's files go down through Qt's): a thread that has a gate waits at it once, in the middle
// of what it was doing, as on a disk busy elsewhere; every other write passes through.
extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  static auto* const real = reinterpret_cast<ssize_t (*)(int, const void*, size_t)>(::dlsym(RTLD_NEXT, "write"));
  if (Gate* gate = std::exchange(t_writeGate, nullptr)) gate->wait();
  return real(fd, buffer, count);
}

namespace {

TEST(AudioCacheServiceTest, SamplesRoundTripBitForBitAndAtomically) {
  testsupport::TempDir dir;
  AudioCacheService cache(QString::fromStdString((dir.path() / "Cache").string()));
  const QUuid id = QUuid::createUuid();
  EXPECT_EQ(cache.loadCachedSamples(id), std::nullopt);
  const std::vector<float> three{1.5f, -0.0f, std::numeric_limits<float>::denorm_min()};
  const QString path = cache.cacheSamples(three, id);
  EXPECT_EQ(path, cache.cacheFilePath(id));
  EXPECT_TRUE(path.endsWith(id.toString(QUuid::WithoutBraces).toUpper() + ".samples"));
  EXPECT_EQ(QFileInfo(path).size(), 12);
  const auto back = cache.loadCachedSamples(id);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::memcmp(back->data(), three.data(), 12), 0);

  cache.cacheSamples(std::vector<float>{}, id);
  EXPECT_EQ(cache.loadCachedSamples(id), std::vector<float>{});
  testsupport::writeFile(path.toStdString(), std::string(10, '\0'));
  EXPECT_EQ(cache.loadCachedSamples(id)->size(), 2u);
  cache.cacheSamples(std::vector<float>{7.0f}, id);
  EXPECT_EQ(cache.loadCachedSamples(id), std::vector<float>{7.0f});
  // A write stopped as the application ends leaves the file as it was.
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(cache.cacheSamples(std::vector<float>(1000, 1.0f), id, stop.get_token()), voxtrellis::WorkStopped);
  EXPECT_EQ(cache.loadCachedSamples(id), std::vector<float>{7.0f});
  // One asked for while the samples go down is seen within a few megabytes (a block of 64 MB
  // took over a second on a busy disk).
  struct AskingToStop : QIODevice {
    std::stop_source stop;
    qint64 written = 0;
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64 length) override {
      written += length;
      stop.request_stop();
      return length;
    }
  } device;
  ASSERT_TRUE(device.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
  const std::vector<char> bytes(std::size_t(32) << 20);
  EXPECT_THROW(
      AudioCacheService::writeUnlessStopped(device, bytes.data(), qint64(bytes.size()), device.stop.get_token()),
      voxtrellis::WorkStopped);
  EXPECT_GT(device.written, 0);
  EXPECT_LE(device.written, qint64(8) << 20);
  // Only the cache file is in the folder: no temporary file is left beside it.
  EXPECT_EQ(QDir(cache.cacheDirectory()).entryList(QDir::Files).size(), 1);
  cache.removeCachedSamples(id);
  EXPECT_EQ(cache.loadCachedSamples(id), std::nullopt);
}

// Where the loader found a file's sound is kept beside its samples, for the player to seek by
// when the version is opened again, with each place's stamp. Samples kept without it (by an
// earlier version, or of a file that has none) still load and give none; a record the current
// release keeps (without a checksum) is read as it was; one of the first version, which no release
// wrote, is none; a load without it lets none from before stand; a record cut short, one with a
// place of no number (it passed, and sent a seek anywhere), one damaged anywhere (its checksum) or
// one far larger than any file needs is none; it goes with the samples.
TEST(AudioCacheServiceTest, TheLoadersPlacesAreKeptBesideTheSamplesAndGoWithThem) {
  testsupport::TempDir dir;
  AudioCacheService cache(QString::fromStdString((dir.path() / "Cache").string()));
  const QUuid id = QUuid::createUuid();
  voxtrellis::SoundPlaces places(123456);
  places.add({0, 300, 11, -0.025, -1105});
  places.add({75000, 290, 22, 0.255, 11243});
  places.add({150000, 310, 33, 0.51, 22491});
  cache.cacheSamples(std::vector<float>{1.0f, 2.0f}, id, {}, &places);
  const auto back = cache.loadCachedPlaces(id);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->toBytes(), places.toBytes());
  EXPECT_EQ(back->before(0.3)->position, 75000);
  EXPECT_EQ(back->before(0.3)->stamp, 11243);

  const QString placesPath = cache.cacheFilePath(id).replace(".samples", ".places");
  const auto record = [&](const char* tag, bool stamps, double middleSeconds) {
    std::string bytes = tag;
    const auto put = [&](const auto value) { bytes.append(reinterpret_cast<const char*>(&value), sizeof value); };
    put(int64_t(123456));
    put(uint64_t(3));
    for (const auto& place : places.places()) {
      put(place.position);
      put(place.size);
      put(place.signature);
      put(&place == &places.places()[1] ? middleSeconds : place.seconds);
      if (stamps) put(place.stamp);
    }
    return bytes;
  };
  testsupport::writeFile(placesPath.toStdString(), record("PVPLACE2", true, 0.255));
  const auto current = cache.loadCachedPlaces(id);
  ASSERT_TRUE(current);
  EXPECT_EQ(current->toBytes(), places.toBytes());
  testsupport::writeFile(placesPath.toStdString(), record("PVPLACE1", false, 0.255));
  EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);
  for (const double nonsense : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    testsupport::writeFile(placesPath.toStdString(), record("PVPLACE2", true, nonsense));
    EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);
  }
  const std::string whole = places.toBytes();
  for (std::size_t at = 0; at < whole.size(); at += 7) {
    std::string damaged = whole;
    damaged[at] = char(damaged[at] ^ 0x10);
    EXPECT_FALSE(voxtrellis::SoundPlaces::fromBytes(damaged)) << "byte " << at;
  }

  cache.cacheSamples(std::vector<float>{1.0f, 2.0f}, id, {}, &places);
  const std::string bytes = testsupport::readFile(placesPath.toStdString());
  testsupport::writeFile(placesPath.toStdString(), bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);
  EXPECT_EQ(cache.loadCachedSamples(id), (std::vector<float>{1.0f, 2.0f}));

  cache.cacheSamples(std::vector<float>{1.0f}, id, {}, &places);
  cache.cacheSamples(std::vector<float>{3.0f}, id);
  EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);
  EXPECT_EQ(cache.loadCachedSamples(id), std::vector<float>{3.0f});

  // Three gigabytes, as no file could need (half a megabyte an hour of sound), are refused
  // unread: they were read whole into memory first (3.4 GB at the peak).
  {
    QFile huge(placesPath);
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(::ftruncate(huge.handle(), off_t(3) << 30), 0) << std::strerror(errno);
  }
  const long peakBefore = peakKilobytes();
  EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);
  EXPECT_LT(peakKilobytes() - peakBefore, 256 * 1024);
  {
    const testsupport::ReadFailure unreadable(placesPath.toStdString(), 0);
    EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);
    EXPECT_EQ(testsupport::ReadFailure::failures(), 0);
  }
  // Nor is a pipe of that name waited on.
  ASSERT_TRUE(QFile::remove(placesPath));
  ASSERT_EQ(::mkfifo(QFile::encodeName(placesPath).constData(), 0600), 0) << std::strerror(errno);
  EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);

  cache.cacheSamples(std::vector<float>{1.0f}, id, {}, &places);
  EXPECT_TRUE(cache.loadCachedPlaces(id));
  cache.removeCachedSamples(id);
  EXPECT_FALSE(QFileInfo::exists(placesPath));
  EXPECT_EQ(cache.loadCachedPlaces(id), nullptr);
}

TEST(AudioCacheServiceTest, SamplesCachedInAnEarlierFolderAreStillReadAndRemovedButNeverWrittenThere) {
  testsupport::TempDir dir;
  const QString earlier = QString::fromStdString((dir.path() / "Documents" / "AudioCache").string());
  AudioCacheService cache(QString::fromStdString((dir.path() / "cache" / "AudioCache").string()), {earlier});
  const QUuid id = QUuid::createUuid();
  const QString old = QDir(earlier).filePath(QFileInfo(cache.cacheFilePath(id)).fileName());
  testsupport::writeFile(old.toStdString(), std::string(8, '\0'));
  EXPECT_EQ(cache.loadCachedSamples(id), (std::vector<float>{0.0f, 0.0f}));
  // A new write goes to the cache folder and wins over the earlier file.
  EXPECT_TRUE(cache.cacheSamples(std::vector<float>{7.0f}, id).startsWith(cache.cacheDirectory()));
  EXPECT_EQ(cache.loadCachedSamples(id), std::vector<float>{7.0f});
  cache.removeCachedSamples(id);
  EXPECT_FALSE(QFileInfo::exists(old));
  EXPECT_EQ(cache.loadCachedSamples(id), std::nullopt);
}

// A source's files are read while another's samples go down (three hours of them took seconds,
// and a version opened meanwhile was ready that much late); a read of the source being written
// waits for its write and finds what it wrote.
TEST(AudioCacheServiceTest, OneSourcesFilesAreReadWhileAnothersAreWritten) {
  testsupport::TempDir dir;
  AudioCacheService cache(QString::fromStdString((dir.path() / "Cache").string()));
  const QUuid writing = QUuid::createUuid();
  const QUuid other = QUuid::createUuid();
  voxtrellis::SoundPlaces before(1000);
  before.add({0, 100, 1, 0.0, 0});
  voxtrellis::SoundPlaces after(2000);
  after.add({0, 200, 2, 0.0, 0});
  after.add({400, 200, 3, 0.5, 1});
  cache.cacheSamples(std::vector<float>{1.0f, 2.0f}, other, {}, &before);
  cache.cacheSamples(std::vector<float>{5.0f}, writing, {}, &before);

  Gate gate;
  std::thread writer([&] {
    t_writeGate = &gate;
    cache.cacheSamples(std::vector<float>(100000, 3.0f), writing, {}, &after);
  });
  const auto release = qScopeGuard([&] {
    gate.open();
    writer.join();
  });
  ASSERT_TRUE(testsupport::waitUntil([&] { return gate.hasWaiter(); }, 60000));
  // The bound only keeps a failure from hanging: the read is of a few bytes.
  auto read = std::async(std::launch::async,
                         [&] { return std::pair(cache.loadCachedPlaces(other), cache.loadCachedSamples(other)); });
  const std::future_status status = read.wait_for(std::chrono::seconds(60));
  if (status != std::future_status::ready) gate.open();
  ASSERT_TRUE(status == std::future_status::ready) << "a read of one source waited for another's write";
  const auto [otherPlaces, otherSamples] = read.get();
  ASSERT_TRUE(otherPlaces);
  EXPECT_EQ(otherPlaces->toBytes(), before.toBytes());
  EXPECT_EQ(otherSamples, (std::vector<float>{1.0f, 2.0f}));

  auto same = std::async(std::launch::async,
                         [&] { return std::pair(cache.loadCachedPlaces(writing), cache.loadCachedSamples(writing)); });
  gate.open();
  const auto [places, samples] = same.get();
  ASSERT_TRUE(places);
  EXPECT_EQ(places->toBytes(), after.toBytes());
  EXPECT_EQ(samples, std::vector<float>(100000, 3.0f));
}

}  // namespace
