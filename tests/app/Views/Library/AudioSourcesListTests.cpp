#include "Views/Common/ColorContrast.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioSourceRow.h"
#include "Views/Library/AudioSourcesList.h"
#include "Views/Library/LibrarySelection.h"
#include "Views/Library/VersionChip.h"
#include "app/Services/LibraryTestSupport.h"
#include "app/Views/Library/LibraryViewTestSupport.h"
#include "support/QtWait.h"
#include "support/QtWindowAudit.h"
#include "support/UiHeartbeat.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDragEnterEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include <algorithm>

using namespace parlowvista;

namespace {

class AudioSourcesListTest : public testsupport::LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    g = group("Interviews", 0);
    selection = std::make_unique<LibrarySelection>(*context);
    prompts.confirmDelete = [this](QWidget*, const QString& title, const QString& message) {
      asked << title + "|" + message;
      return true;
    };
    prompts.chooseAudioFiles = [this](QWidget*, bool multiple) {
      EXPECT_TRUE(multiple);
      return picked;
    };
    list = std::make_unique<AudioSourcesList>(*context, *actions, *selection, fileAccess, queue, prompts);
    list->resize(320, 500);
    list->show();
  }

  static void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

  AudioSource* sourceAt(const QString& name, int secondsAgo, int versions = 0) {
    AudioSource* made = source(g, file("Music/" + name), std::nullopt, versions);
    made->setCreatedAt(QDateTime::currentDateTime().addSecs(-secondsAgo));
    for (Transcription* t : made->transcriptions())
      t->setCreatedAt(made->createdAt().addSecs(t->name().back().digitValue()));
    context->save();
    return made;
  }

  QStringList rowNames() {
    QStringList names;
    for (AudioSourceRow* row : list->rows()) names << row->audioSource()->filename();
    return names;
  }

  TranscriptGroup* g = nullptr;
  std::unique_ptr<LibrarySelection> selection;
  AudioFileImportQueue queue;
  LibraryPrompts prompts;
  QStringList asked;
  QList<QUrl> picked;
  std::unique_ptr<AudioSourcesList> list;
};

}  // namespace

TEST_F(AudioSourcesListTest, ShowsNoGroupThenTheEmptyStateThenSourcesNewestFirst) {
  EXPECT_EQ(list->titleLabel()->text(), "No Group");
  EXPECT_TRUE(list->countLabel()->isHidden());
  EXPECT_FALSE(list->acceptDrop(librarytest::uriList({file("a.wav")}).get()));  // no group: refused

  selection->setGroup(g);
  EXPECT_EQ(list->titleLabel()->text(), "Interviews");
  EXPECT_EQ(list->pages()->currentIndex(), 1);
  sourceAt("old.wav", 300);
  sourceAt("new.wav", 10);
  sourceAt("mid.wav", 100);
  settle();
  EXPECT_EQ(rowNames(), (QStringList{"new.wav", "mid.wav", "old.wav"}));
  EXPECT_EQ(list->countLabel()->text(), "3 files");
  EXPECT_EQ(list->pages()->currentIndex(), 2);
}

TEST_F(AudioSourcesListTest, EveryDroppedAudioFileIsQueuedAndAnnouncedOneAtATime) {
  selection->setGroup(g);
  QSignalSpy announced(&queue, &AudioFileImportQueue::audioFileDropped);
  const QString a = file("in/a.WAV"), b = file("in/b.mp3"), text = file("in/notes.txt"), c = file("in/c.flac");
  EXPECT_TRUE(list->acceptDrop(librarytest::uriList({a, text, b, c}).get()));
  EXPECT_EQ(announced.count(), 0);  // never inside the drop itself
  bool busy = false;
  queue.setBusyProbe([&] { return busy; });
  QObject::connect(&queue, &AudioFileImportQueue::audioFileDropped, [&] { busy = true; });  // a run starts
  settle();
  ASSERT_EQ(announced.count(), 1);
  EXPECT_EQ(announced[0][0].toUrl(), QUrl::fromLocalFile(a));
  busy = false;  // that run ended
  queue.pump();
  busy = false;
  queue.pump();
  ASSERT_EQ(announced.count(), 3);
  EXPECT_EQ(announced[1][0].toUrl(), QUrl::fromLocalFile(b));  // the text file is left out
  EXPECT_EQ(announced[2][0].toUrl(), QUrl::fromLocalFile(c));
  EXPECT_EQ(queue.pendingCount(), 0);
}

TEST_F(AudioSourcesListTest, ThePickerQueuesEveryChosenFile) {
  selection->setGroup(g);
  picked = {QUrl::fromLocalFile(file("x.wav")), QUrl::fromLocalFile(file("y.m4a"))};
  QSignalSpy announced(&queue, &AudioFileImportQueue::audioFileDropped);
  QTest::mouseClick(list->addFileButton(), Qt::LeftButton);
  settle();
  EXPECT_EQ(announced.count(), 2);  // no busy probe: one per event-loop turn
}

TEST_F(AudioSourcesListTest, ClickingARowSelectsItsNewestVersionAndAChipSelectsItsSourceFirst) {
  AudioSource* first = sourceAt("first.wav", 50, 2);
  AudioSource* second = sourceAt("second.wav", 10, 3);
  selection->setGroup(g);
  settle();
  AudioSourceRow* secondRow = list->rows().at(0);
  AudioSourceRow* firstRow = list->rows().at(1);
  QTest::mouseClick(secondRow, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(selection->audioSource(), second);
  EXPECT_EQ(selection->transcription()->name(), "Version 3");
  ASSERT_EQ(firstRow->chips().size(), 2);
  EXPECT_EQ(firstRow->chips()[0]->text(), "Version 2");  // newest first

  firstRow->chips()[1]->click();
  EXPECT_EQ(selection->audioSource(), first);
  EXPECT_EQ(selection->transcription()->name(), "Version 1");
  EXPECT_TRUE(firstRow->chips()[1]->isChecked());
  EXPECT_FALSE(secondRow->chips()[0]->isChecked());
  // The chip of the version already on screen, clicked again, still marks it.
  firstRow->chips()[1]->click();
  EXPECT_EQ(selection->transcription()->name(), "Version 1");
  EXPECT_TRUE(firstRow->chips()[1]->isChecked());

  auto* added = new Transcription("Version 3", 1.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10.0);
  added->setCreatedAt(QDateTime::currentDateTime().addSecs(60));
  VersionChip* kept = firstRow->chips()[1];
  first->appendTranscription(added);
  EXPECT_EQ(firstRow->chips().size(), 3);
  EXPECT_EQ(firstRow->chips()[0]->text(), "Version 3");
  EXPECT_EQ(firstRow->chips()[2], kept);  // existing chips are kept, not rebuilt

  // A version renamed (in the versions bar) is renamed on its chip too.
  added->setName("Draft");
  EXPECT_EQ(firstRow->chips()[0]->text(), "Draft");
  EXPECT_EQ(firstRow->chips()[0]->accessibleName(), "Version Draft");
}

TEST_F(AudioSourcesListTest, ManyVersionsWrapTheirChipsInsideTheRowInsteadOfWideningTheColumn) {
  list->resize(260, 500);
  sourceAt("interview.wav", 10, 12);
  // A name as long as a file system allows is shortened in its row, not laid out in full.
  const QString longName = QString(246, QLatin1Char('x')) + ".wav";
  sourceAt(longName, 20);
  selection->setGroup(g);
  settle();
  ASSERT_EQ(list->rows().size(), 2);
  AudioSourceRow* named = list->rows().at(1);
  EXPECT_LE(named->width(), list->width());
  auto* name = named->findChild<QLabel*>("sourceName");
  ASSERT_NE(name, nullptr);
  EXPECT_TRUE(name->text().endsWith(QChar(0x2026))) << name->text().toStdString();
  EXPECT_EQ(name->toolTip(), longName);
  AudioSourceRow* row = list->rows().at(0);
  EXPECT_LE(row->width(), list->width());
  ASSERT_EQ(row->chips().size(), 12);
  QSet<int> lines;
  for (VersionChip* chip : row->chips()) {
    const QRect inRow(chip->mapTo(row, QPoint()), chip->size());
    EXPECT_TRUE(row->rect().contains(inRow)) << chip->text().toStdString();
    lines << inRow.top();
  }
  EXPECT_GT(lines.size(), 1);
}

TEST_F(AudioSourcesListTest, DeletingTheSelectedSourceSelectsTheNewestOtherWithoutAVersion) {
  AudioSource* older = sourceAt("older.wav", 100, 1);
  AudioSource* newer = sourceAt("newer.wav", 10, 1);
  const QString cache = file("Cache/newer.bin");
  newer->setCachedSamplesPath(cache);
  context->save();
  selection->setGroup(g);
  selection->setAudioSource(newer);
  selection->setTranscription(newer->transcriptions().first());

  list->requestDelete(newer);
  EXPECT_EQ(asked, QStringList{"Delete Audio?|Delete \"newer.wav\" and all its transcriptions?"});
  EXPECT_EQ(selection->audioSource(), older);
  EXPECT_EQ(selection->transcription(), nullptr);
  EXPECT_FALSE(QFile::exists(cache));
  EXPECT_TRUE(QFile::exists(root + "/Music/newer.wav"));  // the user's own file stays
  settle();
  EXPECT_EQ(rowNames(), QStringList{"older.wav"});
  list->requestDelete(older);
  settle();
  EXPECT_EQ(selection->audioSource(), nullptr);
  EXPECT_EQ(list->pages()->currentIndex(), 1);
}

TEST_F(AudioSourcesListTest, AMissingFileShowsMissingAndOffersLocateFile) {
  AudioSource* gone = sourceAt("gone.wav", 10);
  QFile::remove(gone->originalPath());
  sourceAt("here.wav", 20);
  selection->setGroup(g);
  settle();
  AudioSourceRow* goneRow = list->rows().at(0);
  AudioSourceRow* hereRow = list->rows().at(1);
  EXPECT_TRUE(testsupport::waitUntil([&] { return !goneRow->isFileAvailable(); }));
  EXPECT_TRUE(goneRow->detailsText().endsWith("Missing"));
  EXPECT_EQ(goneRow->menuEntries(), (QStringList{"Locate File...", "", "Delete"}));
  EXPECT_EQ(hereRow->menuEntries(), (QStringList{"Show in File Manager", "", "Delete"}));
  goneRow->triggerMenuEntry("Locate File...");
  EXPECT_EQ(fileAccess.pendingRelocate(), gone);
  EXPECT_TRUE(fileAccess.showRelocateDialog());
  fileAccess.setPendingRelocate(nullptr);

  // The file put back in its place: the row chosen again no longer says it is missing.
  file("Music/gone.wav");
  QTest::mouseClick(goneRow, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(testsupport::waitUntil([&] { return goneRow->isFileAvailable(); }));
  EXPECT_FALSE(goneRow->detailsText().endsWith("Missing"));

  // A file that goes while its row is shown: asked to show it, the row offers to locate it
  // instead of doing nothing, and reads "Missing".
  fileAccess.setShowRelocateDialog(false);
  AudioSource* here = hereRow->audioSource();
  QFile::remove(here->originalPath());
  QSignalSpy shown(hereRow, &AudioSourceRow::showInFileManagerRequested);
  hereRow->triggerMenuEntry("Show in File Manager");
  EXPECT_EQ(shown.count(), 0);
  EXPECT_EQ(fileAccess.pendingRelocate(), here);
  EXPECT_TRUE(fileAccess.showRelocateDialog());
  EXPECT_TRUE(testsupport::waitUntil([&] { return !hereRow->isFileAvailable(); }));
  EXPECT_TRUE(hereRow->detailsText().endsWith("Missing"));
}

// A file gone from a folder of thousands is looked for among all of them (it may have been
// renamed there): that happens off the UI thread, and each row shows "Missing" when its answer
// comes.
TEST_F(AudioSourcesListTest, FilesGoneFromALargeFolderAreLookedForWithoutStallingTheList) {
  for (int i = 0; i < 3000; ++i) file(QString("Crowded/kept-%1.wav").arg(i));
  for (int i = 0; i < 100; ++i) {
    AudioSource* gone = source(g, file(QString("Crowded/gone-%1.wav").arg(i)));
    gone->createBookmark(QUrl::fromLocalFile(gone->originalPath()));
    QFile::remove(gone->originalPath());
  }
  context->save();

  testsupport::UiHeartbeat heartbeat;
  selection->setGroup(g);
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        const QList<AudioSourceRow*> rows = list->rows();
        return rows.size() == 100 &&
               std::none_of(rows.begin(), rows.end(), [](AudioSourceRow* row) { return row->isFileAvailable(); });
      },
      30000));
  // The UI thread's own processor time between two turns of its loop: about 50 ms of building
  // rows; the hundred look-ups done on it instead would take a second. (How long a user waits
  // is bench_library_browser's "missing_stall_ms".)
  EXPECT_LT(heartbeat.longestBusyGapMs(), 400.0) << "wall-clock " << heartbeat.longestGapMs() << " ms";
  EXPECT_TRUE(list->rows().first()->detailsText().endsWith("Missing"));
}

TEST(AudioSourceRowTest, DurationsAreMinutesAndSecondsTruncated) {
  const std::pair<double, const char*> cases[] = {{0, "0:00"},     {59.9, "0:59"},    {60, "1:00"},
                                                  {3600, "60:00"}, {3725.9, "62:05"}, {-3, "0:00"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(AudioSourceRow::formatDuration(seconds), text) << seconds;
}

// Drops arrive as the window system delivers them: enter, move, drop. The empty state lights its
// dashed border; the list is covered by the "Drop to add" overlay; both take every audio file.
// Neither lights up for files it will not take: those are named with why when dropped.
TEST_F(AudioSourcesListTest, ARealDropHighlightsTheColumnAndQueuesEveryFile) {
  selection->setGroup(g);
  QSignalSpy announced(&queue, &AudioFileImportQueue::audioFileDropped);
  QSignalSpy refused(list.get(), &AudioSourcesList::filesRefused);
  const auto drop = [&](const QStringList& paths, const std::function<void()>& whileOver, bool taken = true) {
    const auto data = librarytest::uriList(paths);
    const QPoint at = list->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list.get(), &move);
    EXPECT_EQ(list->isDragOver(), taken);
    whileOver();
    QDropEvent dropped(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list.get(), &dropped);
    EXPECT_EQ(dropped.isAccepted(), taken);
    EXPECT_FALSE(list->isDragOver());
    EXPECT_FALSE(list->dropOverlay()->isVisible());
  };

  // The empty state: its own border lights up, the page under the pointer changes colour.
  const QImage before = list->pages()->grab().toImage();
  const QPoint edge(9, before.height() / 2);  // on the dashed border, 8 px in
  drop(
      {file("in/memo.ogg")},
      [&] { EXPECT_EQ(list->pages()->grab().toImage().pixelColor(edge), before.pixelColor(edge)); }, false);
  ASSERT_EQ(refused.count(), 1);
  EXPECT_EQ(refused[0][0].value<QList<RefusedFile>>().at(0).name, "memo.ogg");
  drop({file("in/a.wav"), file("in/b.flac"), file("in/notes.txt")}, [&] {
    EXPECT_FALSE(list->dropOverlay()->isVisible());
    EXPECT_NE(list->pages()->grab().toImage().pixelColor(edge), before.pixelColor(edge));
  });
  for (int i = 0; i < 3; ++i) settle();
  EXPECT_EQ(announced.count(), 2);
  ASSERT_EQ(refused.count(), 2);
  const auto said = refused[1][0].value<QList<RefusedFile>>();
  ASSERT_EQ(said.size(), 1);
  EXPECT_EQ(said[0].name, "notes.txt");
  EXPECT_TRUE(said[0].reason.startsWith("Unsupported audio format: txt")) << said[0].reason.toStdString();

  sourceAt("there.wav", 10);
  settle();
  ASSERT_EQ(list->pages()->currentIndex(), 2);
  drop(
      {file("in/memo.opus")}, [&] { EXPECT_FALSE(list->dropOverlay()->isVisible()); }, false);
  drop({file("in/c.mp3"), file("in/d.m4a")}, [&] { EXPECT_TRUE(list->dropOverlay()->isVisible()); });
  for (int i = 0; i < 6; ++i) settle();
  EXPECT_EQ(announced.count(), 4);
  EXPECT_EQ(refused.count(), 3);
}

// The selected row is filled so that it stands out from the list (3:1) in a light and a dark
// palette; the audit checks the texts on it.
TEST_F(AudioSourcesListTest, TheSelectedRowStandsOutFromTheList) {
  AudioSource* chosen = sourceAt("chosen.wav", 10, 1);
  sourceAt("other.wav", 50, 1);
  selection->setGroup(g);
  selection->setAudioSource(chosen);
  for (const QPalette& palette :
       {testsupport::QtWindowAudit::lightPalette(), testsupport::QtWindowAudit::darkPalette()}) {
    testsupport::ScopedApplicationPalette scoped(palette);
    settle();
    const QList<AudioSourceRow*> rows = list->rows();
    ASSERT_EQ(rows.size(), 2);
    const QImage picture = list->grab().toImage();
    const auto backgroundOf = [&](AudioSourceRow* row) {
      const QPoint corner = row->mapTo(list.get(), QPoint(row->width() - 3, 2));
      return picture.pixelColor(corner);
    };
    EXPECT_GE(contrastRatio(backgroundOf(rows[0]), backgroundOf(rows[1])), 3.0)
        << backgroundOf(rows[0]).name().toStdString() << " on " << backgroundOf(rows[1]).name().toStdString();
  }
}

// A large group shows a screenful of rows at once and gets the rest over the next turns, in order.
TEST_F(AudioSourcesListTest, ALargeGroupIsBuiltAScreenfulFirst) {
  constexpr int kCount = 3 * AudioSourcesList::kRowsPerTurn;
  for (int i = 0; i < kCount; ++i) {
    AudioSource* made = source(g, root + QString("/gone/%1.wav").arg(i, 3, 10, QChar('0')));
    made->setCreatedAt(QDateTime::currentDateTime().addSecs(i));
  }
  context->save();
  selection->setGroup(g);
  EXPECT_EQ(list->rows().size(), AudioSourcesList::kRowsPerTurn);
  // Another group and back: the old rows leave at once, the new ones come a screenful first.
  selection->setGroup(nullptr);
  EXPECT_TRUE(list->rows().isEmpty());
  selection->setGroup(g);
  EXPECT_EQ(list->rows().size(), AudioSourcesList::kRowsPerTurn);
  EXPECT_EQ(list->countLabel()->text(), QString("%1 files").arg(kCount));
  for (int i = 0; i < 10 && list->rows().size() < kCount; ++i) settle();
  QStringList expected;
  for (int i = kCount - 1; i >= 0; --i) expected << QString("%1.wav").arg(i, 3, 10, QChar('0'));
  EXPECT_EQ(rowNames(), expected);
}
