// Model repositories downloaded from the hub and kept: what a load fetches, the cache it reads
// again, a copy that does not load replaced whole, and folders copied in by hand.

#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/FileSystemError.h>

#include "engine/Models/DownloadFixture.h"

#include "Models/RepositoryFiles.h"
#include "engine/Shared/LogCapture.h"
#include "support/NameSwapper.h"

#include <gtest/gtest.h>

#include <thread>

namespace voxtrellis {
namespace {

using namespace downloadtest;

TEST_F(DownloadTest, DownloadsTheRequiredFoldersAndSideFilesThenLoads) {
  addParakeet();
  test::ScopedEnv token("HF_TOKEN", "secret");
  test::LogCapture logs;
  const auto loaded = load({"Encoder.mlmodelc", "Decoder.mlmodelc"});
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(loaded.at("Encoder.mlmodelc")->inputs().at(0).name, "x");

  EXPECT_TRUE(fs::exists(repoFolder() / "JointDecision.mlmodelc" / "weights" / "blob.bin"));
  EXPECT_TRUE(fs::exists(repoFolder() / "parakeet_vocab.json"));
  EXPECT_TRUE(fs::exists(repoFolder() / "README.txt"));
  EXPECT_FALSE(fs::exists(repoFolder() / "docs"));
  EXPECT_FALSE(fs::exists(repoFolder() / "Extra.mlmodelc"));
  EXPECT_EQ(hub.count("/api/models/" + kParakeet + "/tree/main/Extra"), 0u);
  EXPECT_EQ(hub.count("/api/models/" + kParakeet + "/tree/main/docs"), 0u);
  for (const auto& request : hub.requests()) EXPECT_EQ(request.authorization, "Bearer secret") << request.path;
  EXPECT_TRUE(logs.contains("Found 10 files to download"));
  EXPECT_TRUE(logs.contains("Downloaded 10/10 files"));
  EXPECT_TRUE(logs.contains("Downloaded all required models for parakeet-tdt-0.6b-v3-onnx"));
  EXPECT_EQ(logs.countStartingWith("Compiled model "), 2);
  // Nothing half-written is left behind.
  for (const auto& entry : fs::recursive_directory_iterator(repoFolder())) {
    EXPECT_EQ(entry.path().filename().string().find(".download-"), std::string::npos) << entry.path();
  }
}

TEST_F(DownloadTest, CompleteCacheLoadsWithoutAnyRequest) {
  addParakeet();
  load({});
  const auto before = hub.requests().size();
  test::LogCapture logs;
  const auto loaded = load({"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecision.mlmodelc"});
  EXPECT_EQ(loaded.size(), 4u);
  EXPECT_EQ(hub.requests().size(), before);
  EXPECT_TRUE(logs.contains("Found parakeet-tdt-0.6b-v3-onnx locally, no download needed"));
  EXPECT_EQ(logs.countStartingWith("Compiled model "), 4);
  for (const auto& message : logs.messages()) {
    if (message.rfind("Compiled model ", 0) == 0) {
      EXPECT_NE(message.find(" ms :: Linux "), std::string::npos) << message;
    }
  }
}

// A model that does not load is fetched again beside the folder; the folder keeps what is in it
// until the fresh copy is whole, then that copy takes its place, and only it.
TEST_F(DownloadTest, ACacheWhoseModelDoesNotLoadIsReplacedWholeOnceAFreshCopyIsDownloaded) {
  addParakeet();
  load({});
  // Damaged in place, same size: only loading it finds out.
  const fs::path model = repoFolder() / "Encoder.mlmodelc" / "model.onnx";
  testsupport::writeFile(model, std::string(fs::file_size(model), 'x'));
  testsupport::writeFile(repoFolder() / "notes.txt", "mine");
  const auto before = testsupport::filesIn(repoFolder());

  // The last file of the listing fails: the others are fetched beside the folder.
  hub.answer("/" + kParakeet + "/resolve/main/parakeet_vocab.json", 500, "down");
  try {
    load({"Encoder.mlmodelc"});
    ADD_FAILURE();
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.path(), model);
    EXPECT_NE(std::string(e.what()).find("Failed to load ONNX model " + model.string()), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("No fresh copy could be downloaded from " +
                                         hub.baseUrl().substr(std::string("http://").size()) +
                                         " (Failed to download parakeet_vocab.json"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(testsupport::filesIn(repoFolder()), before);

  hub.clearAnswers();
  test::LogCapture logs;
  const auto asked = hub.count("/" + kParakeet + "/resolve/main/");
  EXPECT_EQ(load({"Encoder.mlmodelc"}).size(), 1u);
  EXPECT_TRUE(logs.contains("Downloading a fresh copy of parakeet-tdt-0.6b-v3-onnx beside the cache…"));
  EXPECT_EQ(testsupport::readFile(model), tinyModel());
  EXPECT_FALSE(fs::exists(repoFolder() / "notes.txt"));
  // What the first try fetched beside the folder was kept: only what it lacked is fetched now.
  EXPECT_EQ(hub.count("/" + kParakeet + "/resolve/main/") - asked, 1u);
  for (const auto& entry : fs::directory_iterator(models.path())) {
    EXPECT_TRUE(entry.path() == repoFolder() || entry.path().extension() == ".lock") << entry.path();
  }

  // A process stopped between setting the folder aside and moving the fresh copy in: the next
  // start brings the folder back and loads it.
  fs::rename(repoFolder(), models.path() / ".parakeet-tdt-0.6b-v3-onnx.replaced");
  const auto requests = hub.requests().size();
  EXPECT_EQ(load({"Encoder.mlmodelc"}).size(), 1u);
  EXPECT_EQ(hub.requests().size(), requests);
}

// What a download once recorded of a folder does not decide whether it is used: with a file lost
// from it, or with the mark an interrupted run of an older version left in it, what loads is used
// and no hub is asked. A lost file the load needs brings a whole fresh copy beside the folder,
// which then takes its place. A run killed while fetching beside it resumes: its temporary file
// is dropped and only what is missing is fetched.
TEST_F(DownloadTest, AFolderThatLoadsIsUsedAsItIsAndAKilledDownloadBesideItResumes) {
  addParakeet();
  load({});
  const fs::path lost = repoFolder() / "Decoder.mlmodelc" / "weights" / "blob.bin";
  const fs::path model = repoFolder() / "Decoder.mlmodelc" / "model.onnx";
  const fs::path fresh = models.path() / ".parakeet-tdt-0.6b-v3-onnx.fresh";
  for (const bool markOfAnOlderRun : {false, true}) {
    SCOPED_TRACE(markOfAnOlderRun);
    fs::remove(lost);
    if (markOfAnOlderRun) {
      fs::remove(repoFolder() / ".voxtrellis-complete.json");
      testsupport::writeFile(repoFolder() / ".voxtrellis-incomplete", "");
    }
    const auto before = hub.requests().size();
    EXPECT_EQ(load({"Encoder.mlmodelc", "Decoder.mlmodelc"}).size(), 2u);
    EXPECT_EQ(hub.requests().size(), before);
  }

  fs::remove(model);
  const auto before = hub.count("/" + kParakeet + "/resolve/main/");
  EXPECT_EQ(load({"Decoder.mlmodelc"}).size(), 1u);
  EXPECT_EQ(hub.count("/" + kParakeet + "/resolve/main/") - before, 10u);
  EXPECT_TRUE(fs::exists(lost) && fs::exists(model));
  EXPECT_FALSE(fs::exists(repoFolder() / ".voxtrellis-incomplete"));
  EXPECT_FALSE(fs::exists(fresh));

  fs::remove(model);
  fs::copy(repoFolder(), fresh, fs::copy_options::recursive);
  fs::remove(fresh / ".voxtrellis-complete.json");
  testsupport::writeFile(fresh / ".voxtrellis-incomplete", "");
  const fs::path stale = fresh / "Decoder.mlmodelc" / ".model.onnx.download-left-by-a-killed-process";
  testsupport::writeFile(stale, "half");
  const auto resumed = hub.count("/" + kParakeet + "/resolve/main/");
  EXPECT_EQ(load({"Decoder.mlmodelc"}).size(), 1u);
  EXPECT_EQ(hub.count("/" + kParakeet + "/resolve/main/") - resumed, 1u);
  EXPECT_TRUE(fs::exists(model));
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_FALSE(fs::exists(repoFolder() / stale.lexically_relative(fresh)));
}

// Models copied into the cache folder by hand after a first start that could not download
// anything are used, and no hub is asked; also beside a mark or a manifest that an unfinished
// download left.
TEST_F(DownloadTest, ModelsCopiedInAfterAFailedDownloadAreUsed) {
  hub.answer("/api/models/" + kParakeet + "/tree/main", 401);
  EXPECT_THROW(load({"Encoder.mlmodelc"}), Error);
  EXPECT_FALSE(fs::exists(repoFolder() / ".voxtrellis-incomplete"));
  const auto copyIn = [&] {
    for (const char* model : {"Preprocessor", "Encoder", "Decoder", "JointDecision"}) {
      testsupport::writeFile(repoFolder() / (std::string(model) + ".mlmodelc") / "model.onnx", tinyModel());
    }
  };
  copyIn();
  const auto asked = hub.requests().size();
  EXPECT_EQ(load({"Encoder.mlmodelc", "Decoder.mlmodelc"}).size(), 2u);
  EXPECT_EQ(hub.requests().size(), asked);

  for (const char* left : {".voxtrellis-incomplete", ".voxtrellis-complete.json"}) {
    SCOPED_TRACE(left);
    fs::remove_all(repoFolder());
    copyIn();
    testsupport::writeFile(repoFolder() / left, R"({"files":[{"path":"README.txt","size":5}]})");
    const auto before = hub.requests().size();
    EXPECT_EQ(load({"Encoder.mlmodelc"}).size(), 1u);
    EXPECT_EQ(hub.requests().size(), before);
  }
  // Models in place that do not load are no way round the hub's answer: both are told.
  fs::remove(repoFolder() / "Encoder.mlmodelc" / "model.onnx");
  try {
    load({"Encoder.mlmodelc"});
    ADD_FAILURE();
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.path(), repoFolder() / "Encoder.mlmodelc" / "model.onnx");
    EXPECT_NE(std::string(e.what()).find("HTTP status 401"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::exists(repoFolder() / "Decoder.mlmodelc" / "model.onnx"));
}

// The offline and the streaming diarizer share one folder: a copy that takes its place for one
// of them holds the other's models too, so neither load takes away what the other uses.
TEST_F(DownloadTest, TheDiarizersSharedFolderKeepsBothSetsOfModels) {
  const std::string repo = "Quillbrookline/speaker-diarization-onnx";
  const std::vector<std::string> offline = {"Segmentation.mlmodelc", "FBank.mlmodelc", "Embedding.mlmodelc",
                                            "PldaRho.mlmodelc"};
  const std::vector<std::string> streaming = {"pyannote_segmentation.mlmodelc", "wespeaker_v2.mlmodelc"};
  for (const auto* names : {&offline, &streaming}) {
    for (const auto& name : *names) hub.addFile(repo, name + "/model.onnx", tinyModel());
  }
  EXPECT_EQ(DownloadUtils::loadModels(Repo::diarizer, offline, models.path(), ComputeUnits::cpuOnly, "offline").size(),
            4u);
  EXPECT_EQ(DownloadUtils::loadModels(Repo::diarizer, streaming, models.path(), ComputeUnits::cpuOnly).size(), 2u);
  const auto requests = hub.requests().size();
  EXPECT_EQ(DownloadUtils::loadModels(Repo::diarizer, offline, models.path(), ComputeUnits::cpuOnly, "offline").size(),
            4u);
  EXPECT_EQ(hub.requests().size(), requests);
}

TEST_F(DownloadTest, VariantRepositoryListsOnlyItsSubFolderAndFlattensIt) {
  for (const char* model : {"parakeet_eou_preprocessor", "streaming_encoder", "decoder", "joint_decision"}) {
    hub.addFile(kEou, std::string("160ms/") + model + ".mlmodelc/model.onnx", tinyModel());
    hub.addFile(kEou, std::string("320ms/") + model + ".mlmodelc/model.onnx", tinyModel());
  }
  hub.addFile(kEou, "160ms/vocab.json", "{}");
  hub.addFile(kEou, "160ms/tokenizer.model", "tok");
  hub.addFile(kEou, "160ms/notes.txt", "skip");
  hub.addFile(kEou, "config.json", "{}");
  const auto loaded =
      DownloadUtils::loadModels(Repo::parakeetEou160, {"decoder.mlmodelc"}, models.path(), ComputeUnits::cpuOnly);
  EXPECT_EQ(loaded.size(), 1u);
  const fs::path folder = models.path() / "parakeet-eou-streaming" / "160ms";
  EXPECT_TRUE(fs::exists(folder / "vocab.json"));
  EXPECT_TRUE(fs::exists(folder / "tokenizer.model"));
  EXPECT_TRUE(fs::exists(folder / "streaming_encoder.mlmodelc" / "model.onnx"));
  EXPECT_FALSE(fs::exists(folder / "notes.txt"));
  EXPECT_FALSE(fs::exists(folder / "config.json"));
  EXPECT_FALSE(fs::exists(folder / "160ms"));
  const auto requests = hub.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front().path, "/api/models/" + kEou + "/tree/main/160ms");
  EXPECT_EQ(hub.count("/api/models/" + kEou + "/tree/main/320ms"), 0u);
}

TEST_F(DownloadTest, ProgressEveryTenFilesAndExistingFilesAreSkippedSilently) {
  for (const char* model : {"Preprocessor", "Encoder", "Decoder", "JointDecision"}) {
    hub.addFile(kParakeet, std::string(model) + ".mlmodelc/model.onnx", tinyModel());
  }
  hub.addFile(kParakeet, "parakeet_vocab.json", "{}");
  for (int i = 1; i <= 18; ++i)
    hub.addFile(kParakeet, "side" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".json", "{}");
  // Left by a download cut short, the same size as the hub's: complete as far as the listing
  // tells, so kept.
  testsupport::writeFile(models.path() / ".parakeet-tdt-0.6b-v3-onnx.fresh" / "side18.json", "[]");
  test::LogCapture logs;
  load({});
  EXPECT_TRUE(logs.contains("Found 23 files to download"));
  EXPECT_TRUE(logs.contains("Downloaded 10/23 files"));
  EXPECT_TRUE(logs.contains("Downloaded 20/23 files"));
  EXPECT_FALSE(logs.contains("Downloaded 23/23 files"));
  EXPECT_EQ(testsupport::readFile(repoFolder() / "side18.json"), "[]");
  EXPECT_EQ(hub.count("/" + kParakeet + "/resolve/main/side18.json"), 0u);
}

TEST_F(DownloadTest, EmptyTokenStillSendsTheBearerHeader) {
  addParakeet();
  test::ScopedEnv empty("HF_TOKEN", "");
  test::ScopedEnv other("HUGGING_FACE_HUB_TOKEN", "ignored");
  EXPECT_EQ(DownloadUtils::huggingFaceToken(), "");
  load({});
  for (const auto& request : hub.requests()) {
    ASSERT_TRUE(request.authorization.has_value());
    EXPECT_TRUE(*request.authorization == "Bearer " || *request.authorization == "Bearer");
  }
}

TEST_F(DownloadTest, ConcurrentLoadsOfOneRepositoryDownloadOnce) {
  addParakeet();
  std::vector<std::thread> threads;
  std::atomic<int> loadedModels{0};
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] { loadedModels += static_cast<int>(load({"Encoder.mlmodelc"}).size()); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(loadedModels.load(), 3);
  EXPECT_EQ(hub.count("/" + kParakeet + "/resolve/main/"), 10u);
}

TEST(DownloadUtilsTest, SafePathsAndEncoding) {
  for (const char* good : {"a", "a/b.json", "encoder/model.onnx", "x..y/z"}) {
    EXPECT_TRUE(DownloadUtils::isSafeRelativePath(good)) << good;
  }
  for (const char* bad : {"", "/a", "..", "a/../b", "a/./b", "a//b", "a/", ".", "a\\..\\b"}) {
    EXPECT_FALSE(DownloadUtils::isSafeRelativePath(bad)) << bad;
  }
  EXPECT_EQ(DownloadUtils::percentEncodePath("Encoder.mlmodelc/weight file#1?.bin"),
            "Encoder.mlmodelc/weight%20file%231%3F.bin");
}

TEST(DownloadUtilsTest, ErrorDescriptions) {
  EXPECT_STREQ(Error::rateLimited(429, "x").what(), "Hugging Face rate limit encountered: x");
  EXPECT_STREQ(Error::downloadFailed("a/b", "boom").what(), "Failed to download a/b: boom");
  EXPECT_STREQ(Error::modelNotFound("A.mlmodelc").what(), "Model file not found: A.mlmodelc");
  EXPECT_STREQ(Error::invalidResponse().what(), "Received an invalid response from Hugging Face.");
}

TEST(DownloadUtilsTest, DefaultModelsDirectoryFollowsXdg) {
  {
    test::ScopedEnv xdg("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(DownloadUtils::defaultModelsDirectory(), fs::path("/data/home/Voxtrellis/Models"));
  }
  test::ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  test::ScopedEnv home("HOME", "/home/u");
  EXPECT_EQ(DownloadUtils::defaultModelsDirectory(), fs::path("/home/u/.local/share/Voxtrellis/Models"));
}

// The folder a fresh copy replaces goes without a link in it ever being followed, even one
// swapped in for a folder inside it while it goes: nothing of the user's elsewhere goes with it.
TEST(RepositoryReplacementTest, TheReplacedFolderGoesWithoutFollowingALinkSwappedInWhileItGoes) {
  const testsupport::TempDir models{"models"};
  const fs::path elsewhere = models / "elsewhere";
  constexpr int kFiles = 100;
  for (int i = 0; i < kFiles; ++i) testsupport::writeFile(elsewhere / ("keep-" + std::to_string(i)), "x");
  const auto left = [&] { return std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()); };
  const fs::path repo = models / "parakeet-tdt-0.6b-v3-onnx";
  const fs::path link = models / "link";
  testsupport::NameSwapper swapper({{models / ".parakeet-tdt-0.6b-v3-onnx.replaced" / "Encoder.mlmodelc", link}});
  constexpr int kRounds = 300;
  int rounds = 0;
  for (; rounds < kRounds && left() == kFiles; ++rounds) {
    std::error_code ignored;
    // (A swap cut short by the removal may have left the folder itself in the link's place.)
    fs::remove_all(link, ignored);
    fs::create_directory_symlink(elsewhere, link);
    for (int i = 0; i < 4; ++i) testsupport::writeFile(repo / "Encoder.mlmodelc" / ("part-" + std::to_string(i)), "x");
    testsupport::writeFile(RepositoryFiles::freshFolderFor(repo) / "Encoder.mlmodelc" / "model.onnx", "fresh");
    swapper.start();
    try {
      RepositoryFiles::replaceWithFresh(repo);
    } catch (const FileSystemError&) {
      // A folder set aside that could not be emptied for the swapping stays in the way.
    }
    swapper.stop();
  }
  EXPECT_EQ(left(), kFiles) << "after " << rounds << " rounds, " << swapper.exchanges() << " exchanges";
  EXPECT_EQ(rounds, kRounds);
  // Without the swapping, the fresh copy takes the folder's place as ever.
  testsupport::writeFile(RepositoryFiles::freshFolderFor(repo) / "Encoder.mlmodelc" / "model.onnx", "fresh");
  RepositoryFiles::replaceWithFresh(repo);
  EXPECT_EQ(testsupport::readFile(repo / "Encoder.mlmodelc" / "model.onnx"), "fresh");
}

}  // namespace
}  // namespace voxtrellis
