// Translations in the main window: their tabs, the sheet that makes one, and what a translation's
// tab shows beside its version.

#include "app/Views/Shell/MainWindowFixture.h"

namespace {

using namespace mainwindowtest;

TEST_F(MainWindowTest, TheTabBarShowsTheTranslationsOldestFirstAndSwitchesTheTab) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* version = harness->vm->currentTranscription();
  ASSERT_NE(version, nullptr);
  const QDateTime base = QDateTime::currentDateTimeUtc();
  auto translation = [&](std::optional<QString> language, int secondsLater) {
    auto* t = new Transcription(QStringLiteral("t"), 0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10);
    t->setIsTranslation(true);
    t->setTargetLanguage(language);
    t->setCreatedAt(base.addSecs(secondsLater));
    harness->context->insert(t);
    t->setSourceTranscription(version);
    return t;
  };
  Transcription* german = translation(QStringLiteral("de"), 20);
  translation(std::nullopt, 30);
  translation(QStringLiteral("xx"), 10);
  harness->context->save();
  QApplication::processEvents();
  auto titles = [&] {
    QStringList out;
    for (auto* tab : window->contentTabBar()->tabButtons()) out << tab->text();
    return out;
  };
  EXPECT_EQ(titles(), (QStringList{"Original", "XX", "German", "Translation"}));
  EXPECT_TRUE(window->contentTabBar()->tabButtons()[0]->isChecked());
  // A change elsewhere in the library leaves the tabs as they are: no buttons made again.
  const QList<QPushButton*> tabs = window->contentTabBar()->tabButtons();
  version->setName(QStringLiteral("Renamed"));
  harness->context->save();
  QApplication::processEvents();
  EXPECT_EQ(window->contentTabBar()->tabButtons(), tabs);
  // Chosen from the keyboard: the bar is made again, and the keyboard stays on the tab shown.
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  ASSERT_TRUE(testsupport::waitUntil([&] { return window->contentTabBar()->tabButtons()[2]->isVisible(); }, 5000));
  window->contentTabBar()->tabButtons()[2]->setFocus(Qt::TabFocusReason);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  EXPECT_TRUE(harness->vm->activeTab() == ContentTab::translation(german));
  QApplication::processEvents();
  EXPECT_TRUE(window->contentTabBar()->tabButtons()[2]->isChecked());
  EXPECT_FALSE(window->contentTabBar()->tabButtons()[0]->isChecked());
  EXPECT_EQ(QApplication::focusWidget(), window->contentTabBar()->tabButtons()[2]);
  // A save that changes no tab (a rename; the sample cache's file recorded after a run) keeps
  // the buttons: none goes from under the focus.
  const QPointer<QPushButton> focusedTab = window->contentTabBar()->tabButtons()[2];
  version->setName(QStringLiteral("Renamed"));
  harness->context->save();
  QApplication::processEvents();
  EXPECT_EQ(window->contentTabBar()->tabButtons()[2], focusedTab.data());
  EXPECT_EQ(QApplication::focusWidget(), focusedTab.data());
  // "Delete Translation" from the tab's context menu.
  QPushButton* germanTab = window->contentTabBar()->tabButtons()[2];
  EXPECT_FALSE(germanTab->icon().isNull());  // the globe of a tab with a target language
  EXPECT_TRUE(window->contentTabBar()->tabButtons()[0]->icon().isNull());
  emit germanTab->customContextMenuRequested(QPoint(4, 4));
  auto* menu = germanTab->findChild<QMenu*>();
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 1);
  EXPECT_EQ(menu->actions()[0]->text(), "Delete Translation");
  EXPECT_FALSE(menu->actions()[0]->icon().isNull());
  menu->actions()[0]->trigger();
  menu->close();
  QApplication::processEvents();
  QApplication::processEvents();
  EXPECT_EQ(titles(), (QStringList{"Original", "XX", "Translation"}));
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());
  // "+" asks for a new translation of the version on screen.
  window->contentTabBar()->createButton()->click();
  auto* sheet = window->findChild<CreateTranslationSheet*>();
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->transcription(), version);
  // German may be asked for again: its translation is gone.
  bool offersGerman = false;
  for (const auto& language : sheet->availableLanguages()) offersGerman |= language.code == "de";
  EXPECT_TRUE(offersGerman);
  sheet->close();
}

TEST_F(MainWindowTest, TheTranslationSheetRunsTheViewModelsTranslationCancelsItAndShowsItsFailure) {
  translationtest::SettingsSandbox sandbox;
  translationtest::ToolSandbox tools;
  TranslationSettings settings(sandbox.keychain);
  settings.setSelectedProvider(TranslationProviderType::claude);
  settings.setConnectionMode(TranslationConnectionMode::cli);
  TranslationService service(settings, sandbox.endpoints);
  harness = std::make_unique<Harness>(engine, true, nullptr, &service);
  bool configured = true;
  int settingsOpened = 0;
  MainWindow::Actions actions;
  actions.isTranslationConfigured = [&] { return configured; };
  actions.openTranslationSettings = [&] { ++settingsOpened; };
  auto window = make(actions);
  window->setSelectedGroup(harness->group);
  window->show();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* version = harness->vm->currentTranscription();
  const auto openSheet = [&] {
    window->openCreateTranslation();
    // The newest: a sheet that has just closed goes only at the next turn of the event loop.
    const auto sheets = window->findChildren<CreateTranslationSheet*>();
    return sheets.isEmpty() ? nullptr : sheets.last();
  };

  // Cancel during a run stops the provider: nothing is stored and the tab stays.
  const QString pidFile = QString::fromStdString((tools.dir.path() / "pid").string());
  tools.addToolOnPath("claude", "#!/bin/sh\necho $$ > " + pidFile.toStdString() + "\nexec sleep 30\n");
  QPointer<CreateTranslationSheet> sheet = openSheet();
  ASSERT_NE(sheet, nullptr);
  sheet->startTranslation();
  ASSERT_TRUE(testsupport::waitUntil([&] { return QFileInfo(pidFile).size() > 0; }, 10000));
  std::string pid = testsupport::readFile(pidFile.toStdString());
  pid.erase(pid.find_last_not_of("\n") + 1);
  button(*sheet, "Cancel")->click();
  EXPECT_FALSE(harness->vm->isTranslating());
  EXPECT_TRUE(testsupport::waitUntil([&] { return !translationtest::processAlive(pid); }, 5000));
  EXPECT_TRUE(testsupport::waitUntil([&] { return sheet.isNull(); }));
  QTest::qWait(100);
  EXPECT_TRUE(version->translations().isEmpty());
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());
  EXPECT_TRUE(harness->logged("Translation cancelled"));

  // A failure is shown in the sheet, which stays open, and logged once.
  tools.addToolOnPath("claude", "#!/bin/sh\necho 'quota used up' >&2\nexit 3\n");
  sheet = openSheet();
  sheet->startTranslation();
  auto* error = sheet->findChild<QLabel*>(QStringLiteral("errorLabel"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return error->isVisible(); }, 10000));
  EXPECT_TRUE(error->text().startsWith("Translation failed: ")) << error->text().toStdString();
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_FALSE(sheet->isTranslating());
  EXPECT_FALSE(harness->loggedStart("Translation failed: Translation failed"));
  EXPECT_TRUE(harness->loggedStart("Translation failed: "));
  sheet->close();

  // Without a provider the sheet names where one is set up and opens that window.
  configured = false;
  sheet = openSheet();
  bool namesThePlace = false;
  for (QLabel* label : sheet->findChildren<QLabel*>())
    namesThePlace |= label->text().contains("Translation Settings...");
  EXPECT_TRUE(namesThePlace);
  button(*sheet, "Open Translation Settings...")->click();
  EXPECT_EQ(settingsOpened, 1);
  EXPECT_TRUE(testsupport::waitUntil([&] { return sheet.isNull(); }));
}

// A translation's tab belongs to its version: another version, a new run or the deletion of the
// translation shows an original again, never the old translation under another file.
TEST_F(MainWindowTest, ATranslationTabGivesWayToTheOriginalOfWhatIsShownNext) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "first.wav"));
  Transcription* first = harness->vm->currentTranscription();
  Transcription* german = addTranslation(first, "de", "hallo welt");
  auto showGerman = [&] {
    ASSERT_EQ(window->contentTabBar()->tabButtons().size(), 2);
    window->contentTabBar()->tabButtons()[1]->click();
    ASSERT_EQ(shownTexts(*window).join(" | "), "hallo welt | hallo welt");
  };
  auto expectTheOriginal = [&](Transcription* version) {
    QApplication::processEvents();
    EXPECT_EQ(harness->vm->currentTranscription(), version);
    EXPECT_TRUE(harness->vm->activeTab().isOriginal());
    EXPECT_TRUE(window->contentTabBar()->tabButtons()[0]->isChecked());
    EXPECT_EQ(shownTexts(*window).join(" | "), originalTexts().join(" | "));
    EXPECT_FALSE(shownTexts(*window).contains("hallo welt"));
  };

  showGerman();
  ASSERT_TRUE(transcribe(*window, "second.wav"));
  Transcription* second = harness->vm->currentTranscription();
  ASSERT_NE(second, first);
  expectTheOriginal(second);

  window->selection().setAudioSource(first->audioSource());
  window->selection().setTranscription(first);
  showGerman();
  window->selection().setAudioSource(second->audioSource());
  window->selection().setTranscription(second);
  expectTheOriginal(second);

  window->selection().setAudioSource(first->audioSource());
  window->selection().setTranscription(first);
  showGerman();
  window->versionsBar()->deleteTranscription(german);
  expectTheOriginal(first);
}

// A translation is listed as one and opens read-only in its version's tab: it never becomes the
// working version, and copies made meanwhile hold the version's own text.
TEST_F(MainWindowTest, ATranslationOpensAsATranslationOfItsVersion) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* version = harness->vm->currentTranscription();
  const QString original = originalTexts().join(" | ");
  Transcription* german = addTranslation(version, "de", "hallo welt");
  auto expectTheTranslationShown = [&](const char* how) {
    SCOPED_TRACE(how);
    QApplication::processEvents();
    EXPECT_EQ(harness->vm->currentTranscription(), version);
    EXPECT_TRUE(harness->vm->activeTab() == ContentTab::translation(german));
    EXPECT_TRUE(window->resultsView()->listView()->isReadOnly());
    EXPECT_EQ(shownTexts(*window).join(" | "), "hallo welt | hallo welt");
    EXPECT_EQ(originalTexts().join(" | "), original);
    EXPECT_EQ(window->selection().transcription(), german);
    EXPECT_TRUE(window->versionsBar()->tabFor(german->id())->isSelected());
    // Its speakers are the version's: no pencil offers a rename the tab would refuse.
    for (SpeakerRowView* row : window->sidePanel()->findChild<SpeakersPanel*>()->rowsInOrder())
      EXPECT_FALSE(row->pencil()->isEnabled()) << row->nameLabel()->text().toStdString();
  };

  // Marked wherever versions are listed.
  VersionTab* tab = window->versionsBar()->tabFor(german->id());
  ASSERT_NE(tab, nullptr);
  EXPECT_EQ(tab->accessibleName(), "Translation de");
  EXPECT_EQ(window->versionsBar()->tabFor(version->id())->accessibleName(), version->name());
  ASSERT_EQ(window->audioSourcesList()->rows().size(), 1);
  QStringList chips;
  for (auto* chip : window->audioSourcesList()->rows()[0]->chips()) chips << chip->accessibleName();
  EXPECT_EQ(chips, QStringList({"Translation de", "Version " + version->name()}));

  tab->click();
  expectTheTranslationShown("its tab in the versions bar");
  auto* panel = window->sidePanel()->findChild<SpeakersPanel*>();
  panel->startEditing(0);  // a field left open when the tab changes closes with it
  window->versionsBar()->tabFor(version->id())->click();
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());
  ASSERT_FALSE(panel->rowsInOrder().isEmpty());
  EXPECT_TRUE(panel->rowsInOrder()[0]->pencil()->isEnabled());
  panel->startEditing(0);
  window->audioSourcesList()->rows()[0]->chips()[0]->click();
  expectTheTranslationShown("its chip in the library");
  EXPECT_FALSE(panel->rowFor(0)->isEditing());
  EXPECT_FALSE(panel->editingSpeakerId());

  window->versionsBar()->duplicateAction()->trigger();
  Transcription* copy = harness->vm->currentTranscription();
  ASSERT_NE(copy, version);
  EXPECT_FALSE(copy->isTranslation());
  QStringList copied;
  for (const auto& segment : copy->toResult().segments) copied << segment.text;
  EXPECT_EQ(copied.join(" | "), original);
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());

  // Processing again, into a new version or over the current one, while the translation shows.
  for (bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "overwrite" : "new version");
    window->selection().setTranscription(version);
    window->versionsBar()->tabFor(german->id())->click();
    ASSERT_TRUE(harness->vm->activeTab() == ContentTab::translation(german));
    ASSERT_TRUE(testsupport::waitUntil([&] { return harness->vm->hasCachedSamples(); }));
    emit window->versionsBar()->createNewRequested();
    auto* dialog = window->findChild<ReprocessDialog*>();
    ASSERT_NE(dialog, nullptr);
    (overwrite ? dialog->overwriteButton() : dialog->newVersionButton())->click();
    ASSERT_TRUE(harness->settle());
    QApplication::processEvents();
    Transcription* processed = harness->vm->currentTranscription();
    EXPECT_FALSE(processed->isTranslation());
    EXPECT_EQ(processed->name(), version->name());
    EXPECT_EQ(processed == version, overwrite);
    EXPECT_TRUE(harness->vm->activeTab().isOriginal());
    EXPECT_FALSE(shownTexts(*window).contains("hallo welt"));
    EXPECT_EQ(window->selection().transcription(), processed);
  }
}

// On a translation's tab the side panel's figures and speakers are that tab's, as its header
// and its export give them. They were the original's: after the original's segments went to a
// new speaker, the translation's header and export said 2 speakers and the side panel 1, its
// rows listed the original's speakers with the original's shares, and the speeds differed.
TEST_F(MainWindowTest, OnATranslationsTabTheSidePanelCountsWhatItsHeaderAndExportCount) {
  translationtest::SettingsSandbox sandbox;
  translationtest::ToolSandbox tools;
  tools.addToolOnPath("claude", translationtest::ToolSandbox::answeringTool());
  TranslationSettings settings(sandbox.keychain);
  settings.setSelectedProvider(TranslationProviderType::claude);
  settings.setConnectionMode(TranslationConnectionMode::cli);
  sandbox.endpoints.batchPauseMs = 10;
  TranslationService service(settings, sandbox.endpoints);
  harness = std::make_unique<Harness>(engine, true, nullptr, &service);
  MainWindow::Actions actions;
  actions.isTranslationConfigured = [] { return true; };
  actions.playerPageHost = [] { return playertest::pageHost(); };
  auto window = make(actions);
  window->setSelectedGroup(harness->group);
  window->show();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  ASSERT_NE(window->resultsView(), nullptr);
  SidePanel* side = window->sidePanel();
  auto* panel = side->findChild<SpeakersPanel*>();
  ASSERT_NE(panel, nullptr);
  // A named speaker is stored and goes into the translation; the other comes from its segments.
  harness->vm->renameSpeaker(1, "Bob");
  harness->vm->saveCurrentTranscription();
  window->openCreateTranslation();
  const auto sheets = window->findChildren<CreateTranslationSheet*>();
  ASSERT_FALSE(sheets.isEmpty());
  sheets.last()->startTranslation();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !harness->vm->isTranslating(); }, 30000));
  ASSERT_TRUE(harness->vm->activeTab().isTranslation()) << harness->vm->translationStatus().toStdString();
  QApplication::processEvents();
  ASSERT_EQ(window->contentTabBar()->tabButtons().size(), 2);

  // The original: both of its segments go to a new speaker.
  window->contentTabBar()->tabButtons()[0]->click();
  ASSERT_TRUE(harness->vm->activeTab().isOriginal());
  const std::optional<Speaker> added = harness->vm->addNewSpeaker();
  ASSERT_TRUE(added);
  harness->vm->reassignSegment(0, added->speakerId, false);
  harness->vm->reassignSegment(1, added->speakerId, false);
  ASSERT_EQ(harness->vm->state().result()->speakerCount(), 1);

  const auto joined = [](const QStringList& list) { return list.join(" | ").toStdString(); };
  struct Shown {
    QStringList figures;  // Duration, Speakers, Segments, Speed
    QStringList rows;     // "name / stats"
  };
  const auto sidePanel = [&] {
    Shown shown;
    for (const char* name : {"resultDuration", "resultSpeakers", "resultSegments", "resultSpeed"})
      shown.figures << labelNamed(*side, name)->text();
    for (SpeakerRowView* row : panel->rowsInOrder())
      shown.rows << row->nameLabel()->text() + " / " + row->statsLabel()->text();
    return shown;
  };
  // The header's figures, its speed without the " RT" the side panel leaves out.
  const auto header = [&] {
    QStringList figures;
    for (const char* title : {"Duration", "Speakers", "Segments", "Speed"})
      figures << window->resultsView()->statValue(QString::fromLatin1(title));
    figures.last().remove(QStringLiteral(" RT"));
    return figures;
  };
  const Shown original = sidePanel();
  EXPECT_EQ(joined(original.figures), joined(header()));
  EXPECT_EQ(original.figures[1], "1");
  EXPECT_EQ(joined(original.rows),
            "Speaker 1 / 0 segments, 0:00 | Bob / 0 segments, 0:00 | Speaker 3 / 2 segments, 0:00");

  // The translation's tab: the side panel says what the header says and what its export writes.
  window->contentTabBar()->tabButtons()[1]->click();
  ASSERT_TRUE(harness->vm->activeTab().isTranslation());
  QApplication::processEvents();
  const Shown translated = sidePanel();
  EXPECT_EQ(joined(translated.figures), joined(header()));
  const auto boxes = side->findChildren<QGroupBox*>();
  EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(),
                          [](QGroupBox* box) { return box->title() == "Result" && box->isVisible(); }));
  harness->dialogs->nextPath = harness->path("translated.json");
  harness->vm->exportTranscript(ExportFormat::json);
  QFile file(harness->path("translated.json"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const auto json = nlohmann::json::parse(file.readAll().toStdString());
  const auto& metadata = json["metadata"];
  const double duration = metadata["audioDuration"].get<double>();
  const double processing = metadata["processingTime"].get<double>();
  EXPECT_EQ(joined(translated.figures),
            joined(QStringList({TranscriptionResult::formatDuration(duration),
                                QString::number(metadata["speakerCount"].get<qint64>()),
                                QString::number(metadata["segmentCount"].get<qint64>()),
                                QString::asprintf("%.0fx", processing > 0 ? duration / processing : 0.0)})));
  EXPECT_EQ(metadata["speakerCount"], 2);
  // Its rows are the speakers the export names, each with its segments there.
  QStringList exported;
  for (const auto& speaker : json["speakers"]) {
    qint64 segments = 0;
    for (const auto& segment : json["segments"]) segments += segment["speakerId"] == speaker["speakerId"];
    exported << QString::fromStdString(speaker["displayName"].get<std::string>()) + " / " + QString::number(segments) +
                    " segments";
  }
  QStringList rows;
  for (const QString& row : translated.rows) rows << row.section(u',', 0, 0);
  EXPECT_EQ(joined(rows), joined(exported));
  EXPECT_EQ(joined(rows), "Speaker 1 / 1 segments | Bob / 1 segments");

  // Back on the original, the side panel shows the original as before.
  window->contentTabBar()->tabButtons()[0]->click();
  QApplication::processEvents();
  const Shown again = sidePanel();
  EXPECT_EQ(joined(again.figures), joined(original.figures));
  EXPECT_EQ(joined(again.rows), joined(original.rows));
  EXPECT_EQ(joined(again.figures), joined(header()));
}

}  // namespace
