#pragma once

// For the engine's model-class tests only: needs the engine's internal headers.

#include "Onnx/ModelRuntimeError.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A model fixture whose input or output has another name than its class expects.
struct WrongInterfaceModel {
  std::string fixture;                                     // the folder, without ".mlmodelc"
  std::function<void(const std::filesystem::path&)> load;  // loads it through the model class
  std::string detail;                                      // what the error must say, e.g. missing input "audio"
};

// The loader of a model class whose `load(folder)` opens and checks the model.
template <typename Model>
std::function<void(const std::filesystem::path&)> loadsAs() {
  return [](const std::filesystem::path& folder) { Model::load(folder); };
}

// Each model in `folder` must fail to load with an interface mismatch that names its file
// and says what is wrong.
inline void expectInterfaceMismatches(const std::filesystem::path& folder,
                                      const std::vector<WrongInterfaceModel>& models) {
  for (const auto& m : models) {
    try {
      m.load(folder / (m.fixture + ".mlmodelc"));
      ADD_FAILURE() << m.fixture << " was accepted";
    } catch (const voxtrellis::ModelRuntimeError& e) {
      EXPECT_EQ(e.kind(), voxtrellis::ModelRuntimeError::Kind::interfaceMismatch) << m.fixture;
      const std::string text = e.what();
      EXPECT_NE(text.find(m.fixture + ".mlmodelc"), std::string::npos) << text;
      EXPECT_NE(text.find(m.detail), std::string::npos) << text;
    }
  }
}

}  // namespace testsupport
