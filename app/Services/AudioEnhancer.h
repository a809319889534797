#pragma once

#include "Models/AudioEnhancementSettings.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

namespace parlowvista {

class ProcessRunner;

// Cleans up a recording with the external tool ffmpeg: the loaded 16 kHz mono samples through a
// filter chain from the enhancement settings, as many back as were given and each where it was
// (enhance()); and the 10-second excerpts of the enhancement preview, made from the file. The
// tool is looked for once, when the enhancer is made.
//
// The excerpts are named "parlowvista-<process id>-", then the name below, and are held
// (HeldFiles) from before the tool starts until cleanupTempFile(): a start can tell what a copy
// that is gone left behind from what a running copy is writing or keeps (removeLeftovers), also a
// copy in another container or on another machine that shares the folder. The temporary folder
// is the one given, else temporaryFolder(): never the working folder.
//
// The excerpts: on the UI thread, calls return at once and answer later on this thread; the tools
// never block it. Files it makes belong to the caller; a failed run removes its partial output,
// and so does a run still under way when the enhancer goes (as the application ends, on every
// road). enhance() blocks: a worker thread's.
class AudioEnhancer : public QObject {
  Q_OBJECT
 public:
  // A preview's file, or the user-facing description of the failure (the samples' failures read
  // alike): "FFmpeg not found. Install with: sudo apt install ffmpeg", "Input audio file not
  // found", "Audio enhancement failed: " + the tool's error output (its errors only: "<file>: No
  // space left on device", say) and, where a signal ended it, "ffmpeg was ended by signal 9
  // (Killed)" (where it ended with a status and said nothing, "ffmpeg ended with exit status 1"),
  // "Audio enhancement failed: <output file>: <the system's reason>" when the output cannot be
  // made, "Failed to create enhanced audio file" (the tool ended well without writing it), or
  // the system's reason a tool could not start. `toolErrors`: what the tool said on a run that
  // ended well all the same (ffmpeg takes a read error or damage it cannot read past for the end
  // of its input, says so and ends well: an excerpt cut short), empty when it said nothing.
  struct Outcome {
    std::optional<QString> outputPath;
    QString error;
    QString toolErrors = {};
  };
  // The samples through the chain and what the tool said on the run, empty when nothing (see
  // Outcome::toolErrors).
  struct Enhanced {
    std::vector<float> samples;
    QString toolErrors = {};
  };
  using Done = std::function<void(const Outcome&)>;

  // "/usr/bin/ffmpeg", "/usr/local/bin/ffmpeg", then "ffmpeg" on PATH.
  static std::optional<QString> findFFmpeg();

  // `ffmpegPath`: the tool found (nothing: no tool).
  explicit AudioEnhancer(std::optional<QString> ffmpegPath, QString temporaryFolder = {}, QObject* parent = nullptr);
  // Runs under way are ended: their tools killed (no answer comes) and their partial output
  // removed.
  ~AudioEnhancer() override;

  bool isAvailable() const { return m_ffmpegPath.has_value(); }
  const std::optional<QString>& ffmpegPath() const { return m_ffmpegPath; }

  // The loaded samples (16 kHz mono) through the chain, fed to the tool as it takes them and read
  // back as it gives them: as many come back as were given, each where it was (the chain's delay,
  // measured for the tool, made up for), so the file's damage, read errors and places found by
  // the loader hold for them as they are. `progress` hears the share done, 0...1, on this thread.
  // Blocking, any thread: it reads only what the enhancer was made with. Throws
  // std::runtime_error with the description of Outcome::error; also, after the tool's own words,
  // when it ended well all the same: "Audio enhancement failed: ffmpeg gave back 12.0 s of the
  // 60.0 s of sound given to it" (with less), "... ffmpeg gave back more than the 60.0 s of sound
  // given to it" (with more: ended as soon as it is clearly more), "... ffmpeg gave back values
  // that are no sound (not a number, infinite, or over 16 times full scale): 3859 of 960000
  // samples", and "... the delay of ffmpeg's filters could not be measured: " and why. A stop asked for through
  // `stop` ends the tool and throws voxtrellis::WorkStopped.
  Enhanced enhance(std::span<const float> samples, const AudioEnhancementSettings& settings,
                   const std::function<void(double)>& progress = {}, std::stop_token stop = {}) const;
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
  // still running here (a process of another user included). Returns how many went. A stop
  // asked for through `stop` ends it between two entries. Any thread.
  static int removeLeftovers(const QString& folder, std::stop_token stop = {});

 private:
  struct ToolResult {
    bool started = false;
    int exitCode = -1;
    int signal = 0;  // the signal that ended the tool, 0: none
    QByteArray standardError;
    QByteArray standardOutput;
    QString startError;
  };
  // `output`: the file the tool writes, removed should the enhancer go before the tool ends.
  void runTool(const QString& program, const QStringList& arguments, std::function<void(const QByteArray&)> onOutput,
               std::function<void(const ToolResult&)> done, const QString& output = {});
  // What a tool's run that was to write a preview's `output` comes to; a failed run's output is
  // removed.
  static Outcome outcomeOf(const ToolResult& result, const QString& output);
  // What a tool that ended well said on its error stream, trimmed ("Unknown error" when it is no
  // text); empty when nothing.
  static QString toolSaid(const QByteArray& standardError);
  // What a failed tool's run says after "Audio enhancement failed: ": its error output, then the
  // signal that ended it, if one did; its exit status where it said nothing.
  static QString failureText(const QByteArray& standardError, int exitCode, int signal);
  // Samples a run may give back short of or beyond what it was given (a resampler's rounding),
  // made up with silence or dropped; more either way is a failure.
  static constexpr std::size_t kRoundingTolerated = 160;
  // The chain ends in a limiter: whatever went in, what comes out stays near full scale (the
  // loudest clicks and squares sent through every chain came back below twice it). Samples
  // beyond this, far above that, are no sound the chain can give: bytes that were never its
  // samples (a float read from arbitrary bytes is beyond it about half of the time).
  static constexpr float kLoudestSound = 16.0f;
  // What measures a chain's delay: a click (at kClickAt) in kProbeLength samples of silence,
  // padded with kProbePadding more, so that a delay up to half a second is seen. The click is
  // told by where it comes back loudest, within kClickReach samples (a millisecond): what the
  // filters make of it there is its echo.
  static constexpr std::size_t kProbeLength = 4000;
  static constexpr std::size_t kClickAt = 1600;
  static constexpr std::size_t kProbePadding = 8000;
  static constexpr std::size_t kClickReach = 16;
  // What a run of the tool over samples gave back: `keep` samples after the first `skip` (those
  // it did not give are silence), how many it gave in all (beyond what it was allowed, when it
  // was ended for it) and what it said.
  struct Filtered {
    std::vector<float> samples;
    std::size_t given = 0;
    QString toolErrors;
  };
  // Runs the tool with `arguments` over `input`, fed to it as it takes it and read back as it
  // gives it. A tool that gives back more than skip + keep (and rounding) is ended at once.
  // Throws as enhance() does for the tool's failures and a stop.
  Filtered filter(std::span<const float> input, const QStringList& arguments, std::size_t skip, std::size_t keep,
                  const std::function<void(double)>& progress, const std::stop_token& stop) const;
  // How many samples late the chain for `settings` gives its sound with this tool (ffmpeg's noise
  // reduction holds it back, by as much as that build of it does): measured with a click the first
  // time a tool (a file, replaced or not) runs a chain, then remembered.
  std::size_t chainDelay(const AudioEnhancementSettings& settings, const std::stop_token& stop) const;
  // How many of `samples` are no sound: not a number, infinite, or beyond kLoudestSound.
  static std::size_t notSound(std::span<const float> samples);
  void renderExcerpt(const QString& inputPath, const QString& output, const QStringList& arguments, Done done);
  QString newTempPath(const QString& prefix) const;

  std::optional<QString> m_ffmpegPath;
  QString m_temporaryFolder;
  // Runs under way, with the file each writes.
  std::map<ProcessRunner*, QString> m_running;
};

}  // namespace parlowvista
