// Every workspace window meets the window standard in a light and a dark palette.

#include "Services/AudioPlayerService.h"
#include "Views/Workspace/ReprocessDialog.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SpeakersPanel.h"
#include "Views/Workspace/TranscriptionSettingsSheet.h"
#include "Views/Workspace/TranscriptionVersionsBar.h"
#include "app/Views/Player/PlayerPageStandIn.h"
#include "app/Views/Workspace/WorkspaceTestSupport.h"
#include "support/QtWait.h"
#include "support/QtWindowAudit.h"

#include <gtest/gtest.h>

using namespace workspacetest;
using testsupport::QtWindowAudit;

namespace {

std::string joined(const QStringList& findings) {
  return findings.join('\n').toStdString();
}

// Every option shown: the form is taller than the sheet, so its lower half is scrolled to.
TEST(WorkspaceWindowStandard, SettingsSheetWithEveryOptionShown) {
  pipelinetest::Harness h;
  h.vm->setDiarizationPreset(DiarizationPreset::custom);
  const auto findings = QtWindowAudit::checkInBothPalettes(
      [&] { return std::make_unique<TranscriptionSettingsSheet>(*h.vm, "talk.wav"); });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}

TEST(WorkspaceWindowStandard, ReprocessDialog) {
  const auto findings = QtWindowAudit::checkInBothPalettes([] { return std::make_unique<ReprocessDialog>(); });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}

TEST(WorkspaceWindowStandard, ResultsViewVersionsBarAndSpeakersPanel) {
  Workspace w;
  Transcription* v1 = w.showThree();
  w.addVersion("Version 2", Workspace::threeSegments());
  auto findings = QtWindowAudit::checkInBothPalettes([&] {
    auto view = std::make_unique<ResultsView>(*w.h.vm, playertest::pageHost);
    view->resize(900, 500);
    // The player's controls are enabled once the file has loaded in the background.
    EXPECT_TRUE(testsupport::waitUntil([&] { return w.h.vm->audioPlayer().isLoaded(); }, 30000));
    return view;
  });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
  findings = QtWindowAudit::checkInBothPalettes([&] {
    auto bar = std::make_unique<TranscriptionVersionsBar>(w.h.context.get());
    bar->setAudioSource(w.source);
    bar->setSelectedTranscription(v1);
    bar->resize(700, 44);
    return bar;
  });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
  findings = QtWindowAudit::checkInBothPalettes([&] { return std::make_unique<SpeakersPanel>(*w.h.vm); });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}

}  // namespace
