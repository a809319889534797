#pragma once

// Model repositories downloaded from a stand-in hub into a folder of the test's own, with the
// hub's address and no token in the environment, and what the download tests share.

#include <voxtrellis/DownloadUtils.h>

#include "FakeHub.h"
#include "Onnx/OnnxModel.h"
#include "support/FixturePaths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxtrellis::downloadtest {

namespace fs = std::filesystem;
using Error = DownloadUtils::HuggingFaceDownloadError;

inline const std::string kParakeet = "Quillbrookline/parakeet-tdt-0.6b-v3-onnx";
inline const std::string kEou = "Quillbrookline/parakeet-realtime-eou-120m-onnx";

inline std::string tinyModel() {
  return testsupport::readFile(testsupport::fixturesDir() / "foundation" / "Tiny.mlmodelc" / "model.onnx");
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : m_registry("REGISTRY_URL", hub.baseUrl()),
        m_token("HF_TOKEN", std::nullopt),
        m_token2("HUGGING_FACE_HUB_TOKEN", std::nullopt),
        m_token3("HUGGINGFACEHUB_API_TOKEN", std::nullopt) {}

  void addParakeet() {
    for (const char* model : {"Preprocessor", "Encoder", "Decoder", "JointDecision"}) {
      hub.addFile(kParakeet, std::string(model) + ".mlmodelc/model.onnx", tinyModel());
      hub.addFile(kParakeet, std::string(model) + ".mlmodelc/weights/blob.bin", std::string(1000, 'w'));
    }
    hub.addFile(kParakeet, "parakeet_vocab.json", R"({"0":"a"})");
    hub.addFile(kParakeet, "README.txt", "hello");
    hub.addFile(kParakeet, "docs/guide.md", "not fetched");
    hub.addFile(kParakeet, "Extra.mlmodelc/model.onnx", "not fetched");
  }

  std::map<std::string, std::shared_ptr<OnnxModel>> load(std::vector<std::string> names) {
    return DownloadUtils::loadModels(Repo::parakeet, names, models.path(), ComputeUnits::cpuOnly);
  }

  fs::path repoFolder() const { return models.path() / "parakeet-tdt-0.6b-v3-onnx"; }

  test::FakeHub hub;
  testsupport::TempDir models{"models"};
  test::ScopedEnv m_registry, m_token, m_token2, m_token3;
};

}  // namespace voxtrellis::downloadtest
