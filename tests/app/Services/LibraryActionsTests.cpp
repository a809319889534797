#include "app/Services/LibraryTestSupport.h"
#include "support/TempDir.h"

#include "Store/Statement.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QSignalSpy>
#include <QUrl>

using namespace parlowvista;

namespace {

class LibraryActionsTest : public testsupport::LibraryFixture {
 protected:
  QStringList names() {
    QStringList result;
    for (TranscriptGroup* g : actions->groups()) result << QStringLiteral("%1:%2").arg(g->name()).arg(g->sortOrder());
    return result;
  }
  // Rows in the file, through the context's own connection: what a save wrote.
  qint64 rowCount(const char* table) {
    Statement statement = context->database().prepare((std::string("SELECT COUNT(*) FROM ") + table).c_str());
    return statement.step() == Statement::Step::row ? statement.int64(0) : -1;
  }
};

}  // namespace

TEST_F(LibraryActionsTest, AddedGroupsSortAfterTheOthersAreTrimmedAndBecomeLastUsed) {
  TranscriptGroup* first = actions->addGroup("  Interviews \n");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->name(), "Interviews");
  EXPECT_EQ(first->sortOrder(), 1);  // an empty library starts at 1
  EXPECT_EQ(settings->lastUsedGroupId(), first->id());
  group("Zero", 0);
  TranscriptGroup* next = actions->addGroup("Talks");
  EXPECT_EQ(next->sortOrder(), 2);
  EXPECT_EQ(actions->addGroup(" \n\t"), nullptr);
  EXPECT_EQ(rowCount("TranscriptGroup"), 3);
}

TEST_F(LibraryActionsTest, RenameTrimsAndRefusesBlankNames) {
  TranscriptGroup* g = group("Old", 0);
  const QDateTime before = g->updatedAt();
  EXPECT_FALSE(actions->renameGroup(g, "   "));
  EXPECT_EQ(g->name(), "Old");
  EXPECT_TRUE(actions->renameGroup(g, " New "));
  EXPECT_EQ(g->name(), "New");
  EXPECT_GE(g->updatedAt(), before);
  EXPECT_FALSE(context->hasChanges());
}

TEST_F(LibraryActionsTest, MovingRenumbersEveryGroupInTheNewOrder) {
  group("A", 0);
  group("B", 5);
  group("C", 9);
  group("D", 10);
  struct Case {
    QList<int> from;
    int to;
    QStringList expected;
  };
  const Case cases[] = {
      {{0}, 4, {"B:0", "C:1", "D:2", "A:3"}},  // first to the end
      {{3}, 0, {"A:0", "B:1", "C:2", "D:3"}},  // back again
      {{0, 1}, 3, {"C:0", "A:1", "B:2", "D:3"}},
      {{2}, 2, {"C:0", "A:1", "B:2", "D:3"}},  // onto itself
  };
  for (const Case& c : cases) {
    actions->moveGroups(c.from, c.to);
    EXPECT_EQ(names(), c.expected);
  }
  EXPECT_FALSE(context->hasChanges());
}

TEST_F(LibraryActionsTest, DeletingAGroupSavesThenRemovesOnlyTheAppsOwnFiles) {
  TranscriptGroup* g = group("Doomed", 0);
  const QString userFile = file("Music/talk.wav");
  const QString download = file("Downloads/abc.m4a");
  const QString cache = file("Cache/samples.bin");
  const QString userCache = file("Music/notes.bin");
  AudioSource* local = source(g, userFile, QString(""), 2);  // empty id: the user's own file
  local->setCachedSamplesPath(cache);
  AudioSource* video = source(g, download, QString("abc"));
  video->setCachedSamplesPath(userCache);  // a stored path outside the app's folders
  context->save();

  EXPECT_TRUE(actions->deleteGroup(g));
  EXPECT_TRUE(QFile::exists(userFile));
  EXPECT_TRUE(QFile::exists(userCache));
  EXPECT_FALSE(QFile::exists(download));
  EXPECT_FALSE(QFile::exists(cache));
  EXPECT_EQ(rowCount("TranscriptGroup"), 0);
  EXPECT_EQ(rowCount("AudioSource"), 0);
  EXPECT_EQ(rowCount("Transcription"), 0);
}

TEST_F(LibraryActionsTest, ARelocatedVideoSourceNeverDeletesTheUsersFile) {
  TranscriptGroup* g = group("G", 0);
  AudioSource* video = source(g, file("Downloads/v.m4a"), QString("vid"));
  const QString userCopy = file("Music/my-copy.m4a");
  ASSERT_TRUE(actions->relocate(video, QUrl::fromLocalFile(userCopy)));
  Statement stored = context->database().prepare("SELECT COUNT(*) FROM AudioSource WHERE originalPath = ?");
  stored.bind(1, userCopy);
  ASSERT_EQ(stored.step(), Statement::Step::row);
  EXPECT_EQ(stored.int64(0), 1);

  QSignalSpy aboutToDelete(actions.get(), &LibraryActions::aboutToDeleteAudioSource);
  EXPECT_TRUE(actions->deleteAudioSource(video));
  EXPECT_EQ(aboutToDelete.count(), 1);
  EXPECT_TRUE(QFile::exists(userCopy));
  EXPECT_EQ(rowCount("AudioSource"), 0);
}

TEST_F(LibraryActionsTest, AFailedSaveRemovesNoFile) {
  TranscriptGroup* g = group("G", 0);
  AudioSource* video = source(g, file("Downloads/v.m4a"), QString("vid"));
  // A trigger standing in for a disk failure during the save.
  context->database().execute(
      "CREATE TRIGGER fail BEFORE DELETE ON AudioSource BEGIN SELECT RAISE(ABORT, 'disk trouble'); END");
  EXPECT_FALSE(actions->deleteAudioSource(video));
  EXPECT_TRUE(QFile::exists(root + "/Downloads/v.m4a"));
  EXPECT_EQ(rowCount("AudioSource"), 1);
}

TEST_F(LibraryActionsTest, OwnedFilesAreThoseInsideTheAppsFolders) {
  file("Downloads/in.m4a");
  file("Music/out.m4a");
  file("DownloadsX/near.m4a");
  EXPECT_TRUE(actions->isOwnedFile(root + "/Downloads/in.m4a"));
  EXPECT_TRUE(actions->isOwnedFile(root + "/Cache/../Downloads/in.m4a"));
  EXPECT_FALSE(actions->isOwnedFile(root + "/Music/out.m4a"));
  EXPECT_FALSE(actions->isOwnedFile(root + "/DownloadsX/near.m4a"));
  EXPECT_FALSE(actions->isOwnedFile(root + "/Downloads/../Music/out.m4a"));
  EXPECT_FALSE(actions->isOwnedFile(""));
}
