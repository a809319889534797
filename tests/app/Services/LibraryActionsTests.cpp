#include "app/Services/LibraryTestSupport.h"
#include "support/NameSwapper.h"
#include "support/TempDir.h"

#include "Store/Statement.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUrl>

#include <filesystem>
#include <functional>
#include <iostream>

#include <pwd.h>
#include <unistd.h>

using namespace parlowvista;
namespace fs = std::filesystem;

namespace {

QStringList g_printed;

class LibraryActionsTest : public testsupport::LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    g_printed.clear();
    m_previousHandler =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& line) { g_printed << line; });
  }
  void TearDown() override { qInstallMessageHandler(m_previousHandler); }

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
  // Runs `change` once the deletion has checked the files it is to remove, before it saves and
  // removes them.
  void afterTheCheck(const std::function<void()>& change) {
    QObject::connect(actions.get(), &LibraryActions::aboutToDeleteAudioSource, actions.get(), change);
    QObject::connect(actions.get(), &LibraryActions::aboutToDeleteGroup, actions.get(), change);
  }
  fs::path at(const QString& relative) const { return fs::path(root.toStdString()) / relative.toStdString(); }
  // What the removal of files printed.
  static QString removalLines() {
    return g_printed.filter(QRegularExpression("^(Deleted|Failed to delete) ")).join('\n');
  }

 private:
  QtMessageHandler m_previousHandler = nullptr;
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
  const QString printed = QStringList({"Deleted cached samples: " + QFileInfo(cache).canonicalFilePath(),
                                       "Deleted YouTube audio file: " + QFileInfo(download).canonicalFilePath()})
                              .join('\n');

  EXPECT_TRUE(actions->deleteGroup(g));
  EXPECT_TRUE(QFile::exists(userFile));
  EXPECT_TRUE(QFile::exists(userCache));
  EXPECT_FALSE(QFile::exists(download));
  EXPECT_FALSE(QFile::exists(cache));
  EXPECT_EQ(removalLines().toStdString(), printed.toStdString());
  EXPECT_EQ(rowCount("TranscriptGroup"), 0);
  EXPECT_EQ(rowCount("AudioSource"), 0);
  EXPECT_EQ(rowCount("Transcription"), 0);

  // The sample cache drops a deleted source's samples itself once the deletion is saved, on a
  // worker thread that may come first: the samples are deleted all the same, not "failed".
  TranscriptGroup* again = group("Again", 1);
  AudioSource* cachedOnly = source(again, file("Music/again.wav"), QString(""), 2);
  const QString samples = file("Cache/again.bin");
  cachedOnly->setCachedSamplesPath(samples);
  context->save();
  const QString samplesPath = QFileInfo(samples).canonicalFilePath();
  QObject::connect(context.get(), &ModelContext::didSave, [samples] { QFile::remove(samples); });
  EXPECT_TRUE(actions->deleteGroup(again));
  EXPECT_FALSE(QFile::exists(samples));
  EXPECT_EQ(removalLines().toStdString(), (printed + "\nDeleted cached samples: " + samplesPath).toStdString());
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

// Between the check of a deletion's files and their removal (while the deletion is saved), a
// file, its folder inside the app's own, or the app's folder itself is swapped for a link to a
// folder of the user's files, which hold files of the same names, or the file is replaced: the
// removal is not led there, and what stands in the checked file's place now stays too.
TEST_F(LibraryActionsTest, FilesAndFoldersSwappedForLinksAfterTheCheckLeadNoRemovalElsewhere) {
  struct Case {
    const char* what;
    QString stored;      // the file as the library names it, below the test's folder
    QString swapped;     // what is swapped for a link to "Music" (or, when empty, replaced)
    QString userFile;    // the user's file that must stay
    const char* reason;  // what the failure line says
  };
  const Case cases[] = {
      {"the cache folder", "Cache/A.samples", "Cache", "Music/A.samples",
       "a folder on its way was replaced after the check"},
      {"a folder in the downloads", "Downloads/talks/b.m4a", "Downloads/talks", "Music/b.m4a",
       "a folder on its way was replaced after the check"},
      {"the downloads folder", "Downloads/c.m4a", "Downloads", "Music/c.m4a",
       "a folder on its way was replaced after the check"},
      {"the file itself", "Cache/D.samples", "Cache/D.samples", "Music/D.samples", "was replaced after the check"},
      {"the file replaced", "Downloads/e.m4a", "", "Downloads/e.m4a", "was replaced after the check"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path music = at("Music");
    file(c.userFile, "the user's");
    TranscriptGroup* g = group(c.what, 0);
    const QString stored = file(c.stored);
    const bool cached = c.stored.startsWith("Cache");
    AudioSource* audio = cached ? source(g, file("Music/talk.wav")) : source(g, stored, QString("vid"));
    if (cached) audio->setCachedSamplesPath(stored);
    context->save();
    afterTheCheck([&] {
      if (c.swapped.isEmpty()) {
        fs::remove(at(c.stored));
        testsupport::writeFile(at(c.stored), "the user's");
        return;
      }
      fs::rename(at(c.swapped), at(c.swapped + ".checked"));
      if (c.swapped == c.stored) {
        fs::create_symlink(at(c.userFile), at(c.swapped));
      } else {
        fs::create_directory_symlink(music, at(c.swapped));
      }
    });
    g_printed.clear();
    EXPECT_TRUE(actions->deleteAudioSource(audio));
    actions->disconnect();
    EXPECT_EQ(testsupport::readFile(at(c.userFile)), "the user's");
    const QString line = removalLines();
    const QString failure = cached ? "Failed to delete cached samples: " : "Failed to delete YouTube audio file: ";
    EXPECT_TRUE(line.startsWith(failure) && line.contains(c.reason) && !line.contains('\n')) << line.toStdString();
    if (!c.swapped.isEmpty()) {
      // The link stays, and what it took the place of.
      EXPECT_TRUE(fs::is_symlink(at(c.swapped)));
      EXPECT_TRUE(fs::exists(at(c.swapped + ".checked")));
      fs::remove(at(c.swapped));
      fs::rename(at(c.swapped + ".checked"), at(c.swapped));
    }
    std::error_code ignored;
    fs::remove_all(music, ignored);
  }
}

// A file in the app's folder that another user owns (where the suite can give one away) is left
// to that user.
TEST_F(LibraryActionsTest, AnotherUsersFileInTheAppsFolderStays) {
  const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
  if (!nobody)
    GTEST_SKIP() << "Only a run as root can give a file to another user (\"nobody\"): this run is not one, or the "
                    "machine has no such account";
  TranscriptGroup* g = group("G", 0);
  const QString download = file("Downloads/theirs.m4a");
  AudioSource* video = source(g, download, QString("vid"));
  const QString real = QFileInfo(download).canonicalFilePath();
  ASSERT_EQ(::chown(QFile::encodeName(download).constData(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_TRUE(actions->deleteAudioSource(video));
  EXPECT_TRUE(QFile::exists(download));
  EXPECT_EQ(removalLines().toStdString(),
            ("Failed to delete YouTube audio file: " + real + " belongs to another user").toStdString());
}

// The folders that hold a download and a cached-samples file trade places over and over with a
// link to a folder of the user's files (of the same names) while sources and groups are deleted:
// nothing there ever goes, the swapping meets removals (some of the app's files stay), and it
// does not stop every removal.
TEST_F(LibraryActionsTest, FilesAndFoldersSwappedOverAndOverLeadNoRemovalElsewhere) {
  const fs::path music = at("Music");
  constexpr int kFiles = 50;
  for (int i = 0; i < kFiles; ++i) testsupport::writeFile(music / ("keep-" + std::to_string(i) + ".m4a"), "m4a");
  testsupport::writeFile(music / "talk.m4a", "the user's");
  testsupport::writeFile(music / "A.samples", "the user's");
  const auto left = [&] { return std::distance(fs::directory_iterator(music), fs::directory_iterator()); };
  const auto untouched = [&] {
    return left() == kFiles + 2 && testsupport::readFile(music / "talk.m4a") == "the user's" &&
           testsupport::readFile(music / "A.samples") == "the user's";
  };
  fs::create_directory_symlink(music, at("talks-link"));
  fs::create_directory_symlink(music, at("part-link"));
  testsupport::NameSwapper swapper({{at("Downloads/talks"), at("talks-link")}, {at("Cache/part"), at("part-link")}});
  constexpr int kRounds = 300;
  int rounds = 0;
  int removed = 0;
  while (rounds < kRounds && untouched()) {
    const QString download = file("Downloads/talks/talk.m4a");
    const QString cache = file("Cache/part/A.samples");
    AudioSource* video = source(group("G", 0), download, QString("vid"));
    video->setCachedSamplesPath(cache);
    context->save();
    swapper.start();
    if (rounds++ % 2 == 0) {
      actions->deleteAudioSource(video);
    } else {
      actions->deleteGroup(video->group());
    }
    swapper.stop();
    removed += int(!QFile::exists(download)) + int(!QFile::exists(cache));
  }
  std::cout << "Files removed elsewhere: " << kFiles + 2 - left() << " after " << rounds << " rounds, "
            << swapper.exchanges() << " exchanges (" << removed << " of the app's " << 2 * rounds << " files removed)"
            << std::endl;
  EXPECT_TRUE(untouched());
  EXPECT_GT(removed, 0);
  EXPECT_LT(removed, 2 * rounds);
}
