// The online-video road with the real yt-dlp against a loopback server, and the
// translation hand-off through a stand-in provider tool.

#include "Models/StoredSegment.h"
#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "Services/Translation/TranslationService.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/LoopbackServer.h"
#include "support/TimeLeft.h"

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

TEST(PipelineOnlineTest, AnAddressIsDownloadedKeptAndTranscribedWithTheVideoMuted) {
  // Three downloads, each given minutes: together within the test's limit.
  const testsupport::TimeLeft timeLeft(PV_TEST_TIMEOUT_SECONDS, 30);
  Harness h(fixtureEngine());
  if (!h.downloader->isAvailable()) GTEST_SKIP() << "yt-dlp is not installed";
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "clip.wav", twoVoices());
  ASSERT_TRUE(ffmpeg({"-i", h.path("clip.wav"), "-c:a", "alac", "-sample_fmt", "s32p", h.path("clip.m4a")}));
  const std::string clip = testsupport::readFile((h.dir / "clip.m4a").string());
  testsupport::LoopbackServer server;
  server.server().Get("/media/lecture.m4a",
                      [&](const httplib::Request&, httplib::Response& res) { res.set_content(clip, "audio/mp4"); });
  server.start();
  const QString address = QString::fromStdString(server.baseUrl()) + "/media/lecture.m4a?v=abcdefghijk";

  h.vm->processYouTubeURL(address);
  EXPECT_EQ(h.vm->state().stage(), ProcessingStage::downloadingFromURL);
  EXPECT_EQ(h.vm->downloadStatus(), "Starting download...");
  ASSERT_TRUE(h.settle(timeLeft.atMost(120000)));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::completed) << h.vm->statusMessage().toStdString();
  EXPECT_EQ(h.vm->downloadProgress(), 1.0);
  EXPECT_EQ(h.vm->downloadStatus(), "Download complete");

  const QString copy = h.vm->currentFile().toLocalFile();
  EXPECT_EQ(QFileInfo(copy).absolutePath(), h.path("downloads"));
  EXPECT_EQ(QFileInfo(copy).fileName(), "lecture.m4a");
  ASSERT_TRUE(h.vm->mediaSource());
  EXPECT_TRUE(h.vm->mediaSource()->isYouTubeVideo());
  EXPECT_EQ(h.vm->mediaSource()->type.videoId, "abcdefghijk");
  EXPECT_EQ(h.vm->mediaSource()->type.originalURL, address);
  EXPECT_TRUE(testsupport::waitUntil([&] { return h.logged("Audio loaded for playback (muted - YouTube source)"); }));
  EXPECT_TRUE(h.vm->audioPlayer().isMuted());

  // The downloader re-encodes the track lossily, which blurs the levels the test recogniser
  // reads; the two voices stay apart.
  const auto& result = *h.vm->state().result();
  EXPECT_NEAR(result.audioDuration(), 14.0, 0.1);
  EXPECT_EQ(result.speakerCount(), 2);
  ASSERT_FALSE(result.segments.isEmpty());
  EXPECT_LT(result.segments.first().startTime, 7.0);
  EXPECT_GT(result.segments.last().endTime, 7.0);
  AudioSource* source = h.vm->currentAudioSource();
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->youtubeVideoId(), "abcdefghijk");
  EXPECT_EQ(source->youtubeOriginalURL(), address);
  EXPECT_EQ(h.vm->currentTranscription()->name(), "Version 1");

  // The same address again keeps the first copy and numbers the second.
  h.vm->processYouTubeURL(address);
  ASSERT_TRUE(h.settle(timeLeft.atMost(120000)));
  EXPECT_EQ(QFileInfo(h.vm->currentFile().toLocalFile()).fileName(), "lecture (1).m4a");
  EXPECT_TRUE(QFileInfo::exists(copy));

  // A failed download resets the download fields.
  h.vm->processYouTubeURL(QString::fromStdString(server.baseUrl()) + "/missing.m4a");
  ASSERT_TRUE(h.settle(timeLeft.atMost(120000)));
  EXPECT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
  EXPECT_TRUE(h.loggedStart("YouTube download failed: "));
  EXPECT_EQ(h.vm->downloadProgress(), 0.0);
  EXPECT_EQ(h.vm->downloadStatus(), "");
}

TEST(PipelineOnlineTest, AnAddressWhoseCopyOrEnhancementFailsLeavesNoDownloadBehind) {
  // Two downloads, each given minutes: together within the test's limit.
  const testsupport::TimeLeft timeLeft(PV_TEST_TIMEOUT_SECONDS, 30);
  testsupport::TempDir tools("pv-tools");
  const std::string failingTool = testsupport::writeFile(tools.path() / "ffmpeg", "#!/bin/sh\nexit 1\n").string();
  std::filesystem::permissions(failingTool, std::filesystem::perms::owner_all);
  Harness h(std::make_shared<FakeEngine>(), true, {}, nullptr, QString::fromStdString(failingTool));
  if (!h.downloader->isAvailable()) GTEST_SKIP() << "yt-dlp is not installed";
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "clip.wav", twoVoices(2.0));
  ASSERT_TRUE(ffmpeg({"-i", h.path("clip.wav"), "-c:a", "alac", "-sample_fmt", "s32p", h.path("clip.m4a")}));
  const std::string clip = testsupport::readFile((h.dir / "clip.m4a").string());
  testsupport::LoopbackServer server;
  server.server().Get("/media/talk.m4a",
                      [&](const httplib::Request&, httplib::Response& res) { res.set_content(clip, "audio/mp4"); });
  server.start();
  const QString address = QString::fromStdString(server.baseUrl()) + "/media/talk.m4a";
  // The downloader's temporary folders go here, where the test can see them.
  const std::optional<QByteArray> oldTmp =
      qEnvironmentVariableIsSet("TMPDIR") ? std::optional(qgetenv("TMPDIR")) : std::nullopt;
  qputenv("TMPDIR", h.path("tmp").toUtf8());
  const auto restore = qScopeGuard([&] { oldTmp ? qputenv("TMPDIR", *oldTmp) : qunsetenv("TMPDIR"); });
  const auto leftovers = [&] {
    return QDir(h.path("tmp")).entryList({"yt-download-*"}, QDir::Dirs) +
           QDir(h.path("downloads")).entryList(QDir::Files);
  };

  // The downloads folder cannot be made (a file stands in its place).
  testsupport::writeFile(h.dir / "downloads", "in the way");
  h.vm->processYouTubeURL(address);
  ASSERT_TRUE(h.settle(timeLeft.atMost(120000)));
  EXPECT_TRUE(h.loggedStart("YouTube download failed: Cannot create folder"));
  EXPECT_EQ(leftovers(), QStringList());

  // The kept copy is made, then enhancement fails: the copy goes too.
  QFile::remove(h.path("downloads"));
  ASSERT_TRUE(h.turnOnEnhancement());
  h.vm->processYouTubeURL(address);
  ASSERT_TRUE(h.settle(timeLeft.atMost(120000)));
  ASSERT_EQ(h.vm->state().kind(), ProcessingState::Kind::failed);
  // The tool said nothing: its exit status is the reason.
  EXPECT_EQ(h.vm->state().error()->message.toStdString(), "Audio enhancement failed: ffmpeg ended with exit status 1");
  EXPECT_TRUE(h.loggedStart("Copied to permanent storage: "));
  EXPECT_EQ(leftovers(), QStringList());
}

TEST(PipelineOnlineTest, WithoutTheDownloaderTheRoadFailsAtOnce) {
  Harness h(std::make_shared<FakeEngine>());
  TranscriptionViewModel::Dependencies deps;
  auto* missing = new YouTubeDownloader(std::optional<QString>());
  deps.engine = std::make_shared<FakeEngine>();
  deps.youtubeDownloader = missing;
  deps.settings = h.settings.get();
  deps.fileAccess = &h.fileAccess;
  deps.dialogs = h.dialogs;
  deps.audioEnhancer = std::make_shared<AudioEnhancer>(std::nullopt);
  deps.sampleCache = h.sampleCache;
  TranscriptionViewModel vm(deps);
  missing->setParent(&vm);
  vm.initializeModels();
  ASSERT_TRUE(testsupport::waitUntil([&] { return vm.state().kind() == ProcessingState::Kind::modelsReady; }));
  vm.processYouTubeURL("https://youtu.be/abc");
  ASSERT_EQ(vm.state().kind(), ProcessingState::Kind::failed);
  EXPECT_EQ(vm.state().error()->message, "yt-dlp not installed");
  EXPECT_EQ(vm.state().error()->details, "Install via: sudo apt install yt-dlp");
  EXPECT_EQ(vm.logs().last().message, "yt-dlp not found");
}

TEST(PipelineTranslationTest, AVersionIsTranslatedOnceIntoAReadOnlyTranslationVersion) {
  translationtest::SettingsSandbox sandbox;
  translationtest::ToolSandbox tools;
  tools.addToolOnPath("claude", translationtest::ToolSandbox::answeringTool());
  TranslationSettings settings(sandbox.keychain);
  settings.setSelectedProvider(TranslationProviderType::claude);
  settings.setConnectionMode(TranslationConnectionMode::cli);
  sandbox.endpoints.batchPauseMs = 10;
  TranslationService service(settings, sandbox.endpoints);
  Harness h(std::make_shared<FakeEngine>(), true, {}, &service);
  ASSERT_TRUE(h.startModels());
  writeFloatWav(h.dir / "talk.wav", twoVoices(3.0, {}));
  h.vm->processFile(QUrl::fromLocalFile(h.path("talk.wav")));
  ASSERT_TRUE(h.settle());
  h.vm->renameSpeaker(1, "Bob");
  h.vm->saveCurrentTranscription();
  Transcription* version = h.vm->currentTranscription();

  // A second request supersedes the first: only one translation is stored, and the first's
  // end does not show as a failure.
  h.vm->createTranslation("de");
  h.vm->createTranslation("de");
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->isTranslating(); }, 30000));
  EXPECT_EQ(h.vm->translationStatus(), "Translation complete");
  EXPECT_EQ(h.vm->translationProgress(), 1.0);
  EXPECT_FALSE(h.loggedStart("Translation failed"));
  ASSERT_EQ(version->translations().size(), 1);
  Transcription* translation = version->translations().first();
  EXPECT_EQ(translation->name(), "German");
  EXPECT_EQ(translation->targetLanguage(), "de");
  EXPECT_EQ(translation->audioSource(), version->audioSource());
  EXPECT_EQ(h.vm->existingTranslationLanguages(), QSet<QString>{"de"});
  EXPECT_TRUE(h.loggedStart("Translation to German complete: 2 segments in "));

  // The workspace shows it in its own tab, with the version's speaker names.
  EXPECT_EQ(h.vm->activeTab(), ContentTab::translation(translation));
  const auto shown = h.vm->activeResult();
  ASSERT_TRUE(shown);
  ASSERT_EQ(shown->segments.size(), 2);
  EXPECT_EQ(shown->segments[0].text, "FR:hello");
  EXPECT_EQ(shown->segments[1].speakerId, 1);
  EXPECT_EQ(shown->segments[1].startTime, 2.0);
  EXPECT_EQ(h.vm->activeResult()->segments[0].id, shown->segments[0].id);
  // The unnamed speaker, not stored, comes back from the translation's segments.
  const QList<Speaker> speakers = h.vm->activeSpeakers();
  ASSERT_EQ(speakers.size(), 2);
  EXPECT_EQ(speakers[0].speakerId, 0);
  EXPECT_EQ(speakers[0].customName, std::nullopt);
  EXPECT_EQ(speakers[1].speakerId, 1);
  EXPECT_EQ(speakers[1].customName, "Bob");

  // Read-only: an edit there would land on the version's segment of the same index.
  h.vm->updateSegmentText(0, "changed");
  EXPECT_TRUE(h.logged("Cannot edit a translation"));
  EXPECT_EQ(h.vm->state().result()->segments[0].text, "hello");

  h.vm->deleteTranslation(translation);
  EXPECT_TRUE(h.vm->activeTab().isOriginal());
  EXPECT_TRUE(h.logged("Deleted translation: German"));
  EXPECT_TRUE(version->translations().isEmpty());

  // A translation that cannot be stored fails plainly and is not written by a later save.
  h.context->database().execute(
      "CREATE TRIGGER fail BEFORE INSERT ON Transcription WHEN NEW.isTranslation = 1 "
      "BEGIN SELECT RAISE(ABORT, 'disk full'); END");
  h.vm->createTranslation("es");
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->isTranslating(); }, 30000));
  EXPECT_EQ(h.vm->translationStatus(), "Translation failed");
  h.context->database().execute("DROP TRIGGER fail");
  h.vm->updateSegmentText(0, "saved later");
  h.vm->saveCurrentTranscription();
  Statement translations = h.context->database().prepare("SELECT COUNT(*) FROM Transcription WHERE isTranslation = 1");
  ASSERT_EQ(translations.step(), Statement::Step::row);
  EXPECT_EQ(translations.int64(0), 0);

  // One that ends after the user moved to another version is stored with the version it was
  // asked for, and the window stays where the user is.
  h.vm->createTranslation("fr");
  h.vm->duplicateCurrentTranscription();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h.vm->isTranslating(); }, 30000));
  ASSERT_EQ(version->translations().size(), 1);
  EXPECT_NE(h.vm->currentTranscription(), version);
  EXPECT_TRUE(h.vm->activeTab().isOriginal());
}

}  // namespace
