#include <voxtrellis/NeMoMelSpectrogram.h>

#include "ASR/Streaming/RealFft.h"

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <complex>

namespace voxtrellis {

namespace {

// Slaney's mel scale in single precision: linear below 1000 Hz, logarithmic above.
constexpr float kLinearStep = 66.666664f;  // 200 / 3
constexpr float kLogStart = 15.000001f;    // 1000 Hz in mel
constexpr float kLogStep = 0.06875177f;    // ln(6.4) / 27

float hzToMel(float f) {
  return f < 1000.0f ? f / kLinearStep : kLogStart + std::log(f / 1000.0f) / kLogStep;
}
float melToHz(float mel) {
  return mel < kLogStart ? kLinearStep * mel : 1000.0f * std::exp((mel - kLogStart) * kLogStep);
}

using RowMajor = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

}  // namespace

struct NeMoMelSpectrogram::Impl {
  static constexpr float preemph = 0.97f;
  static constexpr int frameOffset = (nFFT - winLength) / 2;  // 56 zeros on each side of the window

  std::vector<float> hannWindow = createHannWindow(winLength, false);
  std::vector<std::vector<float>> melFilterbank = createMelFilterbank(nFFT, nMels, sampleRate, 0.0f, 8000.0f);
  RowMajor melFilterbankFlat{nMels, bins};
  RealFft fft{nFFT};
  // Scratch reused by every frame.
  std::vector<float> frame = std::vector<float>(nFFT, 0.0f);
  std::vector<std::complex<float>> spectrum = std::vector<std::complex<float>>(bins);
  Eigen::VectorXf powerSpec = Eigen::VectorXf::Zero(bins);
  Eigen::VectorXf energies = Eigen::VectorXf::Zero(nMels);

  Impl() {
    for (int m = 0; m < nMels; ++m) {
      for (int k = 0; k < bins; ++k) melFilterbankFlat(m, k) = melFilterbank[m][k];
    }
  }

  // powerSpec from `frame`.
  void powerSpectrumInPlace() {
    fft.forward(frame, spectrum);
    for (int k = 0; k < bins; ++k) powerSpec[k] = std::norm(spectrum[k]);
  }
};

NeMoMelSpectrogram::NeMoMelSpectrogram() : m_impl(std::make_unique<Impl>()) {}
NeMoMelSpectrogram::~NeMoMelSpectrogram() = default;

std::vector<float> NeMoMelSpectrogram::createHannWindow(int length, bool periodic) {
  if (length <= 0) return {};
  const float denominator = static_cast<float>(periodic ? length : length - 1);
  std::vector<float> w(static_cast<std::size_t>(length));
  for (int n = 0; n < length; ++n) {
    // A one-sample window has nothing to taper.
    w[n] = denominator > 0 ? 0.5f * (1.0f - std::cos(6.283185f * static_cast<float>(n) / denominator)) : 1.0f;
  }
  return w;
}

std::vector<std::vector<float>> NeMoMelSpectrogram::createMelFilterbank(int nFFT, int nMels, int sampleRate, float fMin,
                                                                        float fMax) {
  const int binCount = nFFT / 2 + 1;
  const float melMin = hzToMel(fMin);
  const float melMax = hzToMel(fMax);
  std::vector<float> hz(static_cast<std::size_t>(nMels + 2));
  for (int i = 0; i < nMels + 2; ++i) {
    hz[i] = melToHz(melMin + (melMax - melMin) * static_cast<float>(i) / static_cast<float>(nMels + 1));
  }
  // The outer edges are the band limits themselves, not their round trip
  // through the mel scale, so the top band ends exactly at fMax.
  hz.front() = fMin;
  hz.back() = fMax;
  std::vector<std::vector<float>> bank(static_cast<std::size_t>(nMels), std::vector<float>(binCount, 0.0f));
  for (int m = 0; m < nMels; ++m) {
    const float left = hz[m];
    const float centre = hz[m + 1];
    const float right = hz[m + 2];
    const float enorm = 2.0f / (right - left);
    for (int k = 0; k < binCount; ++k) {
      const float f = static_cast<float>(sampleRate) * static_cast<float>(k) / static_cast<float>(nFFT);
      if (left <= f && f < centre) {
        bank[m][k] = enorm * (f - left) / (centre - left);
      } else if (centre <= f && f <= right) {
        bank[m][k] = enorm * (right - f) / (right - centre);
      }
    }
  }
  return bank;
}

const std::vector<std::vector<float>>& NeMoMelSpectrogram::getFilterbank() const {
  return m_impl->melFilterbank;
}

const std::vector<float>& NeMoMelSpectrogram::getHannWindow() const {
  return m_impl->hannWindow;
}

NeMoMelSpectrogram::FlatResult NeMoMelSpectrogram::computeFlat(std::span<const float> audio) {
  Impl& d = *m_impl;
  const int n = static_cast<int>(audio.size());
  FlatResult result;
  if (n == 0) {
    result.mel.assign(nMels, logZero);
    result.melLength = 0;
    result.numFrames = 1;
    return result;
  }
  // Pre-emphasis straight into the centre-padded signal.
  const int padding = nFFT / 2;
  std::vector<float> padded(static_cast<std::size_t>(n) + nFFT, 0.0f);
  padded[padding] = audio[0];
  for (int i = 1; i < n; ++i) padded[padding + i] = audio[i] - Impl::preemph * audio[i - 1];

  const int frames = (n + nFFT - winLength) / hopLength + 1;
  result.mel.resize(static_cast<std::size_t>(nMels) * frames);
  const int paddedLength = n + nFFT;
  for (int t = 0; t < frames; ++t) {
    std::fill(d.frame.begin(), d.frame.end(), 0.0f);
    const int start = t * hopLength + Impl::frameOffset;
    const int count = std::min(winLength, paddedLength - start);
    for (int j = 0; j < count; ++j) d.frame[Impl::frameOffset + j] = padded[start + j] * d.hannWindow[j];
    d.powerSpectrumInPlace();
    d.energies.noalias() = d.melFilterbankFlat * d.powerSpec;
    for (int m = 0; m < nMels; ++m) {
      result.mel[static_cast<std::size_t>(m) * frames + t] = std::log(d.energies[m] + logZeroGuard);
    }
  }
  result.melLength = frames;
  result.numFrames = frames;
  return result;
}

NeMoMelSpectrogram::Result NeMoMelSpectrogram::compute(std::span<const float> audio) {
  Impl& d = *m_impl;
  const int n = static_cast<int>(audio.size());
  Result result;
  if (n < winLength - hopLength + 1) return result;  // (n - 400) / 160 + 1 is not positive
  const int frames = (n - winLength) / hopLength + 1;
  result.mel.assign(1, std::vector<std::vector<float>>(nMels, std::vector<float>(frames)));
  for (int t = 0; t < frames; ++t) {
    std::fill(d.frame.begin(), d.frame.end(), 0.0f);
    for (int j = 0; j < winLength && t * hopLength + j < n; ++j)
      d.frame[j] = audio[t * hopLength + j] * d.hannWindow[j];
    d.powerSpectrumInPlace();
    d.energies.noalias() = d.melFilterbankFlat * d.powerSpec;
    for (int m = 0; m < nMels; ++m) result.mel[0][m][t] = std::log(std::max(d.energies[m], 1e-10f));
  }
  result.melLength = frames;
  return result;
}

}  // namespace voxtrellis
