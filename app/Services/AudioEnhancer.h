#pragma once

#include "Models/AudioEnhancementSettings.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>

namespace parlowvista {

class ProcessRunner;

// Cleans up a recording with the external tool ffmpeg before it is loaded: a filter chain
// from the enhancement settings into a 16 kHz mono 32-bit float WAV in the temporary folder,
// with progress read from the tool's "out_time_ms=" lines; and the 10-second excerpts of the
// enhancement preview. The tool is looked for once, when the enhancer is made.
//
// Its files are named "parlowvista-<process id>-", then the name below, and are held (HeldFiles)
// from before the tool starts until cleanupTempFile(): a start can tell what a copy that is gone
// left behind from what a running copy is writing or keeps (removeLeftovers), also a copy in
// another container or on another machine that shares the folder. The temporary folder is the
// one given, else temporaryFolder(): never the working folder.
//
// UI thread: calls return at once and answer later on this thread; the tools never block
// it. Files it makes belong to the caller; a failed run removes its partial output, and so does
// a run still under way when the enhancer goes (as the application ends, on every road).
class AudioEnhancer : public QObject {
  Q_OBJECT
 public:
  // The output file, or the user-facing description of the failure, the same for the whole file
  // and for a preview:
  // "FFmpeg not found. Install with: sudo apt install ffmpeg", "Input audio file not found",
  // "Audio enhancement failed: " + the tool's error output (its errors only: "<file>: No space
  // left on device", say), "Audio enhancement failed: <output file>: <the system's reason>" when
  // the output cannot be made, "Failed to create enhanced audio file" (the tool ended well without
  // writing it), or the system's reason a tool could not start.
  struct Outcome {
    std::optional<QString> outputPath;
    QString error;
  };
  using Done = std::function<void(const Outcome&)>;

  // "/usr/bin/ffmpeg", "/usr/local/bin/ffmpeg", then "ffmpeg" on PATH.
  static std::optional<QString> findFFmpeg();

  // `ffmpegPath`: the tool found (nothing: no tool). ffprobe is looked for beside it.
  explicit AudioEnhancer(std::optional<QString> ffmpegPath, QString temporaryFolder = {}, QObject* parent = nullptr);
  // Runs under way are ended: their tools killed (no answer comes) and their partial output
  // removed.
  ~AudioEnhancer() override;

  bool isAvailable() const { return m_ffmpegPath.has_value(); }
  const std::optional<QString>& ffmpegPath() const { return m_ffmpegPath; }

  // The whole file through the chain. `progress` gets fractions 0...1 (against ffprobe's
  // duration, or 60 s when there is no probe or no answer).
  void enhance(const QString& inputPath, const AudioEnhancementSettings& settings, std::function<void(double)> progress,
               Done done);
  // "preview_<UUID>.wav": the first 10 s through the chain, 44.1 kHz stereo.
  void generatePreview(const QString& inputPath, const AudioEnhancementSettings& settings, Done done);
  // "preview_original_<UUID>.wav": the first 10 s untouched, 44.1 kHz stereo, made with
  // the same tool.
  void generateOriginalPreview(const QString& inputPath, Done done);

  // Removes a file and lets it go (see HeldFiles); failures are ignored. Any thread.
  static void cleanupTempFile(const QString& path);

  // Removes from `folder` the files of enhancers of processes that no longer run (a copy
  // killed, or the machine's power lost, while it enhanced): only names this class gives, of
  // the running user, never anything else, and nothing some process holds, wherever it runs
  // (HeldFiles), whatever number its name gives. In a folder without locks, nothing of a process
  // still running here (a process of another user included). Returns how many went.
  static int removeLeftovers(const QString& folder);

 private:
  struct ToolResult {
    bool started = false;
    int exitCode = -1;
    QByteArray standardError;
    QByteArray standardOutput;
    QString startError;
  };
  // `output`: the file the tool writes, removed should the enhancer go before the tool ends.
  void runTool(const QString& program, const QStringList& arguments, std::function<void(const QByteArray&)> onOutput,
               std::function<void(const ToolResult&)> done, const QString& output = {});
  // What a tool's run that was to write `output` comes to, the same for the whole file and a
  // preview; a failed run's output is removed.
  static Outcome outcomeOf(const ToolResult& result, const QString& output);
  void renderExcerpt(const QString& inputPath, const QString& output, const QStringList& arguments, Done done);
  QString newTempPath(const QString& prefix) const;

  std::optional<QString> m_ffmpegPath;
  QString m_temporaryFolder;
  // Runs under way, with the file each writes.
  std::map<ProcessRunner*, QString> m_running;
};

}  // namespace parlowvista
