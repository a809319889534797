#include "Models/AudioSource.h"
#include "Models/FileBookmark.h"
#include "Services/FileAccessManager.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QFile>
#include <QSignalSpy>

using namespace parlowvista;

namespace {

QStringList capturedLines;

void capture(QtMsgType, const QMessageLogContext&, const QString& message) {
  capturedLines.append(message);
}

class FileAccessManagerTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    capturedLines.clear();
    m_previousHandler = qInstallMessageHandler(capture);
  }
  void TearDown() override { qInstallMessageHandler(m_previousHandler); }

  QString file(const char* name, const std::string& contents = "audio") {
    return QString::fromStdString(testsupport::writeFile(tempDir / name, contents).string());
  }

  FileAccessManager manager;

 private:
  QtMessageHandler m_previousHandler = nullptr;
};

}  // namespace

TEST_F(FileAccessManagerTest, PathRoadGivesTheFileAndRecordsABookmark) {
  const QString path = file("a.wav");
  AudioSource source(path, "a.wav", 1.0);
  EXPECT_EQ(manager.resolveURL(&source), QUrl::fromLocalFile(path));
  ASSERT_TRUE(source.fileBookmark().has_value());
  EXPECT_TRUE(manager.activeSecurityScopes().isEmpty());  // no access is opened on the path road
  const auto resolution = FileBookmark::resolve(*source.fileBookmark());
  ASSERT_TRUE(resolution);
  EXPECT_EQ(resolution->path, path);
  EXPECT_FALSE(resolution->isStale);
}

TEST_F(FileAccessManagerTest, BookmarkRoadRecordsAccessOnEveryCall) {
  const QString path = file("a.wav");
  AudioSource source("/elsewhere/a.wav", "a.wav", 1.0, FileBookmark::create(path));
  const auto bookmark = source.fileBookmark();
  EXPECT_EQ(manager.resolveURL(&source), QUrl::fromLocalFile(path));
  EXPECT_EQ(manager.resolveURL(&source), QUrl::fromLocalFile(path));
  EXPECT_EQ(manager.activeSecurityScopes().value(QUrl::fromLocalFile(path)), true);
  EXPECT_EQ(manager.activeSecurityScopes().size(), 1);
  EXPECT_EQ(source.fileBookmark(), bookmark);  // fresh bookmarks are kept
}

TEST_F(FileAccessManagerTest, StaleBookmarksAreRenewed) {
  struct Case {
    const char* what;
    bool rename;  // renamed within its folder, else replaced by another file at the same path
  };
  for (const Case c : {Case{"replaced", false}, Case{"renamed", true}}) {
    const QString path = file("b.wav");
    AudioSource source("/gone/b.wav", "b.wav", 1.0, FileBookmark::create(path));
    const auto before = source.fileBookmark();
    QString expectedPath = path;
    if (c.rename) {
      expectedPath = path + ".moved";
      ASSERT_TRUE(QFile::rename(path, expectedPath));
    } else {
      // Made while the old file still exists, so it cannot reuse the old file's inode.
      const QString replacement = file("b.new", "new audio");
      ASSERT_TRUE(QFile::remove(path));
      ASSERT_TRUE(QFile::rename(replacement, path));
    }
    EXPECT_EQ(manager.resolveURL(&source), QUrl::fromLocalFile(expectedPath)) << c.what;
    EXPECT_NE(source.fileBookmark(), before) << c.what;
    const auto renewed = FileBookmark::resolve(*source.fileBookmark());
    ASSERT_TRUE(renewed) << c.what;
    EXPECT_FALSE(renewed->isStale) << c.what;
    QFile::remove(expectedPath);
  }
}

TEST_F(FileAccessManagerTest, MovedAwayFileGivesNothingAndLeavesTheSheetClosed) {
  const QString path = file("c.wav");
  AudioSource source(path, "c.wav", 1.0, FileBookmark::create(path));
  ASSERT_TRUE(QFile::remove(path));
  capturedLines.clear();
  EXPECT_TRUE(manager.resolveURL(&source).isEmpty());
  EXPECT_EQ(capturedLines.size(), 1);  // the bookmark road reports; the path road is silent
  EXPECT_TRUE(capturedLines.value(0).startsWith("Bookmark resolution failed: "));
  EXPECT_EQ(source.originalPath(), path);
  EXPECT_EQ(manager.pendingRelocate(), nullptr);
  EXPECT_FALSE(manager.showRelocateDialog());

  AudioSource noBookmark("/nowhere/x.wav", "x.wav", 1.0);
  capturedLines.clear();
  EXPECT_TRUE(manager.resolveURL(&noBookmark).isEmpty());
  EXPECT_TRUE(capturedLines.isEmpty());
}

TEST_F(FileAccessManagerTest, CorruptBookmarkFallsBackToThePath) {
  const QString path = file("d.wav");
  AudioSource source(path, "d.wav", 1.0, QByteArray("not a bookmark"));
  EXPECT_EQ(manager.resolveURL(&source), QUrl::fromLocalFile(path));
  EXPECT_TRUE(capturedLines.value(0).startsWith("Bookmark resolution failed: "));
  EXPECT_NE(source.fileBookmark(), QByteArray("not a bookmark"));
}

TEST_F(FileAccessManagerTest, RelocationPointsTheSourceAtTheNewFile) {
  AudioSource source("/old/e.wav", "e.wav", 1.0);
  QSignalSpy shown(&manager, &FileAccessManager::showRelocateDialogChanged);
  manager.setPendingRelocate(&source);
  manager.setShowRelocateDialog(true);
  const QString path = file("e.wav");
  manager.handleRelocation(&source, QUrl::fromLocalFile(path));
  EXPECT_EQ(source.originalPath(), path);
  ASSERT_TRUE(source.fileBookmark());
  EXPECT_EQ(FileBookmark::resolve(*source.fileBookmark())->path, path);
  EXPECT_EQ(manager.pendingRelocate(), nullptr);
  EXPECT_FALSE(manager.showRelocateDialog());
  EXPECT_EQ(shown.count(), 2);

  // A new place that cannot be bookmarked still closes the sheet and keeps the old bookmark.
  manager.setShowRelocateDialog(true);
  const auto bookmark = source.fileBookmark();
  manager.handleRelocation(&source, QUrl::fromLocalFile("/no/such/file.wav"));
  EXPECT_FALSE(manager.showRelocateDialog());
  EXPECT_EQ(source.fileBookmark(), bookmark);
  EXPECT_TRUE(capturedLines.last().startsWith("Failed to create bookmark: "));
}

TEST_F(FileAccessManagerTest, DeletedFileIsNotMistakenForANewFileWithItsInode) {
  const QString path = file("f.wav", "original audio");
  AudioSource source(path, "f.wav", 1.0, FileBookmark::create(path));
  const auto inodeOf = [](const QString& p) {
    struct stat info {};
    return ::stat(QFile::encodeName(p).constData(), &info) == 0 ? qint64(info.st_ino) : qint64(-1);
  };
  const qint64 oldInode = inodeOf(path);
  ASSERT_TRUE(QFile::remove(path));
  // File systems hand a freed inode number to the next new file, often in the same folder.
  const QString stranger = file("notes.txt", "something else entirely");
  if (inodeOf(stranger) != oldInode) GTEST_SKIP() << "this file system did not reuse the inode";
  EXPECT_TRUE(manager.resolveURL(&source).isEmpty());
  EXPECT_FALSE(FileBookmark::resolve(*source.fileBookmark()).has_value());
}

TEST_F(FileAccessManagerTest, FileChangedInPlaceRenewsItsBookmarkAndIsFollowedAfterARename) {
  const QString path = file("g.wav", "take one");
  AudioSource source(path, "g.wav", 1.0, FileBookmark::create(path));
  const auto before = source.fileBookmark();
  {
    QFile edit(path);
    ASSERT_TRUE(edit.open(QIODevice::Append));
    edit.write(" and more");
  }
  EXPECT_EQ(manager.resolveURL(&source), QUrl::fromLocalFile(path));
  EXPECT_NE(source.fileBookmark(), before);
  ASSERT_TRUE(QFile::rename(path, path + ".renamed"));
  EXPECT_EQ(manager.resolveURL(&source), QUrl::fromLocalFile(path + ".renamed"));
}
