#include "Views/Library/RelocateFileDialog.h"

#include "Views/Common/Theme.h"
#include "Views/Library/RelocateFilePresenter.h"
#include "app/Services/LibraryTestSupport.h"
#include "support/QtWindowAudit.h"

#include "Store/Statement.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace parlowvista;

namespace {

class RelocateFileTest : public testsupport::LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    g = group("G", 0);
    moved = source(g, root + "/Music/moved.wav", std::nullopt, 1);
    moved->setCachedSamplesPath(file("Cache/moved.bin"));
    context->save();
    prompts.chooseAudioFiles = [this](QWidget*, bool multiple) {
      EXPECT_FALSE(multiple);
      return picked;
    };
    prompts.confirmDelete = [this](QWidget*, const QString& title, const QString&) {
      asked << title;
      return answer;
    };
    window.resize(600, 500);
    presenter = std::make_unique<RelocateFilePresenter>(fileAccess, *actions, &window, prompts);
  }

  void open() {
    fileAccess.setPendingRelocate(moved);
    fileAccess.setShowRelocateDialog(true);
    ASSERT_NE(presenter->dialog(), nullptr);
  }

  qint64 sourceRows() {
    Statement count = context->database().prepare("SELECT COUNT(*) FROM AudioSource");
    return count.step() == Statement::Step::row ? count.int64(0) : -1;
  }

  TranscriptGroup* g = nullptr;
  AudioSource* moved = nullptr;
  LibraryPrompts prompts;
  QList<QUrl> picked;
  QStringList asked;
  bool answer = true;
  QWidget window;
  std::unique_ptr<RelocateFilePresenter> presenter;
};

}  // namespace

TEST_F(RelocateFileTest, OnlyTheLoadersExtensionsAreAccepted) {
  const std::pair<const char*, bool> cases[] = {{"a.wav", true},  {"a.MP3", true},   {"a.Wav", true},
                                                {"a.aiff", true}, {"a.caf", true},   {"a.aif", false},
                                                {"a.ogg", false}, {"a.opus", false}, {"noext", false}};
  for (const auto& [name, accepted] : cases)
    EXPECT_EQ(RelocateFileDialog::isAcceptedFile(QUrl::fromLocalFile(QString("/x/") + name)), accepted) << name;
}

TEST_F(RelocateFileTest, ARelocationIsSavedAndClosesTheSheet) {
  open();
  picked = {QUrl::fromLocalFile(file("Elsewhere/notes.txt"))};
  presenter->dialog()->locateButton()->click();
  EXPECT_TRUE(fileAccess.showRelocateDialog());  // refused file: the sheet stays
  const QString newPlace = file("Elsewhere/moved.WAV");
  picked = {QUrl::fromLocalFile(newPlace)};
  presenter->dialog()->locateButton()->click();
  EXPECT_FALSE(fileAccess.showRelocateDialog());
  EXPECT_EQ(fileAccess.pendingRelocate(), nullptr);
  EXPECT_EQ(presenter->dialog(), nullptr);
  EXPECT_EQ(moved->originalPath(), newPlace);
  EXPECT_FALSE(context->hasChanges());  // saved
}

TEST_F(RelocateFileTest, SkipChangesNothing) {
  open();
  QTest::keyClick(presenter->dialog(), Qt::Key_Escape);
  EXPECT_FALSE(fileAccess.showRelocateDialog());
  EXPECT_EQ(moved->originalPath(), root + "/Music/moved.wav");
  EXPECT_EQ(sourceRows(), 1);
}

TEST_F(RelocateFileTest, DeleteTranscriptionsAsksThenDeletesSavesAndCleansUp) {
  open();
  answer = false;
  presenter->dialog()->deleteButton()->click();
  EXPECT_EQ(asked, QStringList{"Delete Audio?"});
  EXPECT_TRUE(fileAccess.showRelocateDialog());
  EXPECT_EQ(sourceRows(), 1);

  answer = true;
  presenter->dialog()->deleteButton()->click();
  EXPECT_FALSE(fileAccess.showRelocateDialog());
  EXPECT_EQ(sourceRows(), 0);
  EXPECT_FALSE(QFile::exists(root + "/Cache/moved.bin"));
}

TEST_F(RelocateFileTest, TheSheetStandsOverTheMiddleOfTheWindowAndPassesTheAudit) {
  window.setGeometry(100, 80, 900, 700);
  window.show();
  open();
  const QPoint middle = presenter->dialog()->geometry().center();
  EXPECT_LE((middle - window.geometry().center()).manhattanLength(), 4)
      << middle.x() << "," << middle.y() << " " << window.geometry().center().x() << ","
      << window.geometry().center().y();
  // Framed by its own thin edge where no window manager frames it.
  const QImage shot = presenter->dialog()->grab().toImage();
  const QColor edge = Theme::color(ThemeColor::controlEdge, presenter->dialog()->palette());
  EXPECT_EQ(shot.pixelColor(shot.width() / 2, 0).rgb(), edge.rgb());
  EXPECT_EQ(shot.pixelColor(0, shot.height() / 2).rgb(), edge.rgb());
  EXPECT_EQ(shot.pixelColor(shot.width() - 1, shot.height() - 1).rgb(), edge.rgb());
  const QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes(
      [this] { return std::make_unique<RelocateFileDialog>(moved, prompts); });
  EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
}
