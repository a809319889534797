#include <voxtrellis/AssetDownloader.h>
#include <voxtrellis/CompatPrediction.h>

#include "Onnx/OnnxModel.h"

#include "FakeHub.h"
#include "engine/Shared/LogCapture.h"
#include "support/FixturePaths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace voxtrellis::AssetDownloader {
void PrintTo(TransferMode::Kind kind, std::ostream* os) {
  *os << (kind == TransferMode::Kind::data ? "data" : "file");
}
}  // namespace voxtrellis::AssetDownloader

namespace voxtrellis {
namespace {

namespace fs = std::filesystem;
using AssetDownloader::Descriptor;
using AssetDownloader::TransferMode;

class AssetDownloaderTest : public ::testing::TestWithParam<TransferMode::Kind> {
 protected:
  TransferMode mode() const {
    return GetParam() == TransferMode::Kind::data ? TransferMode::data(AssetDownloader::defaultDataWriter)
                                                  : TransferMode::file(AssetDownloader::defaultFileMover);
  }
  test::FakeHub hub;
  testsupport::TempDir dir{"assets"};
  // A private temporary folder, so leftovers of other test processes never count.
  testsupport::TempDir tmp{"assets-tmp"};
  test::ScopedEnv tmpEnv{"TMPDIR", tmp.path().string()};
  HttpClient client{std::nullopt};
  AppLogger logger{"AssetDownloader"};
};

TEST_P(AssetDownloaderTest, DownloadsIntoNewFoldersAndReplacesOldFiles) {
  hub.answer("/asset.bin", 200, "fresh");
  const fs::path destination = dir / "a/b/asset.bin";
  test::LogCapture logs;
  EXPECT_EQ(
      AssetDownloader::ensure({"the asset", hub.baseUrl() + "/asset.bin", destination, false, mode()}, client, logger),
      destination);
  EXPECT_EQ(testsupport::readFile(destination), "fresh");
  EXPECT_TRUE(logs.contains("Downloading the asset…"));
  EXPECT_TRUE(logs.contains("Cached the asset at " + destination.string()));

  // A TMPDIR that names no folder: the system's temporary folder takes its place.
  const test::ScopedEnv missing{"TMPDIR", (tmp / "missing").string()};
  hub.answer("/asset.bin", 200, "newer");
  AssetDownloader::ensure({"the asset", hub.baseUrl() + "/asset.bin", destination, false, mode()}, client, logger);
  EXPECT_EQ(testsupport::readFile(destination), "newer");
}

TEST(AssetDownloadTest, TheFileDownloadedInTheTemporaryFolderIsTheUsersAlone) {
  test::FakeHub hub;
  testsupport::TempDir dir{"assets"};
  testsupport::TempDir tmp{"assets-tmp"};
  const test::ScopedEnv tmpEnv{"TMPDIR", tmp.path().string()};
  hub.answer("/asset.bin", 200, "private");
  const mode_t umaskBefore = ::umask(022);
  struct stat seen {};
  const auto mover = [&seen](const fs::path& temporary, const fs::path& destination) {
    ::lstat(temporary.c_str(), &seen);
    AssetDownloader::defaultFileMover(temporary, destination);
  };
  AssetDownloader::ensure(
      {"the asset", hub.baseUrl() + "/asset.bin", dir / "asset.bin", false, TransferMode::file(mover)},
      HttpClient{std::nullopt}, AppLogger{"AssetDownloader"});
  ::umask(umaskBefore);
  EXPECT_TRUE(S_ISREG(seen.st_mode));
  EXPECT_EQ(seen.st_mode & 07777, 0600u);
  EXPECT_EQ(testsupport::readFile(dir / "asset.bin"), "private");
}

TEST_P(AssetDownloaderTest, ExistingFileIsKeptWithoutRequestWhenAsked) {
  const fs::path destination = testsupport::writeFile(dir / "keep.bin", "old");
  test::LogCapture logs;
  AssetDownloader::ensure({"kept", hub.baseUrl() + "/never", destination, true, mode()}, client, logger);
  EXPECT_EQ(testsupport::readFile(destination), "old");
  EXPECT_TRUE(hub.requests().empty());
  EXPECT_TRUE(logs.records().empty());
}

TEST_P(AssetDownloaderTest, ErrorStatusLeavesTheDestinationUntouched) {
  const fs::path destination = testsupport::writeFile(dir / "keep.bin", "old");
  hub.answer("/gone", 404);
  try {
    AssetDownloader::ensure({"weights", hub.baseUrl() + "/gone", destination, false, mode()}, client, logger);
    ADD_FAILURE();
  } catch (const AssetDownloader::Error& e) {
    EXPECT_STREQ(e.what(), "Unexpected response (status 404) while downloading weights");
    EXPECT_EQ(e.statusCode(), 404);
  }
  EXPECT_EQ(testsupport::readFile(destination), "old");
  std::size_t leftovers = 0;
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    leftovers += entry.path().filename().string().rfind("voxtrellis-asset-", 0) == 0 ? 1 : 0;
  }
  ASSERT_EQ(fs::temp_directory_path(), tmp.path());
  EXPECT_EQ(leftovers, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, AssetDownloaderTest,
                         ::testing::Values(TransferMode::Kind::data, TransferMode::Kind::file));

TEST(AssetFetchTest, FetchDataReturnsTheBodyOrFails) {
  test::FakeHub hub;
  hub.answer("/x", 200, "bytes");
  hub.answer("/y", 500);
  HttpClient client(std::nullopt);
  AppLogger logger("AssetDownloader");
  EXPECT_EQ(AssetDownloader::fetchData(hub.baseUrl() + "/x", "x", client, logger), "bytes");
  EXPECT_THROW(AssetDownloader::fetchData(hub.baseUrl() + "/y", "y", client, logger), AssetDownloader::Error);
}

TEST(CompatPredictionTest, AwaitsTheModelsOutputWhereTheOptionsAskAndPassesItsErrorOn) {
  const std::shared_ptr<const OnnxModel> model =
      OnnxModel::load(testsupport::fixturesDir() / "foundation" / "Tiny.mlmodelc", ComputeUnits::cpuOnly);
  NamedTensors inputs;
  inputs.emplace("x", Tensor::fromValues<float>({4}, std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(compatPrediction(model, inputs).get().at("y").toFloats(), (std::vector<float>{2, 3, 4, 5}));

  // An output backing is written in place and handed back.
  PredictionOptions options;
  const Tensor backing = Tensor::zeros(ElementType::float32, {4});
  options.outputBackings.emplace("y", backing);
  const NamedTensors outputs = compatPrediction(model, inputs, options).get();
  EXPECT_EQ(outputs.at("y").rawData(), backing.rawData());
  EXPECT_EQ(backing.toFloats(), (std::vector<float>{2, 3, 4, 5}));

  NamedTensors unknown;
  unknown.emplace("z", Tensor::fromValues<float>({4}, std::vector<float>{1, 2, 3, 4}));
  auto failing = compatPrediction(model, unknown);
  try {
    failing.get();
    ADD_FAILURE();
  } catch (const ModelRuntimeError& e) {
    EXPECT_EQ(e.kind(), ModelRuntimeError::Kind::invalidInput);
  }
}

}  // namespace
}  // namespace voxtrellis
