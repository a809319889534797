// The sidebar and the source list side by side, driven as a person drives them: a group is
// clicked, files are dropped and picked, a source is deleted from its row's menu.

#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioSourceRow.h"
#include "Views/Library/AudioSourcesList.h"
#include "Views/Library/GroupListModel.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Library/LibrarySelection.h"
#include "app/Services/LibraryTestSupport.h"
#include "app/Views/Library/LibraryViewTestSupport.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDragEnterEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace parlowvista;

namespace {

class LibraryBrowserFlow : public testsupport::LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    general = group("General", 0);
    talks = group("Talks", 1);
    selection = std::make_unique<LibrarySelection>(*context);
    prompts.confirmDelete = [this](QWidget*, const QString& title, const QString&) {
      asked << title;
      return true;
    };
    prompts.chooseAudioFiles = [this](QWidget*, bool) { return picked; };
    window = std::make_unique<QWidget>();
    auto* layout = new QHBoxLayout(window.get());
    sidebar = new GroupsSidebar(*context, *actions, *settings, *selection, prompts);
    list = new AudioSourcesList(*context, *actions, *selection, fileAccess, queue, prompts);
    layout->addWidget(sidebar);
    layout->addWidget(list, 1);
    window->resize(700, 500);
    window->show();
    settle();
  }

  static void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

  void clickGroup(int row) {
    QListView* view = sidebar->listView();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(sidebar->model()->index(row)).center());
    settle();
  }

  void dropOnList(const QStringList& paths) {
    const auto data = librarytest::uriList(paths);
    const QPoint at = list->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &enter);
    QDropEvent drop(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &drop);
  }

  // Opens `row`'s context menu and picks `entry` in it.
  static void pickFromMenu(QWidget* row, const QString& entry) {
    librarytest::pickFromMenu(
        [row] {
          QContextMenuEvent event(QContextMenuEvent::Mouse, row->rect().center(),
                                  row->mapToGlobal(row->rect().center()));
          QApplication::sendEvent(row, &event);
        },
        entry);
  }

  TranscriptGroup* general = nullptr;
  TranscriptGroup* talks = nullptr;
  std::unique_ptr<LibrarySelection> selection;
  AudioFileImportQueue queue;
  LibraryPrompts prompts;
  QStringList asked;
  QList<QUrl> picked;
  std::unique_ptr<QWidget> window;
  GroupsSidebar* sidebar = nullptr;
  AudioSourcesList* list = nullptr;
};

}  // namespace

// The pipeline files every announced file under the last used group: the group clicked in the
// sidebar, whose (empty) list takes the drop.
TEST_F(LibraryBrowserFlow, FilesDroppedOrPickedAreQueuedForTheGroupChosenInTheSidebar) {
  clickGroup(1);
  ASSERT_EQ(selection->group(), talks);
  EXPECT_EQ(settings->lastUsedGroupId(), talks->id());
  EXPECT_EQ(list->titleLabel()->text(), "Talks");

  QSignalSpy announced(&queue, &AudioFileImportQueue::audioFileDropped);
  const QString a = file("in/a.wav"), b = file("in/b.mp3");
  dropOnList({a, file("in/readme.txt"), b});
  picked = {QUrl::fromLocalFile(file("in/c.flac")), QUrl::fromLocalFile(file("in/d.m4a"))};
  QTest::mouseClick(list->addFileButton(), Qt::LeftButton);
  for (int i = 0; i < 4; ++i) settle();
  ASSERT_EQ(announced.count(), 4);
  QStringList names;
  for (const auto& call : announced) names << call.at(0).toUrl().fileName();
  EXPECT_EQ(names, (QStringList{"a.wav", "b.mp3", "c.flac", "d.m4a"}));

  // As the pipeline would: the new sources land in the last used group and show there.
  for (const QString& path : {a, b}) source(talks, path);
  settle();
  EXPECT_EQ(list->rows().size(), 2);
  EXPECT_EQ(list->countLabel()->text(), "2 files");
}

// "Delete" in a row's menu asks, deletes the source and the app's own files of it, keeps the
// user's audio file, and the row goes. A deleted source is freed once the deletion is saved:
// the library is asked by id, never the object.
TEST_F(LibraryBrowserFlow, DeletingASourceFromItsRowRemovesItsOwnFiles) {
  AudioSource* download = source(general, file("Downloads/video.m4a"), QString("abc123"), 2);
  AudioSource* imported = source(general, file("Music/talk.wav"));
  const QString cache = file("Cache/video.bin");
  download->setCachedSamplesPath(cache);
  download->setCreatedAt(QDateTime::currentDateTime());
  imported->setCreatedAt(QDateTime::currentDateTime().addSecs(-60));
  context->save();
  const QUuid downloadId = download->id(), importedId = imported->id();
  clickGroup(0);
  ASSERT_EQ(list->rows().size(), 2);

  pickFromMenu(list->rows().at(0), "Delete");
  EXPECT_EQ(asked, QStringList{"Delete Audio?"});
  EXPECT_EQ(context->find<AudioSource>(downloadId), nullptr);
  EXPECT_FALSE(QFile::exists(root + "/Downloads/video.m4a"));
  EXPECT_FALSE(QFile::exists(cache));
  settle();
  ASSERT_EQ(list->rows().size(), 1);
  EXPECT_EQ(list->rows().at(0)->audioSource(), imported);

  pickFromMenu(list->rows().at(0), "Delete");
  EXPECT_EQ(context->find<AudioSource>(importedId), nullptr);
  EXPECT_TRUE(context->fetch<AudioSource>().isEmpty());
  EXPECT_TRUE(QFile::exists(root + "/Music/talk.wav"));  // the user's own file stays
  settle();
  EXPECT_TRUE(list->rows().isEmpty());
}
