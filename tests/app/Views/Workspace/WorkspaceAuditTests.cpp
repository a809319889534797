// Every workspace window meets the window standard in a light and a dark palette.

#include "Views/Workspace/ReprocessDialog.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SpeakersPanel.h"
#include "app/Views/Player/PlayerPageStandIn.h"
#include "app/Views/Workspace/WorkspaceTestSupport.h"
#include "support/QtWindowAudit.h"

#include <gtest/gtest.h>

using namespace workspacetest;
using testsupport::QtWindowAudit;

namespace {

std::string joined(const QStringList& findings) {
  return findings.join('\n').toStdString();
}

TEST(WorkspaceWindowStandard, ReprocessDialog) {
  const auto findings = QtWindowAudit::checkInBothPalettes([] { return std::make_unique<ReprocessDialog>(); });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}

TEST(WorkspaceWindowStandard, ResultsViewAndSpeakersPanel) {
  Workspace w;
  w.showThree();
  auto findings = QtWindowAudit::checkInBothPalettes([&] {
    auto view = std::make_unique<ResultsView>(*w.h.vm, playertest::pageHost());
    view->resize(900, 500);
    return view;
  });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
  findings = QtWindowAudit::checkInBothPalettes([&] { return std::make_unique<SpeakersPanel>(*w.h.vm); });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}

}  // namespace
