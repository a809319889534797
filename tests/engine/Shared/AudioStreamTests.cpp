#include <voxtrellis/AudioStream.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numeric>
#include <thread>

namespace voxtrellis {
namespace {

using Chunking = AudioStreamChunkingStrategy;
using Startup = AudioStreamStartupStrategy;

std::vector<float> ramp(std::size_t n, float start = 1.0f) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

TEST(AudioStreamTest, SizesFromSecondsAndRate) {
  AudioStream stream(1.0, 0.5);
  EXPECT_EQ(stream.chunkSize(), 16000);
  EXPECT_EQ(stream.skipSize(), 8000);
  EXPECT_EQ(stream.capacity(), 24000);
  EXPECT_EQ(stream.overlapSize(), 8000);
  EXPECT_DOUBLE_EQ(stream.chunkOverlap(), 0.5);
}

struct InvalidCase {
  double duration;
  std::optional<double> skip;
  double rate;
  std::optional<double> capacity;
  AudioStreamError::Code code;
};

void PrintTo(const InvalidCase& c, std::ostream* os) {
  *os << "duration" << c.duration << "_skip" << (c.skip ? std::to_string(*c.skip) : "none") << "_rate" << c.rate
      << "_capacity" << (c.capacity ? std::to_string(*c.capacity) : "none");
}

class AudioStreamInvalidTest : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(AudioStreamInvalidTest, RefusesBadSizes) {
  const InvalidCase c = GetParam();
  try {
    AudioStream stream(c.duration, c.skip, 0.0, Chunking::useFixedSkip, Startup::waitForFullChunk, c.rate, c.capacity);
    ADD_FAILURE();
  } catch (const AudioStreamError& e) {
    EXPECT_EQ(e.code(), c.code);
  }
}

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioStreamInvalidTest,
    ::testing::Values(InvalidCase{1.0, 1.5, 16000, std::nullopt, AudioStreamError::Code::invalidChunkSkip},
                      InvalidCase{0.00001, std::nullopt, 16000, std::nullopt,
                                  AudioStreamError::Code::invalidChunkDuration},
                      InvalidCase{1.0, std::nullopt, 16000, 0.5, AudioStreamError::Code::bufferTooSmall},
                      InvalidCase{inf, std::nullopt, 16000, std::nullopt, AudioStreamError::Code::invalidChunkDuration},
                      InvalidCase{1.0, std::nullopt, nan, std::nullopt, AudioStreamError::Code::invalidChunkDuration},
                      InvalidCase{1.0, std::nullopt, 0.0, std::nullopt, AudioStreamError::Code::invalidChunkDuration},
                      InvalidCase{1.0, nan, 16000, std::nullopt, AudioStreamError::Code::invalidChunkSkip},
                      InvalidCase{1.0, std::nullopt, 16000, inf, AudioStreamError::Code::bufferTooSmall},
                      InvalidCase{1.0, 0.0, 16000, std::nullopt, AudioStreamError::Code::invalidChunkSkip}));

TEST(AudioStreamTest, StartSilentDeliversOverlapOfZerosFirst) {
  AudioStream stream(1.0, 0.5, 10.0, Chunking::useFixedSkip, Startup::startSilent);
  stream.write(ramp(7999));
  EXPECT_FALSE(stream.readChunkIfAvailable());
  stream.write(std::vector<float>{8000.0f});
  auto chunk = stream.readChunkIfAvailable();
  ASSERT_TRUE(chunk);
  EXPECT_DOUBLE_EQ(chunk->chunkStartTime, 9.5);
  ASSERT_EQ(chunk->chunk.size(), 16000u);
  EXPECT_EQ(chunk->chunk[7999], 0.0f);
  EXPECT_EQ(chunk->chunk[8000], 1.0f);
  EXPECT_EQ(chunk->chunk[15999], 8000.0f);
  EXPECT_FALSE(stream.readChunkIfAvailable());
  stream.write(ramp(8000, 8001.0f));
  chunk = stream.readChunkIfAvailable();
  ASSERT_TRUE(chunk);
  EXPECT_DOUBLE_EQ(chunk->chunkStartTime, 10.0);
  EXPECT_EQ(chunk->chunk.front(), 1.0f);
}

TEST(AudioStreamTest, StampedWritesMatchUnstampedAndGapsBecomeSilence) {
  AudioStream plain(1.0, 0.5);
  AudioStream stamped(1.0, 0.5);
  std::vector<AudioStream::Chunk> a, b;
  plain.bind([&](const std::vector<float>& c, double t) { a.push_back({c, t}); });
  stamped.bind([&](const std::vector<float>& c, double t) { b.push_back({c, t}); });
  for (int i = 0; i < 8; ++i) {
    const auto block = ramp(4000, static_cast<float>(i * 4000));
    plain.write(block);
    stamped.write(block, (i + 1) * 0.25);
  }
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a.size(), 3u);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].chunk, b[i].chunk);
    EXPECT_DOUBLE_EQ(a[i].chunkStartTime, b[i].chunkStartTime);
  }

  AudioStream gap(1.0, 0.5);
  gap.write(std::vector<float>(1000, 1.0f), 1000 / 16000.0);
  gap.write(std::vector<float>(1000, 2.0f), 2000 / 16000.0 + 0.1);  // 0.1 s later than expected
  gap.write(std::vector<float>(13400, 3.0f));
  auto chunk = gap.readChunkIfAvailable();
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->chunk[999], 1.0f);
  EXPECT_EQ(chunk->chunk[1000], 0.0f);
  EXPECT_EQ(chunk->chunk[2599], 0.0f);
  EXPECT_EQ(chunk->chunk[2600], 2.0f);

  AudioStream nonFinite(1.0);
  nonFinite.write(std::vector<float>(16000, 1.0f), std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(nonFinite.readChunkIfAvailable());
}

TEST(AudioStreamTest, OverflowKeepsTheNewestSamples) {
  AudioStream stream(1.0, 0.5);  // capacity 24000
  stream.write(ramp(30000));
  EXPECT_DOUBLE_EQ(stream.bufferStartTime(), 6000 / 16000.0);
  auto chunk = stream.readChunkIfAvailable();
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->chunk.front(), 6001.0f);
}

TEST(AudioStreamTest, RampUpGrowsChunksFromTheStart) {
  AudioStream stream(1.0, 0.25, 0.0, Chunking::useFixedSkip, Startup::rampUpChunkSize);
  std::vector<std::size_t> sizes;
  stream.bind([&](const std::vector<float>& c, double t) {
    sizes.push_back(c.size());
    EXPECT_DOUBLE_EQ(t, 0.0);
  });
  stream.write(ramp(16000));
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4000, 8000, 12000, 16000}));
}

TEST(AudioStreamTest, MostRecentTakesTheLatestWindow) {
  AudioStream stream(1.0, 0.5, 0.0, Chunking::useMostRecent, Startup::waitForFullChunk);
  stream.write(ramp(20000));
  auto chunk = stream.readChunkIfAvailable();
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->chunk.front(), 4001.0f);
  EXPECT_DOUBLE_EQ(chunk->chunkStartTime, 4000 / 16000.0);
  EXPECT_FALSE(stream.readChunkIfAvailable());  // only the overlap stays
  stream.write(ramp(8000, 20001.0f));
  chunk = stream.readChunkIfAvailable();
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->chunk.front(), 12001.0f);
}

TEST(AudioStreamTest, EmptyWritesAndFailingConsumers) {
  AudioStream stream(0.5, 0.25);
  int calls = 0;
  stream.bind([&](const std::vector<float>&, double) {
    ++calls;
    throw std::runtime_error("consumer failed");
  });
  stream.write(std::vector<float>{});
  EXPECT_EQ(calls, 0);
  EXPECT_THROW(stream.write(ramp(12000)), std::runtime_error);
  EXPECT_EQ(calls, 1);
  stream.unbind();
  EXPECT_TRUE(stream.withChunkIfAvailable([](const std::vector<float>& c, double) { return c.size(); }).has_value());
  EXPECT_FALSE(stream.withChunkIfAvailable([](const std::vector<float>& c, double) { return c.size(); }).has_value());
}

TEST(AudioStreamTest, ForeignBuffersAreConvertedAndAsyncConsumersRun) {
  AudioStream stream(0.5);
  std::atomic<int> chunks{0};
  stream.bindAsync([&](const std::vector<float>& c, double) {
    if (c.size() == 8000) ++chunks;
  });
  stream.write(AudioPCMBuffer::fromChannels(48000, {std::vector<float>(48000, 0.5f), std::vector<float>(48000, 0.5f)}));
  for (int i = 0; i < 200 && chunks.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(chunks.load(), 2);
}

}  // namespace
}  // namespace voxtrellis
