#include "Views/Library/FileDropZone.h"
#include "app/Views/Library/LibraryViewTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <sys/stat.h>

using namespace parlowvista;

namespace {

class FileDropZoneTest : public testsupport::TempDirTest {
 protected:
  std::unique_ptr<FileDropZone> make(bool enabled = true, bool youTube = true) {
    LibraryPrompts prompts;
    prompts.chooseAudioFiles = [this](QWidget*, bool multiple) {
      EXPECT_FALSE(multiple);
      return picked;
    };
    auto zone = std::make_unique<FileDropZone>(enabled, youTube, prompts);
    zone->resize(600, 400);
    zone->show();
    return zone;
  }
  QString file(const char* name) {
    return QString::fromStdString(testsupport::writeFile(tempDir / name, "x").string());
  }
  QList<QUrl> picked;
};

}  // namespace

// The first audio file is handed on; every other file of the drop is named with why.
TEST_F(FileDropZoneTest, ADropHandsOnTheFirstAudioFileAtItsOwnPathAndNamesTheRest) {
  auto zone = make();
  QSignalSpy dropped(zone.get(), &FileDropZone::fileDropped);
  QSignalSpy refused(zone.get(), &FileDropZone::filesRefused);
  const QString text = file("notes.txt"), first = file("one.m4a"), second = file("two.wav");
  EXPECT_TRUE(zone->acceptDrop(librarytest::uriList({text, first, second}).get()));
  ASSERT_EQ(dropped.count(), 1);
  EXPECT_EQ(dropped[0][0].toUrl(), QUrl::fromLocalFile(first));  // no copy elsewhere
  ASSERT_EQ(refused.count(), 1);
  auto said = refused[0][0].value<QList<RefusedFile>>();
  ASSERT_EQ(said.size(), 2);
  EXPECT_EQ(said[0].name, "notes.txt");
  EXPECT_EQ(said[0].reason, "Unsupported audio format: txt. Supported formats: WAV, MP3, M4A, AAC, FLAC, AIFF, CAF.");
  EXPECT_EQ(said[1].name, "two.wav");
  EXPECT_TRUE(said[1].reason.contains("drop several on the file list")) << said[1].reason.toStdString();

  const QString folder = QString::fromStdString(tempDir.path().string());
  const QString pipe = folder + "/pipe.wav";
  ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
  EXPECT_FALSE(zone->acceptDrop(librarytest::uriList({file("memo.ogg"), file("README"), folder, pipe}).get()));
  EXPECT_EQ(dropped.count(), 1);
  ASSERT_EQ(refused.count(), 2);
  said = refused[1][0].value<QList<RefusedFile>>();
  ASSERT_EQ(said.size(), 4);
  EXPECT_EQ(said[3].name, "pipe.wav");
  EXPECT_EQ(said[3].reason, "It is not a regular file (a pipe or a device, say).");
  EXPECT_EQ(said[0].reason.section('.', 0, 0), "Unsupported audio format: ogg");
  EXPECT_EQ(said[1].name, "README");
  EXPECT_TRUE(said[1].reason.startsWith("Its name has no extension")) << said[1].reason.toStdString();
  EXPECT_EQ(said[2].name, QFileInfo(folder).fileName());
  EXPECT_TRUE(said[2].reason.contains("folder")) << said[2].reason.toStdString();

  picked = {QUrl::fromLocalFile(second)};
  zone->chooseButton()->click();
  ASSERT_EQ(dropped.count(), 2);
  EXPECT_EQ(dropped[1][0].toUrl(), QUrl::fromLocalFile(second));
}

TEST_F(FileDropZoneTest, ADisabledZoneRefusesEverything) {
  auto zone = make(false);
  QSignalSpy dropped(zone.get(), &FileDropZone::fileDropped);
  EXPECT_FALSE(zone->acceptDrop(librarytest::uriList({file("a.wav")}).get()));
  EXPECT_FALSE(zone->chooseButton()->isEnabled());
  EXPECT_FALSE(zone->fromURLButton()->isEnabled());
  EXPECT_EQ(dropped.count(), 0);
}

TEST_F(FileDropZoneTest, OnlyHttpAndHttpsAddressesAreHandedOn) {
  const std::pair<const char*, const char*> cases[] = {
      {" https://www.youtube.com/watch?v=abc \n", "https://www.youtube.com/watch?v=abc"},
      {"http://127.0.0.1:8080/a.mp3", "http://127.0.0.1:8080/a.mp3"},
      {"HTTPS://Example.com/x", "HTTPS://Example.com/x"},
      {"file:///etc/passwd", ""},
      {"--exec=rm", ""},
      {"word", ""},
      {"ftp://host/a", ""},
      {"https://", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(FileDropZone::acceptedAddress(text), expected) << text;
}

TEST_F(FileDropZoneTest, SubmittingAnAddressClosesTheSectionAndBlanksStay) {
  auto zone = make(true, false);
  QSignalSpy submitted(zone.get(), &FileDropZone::youTubeURLSubmitted);
  EXPECT_EQ(zone->hintLabel()->text(), "yt-dlp not found. Install: ");
  ASSERT_NE(zone->installCommandLabel(), nullptr);
  EXPECT_EQ(zone->installCommandLabel()->text(), "sudo apt install yt-dlp");
  zone->fromURLButton()->click();
  ASSERT_TRUE(zone->isURLInputShown());
  EXPECT_FALSE(zone->submitButton()->isEnabled());
  QTest::keyClicks(zone->urlField(), "   ");
  EXPECT_TRUE(zone->submitButton()->isEnabled());
  zone->submitButton()->click();
  EXPECT_EQ(submitted.count(), 0);
  EXPECT_EQ(zone->urlField()->text(), "   ");

  zone->urlField()->setText("file:///home/me/a.wav");
  QTest::keyClick(zone->urlField(), Qt::Key_Return);
  EXPECT_EQ(submitted.count(), 0);
  EXPECT_TRUE(zone->isURLInputShown());

  zone->urlField()->setText("  https://vimeo.com/1 ");
  QTest::keyClick(zone->urlField(), Qt::Key_Return);
  ASSERT_EQ(submitted.count(), 1);
  EXPECT_EQ(submitted[0][0].toString(), "https://vimeo.com/1");
  EXPECT_FALSE(zone->isURLInputShown());
  EXPECT_TRUE(zone->urlField()->text().isEmpty());

  zone->fromURLButton()->click();
  zone->urlField()->setText("typed");
  zone->fromURLButton()->click();  // closing discards the text
  zone->fromURLButton()->click();
  EXPECT_TRUE(zone->urlField()->text().isEmpty());
}

// A drag over the zone lights its dashed border in the accent colour, but only for a file it
// takes; the drop hands on the file, and one of files it does not take names them instead.
TEST_F(FileDropZoneTest, ADragLightsTheBorderOnlyForAFileTheZoneTakes) {
  auto zone = make();
  QSignalSpy dropped(zone.get(), &FileDropZone::fileDropped);
  QSignalSpy refused(zone.get(), &FileDropZone::filesRefused);
  const QPoint at = zone->rect().center();
  const QPoint onBorder(10, zone->height() / 2);  // the 2 px border, 9 px in from the edge
  const QColor idle = zone->grab().toImage().pixelColor(onBorder);
  const auto dragAndDrop = [&](const QString& path) {
    auto data = librarytest::uriList({path});
    QDragEnterEvent enter(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone.get(), &enter);
    const bool lit = zone->isTargeted();
    EXPECT_EQ(zone->grab().toImage().pixelColor(onBorder) != idle, lit);
    EXPECT_TRUE(enter.isAccepted());  // so that the drop comes, and says what it does not take
    QDropEvent drop(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone.get(), &drop);
    EXPECT_FALSE(zone->isTargeted());
    EXPECT_EQ(zone->grab().toImage().pixelColor(onBorder), idle);
    return lit;
  };

  EXPECT_FALSE(dragAndDrop(file("memo.ogg")));
  EXPECT_EQ(dropped.count(), 0);
  ASSERT_EQ(refused.count(), 1);
  EXPECT_EQ(refused[0][0].value<QList<RefusedFile>>().at(0).name, "memo.ogg");

  EXPECT_TRUE(dragAndDrop(file("talk.flac")));
  ASSERT_EQ(dropped.count(), 1);
  EXPECT_EQ(dropped[0][0].toUrl().fileName(), "talk.flac");
  EXPECT_EQ(refused.count(), 1);

  // A drag of no file at all (text) is not let in.
  QMimeData words;
  words.setText("hello");
  QDragEnterEvent enter(at, Qt::CopyAction, &words, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(zone.get(), &enter);
  EXPECT_FALSE(enter.isAccepted());
  EXPECT_FALSE(zone->isTargeted());
}
