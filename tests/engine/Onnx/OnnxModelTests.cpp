#include "Onnx/OnnxModel.h"
#include "Onnx/OrtEnvironment.h"

#include "support/FixturePaths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace voxtrellis;

namespace {

std::filesystem::path runtimeFixtures() {
  return testsupport::fixturesDir() / "runtime";
}

ModelRuntimeError::Kind loadErrorKind(const std::filesystem::path& folder) {
  try {
    OnnxModel::load(folder);
  } catch (const ModelRuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find(folder.string()), std::string::npos) << e.what();
    return e.kind();
  }
  ADD_FAILURE() << "loading " << folder << " did not fail";
  return ModelRuntimeError::Kind::inferenceFailed;
}

}  // namespace

TEST(OnnxModel, ReportsInputsAndOutputsWithOpenDimensions) {
  auto model = OnnxModel::load(runtimeFixtures() / "Affine.mlmodelc", ComputeUnits::cpuOnly);
  EXPECT_EQ(model->name(), "Affine");
  EXPECT_EQ(model->computeUnits(), ComputeUnits::cpuOnly);
  ASSERT_EQ(model->inputs().size(), 1u);
  EXPECT_EQ(model->inputs()[0].name, "x");
  EXPECT_EQ(model->inputs()[0].type, ElementType::float32);
  EXPECT_EQ(model->inputs()[0].shape, (std::vector<int64_t>{-1, 4}));
  ASSERT_NE(model->output("y"), nullptr);
  EXPECT_EQ(model->output("total")->shape, std::vector<int64_t>{});
  EXPECT_EQ(model->output("nope"), nullptr);
}

TEST(OnnxModel, PredictsFromBorrowedInputWithoutCopying) {
  // Both thread settings (every core; two sleeping threads) give the same result.
  for (const ModelCost cost : {ModelCost::heavy, ModelCost::perStep}) {
    auto model = OnnxModel::load(runtimeFixtures() / "Affine.mlmodelc", ComputeUnits::all, cost);
    std::vector<float> x = {1, 2, 3, 4, -1, -2, -3, -4};
    NamedTensors in{{"x", Tensor::borrow(ElementType::float32, {2, 4}, x.data())}};
    auto out = model->predict(in);
    ASSERT_EQ(out.count("y"), 1u);
    EXPECT_EQ(out.at("y").shape(), (std::vector<int64_t>{2, 4}));
    auto y = out.at("y").values<float>();
    std::vector<float> expected = {3, 6, 9, 12, -1, -2, -3, -4};
    EXPECT_EQ(std::vector<float>(y.begin(), y.end()), expected);
    EXPECT_FLOAT_EQ(out.at("total").values<float>()[0], 0.0f);

    auto only = model->predict(in, {"total"});
    EXPECT_EQ(only.size(), 1u);
  }
}

TEST(OnnxModel, PredictsIntoCallerBuffers) {
  auto model = OnnxModel::load(runtimeFixtures() / "Affine.mlmodelc");
  auto x = Tensor::fromValues<float>({1, 4}, std::vector<float>{0, 0, 0, 1});
  NamedTensors outputs{{"y", Tensor::zeros(ElementType::float32, {1, 4})}};
  Tensor y = outputs.at("y");  // shares storage with the bound output
  model->predictInto({{"x", x}}, outputs);
  EXPECT_FLOAT_EQ(y.values<float>()[3], 6.0f);
  EXPECT_FLOAT_EQ(y.values<float>()[0], 1.0f);

  NamedTensors aliased{{"y", x}};
  EXPECT_THROW(model->predictInto({{"x", x}}, aliased), ModelRuntimeError);

  // Bound once, a call reads whatever the input holds at each run.
  OnnxModel::BoundCall call(*model, {{"x", x}}, outputs);
  x.values<float>()[0] = 10;
  call.run();
  EXPECT_FLOAT_EQ(y.values<float>()[0], 21.0f);
  x.values<float>()[0] = -1;
  call.run();
  EXPECT_FLOAT_EQ(y.values<float>()[0], -1.0f);
  EXPECT_THROW(OnnxModel::BoundCall(*model, {{"x", x}}, aliased), ModelRuntimeError);
}

TEST(OnnxModel, HandlesHalfAndIntegerTensors) {
  auto model = OnnxModel::load(runtimeFixtures() / "Types.mlmodelc");
  std::vector<uint16_t> h = {floatToHalf(1.5f), floatToHalf(-2.0f), floatToHalf(0.25f)};
  auto out = model->predict({{"h", Tensor::fromValues<uint16_t>({3}, h)},
                             {"i32", Tensor::fromValues<int32_t>({2}, std::vector<int32_t>{41, -1})},
                             {"i64", Tensor::fromValues<int64_t>({2}, std::vector<int64_t>{1LL << 40, 3})}});
  EXPECT_EQ(out.at("hsq").toFloats(), (std::vector<float>{2.25f, 4.0f, 0.0625f}));
  EXPECT_EQ(out.at("i32out").values<int32_t>()[0], 42);
  EXPECT_EQ(out.at("i64out").values<int64_t>()[0], 1LL << 41);
  EXPECT_THROW(out.at("hsq").data<float>(), std::logic_error);
}

TEST(OnnxModel, RejectsBadInputsWithTypedErrors) {
  auto model = OnnxModel::load(runtimeFixtures() / "Affine.mlmodelc");
  std::vector<float> buf(12);
  struct Case {
    const char* what;
    NamedTensors inputs;
  } cases[] = {
      {"missing", {}},
      {"wrong name",
       {{"x", Tensor::borrow(ElementType::float32, {1, 4}, buf.data())},
        {"z", Tensor::borrow(ElementType::float32, {1, 4}, buf.data())}}},
      {"wrong shape", {{"x", Tensor::borrow(ElementType::float32, {3, 3}, buf.data())}}},
      {"wrong rank", {{"x", Tensor::borrow(ElementType::float32, {4}, buf.data())}}},
      {"wrong type", {{"x", Tensor::borrow(ElementType::int32, {1, 4}, buf.data())}}},
  };
  for (const auto& c : cases) {
    try {
      model->predict(c.inputs);
      ADD_FAILURE() << c.what << " was accepted";
    } catch (const ModelRuntimeError& e) {
      EXPECT_EQ(e.kind(), ModelRuntimeError::Kind::invalidInput) << c.what;
      EXPECT_NE(std::string(e.what()).find("Affine.mlmodelc"), std::string::npos) << e.what();
    }
  }
  std::vector<float> x(4);
  EXPECT_THROW(model->predict({{"x", Tensor::borrow(ElementType::float32, {1, 4}, x.data())}}, {"nope"}),
               ModelRuntimeError);
}

TEST(OnnxModel, InterfaceChecksNameTheFileAndTheFirstDifference) {
  auto model = OnnxModel::load(runtimeFixtures() / "Affine.mlmodelc");
  EXPECT_NO_THROW(model->requireInterface({{"x", ElementType::float32, 2}}, {{"y", ElementType::float32, 2}}));
  struct Case {
    const char* what;
    std::vector<TensorSpec> inputs, outputs;
    const char* detail;
  } cases[] = {
      {"missing input", {{"audio", ElementType::float32, 2}}, {}, "missing input \"audio\""},
      {"missing output", {}, {{"logits", ElementType::float32, 2}}, "missing output \"logits\""},
      {"wrong type", {{"x", ElementType::int32, 2}}, {}, "is float32, expected int32"},
      {"wrong rank", {}, {{"y", ElementType::float32, 3}}, "has rank 2, expected 3"},
  };
  for (const auto& c : cases) {
    try {
      model->requireInterface(c.inputs, c.outputs);
      ADD_FAILURE() << c.what << " was accepted";
    } catch (const ModelRuntimeError& e) {
      EXPECT_EQ(e.kind(), ModelRuntimeError::Kind::interfaceMismatch) << c.what;
      EXPECT_NE(std::string(e.what()).find("Affine.mlmodelc"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.detail), std::string::npos) << e.what();
    }
  }
}

TEST(OnnxModel, LoadFailuresNameTheFile) {
  testsupport::TempDir dir;
  EXPECT_EQ(loadErrorKind(dir.path() / "Missing.mlmodelc"), ModelRuntimeError::Kind::folderMissing);
  EXPECT_EQ(loadErrorKind(runtimeFixtures() / "Empty.mlmodelc"), ModelRuntimeError::Kind::modelFileMissing);
  EXPECT_EQ(loadErrorKind(runtimeFixtures() / "Corrupt.mlmodelc"), ModelRuntimeError::Kind::loadFailed);
  testsupport::writeFile(dir.path() / "File.mlmodelc", "not a folder");
  EXPECT_EQ(loadErrorKind(dir.path() / "File.mlmodelc"), ModelRuntimeError::Kind::folderMissing);
}

TEST(OnnxModel, RunsFromSeveralThreadsAtOnce) {
  auto model = OnnxModel::load(runtimeFixtures() / "Affine.mlmodelc");
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        std::vector<float> x(4, static_cast<float>(t));
        auto out = model->predict({{"x", Tensor::borrow(ElementType::float32, {1, 4}, x.data())}}, {"total"});
        if (out.at("total").values<float>()[0] != 4.0f * t) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(Tensor, RejectsNegativeAndOverflowingShapes) {
  EXPECT_THROW(Tensor::zeros(ElementType::float32, {-1, 2}), std::invalid_argument);
  EXPECT_THROW(Tensor::zeros(ElementType::float32, {1LL << 40, 1LL << 40}), std::invalid_argument);
  auto empty = Tensor::zeros(ElementType::float32, {0, 4});
  EXPECT_EQ(empty.elementCount(), 0u);
  EXPECT_THROW(Tensor::fromValues<float>({2}, std::vector<float>{1}), std::invalid_argument);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Tensor::zeros(ElementType::int64, {3}).rawData()) % 64, 0u);
}

TEST(ComputeUnits, NamesForLogs) {
  EXPECT_EQ(computeUnitsName(ComputeUnits::cpuOnly), "cpuOnly");
  EXPECT_EQ(computeUnitsName(ComputeUnits::cpuAndNeuralEngine), "cpuAndNeuralEngine");
  EXPECT_EQ(computeUnitsName(static_cast<ComputeUnits>(7)), "unknown(7)");
}

// Per-step models get at most two threads whatever the units, so the
// decoder's and joint's pools do not fight over the cores; heavy models keep
// every granted core, and "cpuOnly" still grants half of them.
TEST(ComputeUnits, ThreadsFollowTheModelsCost) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int half = std::max(1, cores / 2);
  const struct {
    ComputeUnits units;
    ModelCost cost;
    int threads;
  } cases[] = {
      {ComputeUnits::all, ModelCost::heavy, cores},
      {ComputeUnits::cpuAndNeuralEngine, ModelCost::heavy, cores},
      {ComputeUnits::cpuOnly, ModelCost::heavy, half},
      {ComputeUnits::cpuAndNeuralEngine, ModelCost::perStep, std::min(cores, 2)},
      {ComputeUnits::cpuOnly, ModelCost::perStep, std::min(half, 2)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(intraOpThreads(c.units, c.cost), c.threads) << computeUnitsName(c.units);
  }
}
