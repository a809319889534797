#pragma once

#include <stdexcept>
#include <string>

namespace voxtrellis {

// A media file could not be opened or decoded. Carries the decoder's own
// explanation; what() is "Cannot open audio file <path>: <reason>" or
// "Cannot read audio file <path>: <reason>". `unreadable`: a read of the file failed (a failing
// disk, a network share gone away) before any of its sound, which says nothing of what it holds;
// reason() is the system's words for it ("Input/output error").
class AudioFileError : public std::runtime_error {
 public:
  enum class Kind { openFailed, readFailed, unreadable };
  AudioFileError(Kind kind, std::string path, const std::string& reason)
      : std::runtime_error(
            std::string(kind == Kind::openFailed ? "Cannot open audio file " : "Cannot read audio file ") + path +
            ": " + reason),
        m_kind(kind),
        m_path(std::move(path)),
        m_reason(reason) {}

  Kind kind() const { return m_kind; }
  const std::string& path() const { return m_path; }
  const std::string& reason() const { return m_reason; }

 private:
  Kind m_kind;
  std::string m_path;
  std::string m_reason;
};

// Damage in a media file that decoding skipped, the sound after it kept: where it was met and
// how long the sound it cost lasted, in seconds of the decoded sound. The length is what the
// container says lay there; where it does not say where its frames lie (raw MP3, ADTS AAC), what
// the packets the decoder refused lasted by their headers, and the bytes that were no packet at
// the rate of the stream before the damage: then `estimated`. Where the file could not be read
// on (a read that failed short of its end: a failing disk, a network share gone away), or
// nothing of a good part of it decodes from some point to its end, nothing of it from `at` on is
// in the sound: `unreadable` says why, in the system's words ("Input/output error", "Invalid data
// found when processing input"), and `seconds` is 0; it is empty for damage skipped.
struct SkippedDamage {
  double at = 0;
  double seconds = 0;
  bool estimated = false;
  std::string unreadable = {};
};

}  // namespace voxtrellis
