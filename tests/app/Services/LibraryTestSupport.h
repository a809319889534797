#pragma once

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/FileAccessManager.h"
#include "Services/LibraryActions.h"
#include "Store/ModelContext.h"
#include "support/TempDir.h"

#include <QDir>
#include <QSettings>
#include <memory>

namespace testsupport {

// A library in a temporary folder: store, settings, file access and the actions service,
// with "Downloads" and "Cache" as the app's own folders.
class LibraryFixture : public TempDirTest {
 protected:
  void SetUp() override {
    root = QString::fromStdString(tempDir.path().string());
    QDir(root).mkpath("Downloads");
    QDir(root).mkpath("Cache");
    context = std::make_unique<parlowvista::ModelContext>(root + "/Parlowvista.store");
    settings = std::make_unique<parlowvista::AppSettings>(
        std::make_unique<QSettings>(root + "/settings.ini", QSettings::IniFormat), root);
    actions = std::make_unique<parlowvista::LibraryActions>(*context, *settings, fileAccess,
                                                            QStringList{root + "/Downloads", root + "/Cache"});
  }

  parlowvista::TranscriptGroup* group(const QString& name, qint64 sortOrder) {
    auto* made = context->insert(std::make_unique<parlowvista::TranscriptGroup>(name, sortOrder));
    context->save();
    return made;
  }

  parlowvista::AudioSource* source(parlowvista::TranscriptGroup* owner, const QString& path,
                                   std::optional<QString> videoId = std::nullopt, int versions = 0) {
    auto* made = new parlowvista::AudioSource(path, QFileInfo(path).fileName(), 61.5, std::nullopt, videoId);
    owner->appendAudioSource(made);
    for (int i = 0; i < versions; ++i) {
      auto* version =
          new parlowvista::Transcription(QStringLiteral("Version %1").arg(i + 1), 1.0,
                                         parlowvista::DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10.0);
      version->setCreatedAt(made->createdAt().addSecs(i + 1));
      made->appendTranscription(version);
    }
    context->save();
    return made;
  }

  QString file(const QString& relative, const std::string& contents = "audio") {
    return QString::fromStdString(writeFile(tempDir / relative.toStdString(), contents).string());
  }

  QString root;
  std::unique_ptr<parlowvista::ModelContext> context;
  std::unique_ptr<parlowvista::AppSettings> settings;
  parlowvista::FileAccessManager fileAccess;
  std::unique_ptr<parlowvista::LibraryActions> actions;
};

}  // namespace testsupport
