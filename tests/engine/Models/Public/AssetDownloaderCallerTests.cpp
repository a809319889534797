// The engine's single-asset download as its callers meet it: this program sees only the
// engine's public headers and links the library the application links.
#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AssetDownloader.h>
#include <voxtrellis/HttpClient.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using voxtrellis::AppLogger;
using voxtrellis::HttpClient;
namespace AssetDownloader = voxtrellis::AssetDownloader;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class AssetDownloaderCallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_server.Get("/vocab.json", [this](const httplib::Request&, httplib::Response& response) {
      ++m_requests;
      response.set_content(m_body, "application/json");
    });
    // The socket listens once bound: requests wait in its queue until the server's thread takes them.
    m_port = m_server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(m_port, 0);
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    std::string folder = (fs::temp_directory_path() / "asset-caller-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    m_folder = folder;
  }
  void TearDown() override {
    // The client's closed connections end the server's waits for a next request on them.
    m_client.reset();
    m_server.stop();
    if (m_thread.joinable()) m_thread.join();
    std::error_code ignored;
    if (!m_folder.empty()) fs::remove_all(m_folder, ignored);
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

  // The body is long enough to arrive in several reads.
  const std::string m_body = std::string(300000, 'v') + "end";
  std::atomic<int> m_requests{0};
  fs::path m_folder;
  std::unique_ptr<HttpClient> m_client = std::make_unique<HttpClient>(std::nullopt);
  AppLogger m_logger{"AssetDownloader"};

 private:
  httplib::Server m_server;
  std::thread m_thread;
  int m_port = 0;
};

TEST_F(AssetDownloaderCallerTest, FetchesAnAssetIntoMemoryOrThroughAFileAndKeepsIt) {
  const fs::path destination = m_folder / "models" / "parakeet" / "vocab.json";
  const AssetDownloader::Descriptor inMemory{"the vocabulary", url("/vocab.json"), destination, false,
                                             AssetDownloader::TransferMode::data(AssetDownloader::defaultDataWriter)};
  EXPECT_EQ(AssetDownloader::ensure(inMemory, *m_client, m_logger), destination);
  EXPECT_EQ(contents(destination), m_body);

  std::ofstream(destination) << "stale";
  const AssetDownloader::Descriptor throughFile{"the vocabulary", url("/vocab.json"), destination, false,
                                                AssetDownloader::TransferMode::file(AssetDownloader::defaultFileMover)};
  EXPECT_EQ(AssetDownloader::ensure(throughFile, *m_client, m_logger), destination);
  EXPECT_EQ(contents(destination), m_body);

  const AssetDownloader::Descriptor kept{"the vocabulary", url("/vocab.json"), destination, true,
                                         AssetDownloader::TransferMode::data(AssetDownloader::defaultDataWriter)};
  AssetDownloader::ensure(kept, *m_client, m_logger);
  EXPECT_EQ(m_requests.load(), 2);

  EXPECT_EQ(AssetDownloader::fetchData(url("/vocab.json"), "the vocabulary", *m_client, m_logger), m_body);
  try {
    AssetDownloader::fetchData(url("/missing.json"), "the merges", *m_client, m_logger);
    ADD_FAILURE() << "a missing asset was fetched";
  } catch (const AssetDownloader::Error& error) {
    EXPECT_EQ(error.statusCode(), 404);
    EXPECT_STREQ(error.what(), "Unexpected response (status 404) while downloading the merges");
  }
}

}  // namespace
