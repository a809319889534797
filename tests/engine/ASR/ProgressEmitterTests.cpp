#include "ASR/ProgressEmitter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace voxtrellis;

namespace {

std::vector<double> valuesUntilEnd(ProgressStream& s) {
  std::vector<double> v;
  while (auto x = s.next()) v.push_back(*x);
  return v;
}

TEST(ProgressEmitterTest, ReportsAreClampedAndDroppedWithoutASession) {
  auto emitter = ProgressEmitter::create();
  emitter->report(0.5);  // no session yet: dropped
  auto stream = emitter->ensureSession();
  emitter->report(1.7);
  emitter->report(-0.2);
  emitter->report(0.25);
  EXPECT_EQ(stream->drain(), (std::vector<double>{0.0, 1.0, 0.0, 0.25}));
}

TEST(ProgressEmitterTest, FinishOnAFreshEmitterOnlyOpensASession) {
  auto emitter = ProgressEmitter::create();
  emitter->finishSession();
  auto stream = emitter->currentStream();
  EXPECT_EQ(stream->drain(), std::vector<double>{0.0});
  EXPECT_FALSE(stream->isEnded());
}

TEST(ProgressEmitterTest, EnsureSessionTwiceGivesOneStream) {
  auto emitter = ProgressEmitter::create();
  auto a = emitter->ensureSession();
  auto b = emitter->ensureSession();
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->drain(), std::vector<double>{0.0});
}

TEST(ProgressEmitterTest, FinishedSessionEndsWithOneAndTheNextBeginsAtZero) {
  auto emitter = ProgressEmitter::create();
  auto stream = emitter->ensureSession();
  emitter->report(0.5);
  emitter->finishSession();
  EXPECT_EQ(valuesUntilEnd(*stream), (std::vector<double>{0.0, 0.5, 1.0}));
  auto next = emitter->currentStream();
  EXPECT_NE(next, stream);
  EXPECT_EQ(next->drain(), std::vector<double>{0.0});
}

TEST(ProgressEmitterTest, FailedSessionEndsTheListenerWithTheError) {
  auto emitter = ProgressEmitter::create();
  auto stream = emitter->ensureSession();
  emitter->failSession(std::make_exception_ptr(std::runtime_error("boom")));
  EXPECT_EQ(stream->next(), 0.0);
  try {
    stream->next();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
  EXPECT_FALSE(emitter->currentStream()->isEnded());
}

TEST(ProgressEmitterTest, ListenerThatStopsGetsAFreshStreamNextTime) {
  auto emitter = ProgressEmitter::create();
  auto stream = emitter->ensureSession();
  stream->cancel();
  auto next = emitter->currentStream();
  EXPECT_NE(next, stream);
  EXPECT_TRUE(emitter->isActive());
}

TEST(ProgressEmitterTest, ValuesCrossThreadsInOrder) {
  auto emitter = ProgressEmitter::create();
  auto stream = emitter->ensureSession();
  std::thread producer([&] {
    for (int i = 1; i < 100; ++i) emitter->report(i / 100.0);
    emitter->finishSession();
  });
  const auto values = valuesUntilEnd(*stream);
  producer.join();
  ASSERT_EQ(values.size(), 101u);
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

TEST(ProgressEmitterTest, StreamOutlivesItsEmitter) {
  std::shared_ptr<ProgressStream> stream;
  {
    auto emitter = ProgressEmitter::create();
    stream = emitter->ensureSession();
  }
  EXPECT_TRUE(stream->isEnded());  // a waiting listener is released
  EXPECT_EQ(stream->next(), 0.0);
  EXPECT_FALSE(stream->next().has_value());
  stream->cancel();  // nobody left to prepare a next session; nothing happens
}

}  // namespace
