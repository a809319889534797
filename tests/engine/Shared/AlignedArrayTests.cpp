#include "Shared/ANEMemoryOptimizer.h"
#include "Shared/ANEMemoryUtils.h"
#include "Shared/ANEOptimizer.h"
#include "Shared/MLArrayCache.h"
#include "Shared/MLMultiArrayTensor.h"
#include "Shared/ZeroCopyFeatureProvider.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace voxtrellis {
namespace {

using DT = MLMultiArrayDataType;
using ANEMemoryUtils::ANEMemoryError;

struct LayoutCase {
  std::vector<int64_t> shape;
  DT type;
  std::vector<int64_t> strides;
  std::size_t bufferBytes;
};

std::string join(const std::vector<int64_t>& v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? "x" : "") + std::to_string(v[i]);
  return out.empty() ? "scalar" : out;
}

void PrintTo(const LayoutCase& c, std::ostream* os) {
  *os << join(c.shape) << "_type" << static_cast<int>(c.type);
}

class AlignedLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(AlignedLayoutTest, StridesSizeAndAlignment) {
  const LayoutCase c = GetParam();
  EXPECT_EQ(ANEMemoryUtils::calculateOptimalStrides(c.shape), c.strides);
  auto array = ANEMemoryUtils::createAlignedArray(c.shape, c.type, true);
  EXPECT_EQ(array->strides(), c.strides);
  EXPECT_EQ(array->spanBytes(), c.bufferBytes);
  EXPECT_TRUE(array->isANEAligned());
  const auto* bytes = static_cast<const unsigned char*>(array->dataPointer());
  for (std::size_t i = 0; i < c.bufferBytes; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

INSTANTIATE_TEST_SUITE_P(Shapes, AlignedLayoutTest,
                         ::testing::Values(LayoutCase{{1, 240000}, DT::float32, {240000, 1}, 960000},
                                           LayoutCase{{2, 1, 640}, DT::float32, {640, 640, 1}, 5120},
                                           LayoutCase{{1}, DT::int32, {1}, 64},
                                           LayoutCase{{3, 100}, DT::float16, {112, 1}, 704},
                                           LayoutCase{{2, 3, 100}, DT::float32, {336, 112, 1}, 2688},
                                           LayoutCase{{}, DT::float32, {}, 64}));

TEST(AlignedArrayTest, OverflowAndNegativeShapesThrowInvalidShape) {
  for (const auto& shape :
       std::vector<std::vector<int64_t>>{{INT64_MAX / 2, 4, 16}, {-1, 4}, {1LL << 40, 1LL << 40}, {INT64_MAX}}) {
    try {
      ANEMemoryUtils::createAlignedArray(shape, DT::float32, false);
      ADD_FAILURE() << "no error";
    } catch (const ANEMemoryError& e) {
      EXPECT_EQ(e.code(), ANEMemoryError::Code::invalidShape);
    }
  }
  try {
    ANEOptimizer::createANEAlignedArray({-3}, DT::float32);
    ADD_FAILURE();
  } catch (const DomainError& e) {
    EXPECT_EQ(e.domain(), "ANEOptimizer");
    EXPECT_EQ(e.code(), -1);
    EXPECT_EQ(std::string(e.what()), "ANE memory allocation error: invalidShape");
  }
}

TEST(AlignedArrayTest, ElementAccessFollowsWidenedStrides) {
  auto array = ANEMemoryUtils::createAlignedArray({3, 20}, DT::float32, true);
  for (int64_t i = 0; i < array->count(); ++i) array->setValue(i, static_cast<double>(i));
  EXPECT_EQ(array->dataAs<float>()[32], 20.0f);  // row 1 starts at the widened stride
  EXPECT_FALSE(array->isContiguous());
  const auto dense = array->toFloatVector();
  ASSERT_EQ(dense.size(), 60u);
  for (std::size_t i = 0; i < dense.size(); ++i) EXPECT_EQ(dense[i], static_cast<float>(i));
  Tensor tensor = denseTensor(array);
  EXPECT_EQ(tensor.shape(), (std::vector<int64_t>{3, 20}));
  EXPECT_EQ(tensor.data<float>()[59], 59.0f);
}

TEST(AlignedArrayTest, ContiguousArraysReachTheRuntimeWithoutCopy) {
  auto array = ANEMemoryUtils::createAlignedArray({2, 16}, DT::float32, true);
  Tensor tensor = denseTensor(array);
  EXPECT_EQ(tensor.rawData(), array->dataPointer());
  std::weak_ptr<MLMultiArray> weak = array;
  array.reset();
  EXPECT_FALSE(weak.expired());  // the tensor keeps the memory alive
  auto back = arrayFromTensor(tensor);
  EXPECT_EQ(back->dataPointer(), tensor.rawData());
}

struct ViewCase {
  std::vector<int64_t> sourceShape;
  int64_t offset;
  std::vector<int64_t> viewShape;
  bool fits;
};

void PrintTo(const ViewCase& c, std::ostream* os) {
  *os << join(c.sourceShape) << "_at" << c.offset << "_" << join(c.viewShape);
}

class ZeroCopyViewTest : public ::testing::TestWithParam<ViewCase> {};

TEST_P(ZeroCopyViewTest, AllThreeFamiliesAgreeOnBounds) {
  const ViewCase c = GetParam();
  auto source = ANEMemoryUtils::createAlignedArray(c.sourceShape, DT::float32, true);
  ANEMemoryOptimizer optimizer;
  if (c.fits) {
    auto view = optimizer.createZeroCopyView(*source, c.viewShape, c.offset);
    EXPECT_EQ(view->dataAs<float>(), source->dataAs<float>() + c.offset);
    EXPECT_EQ(view->owner(), source->owner());
    EXPECT_NO_THROW(ANEOptimizer::createZeroCopyView(*source, c.viewShape, c.offset));
    EXPECT_NO_THROW(ANEMemoryUtils::createZeroCopyView(*source, c.offset, c.viewShape));
    return;
  }
  EXPECT_THROW(optimizer.createZeroCopyView(*source, c.viewShape, c.offset), DiarizerError);
  try {
    ANEOptimizer::createZeroCopyView(*source, c.viewShape, c.offset);
    ADD_FAILURE();
  } catch (const DomainError& e) {
    EXPECT_EQ(e.code(), -2);
    EXPECT_EQ(std::string(e.what()), "View exceeds source array bounds");
  }
  EXPECT_THROW(ANEMemoryUtils::createZeroCopyView(*source, c.offset, c.viewShape), ANEMemoryError);
}

INSTANTIATE_TEST_SUITE_P(Bounds, ZeroCopyViewTest,
                         ::testing::Values(ViewCase{{1024}, 768, {256}, true},   // offset + elements == count
                                           ViewCase{{1024}, 769, {256}, false},  // one more
                                           ViewCase{{1024}, -1, {4}, false},
                                           // Element count fits, but the widened rows reach past the source.
                                           ViewCase{{100}, 79, {4, 5}, false}, ViewCase{{100}, 60, {3, 10}, true}));

TEST(AlignedArrayTest, ViewsKeepTheirSourceMemoryAlive) {
  auto source = ANEMemoryUtils::createAlignedArray({64}, DT::float32, true);
  source->setValue(10, 3.5);
  auto view = ANEMemoryUtils::createZeroCopyView(*source, 8, {4});
  source.reset();
  EXPECT_EQ((*view)[2], 3.5);
}

TEST(AlignedArrayTest, Float16ConversionCoversWidenedRows) {
  auto input = ANEOptimizer::createANEAlignedArray({3, 20}, DT::float32);
  for (int64_t i = 0; i < input->count(); ++i) input->setValue(i, 0.5 * static_cast<double>(i));
  auto half = ANEOptimizer::convertToFloat16(*input);
  EXPECT_EQ(half->dataType(), DT::float16);
  EXPECT_EQ(half->strides(), input->strides());
  for (int64_t i = 0; i < input->count(); ++i) EXPECT_EQ((*half)[i], 0.5 * static_cast<double>(i)) << i;

  auto dense = std::make_shared<MLMultiArray>(std::vector<int64_t>{2, 20}, DT::float32);
  dense->setValue(39, 7.0);
  EXPECT_EQ((*ANEOptimizer::convertToFloat16(*dense))[39], 7.0);

  auto wrong = ANEMemoryUtils::createAlignedArray({4}, DT::float64, true);
  try {
    ANEOptimizer::convertToFloat16(*wrong);
    ADD_FAILURE();
  } catch (const DomainError& e) {
    EXPECT_EQ(e.code(), -3);
    EXPECT_EQ(std::string(e.what()), "Input must be float32");
  }
}

TEST(MLArrayCacheTest, PrewarmThenHandOutLastAddedFirst) {
  test::LogCapture logs;
  MLArrayCache cache;
  cache.prewarm({{{1, 240000}, DT::float32}, {{1}, DT::int32}, {{2, 1, 640}, DT::float32}});
  EXPECT_TRUE(logs.contains("Pre-warming cache with 3 shapes"));
  EXPECT_EQ(cache.cachedCount({1}, DT::int32), 5u);
  std::vector<MLMultiArray*> handed;
  for (int i = 0; i < 5; ++i) handed.push_back(cache.getArray({1, 240000}, DT::float32).get());
  EXPECT_EQ(cache.cachedCount({1, 240000}, DT::float32), 0u);
  auto fresh = cache.getArray({1, 240000}, DT::float32);
  EXPECT_TRUE(fresh->isANEAligned());
  EXPECT_EQ(cache.cachedCount({1, 240000}, DT::float32), 0u);
  EXPECT_EQ(cache.cachedCount({2, 1, 640}, DT::float32), 5u);

  cache.prewarm({});
  EXPECT_TRUE(logs.contains("Pre-warming cache with 0 shapes"));
  cache.prewarm({{{-1}, DT::float32}, {{4}, DT::float32}});
  EXPECT_EQ(logs.countStartingWith("Failed to pre-warm shape [-1]: "), 1);
  EXPECT_EQ(cache.cachedCount({4}, DT::float32), 5u);
}

TEST(MLArrayCacheTest, PerEntryCountShrinksWithManyShapes) {
  MLArrayCache cache;
  std::vector<MLArrayCache::ShapeEntry> entries;
  for (int64_t i = 1; i <= 26; ++i) entries.push_back({{i}, DT::float32});
  cache.prewarm(entries);
  EXPECT_EQ(cache.cachedCount({1}, DT::float32), 3u);
}

TEST(ANEMemoryOptimizerTest, PoolReusesMatchingArraysAndReplacesOthers) {
  ANEMemoryOptimizer optimizer;
  auto a = optimizer.getPooledBuffer("in", {1, 32}, DT::float32);
  a->setValue(3, 9.0);
  auto b = optimizer.getPooledBuffer("in", {1, 32}, DT::float32);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ((*b)[3], 9.0);
  auto c = optimizer.getPooledBuffer("in", {2, 32}, DT::float32);
  EXPECT_NE(c.get(), a.get());
  EXPECT_EQ((*c)[3], 0.0);
  EXPECT_EQ(optimizer.getPooledBuffer("in", {2, 32}, DT::float32).get(), c.get());
  optimizer.clearBufferPool();
  auto d = optimizer.getPooledBuffer("in", {2, 32}, DT::float32);
  EXPECT_NE(d.get(), c.get());
  EXPECT_THROW(optimizer.getPooledBuffer("bad", {-2}, DT::float32), DiarizerError);
  EXPECT_EQ(optimizer.pooledCount(), 1u);
}

struct CopyCase {
  std::size_t sourceCount;
  int64_t destinationCount;
  int64_t offset;
  std::vector<float> expected;
};

void PrintTo(const CopyCase& c, std::ostream* os) {
  *os << c.sourceCount << "_into" << c.destinationCount << "_at" << c.offset;
}

class OptimizedCopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(OptimizedCopyTest, CopiesOnlyInsideTheDestination) {
  const CopyCase c = GetParam();
  std::vector<float> source(c.sourceCount);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<float>(i + 1);
  ANEMemoryOptimizer optimizer;
  auto destination = optimizer.createAlignedArray({c.destinationCount}, DT::float32);
  optimizer.optimizedCopy(source, *destination, c.offset);
  EXPECT_EQ(destination->toFloatVector(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, OptimizedCopyTest,
                         ::testing::Values(CopyCase{10, 8, 2, {0, 0, 1, 2, 3, 4, 5, 6}},
                                           CopyCase{3, 4, 0, {1, 2, 3, 0}}, CopyCase{3, 4, 9, {0, 0, 0, 0}},
                                           CopyCase{3, 4, -1, {0, 0, 0, 0}}, CopyCase{3, 4, 4, {0, 0, 0, 0}}));

TEST(ANEMemoryOptimizerTest, CopyIntoNonFloatDestinationDoesNothing) {
  ANEMemoryOptimizer optimizer;
  auto destination = optimizer.createAlignedArray({4}, DT::int32);
  const std::vector<double> values = {1, 2, 3};
  optimizer.optimizedCopy(std::vector<float>{1, 2}, *destination, 0);
  optimizer.optimizedCopy(values, *destination, 0);
  EXPECT_EQ(destination->toFloatVector(), (std::vector<float>{0, 0, 0, 0}));
  auto floats = optimizer.createAlignedArray({4}, DT::float32);
  optimizer.optimizedCopy(values, *floats, 1);
  EXPECT_EQ(floats->toFloatVector(), (std::vector<float>{0, 1, 2, 3}));
}

TEST(FeatureProviderTest, ChainAndBatch) {
  ANEMemoryOptimizer optimizer;
  auto out = optimizer.createAlignedArray({4}, DT::float32);
  ZeroCopyFeatureProvider provider({{"segments", out}});
  EXPECT_EQ(provider.featureNames(), (std::set<std::string>{"segments"}));
  EXPECT_EQ(provider.featureValue("nope"), nullptr);
  auto chained = ZeroCopyFeatureProvider::chain(provider, "segments", "input");
  ASSERT_TRUE(chained);
  EXPECT_EQ(chained->featureValue("input").get(), out.get());
  EXPECT_FALSE(ZeroCopyFeatureProvider::chain(provider, "missing", "input"));

  auto extra = optimizer.createAlignedArray({2}, DT::float32);
  auto diarizer = ZeroCopyDiarizerFeatureProvider::chain(provider, "segments", "mask", {{"mask", extra}, {"w", extra}});
  ASSERT_TRUE(diarizer);
  EXPECT_EQ(diarizer->featureValue("mask").get(), out.get());
  EXPECT_EQ(diarizer->featureNames().size(), 2u);

  auto batch = ZeroCopyDiarizerFeatureProvider::batchProvider({out, out, out}, {extra, extra});
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[1].featureNames(), (std::set<std::string>{"mask", "waveform"}));
}

TEST(ANEOptimizerTest, ComputeUnitsAndPrefetch) {
  for (auto type :
       {ANEOptimizer::ModelType::encoder, ANEOptimizer::ModelType::decoder, ANEOptimizer::ModelType::joint}) {
    EXPECT_EQ(ANEOptimizer::optimalComputeUnits(type), ComputeUnits::cpuAndNeuralEngine);
  }
  auto empty = ANEMemoryUtils::createAlignedArray({0}, DT::float32, false);
  EXPECT_NO_THROW(ANEOptimizer::prefetchToNeuralEngine(*empty));
  auto array = ANEMemoryUtils::createAlignedArray({5}, DT::float32, true);
  EXPECT_NO_THROW(ANEOptimizer::prefetchToNeuralEngine(*array));
}

}  // namespace
}  // namespace voxtrellis
