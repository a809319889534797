#pragma once

#include <complex>
#include <span>

struct kiss_fftr_state;

namespace voxtrellis {

// A forward DFT of real input of one fixed, even length on kissfft (no
// scaling). Owns its set-up.
class RealFft {
 public:
  // Throws ASRError (processingFailed) when the library refuses the length.
  explicit RealFft(int length);
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  int length() const { return m_length; }
  // input: length() samples; output: length() / 2 + 1 bins.
  void forward(std::span<const float> input, std::span<std::complex<float>> output) const;

 private:
  int m_length;
  kiss_fftr_state* m_setup;
};

}  // namespace voxtrellis
