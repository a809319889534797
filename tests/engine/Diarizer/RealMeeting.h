#pragma once

// A real meeting of four people as the clustering stage receives it: the
// x-vectors of its speech windows (1.44 s every 0.24 s, in time order), each
// window's reference speaker, the reference annotation, and the PLDA the
// vectors belong with, from ../shared/data/meeting-xvectors beside the
// project (its README says what each file is). The folder is not part of the
// project: users of this header skip when `available()` is false.
//
// The PLDA features are made by the engine's own PLDA transform from the
// x-vectors, and psi is read as the diarizer reads it, so the stage sees what
// a run of the application gives it. A longer recording is stood in for by
// the same windows heard several times over, each copy with a little noise.
#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "Diarizer/Offline/Core/OfflineStageTypes.h"
#include "Diarizer/Offline/Extraction/PLDATransform.h"
#include "Diarizer/Offline/Extraction/PldaRhoModel.h"
#include "Onnx/OnnxModel.h"
#include "support/FixturePaths.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace diarizertest {

class RealMeeting {
 public:
  static constexpr int kVoices = 4;

  static std::filesystem::path folder() {
    return testsupport::sourceDir() / ".." / "shared" / "data" / "meeting-xvectors";
  }
  static bool available() {
    std::error_code error;
    return std::filesystem::exists(folder() / "xvectors_1025x256_f32le.bin", error);
  }
  static std::string missingMessage() {
    return "the real meeting embeddings are not at " + folder().lexically_normal().string() +
           " (see that folder's README)";
  }

  // Reads the folder. Throws on a missing or malformed file.
  RealMeeting() {
    const auto dir = folder();
    std::ifstream vectors(dir / "xvectors_1025x256_f32le.bin", std::ios::binary);
    std::vector<float> row(256);
    while (vectors.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(row.size() * 4))) {
      m_xvectors.push_back(row);
    }
    std::ifstream windows(dir / "windows.txt");
    for (double start, end; windows >> start >> end;) m_windows.push_back({start, end});
    std::ifstream speakers(dir / "speaker-of-window.txt");
    for (int speaker; speakers >> speaker;) speakerOf.push_back(speaker);
    std::ifstream rttm(dir / "reference.rttm");
    std::map<std::string, int> names;
    for (std::string line; std::getline(rttm, line);) {
      std::istringstream fields(line);
      std::string type, file, channel, ortho, kind, name;
      double start = 0, duration = 0;
      if (!(fields >> type >> file >> channel >> start >> duration >> ortho >> kind >> name) || type != "SPEAKER")
        continue;
      const int id = names.emplace(name, static_cast<int>(names.size())).first->second;
      m_referenceVoices = static_cast<int>(names.size());
      m_reference.push_back({start, start + duration, id});
    }
    if (m_xvectors.size() != 1025 || m_windows.size() != m_xvectors.size() || speakerOf.size() != m_xvectors.size() ||
        m_reference.empty()) {
      throw std::runtime_error("unexpected content in " + dir.string());
    }
    psi = voxtrellis::OfflineDiarizerModels::loadPLDAPsi(dir);
    m_plda = std::make_unique<voxtrellis::PLDATransform>(
        std::make_shared<voxtrellis::PldaRhoModel>(voxtrellis::OnnxModel::loadFile(dir / "plda-rho.onnx")), psi);
  }

  std::size_t windows() const { return m_xvectors.size(); }

  // The meeting heard `copies` times over, one embedding per window, each
  // copy's x-vectors with Gaussian noise of `noise` times their root mean
  // square (none for exact copies), the PLDA features made from them.
  std::vector<voxtrellis::TimedEmbedding> heard(int copies, double noise, unsigned seed) const {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal;
    std::vector<std::vector<float>> vectors;
    for (int copy = 0; copy < copies; ++copy) {
      for (auto v : m_xvectors) {
        double square = 0;
        for (float x : v) square += static_cast<double>(x) * x;
        const double scale = noise * std::sqrt(square / static_cast<double>(v.size()));
        if (noise > 0) {
          for (float& x : v) x += static_cast<float>(scale * normal(random));
        }
        vectors.push_back(std::move(v));
      }
    }
    auto rho = m_plda->transform(vectors);
    std::vector<voxtrellis::TimedEmbedding> result(vectors.size());
    for (std::size_t i = 0; i < vectors.size(); ++i) {
      result[i].chunkIndex = static_cast<int>(i);
      result[i].speakerIndex = 0;
      result[i].embedding256 = std::move(vectors[i]);
      result[i].rho128 = std::move(rho[i]);
    }
    return result;
  }

  static voxtrellis::SegmentationOutput windowsOf(const std::vector<voxtrellis::TimedEmbedding>& embeddings) {
    voxtrellis::SegmentationOutput segmentation;
    segmentation.numChunks = static_cast<int>(embeddings.size());
    segmentation.numSpeakers = 1;
    return segmentation;
  }

  // The diarization error rate of one hearing's speaker per window (the
  // first windows() assignments), against the reference annotation: missed
  // speech, false alarm and confusion over the reference speech, speakers
  // matched one to one for the least error, 0.25 s around every reference
  // boundary and overlapped speech not scored. A moment of speech belongs to
  // the window whose centre is nearest among those that hold it.
  double diarizationError(const std::vector<int>& assignments) const {
    constexpr double kStep = 0.01, kCollar = 0.25;
    double end = 0;
    for (const auto& turn : m_reference) end = std::max(end, turn.end);
    for (const auto& w : m_windows) end = std::max(end, w.end);
    const auto frames = static_cast<std::size_t>(std::ceil(end / kStep)) + 1;
    std::vector<int> reference(frames, -1), voices(frames, 0);
    std::vector<bool> scored(frames, true);
    const auto frameOf = [&](double t) { return static_cast<std::size_t>(std::max(0.0, std::round(t / kStep))); };
    for (const auto& turn : m_reference) {
      for (std::size_t f = frameOf(turn.start); f < std::min(frames, frameOf(turn.end)); ++f) {
        if (voices[f]++ == 0 || reference[f] == turn.speaker) reference[f] = turn.speaker;
      }
      for (const double edge : {turn.start, turn.end}) {
        for (std::size_t f = frameOf(edge - kCollar); f < std::min(frames, frameOf(edge + kCollar)); ++f)
          scored[f] = false;
      }
    }
    std::vector<int> hypothesis(frames, -1);
    std::vector<double> nearest(frames, 1e9);
    for (std::size_t w = 0; w < m_windows.size(); ++w) {
      const double centre = 0.5 * (m_windows[w].start + m_windows[w].end);
      for (std::size_t f = frameOf(m_windows[w].start); f < std::min(frames, frameOf(m_windows[w].end)); ++f) {
        const double distance = std::fabs(static_cast<double>(f) * kStep - centre);
        if (distance < nearest[f]) {
          nearest[f] = distance;
          hypothesis[f] = assignments[w];
        }
      }
    }
    double speech = 0, missed = 0, falseAlarm = 0;
    std::map<std::pair<int, int>, double> together;
    int hypotheses = 0;
    for (std::size_t f = 0; f < frames; ++f) {
      if (!scored[f] || voices[f] > 1) continue;
      const bool ref = reference[f] >= 0, hyp = hypothesis[f] >= 0;
      speech += ref;
      missed += ref && !hyp;
      falseAlarm += hyp && !ref;
      if (ref && hyp) together[{reference[f], hypothesis[f]}] += 1;
      hypotheses = std::max(hypotheses, hypothesis[f] + 1);
    }
    // The one-to-one match of reference speakers to found ones that shares
    // the most speech, by trying every match (four voices).
    std::vector<bool> taken(static_cast<std::size_t>(hypotheses), false);
    std::function<double(int)> best = [&](int voice) -> double {
      if (voice == m_referenceVoices) return 0.0;
      double most = best(voice + 1);
      for (int h = 0; h < hypotheses; ++h) {
        if (taken[static_cast<std::size_t>(h)]) continue;
        const auto it = together.find({voice, h});
        if (it == together.end()) continue;
        taken[static_cast<std::size_t>(h)] = true;
        most = std::max(most, it->second + best(voice + 1));
        taken[static_cast<std::size_t>(h)] = false;
      }
      return most;
    };
    double bothSpeak = 0;
    for (const auto& [pair, count] : together) bothSpeak += count;
    const double confusion = bothSpeak - best(0);
    return (missed + falseAlarm + confusion) / speech;
  }

  std::vector<int> speakerOf;  // the reference speaker of each window
  std::vector<double> psi;

 private:
  struct Window {
    double start, end;
  };
  struct Turn {
    double start, end;
    int speaker;
  };
  std::vector<std::vector<float>> m_xvectors;
  std::vector<Window> m_windows;
  std::vector<Turn> m_reference;
  int m_referenceVoices = 0;
  std::unique_ptr<voxtrellis::PLDATransform> m_plda;
};

}  // namespace diarizertest
