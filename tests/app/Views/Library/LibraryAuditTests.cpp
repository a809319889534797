// Every library view meets the window standard in a light and a dark palette, and after a live
// switch between them.

#include "Views/Library/AddGroupSheet.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioSourceRow.h"
#include "Views/Library/AudioSourcesList.h"
#include "Views/Library/FileDropZone.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Library/LibrarySelection.h"
#include "app/Services/LibraryTestSupport.h"
#include "support/QtWait.h"
#include "support/QtWindowAudit.h"

#include <gtest/gtest.h>
#include <QLineEdit>
#include <QPushButton>

using namespace parlowvista;
using testsupport::QtWindowAudit;

namespace {

std::string joined(const QStringList& findings) {
  return findings.join('\n').toStdString();
}

class LibraryWindowStandard : public testsupport::LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    selection = std::make_unique<LibrarySelection>(*context);
    general = group("General", 0);
    group("A group with a name far too long to fit in the sidebar", 1);
    empty = group("Empty", 2);
  }

  // Three sources: one with three versions (the middle one selected), one whose file has gone,
  // one without versions.
  void fillGeneral() {
    AudioSource* episode = source(general, file("episode-12.wav"), std::nullopt, 3);
    AudioSource* missing = source(general, root + "/gone/missing-talk.m4a", std::nullopt, 1);
    AudioSource* lecture = source(general, file("lecture.flac"));
    const QDateTime now = QDateTime::currentDateTime();
    episode->setCreatedAt(now);
    missing->setCreatedAt(now.addSecs(-60));
    lecture->setCreatedAt(now.addSecs(-120));
    context->save();
    selection->setGroup(general);
    selection->setAudioSource(episode);
    selection->setTranscription(AudioSourceRow::versionsNewestFirst(episode).at(1));
  }

  std::unique_ptr<QWidget> sourceList() {
    auto list = std::make_unique<AudioSourcesList>(*context, *actions, *selection, fileAccess, queue, LibraryPrompts());
    list->resize(360, 480);
    return list;
  }

  static std::unique_ptr<QWidget> dropZone(bool youTube) {
    auto zone = std::make_unique<FileDropZone>(true, youTube, LibraryPrompts());
    zone->resize(640, 520);
    return zone;
  }

  std::unique_ptr<LibrarySelection> selection;
  AudioFileImportQueue queue;
  TranscriptGroup* general = nullptr;
  TranscriptGroup* empty = nullptr;
};

}  // namespace

TEST_F(LibraryWindowStandard, GroupsSidebar) {
  selection->setGroup(general);
  const auto findings = QtWindowAudit::checkInBothPalettes([this] {
    auto sidebar = std::make_unique<GroupsSidebar>(*context, *actions, *settings, *selection, LibraryPrompts());
    sidebar->resize(240, 400);
    return sidebar;
  });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}

TEST_F(LibraryWindowStandard, SourceListWithChipsAndAMissingFile) {
  fillGeneral();
  const auto findings = QtWindowAudit::checkInBothPalettes(
      [this] { return sourceList(); },
      [](QWidget& list) {
        // The missing file's row once its answer has come: the orange icon and "Missing".
        const QList<AudioSourceRow*> rows = static_cast<AudioSourcesList&>(list).rows();
        EXPECT_TRUE(testsupport::waitUntil([&] { return rows.size() == 3 && !rows[1]->isFileAvailable(); }));
      });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}

TEST_F(LibraryWindowStandard, SourceListOfAnEmptyGroupAndOfNoGroup) {
  selection->setGroup(empty);
  auto findings = QtWindowAudit::checkInBothPalettes([this] { return sourceList(); });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
  // Without a group the column holds no control at all, so there is no Tab order to check.
  selection->setGroup(nullptr);
  for (const QPalette& palette : {QtWindowAudit::lightPalette(), QtWindowAudit::darkPalette()}) {
    testsupport::ScopedApplicationPalette scoped(palette);
    const auto list = sourceList();
    list->show();
    findings = QtWindowAudit::checkContrast(list.get()) + QtWindowAudit::checkAccessibleNames(list.get());
    EXPECT_TRUE(findings.isEmpty()) << joined(findings);
  }
}

TEST_F(LibraryWindowStandard, DropZoneClosedAndWithTheAddressField) {
  for (const bool youTube : {true, false}) {
    auto findings = QtWindowAudit::checkInBothPalettes([youTube] { return dropZone(youTube); });
    EXPECT_TRUE(findings.isEmpty()) << "downloader " << youTube << "\n" << joined(findings);
    findings = QtWindowAudit::checkInBothPalettes([youTube] { return dropZone(youTube); },
                                                  [](QWidget& widget) {
                                                    auto& zone = static_cast<FileDropZone&>(widget);
                                                    zone.toggleURLInput();
                                                    zone.urlField()->setText("https://example.org/watch?v=1");
                                                  });
    EXPECT_TRUE(findings.isEmpty()) << "downloader " << youTube << ", address open\n" << joined(findings);
  }
}

TEST_F(LibraryWindowStandard, AddGroupSheet) {
  const auto findings = QtWindowAudit::checkInBothPalettes(
      [] { return std::make_unique<AddGroupSheet>(); },
      [](QWidget& widget) { static_cast<AddGroupSheet&>(widget).nameField()->setText("Interviews"); });
  EXPECT_TRUE(findings.isEmpty()) << joined(findings);
}
