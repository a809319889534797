#include "ASR/Streaming/RealFft.h"

#include <voxtrellis/ASRError.h>

#include <kiss_fftr.h>

#include <string>

namespace voxtrellis {

static_assert(sizeof(kiss_fft_cpx) == sizeof(std::complex<float>));

RealFft::RealFft(int length) : m_length(length), m_setup(nullptr) {
  if (length > 0) m_setup = kiss_fftr_alloc(length, 0, nullptr, nullptr);
  if (!m_setup) throw ASRError::processingFailed("FFT set-up refused for length " + std::to_string(length));
}

RealFft::~RealFft() {
  kiss_fftr_free(m_setup);
}

void RealFft::forward(std::span<const float> input, std::span<std::complex<float>> output) const {
  kiss_fftr(m_setup, input.data(), reinterpret_cast<kiss_fft_cpx*>(output.data()));
}

}  // namespace voxtrellis
