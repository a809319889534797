// Damaged variants of short files in every format the application takes, through the loader and
// the player's decoder (see VariantCheck), each in a child process of its own with a time limit.
// Says per format how many variants the loader and the player took, and the faults: a crash, a
// hang (past the time limit), a length more than a second past the undamaged file's (its sound at
// the rate and in the PCM frame size the variant's header states, where damage made those
// smaller: the bytes hold that much more), the loader and the player not taking the same files, a
// seek whose sound is not the loader's at its target (see VariantCheck), and more than 512 MB of
// memory for a variant. Exits with 1 when there was a fault; the variants at fault are kept in
// --keep's folder. --examine looks at one file so (a variant kept), and says what came of it, how
// long it took and how much memory it held.
//
//   audio-fuzz [--variants N] [--seed S] [--time-limit SECONDS] [--keep FOLDER] [--formats wav,mp3,...]
//   audio-fuzz --examine FILE [--time-limit SECONDS]
//
// Every variant comes from its own seed (the run's, the format's and its number), so that any
// one is made again by the same arguments.

#include "DamagedVariants.h"
#include "VariantCheck.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr double kSeconds = 3.0;            // of each undamaged file
constexpr double kMostLonger = 1.0;         // seconds a variant may last past it
constexpr long kMostKilobytes = 512 << 10;  // of memory for a variant

struct Format {
  std::string name, suffix, codec;
};
const std::vector<Format> kFormats{
    {"wav", "wav", ""},   {"mp3", "mp3", "-b:a 128k"}, {"m4a", "m4a", "-c:a aac"}, {"aac", "aac", "-c:a aac"},
    {"flac", "flac", ""}, {"aiff", "aiff", ""},        {"caf", "caf", ""},         {"caf-alac", "caf", "-c:a alac"}};

struct Options {
  int variants = 100;
  unsigned seed = 1;
  double timeLimit = 60;
  fs::path keep;
  std::vector<std::string> formats;
  fs::path examined;
};

// How a child's look at one file went.
struct Run {
  audiofuzz::Outcome outcome;
  bool crashed = false, hung = false;
  long kilobytes = 0;  // the most memory it held
  std::string how;     // how it ended, when it did not by itself
};

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Examines `file` in a child process, which is given `timeLimit` seconds.
Run examineApart(const fs::path& file, double timeLimit) {
  Run run;
  int link[2];
  if (::pipe(link) != 0) {
    run.crashed = true;
    run.how = "no pipe";
    return run;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(link[0]);
    // What the loader and FFmpeg say of the damage is no news here.
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) ::dup2(quiet, STDERR_FILENO);
    const std::string line = audiofuzz::toLine(audiofuzz::examine(file, kSeconds, 100 * kSeconds + 60)) + "\n";
    for (std::size_t written = 0; written < line.size();) {
      const ssize_t wrote = ::write(link[1], line.data() + written, line.size() - written);
      if (wrote <= 0) break;
      written += std::size_t(wrote);
    }
    ::_exit(0);
  }
  ::close(link[1]);
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeLimit);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.hung = true;
      ::kill(child, SIGKILL);
      break;
    }
    pollfd ready{link[0], POLLIN, 0};
    if (::poll(&ready, 1, int(std::min<long long>(left.count(), 1000))) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(link[0], buffer, sizeof buffer);
    if (got <= 0) break;
    line.append(buffer, std::size_t(got));
  }
  ::close(link[0]);
  int status = 0;
  rusage usage{};
  while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.kilobytes = usage.ru_maxrss;
  if (run.hung) {
    run.how = "still running after " + std::to_string(int(timeLimit)) + " s";
  } else if (WIFSIGNALED(status)) {
    run.crashed = true;
    run.how = std::string("ended by ") + ::strsignal(WTERMSIG(status));
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || line.empty()) {
    run.crashed = true;
    run.how = "exited with " + std::to_string(WEXITSTATUS(status));
  } else {
    run.outcome = audiofuzz::fromLine(line.substr(0, line.find('\n')));
  }
  return run;
}

std::string describe(const audiofuzz::Outcome& outcome) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(3);
  if (outcome.loaded) {
    out << "loaded " << *outcome.loaded << " s";
  } else {
    out << "loader refused (" << outcome.loaderSays << ")";
  }
  if (outcome.played) {
    out << ", played " << *outcome.played << " s";
  } else {
    out << ", player refused (" << outcome.playerSays << ")";
  }
  if (outcome.played && !outcome.playerSays.empty()) out << " (" << outcome.playerSays << ")";
  return out.str();
}

struct Tally {
  int variants = 0, loaded = 0, played = 0, crashes = 0, hangs = 0, overruns = 0, disagreements = 0, memory = 0;
  int misplaced = 0;
  long kilobytes = 0;
  int faults() const { return crashes + hangs + overruns + disagreements + memory + misplaced; }
};

constexpr const char* kUsage =
    "usage: audio-fuzz [--variants N] [--seed S] [--time-limit SECONDS] [--keep FOLDER] [--formats wav,mp3,...]\n"
    "       audio-fuzz --examine FILE [--time-limit SECONDS]\n";

[[noreturn]] void refuse(const std::string& why) {
  std::cerr << "audio-fuzz: " << why << "\n" << kUsage;
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--help" || key == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (i + 1 == argc) refuse(key + " wants a value");
    const std::string value = argv[i + 1];
    try {
      if (key == "--variants") {
        options.variants = std::stoi(value);
      } else if (key == "--seed") {
        options.seed = unsigned(std::stoul(value));
      } else if (key == "--time-limit") {
        options.timeLimit = std::stod(value);
      } else if (key == "--keep") {
        options.keep = value;
      } else if (key == "--examine") {
        options.examined = value;
      } else if (key == "--formats") {
        std::istringstream names(value);
        for (std::string name; std::getline(names, name, ',');) options.formats.push_back(name);
      } else {
        refuse("unknown option " + key);
      }
    } catch (const std::logic_error&) {
      refuse("not a number for " + key + ": " + value);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (!options.examined.empty()) {
    const auto started = std::chrono::steady_clock::now();
    const Run run = examineApart(options.examined, options.timeLimit);
    std::cout << describe(run.outcome) << (run.how.empty() ? "" : "; " + run.how)
              << (run.outcome.misplaced.empty()
                      ? ""
                      : "; seeks not heard where the loader has their time: " + run.outcome.misplaced)
              << "; " << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() << " s, "
              << (run.kilobytes >> 10) << " MB of memory" << std::endl;
    return run.crashed || run.hung ? 1 : 0;
  }
  std::string folderName = (fs::temp_directory_path() / "audio-fuzz-XXXXXX").string();
  const char* made = ::mkdtemp(folderName.data());
  if (!made) {
    std::cerr << "audio-fuzz: no temporary folder\n";
    return 2;
  }
  const fs::path folder = made;
  if (!options.keep.empty()) fs::create_directories(options.keep);
  std::map<std::string, Tally> tallies;
  int formatNumber = 0;
  for (const Format& format : kFormats) {
    ++formatNumber;
    if (!options.formats.empty() &&
        std::find(options.formats.begin(), options.formats.end(), format.name) == options.formats.end()) {
      continue;
    }
    const fs::path original = folder / (format.name + "." + format.suffix);
    const std::string make =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
        "'anoisesrc=c=pink:seed=7:r=44100:a=0.3:d=" +
        std::to_string(kSeconds) + ",lowpass=f=3000' -ac 2 " + format.codec + " '" + original.string() + "'";
    if (std::system(make.c_str()) != 0) {
      std::cerr << "audio-fuzz: the ffmpeg tool cannot make " << original << "\n";
      return 2;
    }
    const Run whole = examineApart(original, options.timeLimit);
    if (!whole.outcome.loaded || !whole.outcome.played) {
      std::cerr << "audio-fuzz: the undamaged " << format.name << " file is not taken: " << describe(whole.outcome)
                << " " << whole.how << "\n";
      return 2;
    }
    const std::string bytes = readAll(original);
    Tally& tally = tallies[format.name];
    for (int number = 0; number < options.variants; ++number) {
      const audiofuzz::Damage damage = audiofuzz::everyDamage()[std::size_t(number) % audiofuzz::everyDamage().size()];
      std::mt19937 random(options.seed * 1000003u + unsigned(formatNumber) * 10007u + unsigned(number));
      const fs::path variant = folder / ("variant." + format.suffix);
      std::ofstream(variant, std::ios::binary) << audiofuzz::damaged(bytes, damage, random);
      const Run run = examineApart(variant, options.timeLimit);
      const audiofuzz::Outcome& outcome = run.outcome;
      std::vector<std::string> faults;
      if (run.crashed) faults.push_back("crash (" + run.how + ")");
      if (run.hung) faults.push_back("hang (" + run.how + ")");
      // Where damage made the header state a lower rate, or smaller PCM frames, the bytes hold
      // that much more.
      const double slower = outcome.statedRate > 0 && outcome.statedRate < whole.outcome.statedRate
                                ? double(whole.outcome.statedRate) / outcome.statedRate
                                : 1.0;
      const double smaller = outcome.statedFrameBytes > 0 && outcome.statedFrameBytes < whole.outcome.statedFrameBytes
                                 ? double(whole.outcome.statedFrameBytes) / outcome.statedFrameBytes
                                 : 1.0;
      const double stretch = slower * smaller;
      const double most = *whole.outcome.loaded * stretch + kMostLonger;
      const bool over = (outcome.loaded && *outcome.loaded > most) || (outcome.played && *outcome.played > most);
      if (!run.crashed && !run.hung && over) faults.push_back("longer than the undamaged file");
      const bool disagree = !run.crashed && !run.hung && outcome.loaded.has_value() != outcome.played.has_value();
      if (disagree) faults.push_back("the loader and the player disagree");
      const bool misplaced = !run.crashed && !run.hung && !outcome.misplaced.empty();
      if (misplaced) faults.push_back("seeks not heard where the loader has their time: " + outcome.misplaced);
      if (run.kilobytes > kMostKilobytes) faults.push_back(std::to_string(run.kilobytes >> 10) + " MB of memory");
      ++tally.variants;
      tally.loaded += outcome.loaded.has_value();
      tally.played += outcome.played.has_value();
      tally.crashes += run.crashed;
      tally.hangs += run.hung;
      tally.overruns += over && !run.crashed && !run.hung;
      tally.disagreements += disagree;
      tally.misplaced += misplaced;
      tally.memory += run.kilobytes > kMostKilobytes;
      tally.kilobytes = std::max(tally.kilobytes, run.kilobytes);
      if (faults.empty()) continue;
      std::ostringstream name;
      name << format.name << "-" << number << "." << format.suffix;
      std::cout << format.name << " #" << number << " (" << audiofuzz::nameOf(damage) << "): ";
      for (std::size_t i = 0; i < faults.size(); ++i) std::cout << (i ? ", " : "") << faults[i];
      std::cout << "; " << describe(outcome);
      if (!options.keep.empty()) {
        fs::copy_file(variant, options.keep / name.str(), fs::copy_options::overwrite_existing);
        std::cout << "; kept as " << (options.keep / name.str()).string();
      }
      std::cout << std::endl;
    }
  }
  fs::remove_all(folder);
  std::cout
      << "\nformat    variants loaded played crashes hangs overruns disagreements misplaced memory  most-memory\n";
  Tally all;
  for (const auto& [name, tally] : tallies) {
    std::cout << std::left << std::setw(9) << name << std::right << std::setw(9) << tally.variants << std::setw(7)
              << tally.loaded << std::setw(7) << tally.played << std::setw(8) << tally.crashes << std::setw(6)
              << tally.hangs << std::setw(9) << tally.overruns << std::setw(14) << tally.disagreements << std::setw(10)
              << tally.misplaced << std::setw(7) << tally.memory << std::setw(9) << (tally.kilobytes >> 10) << " MB\n";
    all.variants += tally.variants;
    all.crashes += tally.crashes;
    all.hangs += tally.hangs;
    all.overruns += tally.overruns;
    all.disagreements += tally.disagreements;
    all.misplaced += tally.misplaced;
    all.memory += tally.memory;
  }
  std::cout << "all: " << all.variants << " variants, " << all.crashes << " crashes, " << all.hangs << " hangs, "
            << all.overruns << " overruns, " << all.disagreements << " disagreements, " << all.misplaced
            << " misplaced seeks, " << all.memory << " over the memory bound" << std::endl;
  return all.faults() > 0 ? 1 : 0;
}
