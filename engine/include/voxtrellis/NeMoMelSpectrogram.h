#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace voxtrellis {

// The log-mel front end of the end-of-utterance recogniser's streaming
// encoder: pre-emphasis 0.97, 256 zeros of centre padding on each side,
// 160-sample hops of a 400-sample symmetric Hann window centred in a
// 512-point DFT, the power spectrum, 128 Slaney mel bands (0 to 8000 Hz,
// area-normalised) and ln(energy + 2^-24). No normalisation follows.
//
// Input is 16 kHz mono float audio of any length. Not safe for concurrent
// use (the routines share scratch buffers); one owner at a time.
class NeMoMelSpectrogram {
 public:
  static constexpr int sampleRate = 16000;
  static constexpr int nFFT = 512;
  static constexpr int hopLength = 160;
  static constexpr int winLength = 400;
  static constexpr int nMels = 128;
  static constexpr int bins = nFFT / 2 + 1;             // 257, DC to Nyquist
  static constexpr float logZeroGuard = 5.9604645e-8f;  // 2^-24
  static constexpr float logZero = -16.635532f;         // ln(2^-24)

  // Builds the window, the filterbank and the DFT set-up. Throws ASRError
  // (processingFailed) when the DFT set-up is refused, rather than producing
  // silent features later.
  NeMoMelSpectrogram();
  ~NeMoMelSpectrogram();
  NeMoMelSpectrogram(const NeMoMelSpectrogram&) = delete;
  NeMoMelSpectrogram& operator=(const NeMoMelSpectrogram&) = delete;

  struct FlatResult {
    std::vector<float> mel;  // 128 x numFrames, band-major: band m, frame t at m * numFrames + t
    int melLength = 0;       // frames; 0 for empty input
    int numFrames = 0;       // (n + 112) / 160 + 1; 1 for empty input (one silent frame)
  };
  // The encoder's features for one chunk; read as [1, 128, numFrames] row-major.
  FlatResult computeFlat(std::span<const float> audio);

  struct Result {
    std::vector<std::vector<std::vector<float>>> mel;  // [1][128][T]; empty below 241 samples
    int melLength = 0;
  };
  // A simpler variant: no pre-emphasis or padding, the window at the start of
  // each frame, T = (n - 400) / 160 + 1 frames and ln(max(energy, 1e-10)).
  Result compute(std::span<const float> audio);

  // 128 rows of 257 weights.
  const std::vector<std::vector<float>>& getFilterbank() const;
  // 400 values.
  const std::vector<float>& getHannWindow() const;

  // The filterbank's building blocks, exposed for checking.
  static std::vector<float> createHannWindow(int length, bool periodic);
  static std::vector<std::vector<float>> createMelFilterbank(int nFFT, int nMels, int sampleRate, float fMin,
                                                             float fMax);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
