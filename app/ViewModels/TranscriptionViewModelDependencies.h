#pragma once

#include <QString>

#include <memory>

namespace parlowvista {

class AppSettings;
class AudioEnhancer;
class AudioProcessor;
class FileAccessManager;
class FileDialogs;
class SampleCache;
class SpeechEngine;
class TranslationService;
class YouTubeDownloader;

// What the view model works with. Every service has a real implementation; the composition
// root hands them in, tests replace the edges they need to control.
struct TranscriptionViewModelDependencies {
  std::shared_ptr<SpeechEngine> engine;            // required
  std::shared_ptr<AudioProcessor> audioProcessor;  // default: a new loader
  std::shared_ptr<SampleCache> sampleCache;        // default: a cache in the documents folder
  std::shared_ptr<AudioEnhancer> audioEnhancer;    // default: looks for ffmpeg at once
  YouTubeDownloader* youtubeDownloader = nullptr;  // default: a child downloader
  // The application's own (see Application); needed once a translation is asked for.
  TranslationService* translationService = nullptr;
  AppSettings* settings = nullptr;          // required: the application's settings
  FileAccessManager* fileAccess = nullptr;  // required: the application's file access
  std::shared_ptr<FileDialogs> dialogs;     // default: non-blocking Qt file dialogs
  // Where downloaded online-video audio is kept; default: the application data folder's
  // "Parlowvista/YouTubeDownloads".
  QString downloadsFolder;
  // Where the default enhancer puts its files (enhanced audio, preview excerpts); default:
  // temporaryFolder().
  QString temporaryFolder;
};

}  // namespace parlowvista
