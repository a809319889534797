#include "Views/Library/FileDropZone.h"
#include "app/Views/Library/LibraryViewTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDragEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

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

TEST_F(FileDropZoneTest, ADropHandsOnTheFirstAudioFileAtItsOwnPath) {
  auto zone = make();
  QSignalSpy dropped(zone.get(), &FileDropZone::fileDropped);
  const QString text = file("notes.txt"), first = file("one.m4a"), second = file("two.wav");
  EXPECT_TRUE(zone->acceptDrop(librarytest::uriList({text, first, second}).get()));
  ASSERT_EQ(dropped.count(), 1);
  EXPECT_EQ(dropped[0][0].toUrl(), QUrl::fromLocalFile(first));  // no copy elsewhere
  EXPECT_FALSE(zone->acceptDrop(librarytest::uriList({text, QString::fromStdString(tempDir.path().string())}).get()));
  EXPECT_EQ(dropped.count(), 1);

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

// A drag over the zone lights its dashed border in the accent colour; the drop hands on the file.
TEST_F(FileDropZoneTest, ADragLightsTheBorderAndTheDropHandsOnTheFile) {
  auto zone = make();
  QSignalSpy dropped(zone.get(), &FileDropZone::fileDropped);
  auto data = librarytest::uriList({file("talk.flac")});
  const QPoint at = zone->rect().center();
  const QPoint onBorder(10, zone->height() / 2);  // the 2 px border, 9 px in from the edge
  const QColor idle = zone->grab().toImage().pixelColor(onBorder);
  QDragEnterEvent enter(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(zone.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  EXPECT_TRUE(zone->isTargeted());
  EXPECT_NE(zone->grab().toImage().pixelColor(onBorder), idle);
  QDropEvent drop(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(zone.get(), &drop);
  EXPECT_FALSE(zone->isTargeted());
  ASSERT_EQ(dropped.count(), 1);
  EXPECT_EQ(dropped[0][0].toUrl().fileName(), "talk.flac");
}
