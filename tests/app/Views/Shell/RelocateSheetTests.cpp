#include "Views/Shell/RelocateSheet.h"

#include "Models/AudioSource.h"
#include "Models/Transcription.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/QtWindowAudit.h"

#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using namespace parlowvista;
using pipelinetest::Harness;

QPushButton* button(QWidget& root, const QString& text) {
  for (auto* candidate : root.findChildren<QPushButton*>()) {
    if (candidate->text() == text) return candidate;
  }
  return nullptr;
}

class RelocateFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(harness.startModels());
    const QString file = harness.path("talk.wav");
    pipelinetest::writeFloatWav(file.toStdString(), pipelinetest::twoVoices(3.0));
    harness.vm->processFile(QUrl::fromLocalFile(file));
    ASSERT_TRUE(harness.settle());
    source = harness.vm->currentAudioSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return harness.sampleCache->loadCachedSamples(source->id()).has_value(); }));
  }
  void ask() {
    harness.fileAccess.setPendingRelocate(source);
    harness.fileAccess.setShowRelocateDialog(true);
    ASSERT_NE(flow.sheet(), nullptr);
    ASSERT_TRUE(flow.sheet()->isVisible());
  }

  Harness harness;
  QWidget window;
  QUrl picked;
  RelocateFlow flow{harness.fileAccess,
                    *harness.context,
                    *harness.vm,
                    harness.sampleCache,
                    &window,
                    [this](QWidget*, std::function<void(const QUrl&)> chosen) { chosen(picked); }};
  AudioSource* source = nullptr;
};

TEST_F(RelocateFlowTest, DeleteTranscriptionsDropsTheSourceEverywhereAndItsCachedSamples) {
  ask();
  const QUuid id = source->id();
  button(*flow.sheet(), "Delete Transcriptions")->click();
  EXPECT_EQ(harness.vm->currentAudioSource(), nullptr);
  EXPECT_EQ(harness.vm->currentTranscription(), nullptr);
  EXPECT_NE(harness.vm->state().kind(), ProcessingState::Kind::completed);
  EXPECT_TRUE(harness.context->fetch<AudioSource>().isEmpty());
  EXPECT_TRUE(harness.context->fetch<Transcription>().isEmpty());
  EXPECT_FALSE(harness.sampleCache->loadCachedSamples(id).has_value());
  EXPECT_EQ(harness.fileAccess.pendingRelocate(), nullptr);
  EXPECT_FALSE(harness.fileAccess.showRelocateDialog());
  EXPECT_TRUE(QFileInfo::exists(harness.path("talk.wav")));  // the user's own file stays
  QTest::qWait(10);
  EXPECT_EQ(flow.sheet(), nullptr);
}

TEST_F(RelocateFlowTest, SkipChangesNothingAndLocateTakesOnlyAudioFiles) {
  const QString path = source->originalPath();
  ask();
  button(*flow.sheet(), "Skip")->click();
  EXPECT_FALSE(harness.fileAccess.showRelocateDialog());
  EXPECT_EQ(harness.fileAccess.pendingRelocate(), nullptr);
  EXPECT_EQ(source->originalPath(), path);
  QTest::qWait(10);

  ask();
  picked = QUrl::fromLocalFile(harness.path("notes.txt"));
  button(*flow.sheet(), "Locate File...")->click();
  EXPECT_TRUE(harness.fileAccess.showRelocateDialog());  // ignored, the sheet stays
  const QString moved = harness.path("moved.WAV");
  QFile::copy(harness.path("talk.wav"), moved);
  picked = QUrl::fromLocalFile(moved);
  button(*flow.sheet(), "Locate File...")->click();
  EXPECT_FALSE(harness.fileAccess.showRelocateDialog());
  EXPECT_EQ(source->originalPath(), moved);
  EXPECT_EQ(source->filename(), "talk.wav");
}

TEST(RelocateSheetAudit, PassesInBothPalettes) {
  const QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes([] {
    return std::make_unique<RelocateSheet>(QStringLiteral("interview.m4a"), RelocateSheet::Handlers{}, nullptr);
  });
  EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
}

}  // namespace
