// Model downloads when the hub or the network fails them: missing names, error pages, rate
// limits, transfers cut short or without end, wrong content, a stalled hub and unsafe listings.

#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/FileSystemError.h>
#include <voxtrellis/ModelFileError.h>
#include <voxtrellis/NetworkError.h>

#include "engine/Models/DownloadFixture.h"

#include "Models/HttpClient.h"
#include "engine/Shared/LogCapture.h"

#include <gtest/gtest.h>

namespace voxtrellis {
namespace {

using namespace downloadtest;

TEST_F(DownloadTest, NamesOutsideTheSetOrFilesInsteadOfFoldersFailAfterOneRetry) {
  addParakeet();
  try {
    load({"Missing.mlmodelc"});
    ADD_FAILURE();
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.code(), FileSystemError::Code::fileNoSuchFile);
    EXPECT_STREQ(e.what(), "Model file not found: Missing.mlmodelc");
  }
  // A file where a model folder belongs: the manifest shows the folder's files missing, or,
  // without one (a cache from an older version), the load itself finds it. Either way the
  // folder is fetched whole beside it and takes its place.
  for (const bool manifest : {true, false}) {
    SCOPED_TRACE(manifest);
    if (!manifest) fs::remove(repoFolder() / ".voxtrellis-complete.json");
    fs::remove_all(repoFolder() / "Encoder.mlmodelc");
    testsupport::writeFile(repoFolder() / "Encoder.mlmodelc", "a file");
    test::LogCapture logs;
    EXPECT_EQ(load({"Encoder.mlmodelc"}).size(), 1u);
    EXPECT_TRUE(fs::is_directory(repoFolder() / "Encoder.mlmodelc"));
    EXPECT_EQ(logs.contains("First load failed: Model path is not a directory: Encoder.mlmodelc"), !manifest);
  }
}

TEST_F(DownloadTest, NetworkFailuresKeepTheCache) {
  addParakeet();
  load({});
  fs::remove_all(repoFolder() / "Decoder.mlmodelc");
  const auto kept = testsupport::filesIn(repoFolder());
  hub.answer("/api/models/" + kParakeet + "/tree/main", 503);
  // The missing model is named, with the hub's answer.
  try {
    load({"Encoder.mlmodelc"});
    ADD_FAILURE();
  } catch (const ModelFileError& e) {
    EXPECT_EQ(e.code(), FileSystemError::Code::fileNoSuchFile);
    EXPECT_EQ(e.relativePath(), "Decoder.mlmodelc");
    EXPECT_EQ(std::string(e.what()).rfind(
                  "Model file not found: Decoder.mlmodelc. No fresh copy could be downloaded from ", 0),
              0u)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("(Hugging Face rate limit encountered: Rate limited while listing files)"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(testsupport::filesIn(repoFolder()), kept);

  // No folder and no server at all: the transport error comes through unchanged.
  fs::remove_all(repoFolder());
  test::ScopedEnv dead("REGISTRY_URL", "http://127.0.0.1:1");
  EXPECT_THROW(load({"Encoder.mlmodelc"}), NetworkError);
}

TEST_F(DownloadTest, FileAnsweredWith404FailsWithoutLeavingTemporaryFiles) {
  addParakeet();
  hub.answer("/" + kParakeet + "/resolve/main/Decoder.mlmodelc/model.onnx", 404, "gone");
  try {
    load({});
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::downloadFailed);
    EXPECT_EQ(e.path(), "Decoder.mlmodelc/model.onnx");
    EXPECT_EQ(e.httpStatus(), 404);
  }
  for (const auto& entry : fs::recursive_directory_iterator(models.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".download-"), std::string::npos) << entry.path();
  }
}

TEST_F(DownloadTest, ARateLimitedFileIsReportedAsSoEvenWhenItsErrorPageIsLongerThanTheFile) {
  addParakeet();
  for (const int status : {429, 503}) {
    SCOPED_TRACE(status);
    fs::remove_all(repoFolder());  // from nothing: models left in place would be used instead
    // The listing states 9 bytes; the hub's error page is longer.
    hub.answer("/" + kParakeet + "/resolve/main/parakeet_vocab.json", status, std::string(4096, 'x'));
    try {
      load({});
      ADD_FAILURE();
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Error::Code::rateLimited);
      EXPECT_EQ(e.statusCode(), status);
      EXPECT_STREQ(e.what(), "Hugging Face rate limit encountered: Rate limited while downloading parakeet_vocab.json");
    }
    EXPECT_FALSE(fs::exists(repoFolder() / "parakeet_vocab.json"));
  }
}

TEST_F(DownloadTest, ListingErrorPagesNameTheAddressAndTheStatus) {
  const std::string address = hub.baseUrl() + "/api/models/" + kParakeet + "/tree/main";
  for (const int status : {401, 404, 500}) {
    SCOPED_TRACE(status);
    hub.answer("/api/models/" + kParakeet + "/tree/main", status, "<html>error page</html>");
    test::LogCapture logs;
    try {
      load({});
      ADD_FAILURE();
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Error::Code::downloadFailed);
      EXPECT_EQ(e.httpStatus(), status);
      EXPECT_EQ(std::string(e.what()), "Failed to download " + address +
                                           ": the listing was answered with HTTP status " + std::to_string(status));
    }
    EXPECT_FALSE(logs.contains("Deleting cache and re-downloading…"));
  }
}

TEST_F(DownloadTest, FetchHuggingFaceFileBacksOffOnRateLimits) {
  hub.addFile(kParakeet, "ok.json", "body");
  EXPECT_EQ(
      DownloadUtils::fetchHuggingFaceFile(hub.baseUrl() + "/" + kParakeet + "/resolve/main/ok.json", "ok", 3, 0.1),
      "body");
  hub.answer("/busy", 503);
  test::LogCapture logs;
  const auto started = std::chrono::steady_clock::now();
  try {
    DownloadUtils::fetchHuggingFaceFile(hub.baseUrl() + "/busy", "busy file", 3, 0.1);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::rateLimited);
    EXPECT_EQ(e.message(), "HTTP 503");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
  EXPECT_TRUE(
      logs.contains("Download attempt 1 for busy file failed: Hugging Face rate limit encountered: HTTP 503. "
                    "Retrying in 0.1s."));
  EXPECT_EQ(logs.countStartingWith("Download attempt 2 for busy file failed: "), 1);
  EXPECT_EQ(hub.count("/busy"), 3u);

  hub.answer("/missing", 404);
  try {
    DownloadUtils::fetchHuggingFaceFile(hub.baseUrl() + "/missing", "m", 2, 0.0);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::invalidResponse);
  }
  EXPECT_EQ(hub.count("/missing"), 2u);

  const auto [body, response] = DownloadUtils::fetchWithAuth(hub.baseUrl() + "/missing");
  EXPECT_EQ(response.statusCode, 404);
}

TEST_F(DownloadTest, ATransferCutShortIsNotKeptAndOnlyTheMissingFileIsFetchedNext) {
  addParakeet();
  // The listing states 9 bytes; the transfer ends after 5 (no length header
  // would tell the client).
  hub.answer("/" + kParakeet + "/resolve/main/parakeet_vocab.json", 200, R"({"0":)");
  try {
    load({});
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::downloadFailed);
    EXPECT_EQ(e.path(), "parakeet_vocab.json");
    EXPECT_STREQ(e.what(), "Failed to download parakeet_vocab.json: received 5 of 9 bytes");
  }
  EXPECT_FALSE(fs::exists(repoFolder() / "parakeet_vocab.json"));
  hub.clearAnswers();
  const auto before = hub.count("/" + kParakeet + "/resolve/main/");
  test::LogCapture logs;
  EXPECT_EQ(load({"Encoder.mlmodelc"}).size(), 1u);
  EXPECT_EQ(hub.count("/" + kParakeet + "/resolve/main/") - before, 1u);
  EXPECT_EQ(testsupport::readFile(repoFolder() / "parakeet_vocab.json"), R"({"0":"a"})");
  EXPECT_FALSE(logs.contains("Deleting cache and re-downloading…"));
  // Now whole: the next start needs no request.
  const auto requests = hub.requests().size();
  load({"Encoder.mlmodelc"});
  EXPECT_EQ(hub.requests().size(), requests);
}

TEST_F(DownloadTest, AHubThatSendsWithoutEndIsCutOffAtTheListedSize) {
  addParakeet();
  // The listing states 9 bytes; the hub streams without end and without a length header.
  auto sent = std::make_shared<std::atomic<std::size_t>>(0);
  hub.answerEndlessly("/" + kParakeet + "/resolve/main/parakeet_vocab.json", sent);
  try {
    load({});
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::downloadFailed);
    EXPECT_STREQ(e.what(), "Failed to download parakeet_vocab.json: received more than the 9 bytes listed");
  }
  // Cut off at once, not after the time-out or with the disk full.
  EXPECT_LT(sent->load(), std::size_t(64) << 20);
  EXPECT_FALSE(fs::exists(repoFolder() / "parakeet_vocab.json"));
  for (const auto& entry : fs::recursive_directory_iterator(models.path())) {
    EXPECT_FALSE(entry.path().filename().string().find(".download-") != std::string::npos) << entry.path();
  }
}

TEST_F(DownloadTest, ContentIsCheckedAgainstTheListedSha256) {
  addParakeet();
  hub.setLfsOid(kParakeet, "README.txt", std::string(64, '0'));
  try {
    load({});
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), Error::Code::downloadFailed);
    EXPECT_STREQ(e.what(), "Failed to download README.txt: the content does not match the SHA-256 the listing states");
  }
  EXPECT_FALSE(fs::exists(repoFolder() / "README.txt"));
  // SHA-256 of "hello".
  hub.setLfsOid(kParakeet, "README.txt", "2CF24DBA5FB0A30E26E83B2AC5B9E29E1B161E5C1FA7425E73043362938B9824");
  load({});
  EXPECT_EQ(testsupport::readFile(repoFolder() / "README.txt"), "hello");
}

TEST_F(DownloadTest, AHubThatStopsSendingIsGivenUpAfterTheStallInterval) {
  struct StallInterval {
    explicit StallInterval(long seconds) { HttpClient::shared().setStallSeconds(seconds); }
    ~StallInterval() { HttpClient::shared().setStallSeconds(HttpClient::kDefaultStallSeconds); }
  } stall(1);
  // Accepts the connection, then says nothing for three seconds.
  hub.answer("/api/models/" + kParakeet + "/tree/main", 200, "[]", std::chrono::milliseconds(3000));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(load({}), NetworkError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2800));
}

TEST_F(DownloadTest, UnsafeListingPathsAreRefused) {
  addParakeet();
  for (const char* path :
       {"../escape.json", "/etc/abs.json", "Encoder.mlmodelc/../../up.json", "./dot.json", "a//b.json"}) {
    hub.addListingEntry(kParakeet, "", {{"type", "file"}, {"path", path}});
  }
  hub.addListingEntry(kParakeet, "", {{"type", "directory"}, {"path", "../outside"}});
  test::LogCapture logs;
  EXPECT_EQ(load({"Encoder.mlmodelc"}).size(), 1u);
  EXPECT_FALSE(fs::exists(models.path() / "escape.json"));
  EXPECT_FALSE(fs::exists(models.path() / "up.json"));
  EXPECT_EQ(logs.countStartingWith("Skipping unsafe path in listing: "), 6);
  EXPECT_EQ(hub.count("/api/models/" + kParakeet + "/tree/main/.."), 0u);
}

}  // namespace
}  // namespace voxtrellis
