#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace audiofuzz {

// What the application makes of one file: the loader as a transcription loads it
// (AudioProcessor::loadAndResample), and the player's decoder as the player opens and plays it
// (PlaybackDecoder: the player takes a file that gives some sound, as AudioPlayerService does;
// then two seeks into it, and the whole of it from its start). A seek is judged too, as the
// application seeks (the loader's length and places given): where the loader has sound at its
// target, the first tenth of a second after it must be the loader's sound there, within 30 ms.
struct Outcome {
  std::optional<double> loaded;  // seconds; none when the loader refused the file
  std::string loaderSays;        // why it refused it
  std::optional<double> played;  // seconds; none when the player refused it
  std::string playerSays;        // why it refused it, or how decoding ended
  int statedRate = 0;            // the rate its header states (FFmpeg's reading of it); 0 for none
  int statedFrameBytes = 0;      // the bytes of a sample frame its header states, for PCM; 0 for none
  std::string misplaced;         // seeks whose sound is not the loader's at their target; empty for none
};

// `seconds`: how long the undamaged file is, for where the seeks go; decoding is followed up to
// `most` seconds (a file that gives sound without end gives that much).
Outcome examine(const std::filesystem::path& file, double seconds, double most);

// The outcome as one line of text and back, for a child process to hand it over.
std::string toLine(const Outcome& outcome);
Outcome fromLine(const std::string& line);

}  // namespace audiofuzz
