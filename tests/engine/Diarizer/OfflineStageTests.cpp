#include "DiarizerTestSupport.h"
#include "engine/Shared/LogCapture.h"

#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "Diarizer/Offline/Extraction/PLDATransform.h"
#include "Diarizer/Offline/Extraction/WeightInterpolation.h"
#include "Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"
#include "Onnx/OrtEnvironment.h"
#include "support/TempDir.h"

#include <voxtrellis/OfflineDiarizationError.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using namespace voxtrellis;
using namespace diarizertest;

namespace {

SampleReader reader(std::vector<float> samples) {
  return SampleReader::fromVector(std::make_shared<const std::vector<float>>(std::move(samples)));
}

TEST(OfflineSegmentation, WindowsCoverTheRecording) {
  const auto models = loadModels();
  OfflineSegmentationProcessor processor;
  const auto one = processor.process(reader({0.5f}), *models->segmentationModel, OfflineDiarizerConfig{});
  EXPECT_EQ(one.numChunks, 1);
  EXPECT_EQ(one.numFrames, 500);
  EXPECT_EQ(one.numSpeakers, 3);
  EXPECT_DOUBLE_EQ(one.frameDuration, 0.02);

  // One sample past five steps: six windows, the last holding one real sample.
  const auto six =
      processor.process(reader(std::vector<float>(160001, 0.0f)), *models->segmentationModel, OfflineDiarizerConfig{});
  EXPECT_EQ(six.chunkOffsets, (std::vector<double>{0, 2, 4, 6, 8, 10}));

  EXPECT_THROW(processor.process(reader({}), *models->segmentationModel, OfflineDiarizerConfig{}),
               OfflineDiarizationError);
}

TEST(OfflineSegmentation, DecodesTheVoiceIntoItsSlot) {
  const auto models = loadModels();
  auto audio = silence(10);
  addTone(audio, kToneA, 0, 5);
  addTone(audio, kToneB, 4, 8);
  const auto out =
      OfflineSegmentationProcessor().process(reader(audio), *models->segmentationModel, OfflineDiarizerConfig{});
  const auto& frames = out.speakerWeights[0];
  auto at = [&](double seconds) { return frames[static_cast<std::size_t>(seconds / out.frameDuration)]; };
  EXPECT_GT(at(1)[0], 0.99f);  // A alone
  EXPECT_LT(at(1)[1], 0.01f);
  EXPECT_GT(at(4.5)[0], 0.99f);  // both: the overlap class holds slots 0 and 1
  EXPECT_GT(at(4.5)[1], 0.99f);
  EXPECT_GT(at(6)[1], 0.99f);                        // B alone
  EXPECT_LT(at(9)[0] + at(9)[1] + at(9)[2], 0.01f);  // silence
  float total = 0;
  for (float lp : out.logProbs[0][50]) total += std::exp(lp);
  EXPECT_NEAR(total, 1.0f, 1e-4);
}

TEST(OfflineSegmentation, HandlerStopEndsCallsButNotTheRun) {
  const auto models = loadModels();
  int calls = 0;
  const auto out = OfflineSegmentationProcessor().process(reader(silence(20)), *models->segmentationModel,
                                                          OfflineDiarizerConfig{}, [&](const SegmentationChunk&) {
                                                            ++calls;
                                                            return SegmentationChunkContinuation::stop;
                                                          });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(out.numChunks, 10);
}

TEST(OfflineSegmentation, ModelAnsweringFewerWindowsLeavesNoHoles) {
  auto model = OfflineSegmentationModel::load(brokenModel("SegmentationOneWindow"));
  auto audio = silence(40);
  addTone(audio, kToneA, 30, 40);
  std::vector<int> indices;
  const auto out = OfflineSegmentationProcessor().process(reader(audio), *model, OfflineDiarizerConfig{},
                                                          [&](const SegmentationChunk& chunk) {
                                                            indices.push_back(chunk.chunkIndex);
                                                            return SegmentationChunkContinuation::continueProcessing;
                                                          });
  ASSERT_EQ(out.numChunks, 20);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(indices[i], i);
    EXPECT_DOUBLE_EQ(out.chunkOffsets[i], 2.0 * i);
  }
  // The rolling window buffer is rebuilt for re-run windows: the last window
  // (30–40 s) hears voice A throughout.
  EXPECT_GT(out.speakerWeights[15][250][0], 0.99f);

  // After the first short answer the rest go one window at a time instead of
  // in ever smaller batches that the model again answers only in part.
  test::LogCapture log;
  OfflineSegmentationProcessor().process(reader(audio), *model, OfflineDiarizerConfig{});
  EXPECT_EQ(log.countStartingWith("Segmentation model answered 1 of "), 1);
  EXPECT_TRUE(log.contains("Segmentation model answered 1 of 20 windows; running the rest again"));
}

TEST(OfflineSegmentation, ModelWithAFixedBatchGetsWindowsOneAtATime) {
  auto model = OfflineSegmentationModel::load(brokenModel("SegmentationFixedBatch"));
  auto audio = silence(40);
  addTone(audio, kToneA, 30, 40);
  const auto out = OfflineSegmentationProcessor().process(reader(audio), *model, OfflineDiarizerConfig{});
  ASSERT_EQ(out.numChunks, 20);
  EXPECT_DOUBLE_EQ(out.chunkOffsets[19], 38.0);
  EXPECT_GT(out.speakerWeights[15][250][0], 0.99f);
}

TEST(OfflineSegmentation, NineClassesUseTheFirstEight) {
  auto model = OfflineSegmentationModel::load(brokenModel("SegmentationNineClasses"));
  std::vector<std::string> errors;
  AppLogger::setSink([&](const AppLogger::Record& r) {
    if (r.level == AppLogger::Level::error) errors.push_back(r.message);
  });
  auto audio = silence(10);
  addTone(audio, kToneA, 0, 10);
  const auto out = OfflineSegmentationProcessor().process(reader(audio), *model, OfflineDiarizerConfig{});
  AppLogger::setSink({});
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Segmentation model returned 9 classes but only 8 powerset entries available");
  EXPECT_EQ(out.logProbs[0][0].size(), 9u);
  EXPECT_GT(out.speakerWeights[0][100][0], 0.99f);
}

TEST(OfflineSegmentation, EveryPowersetClassActivatesItsOwnSpeakers) {
  // Frame f of the test model's every window wins class f mod 7.
  auto model = OfflineSegmentationModel::load(brokenModel("SegmentationEveryClass"));
  const auto out = OfflineSegmentationProcessor().process(reader(silence(10)), *model, OfflineDiarizerConfig{});
  const std::vector<std::vector<int>> speakers = {{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}};
  for (std::size_t f = 0; f < 14; ++f) {
    const auto& active = speakers[f % 7];
    for (int s = 0; s < 3; ++s) {
      const bool expected = std::find(active.begin(), active.end(), s) != active.end();
      EXPECT_NEAR(out.speakerWeights[0][f][static_cast<std::size_t>(s)], expected ? 1.0f : 0.0f, 0.01f)
          << "class " << f % 7 << ", speaker " << s;
    }
  }
}

TEST(WeightInterpolation, ResamplesAtHalfPositions) {
  const WeightInterpolation::InterpolationCoefficients c(3, 6);
  // Source positions 0, 0.25, 0.75, 1.25, 1.75, 2.
  EXPECT_EQ(c.interpolate({0, 4, 8}), (std::vector<float>{0, 1, 3, 5, 7, 8}));
  EXPECT_TRUE(c.interpolate({}).empty());
  EXPECT_TRUE(c.interpolate({1, 2}).empty());  // too short for these coefficients
  EXPECT_TRUE(WeightInterpolation::InterpolationCoefficients(0, 4).interpolate({1}).empty());
}

TEST(OfflineEmbeddingExtractor, TakesItsInputShapesFromTheModels) {
  const auto models = loadModels();
  const PLDATransform plda(models->pldaRhoModel, models->pldaPsi);
  const OfflineEmbeddingExtractor extractor(models->fbankModel, models->embeddingModel, plda, OfflineDiarizerConfig{});
  EXPECT_EQ(extractor.fbankInputShape(), (std::vector<int64_t>{1, 1, 160000}));
  EXPECT_EQ(extractor.weightFrameCount(), 1000);
}

SegmentationOutput singleWindow(int frames, const std::vector<float>& slotWeights, double offset = 0) {
  SegmentationOutput seg;
  seg.numChunks = 1;
  seg.numFrames = frames;
  seg.numSpeakers = static_cast<int>(slotWeights.size());
  seg.frameDuration = 10.0 / frames;
  seg.chunkOffsets = {offset};
  seg.speakerWeights = {std::vector<std::vector<float>>(static_cast<std::size_t>(frames), slotWeights)};
  return seg;
}

TEST(OfflineEmbeddingExtractor, MasksTimesAndFallbacks) {
  const auto models = loadModels();
  const OfflineEmbeddingExtractor extractor(models->fbankModel, models->embeddingModel,
                                            PLDATransform(models->pldaRhoModel, models->pldaPsi),
                                            OfflineDiarizerConfig{});
  auto audio = silence(12);
  addTone(audio, kToneA, 0, 12);
  // Two slots active in every frame: the clean mask is empty, the full weights are used.
  const auto both = extractor.extractEmbeddings(audio, singleWindow(500, {1.0f, 1.0f, 0.0f}));
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].speakerIndex, 0);
  EXPECT_EQ(both[1].speakerIndex, 1);
  EXPECT_EQ(both[0].embedding256.size(), 256u);
  EXPECT_EQ(both[0].rho128.size(), 128u);
  EXPECT_EQ(both[0].startFrame, 0);
  EXPECT_EQ(both[0].endFrame, 499);
  EXPECT_NEAR(both[0].endTime, 10.0, 1e-9);

  // All weights tiny but positive: an embedding of one frame's span.
  const auto faint = extractor.extractEmbeddings(audio, singleWindow(500, {0.0005f, 0.0f, 0.0f}, 1.0));
  ASSERT_EQ(faint.size(), 1u);
  EXPECT_EQ(faint[0].startFrame, 0);
  EXPECT_EQ(faint[0].endFrame, 0);
  EXPECT_NEAR(faint[0].endTime - faint[0].startTime, 0.02, 1e-9);
  EXPECT_NEAR(faint[0].startTime, 1.0, 1e-9);

  // A window starting past the end of the audio yields nothing.
  EXPECT_TRUE(extractor.extractEmbeddings(audio, singleWindow(500, {1.0f, 0, 0}, 13.0)).empty());
  EXPECT_TRUE(extractor.extractEmbeddings(audio, SegmentationOutput{}).empty());
}

TEST(OfflineEmbeddingExtractor, CleanMaskMustSpanTheMinimumDuration) {
  const auto models = loadModels();
  auto audio = silence(10);
  addTone(audio, kToneA, 0, 10);
  // Slot 0 speaks throughout, slot 1 over the second half: slot 0's clean
  // mask is the first half (5 s).
  SegmentationOutput seg = singleWindow(500, {1.0f, 0.0f, 0.0f});
  for (std::size_t f = 250; f < 500; ++f) seg.speakerWeights[0][f][1] = 1.0f;
  struct Case {
    double minimumSeconds;
    int slot0EndFrame;  // 249: the clean mask was used; 499: too short, the full weights were
  };
  for (const Case& c : {Case{1.0, 249}, Case{5.0, 249}, Case{5.02, 499}, Case{1e12, 499}}) {
    SCOPED_TRACE(c.minimumSeconds);
    OfflineDiarizerConfig config;
    config.embedding.minSegmentDurationSeconds = c.minimumSeconds;
    const OfflineEmbeddingExtractor extractor(models->fbankModel, models->embeddingModel,
                                              PLDATransform(models->pldaRhoModel, models->pldaPsi), config);
    const auto embeddings = extractor.extractEmbeddings(audio, seg);
    ASSERT_EQ(embeddings.size(), 2u);
    EXPECT_EQ(embeddings[0].endFrame, c.slot0EndFrame);
  }
}

TEST(OfflineEmbeddingExtractor, ShortEmbeddingsAreReported) {
  const auto models = loadModels();
  const OfflineEmbeddingExtractor extractor(
      models->fbankModel, OfflineEmbeddingModel::load(brokenModel("EmbeddingShort")),
      PLDATransform(models->pldaRhoModel, models->pldaPsi), OfflineDiarizerConfig{});
  auto audio = silence(10);
  addTone(audio, kToneA, 0, 10);
  EXPECT_EQ(errorText([&] {
              extractor.extractEmbeddings(audio, singleWindow(500, {1.0f, 0, 0}));
            }),
            "Processing failed: Embedding model returned 200 values; expected 256");
}

TEST(PLDATransform, BatchesAndChecks) {
  const auto models = loadModels();
  const PLDATransform plda(models->pldaRhoModel, models->pldaPsi);
  EXPECT_TRUE(plda.transform(std::vector<std::vector<float>>{}).empty());
  std::vector<std::vector<float>> many;
  for (int i = 0; i < 33; ++i) {
    std::vector<float> e(256, 0.0f);
    e[static_cast<std::size_t>(i % 128)] = static_cast<float>(i + 1);
    many.push_back(e);
  }
  const auto rows = plda.transform(many);
  ASSERT_EQ(rows.size(), 33u);
  for (int i = 0; i < 33; ++i) EXPECT_EQ(rows[i][static_cast<std::size_t>(i % 128)], i + 1.0);
  many[20].pop_back();
  EXPECT_EQ(errorText([&] { plda.transform(many); }), "Invalid configuration: Expected 256-dim embeddings, got 255");
  EXPECT_EQ(errorText([&] { plda.transform(std::vector<float>(255)); }),
            "Invalid configuration: Expected 256-dim embedding, got 255");
  EXPECT_EQ(plda.phiParameters(), models->pldaPsi);
  EXPECT_EQ(plda.score(std::vector<double>(127, 1.0), std::vector<double>(127, 1.0)), 0.0);
  EXPECT_EQ(plda.score(std::vector<double>(128, 0.0), std::vector<double>(128, 1.0)), 0.0);
  EXPECT_NEAR(plda.score(std::vector<double>(128, 2.0), std::vector<double>(128, 1.0)), 1.0, 1e-12);

  const PLDATransform shortModel(PldaRhoModel::load(brokenModel("PldaRhoShort")), {});
  EXPECT_EQ(errorText([&] { shortModel.transform(std::vector<float>(256, 1.0f)); }),
            "Processing failed: PldaRho model returned 100 values for 1 embeddings (expected 128)");
}

TEST(OfflineDiarizerModels, LoadsTheBundleAndPsi) {
  const auto models = loadModels();
  EXPECT_EQ(models->pldaPsi.size(), 128u);
  EXPECT_FLOAT_EQ(static_cast<float>(models->pldaPsi.front()), 2.0f);
  EXPECT_EQ(models->fbankModel->model().computeUnits(), ComputeUnits::cpuOnly);
  EXPECT_EQ(models->segmentationModel->model().computeUnits(), ComputeUnits::all);
  EXPECT_GT(models->compilationDuration, 0.0);
  // Few large calls get every granted core; the PLDA projection of a batch
  // of vectors is too small to split.
  EXPECT_EQ(models->segmentationModel->model().threadSettings(), threadSettings(ComputeUnits::all, ModelCost::heavy));
  EXPECT_EQ(models->embeddingModel->model().threadSettings(), threadSettings(ComputeUnits::all, ModelCost::heavy));
  EXPECT_EQ(models->fbankModel->model().threadSettings(), threadSettings(ComputeUnits::cpuOnly, ModelCost::heavy));
  EXPECT_EQ(models->pldaRhoModel->model().threadSettings(), threadSettings(ComputeUnits::all, ModelCost::perStep));
}

TEST(OfflineDiarizerModels, PsiFileSearchAndDecoding) {
  testsupport::TempDir dir;
  auto write = [](const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  };
  EXPECT_EQ(errorText([&] { OfflineDiarizerModels::loadPLDAPsi(dir.path()); }),
            "Processing failed: PLDA parameters file not found in " + dir.path().string());
  // 7 bytes ("AACAPwAAAA" is 1.0f plus three bytes) give one value; line breaks are skipped.
  write(dir / "speaker-diarization-onnx/plda-parameters.json",
        R"({"tensors":{"psi":{"data_base64":"AACA\nPwAAAA=="}}})");
  EXPECT_EQ(OfflineDiarizerModels::loadPLDAPsi(dir.path()), std::vector<double>{1.0});
  // The top-level file wins over the repository's.
  write(dir / "plda-parameters.json", R"({"tensors":{"psi":{"data_base64":"AAAAQA=="}}})");
  EXPECT_EQ(OfflineDiarizerModels::loadPLDAPsi(dir.path()), std::vector<double>{2.0});
  write(dir / "plda-parameters.json", R"({"tensors":{"psi":{"data_base64":"AAAA"}}})");
  EXPECT_EQ(errorText([&] { OfflineDiarizerModels::loadPLDAPsi(dir.path()); }),
            "Processing failed: PLDA psi tensor is empty");
  write(dir / "plda-parameters.json", R"({"tensors":{"psi":[1,2]}})");
  EXPECT_EQ(errorText([&] { OfflineDiarizerModels::loadPLDAPsi(dir.path()); }),
            "Processing failed: Failed to decode PLDA psi parameters");
  write(dir / "plda-parameters.json", "{not json");
  EXPECT_THROW(OfflineDiarizerModels::loadPLDAPsi(dir.path()), std::exception);
}

TEST(OfflineDiarizerModels, MissingModelsAreReported) {
  const auto partial = [](const std::vector<std::string>&, const std::filesystem::path&, ComputeUnits) {
    return std::map<std::string, std::shared_ptr<OnnxModel>>{};
  };
  EXPECT_EQ(errorText([&] { OfflineDiarizerModels::load(modelsDirectory(), partial); }),
            "Model not loaded: Segmentation");
}

}  // namespace
