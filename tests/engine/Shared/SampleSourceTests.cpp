#include <voxtrellis/StreamingAudioSampleSource.h>

#include "AudioTestFiles.h"
#include "LogCapture.h"
#include "support/FixturePaths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <numeric>

namespace voxtrellis {
namespace {

struct CopyCase {
  int64_t offset;
  int64_t count;
  std::vector<float> expected;  // destination of 10 slots pre-filled with -1
};

void PrintTo(const CopyCase& c, std::ostream* os) {
  *os << "offset" << c.offset << "_count" << c.count;
}

std::vector<float> hundred() {
  std::vector<float> v(100);
  std::iota(v.begin(), v.end(), 0.0f);
  return v;
}

std::vector<float> run(const StreamingAudioSampleSource& source, int64_t offset, int64_t count) {
  std::vector<float> destination(10, -1.0f);
  source.copySamples(destination.data(), offset, count);
  return destination;
}

class CopyRuleTest : public ::testing::TestWithParam<CopyCase> {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<testsupport::TempDir>("copy-rule");
    const auto values = hundred();
    testsupport::writeFile(s_dir->path() / "raw.raw",
                           std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4));
  }
  static void TearDownTestSuite() { s_dir.reset(); }
  static std::unique_ptr<testsupport::TempDir> s_dir;
};
std::unique_ptr<testsupport::TempDir> CopyRuleTest::s_dir;

TEST_P(CopyRuleTest, ArrayAndDiskSourcesCopyAlike) {
  const CopyCase c = GetParam();
  const ArrayAudioSampleSource memory(hundred());
  const auto disk = DiskBackedAudioSampleSource::map(s_dir->path() / "raw.raw");
  EXPECT_EQ(disk.sampleCount(), 100);
  EXPECT_EQ(run(memory, c.offset, c.count), c.expected);
  EXPECT_EQ(run(disk, c.offset, c.count), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CopyRuleTest,
                         ::testing::Values(CopyCase{-5, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                                           CopyCase{95, 10, {95, 96, 97, 98, 99, -1, -1, -1, -1, -1}},
                                           CopyCase{100, 10, std::vector<float>(10, -1)},
                                           CopyCase{3, 0, std::vector<float>(10, -1)},
                                           CopyCase{3, -2, std::vector<float>(10, -1)},
                                           CopyCase{40, 2, {40, 41, -1, -1, -1, -1, -1, -1, -1, -1}}));

TEST(SampleSourceTest, EmptySourcesNeverWrite) {
  const ArrayAudioSampleSource empty({});
  EXPECT_EQ(empty.sampleCount(), 0);
  EXPECT_EQ(run(empty, 0, 10), std::vector<float>(10, -1));
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "e.raw", "");
  const auto disk = DiskBackedAudioSampleSource::map(dir / "e.raw");
  EXPECT_EQ(disk.sampleCount(), 0);
  EXPECT_EQ(run(disk, 0, 10), std::vector<float>(10, -1));
}

class FactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    m_oldTmp = old ? old : "";
    m_hadTmp = old != nullptr;
    setenv("TMPDIR", m_tmp.path().c_str(), 1);
  }
  void TearDown() override {
    if (m_hadTmp)
      setenv("TMPDIR", m_oldTmp.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  std::size_t temporaryFiles() const {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_tmp.path())) {
      n += entry.path().filename().string().rfind("voxtrellis-streaming-", 0) == 0 ? 1 : 0;
    }
    return n;
  }
  testsupport::TempDir m_tmp{"factory-tmp"};
  testsupport::TempDir m_dir{"factory-in"};
  std::string m_oldTmp;
  bool m_hadTmp = false;
};

TEST_F(FactoryTest, TenSecondsAt16kMakeA640000ByteFile) {
  ASSERT_TRUE(test::makeTone(m_dir / "ten.wav", 10.0, 16000, 1));
  test::LogCapture logs;
  const auto result = StreamingAudioSourceFactory().makeDiskBackedSource(m_dir / "ten.wav", 16000);
  EXPECT_EQ(result.source.sampleCount(), 160000);
  EXPECT_EQ(std::filesystem::file_size(result.source.fileURL()), 640000u);
  EXPECT_GE(result.loadDuration, 0.0);
  const auto name = result.source.fileURL().filename().string();
  EXPECT_EQ(name.rfind("voxtrellis-streaming-", 0), 0u);
  EXPECT_EQ(name.size(), std::string("voxtrellis-streaming-").size() + 36 + 4);
  EXPECT_EQ(name.substr(name.size() - 4), ".raw");
  EXPECT_TRUE(logs.contains("Streaming conversion 16000.0Hz×1ch → 16000.0Hz×1ch"));
  EXPECT_TRUE(logs.contains("Streaming audio total samples=160000"));
  std::vector<float> head(4);
  result.source.copySamples(head.data(), 16000 * 5, 4);
  EXPECT_NE(head, std::vector<float>(4, 0.0f));
  result.source.cleanup();
  EXPECT_FALSE(std::filesystem::exists(result.source.fileURL()));
  result.source.cleanup();  // a second removal is ignored
}

TEST_F(FactoryTest, StereoMp3BecomesMonoToneAtTheTargetRate) {
  ASSERT_TRUE(test::makeTone(m_dir / "s.mp3", 3.0, 44100, 2));
  const auto result = StreamingAudioSourceFactory().makeDiskBackedSource(m_dir / "s.mp3", 16000);
  EXPECT_NEAR(static_cast<double>(result.source.sampleCount()), 48000.0, 3 * 372.0);
  std::vector<float> samples(static_cast<std::size_t>(result.source.sampleCount()));
  result.source.copySamples(samples.data(), 0, result.source.sampleCount());
  EXPECT_NEAR(test::risingCrossingsPerSecond(samples, 4000, 40000, 16000.0), 440.0, 2.0);
  result.source.cleanup();
  // Files whose layout or rate changes midway: each part in its own format, as the tool does.
  for (const auto& joined : test::joinedFiles()) {
    const auto path = testsupport::fixturesDir() / "joined" / joined.name;
    const auto source = StreamingAudioSourceFactory().makeDiskBackedSource(path, 16000).source;
    std::vector<float> decoded(static_cast<std::size_t>(source.sampleCount()));
    source.copySamples(decoded.data(), 0, source.sampleCount());
    source.cleanup();
    EXPECT_EQ(test::differenceFromReference(decoded, test::readFloats(path.string() + ".f32"), joined), "")
        << joined.name;
  }
}

TEST_F(FactoryTest, FailuresThrowProcessingFailedAndLeaveNoFile) {
  testsupport::writeFile(m_dir / "junk.wav", std::string(4096, 'x'));
  StreamingAudioSourceFactory factory;
  try {
    factory.makeDiskBackedSource(m_dir / "junk.wav", 16000);
    ADD_FAILURE();
  } catch (const StreamingAudioError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Processing failed: Streaming audio source creation failed: ", 0), 0u)
        << e.what();
  }
  // A tiny file declaring 1 Hz: refused before any block buffer is sized from it.
  std::string oneHertz = "RIFF";
  const auto put = [&oneHertz](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) oneHertz += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  put(36 + 200, 4);
  oneHertz += "WAVEfmt ";
  for (const auto& [value, bytes] : {std::pair{16u, 4}, {1u, 2}, {1u, 2}, {1u, 4}, {2u, 4}, {2u, 2}, {16u, 2}}) {
    put(value, bytes);
  }
  oneHertz += "data";
  put(200, 4);
  oneHertz += std::string(200, '\x10');
  testsupport::writeFile(m_dir / "one-hertz.wav", oneHertz);
  try {
    factory.makeDiskBackedSource(m_dir / "one-hertz.wav", 16000);
    ADD_FAILURE() << "a 1 Hz file should be refused";
  } catch (const StreamingAudioError& e) {
    EXPECT_NE(std::string(e.what()).find("1 Hz"), std::string::npos) << e.what();
  }
  ASSERT_TRUE(test::makeTone(m_dir / "ok.wav", 0.5, 16000, 1));
  EXPECT_THROW(factory.makeDiskBackedSource(m_dir / "ok.wav", 0), StreamingAudioError);
  EXPECT_THROW(factory.makeDiskBackedSource(m_dir / "missing.wav", 16000), StreamingAudioError);

  // A file cut short mid-stream still decodes what it holds or fails cleanly.
  ASSERT_TRUE(test::makeTone(m_dir / "long.flac", 2.0, 44100, 2));
  const auto full = testsupport::readFile(m_dir / "long.flac");
  testsupport::writeFile(m_dir / "cut.flac", full.substr(0, full.size() / 2));
  try {
    factory.makeDiskBackedSource(m_dir / "cut.flac", 16000).source.cleanup();
  } catch (const StreamingAudioError&) {
  }
  EXPECT_EQ(temporaryFiles(), 0u);
}

}  // namespace
}  // namespace voxtrellis
