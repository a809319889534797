"""Independent log-mel reference for the streaming front end, in float64 numpy.

Usage: mel_reference.py IN.f32 OUT.f32 -- reads raw float32 samples, writes
the 128 x T features band-major as raw float32.
"""
import sys

import numpy as np

SR, NFFT, HOP, WIN, MELS = 16000, 512, 160, 400, 128


def hz_to_mel(f):
    f = np.asarray(f, dtype=np.float64)
    mel = f / (200.0 / 3)
    log_region = f >= 1000.0
    mel[log_region] = 15.0 + np.log(f[log_region] / 1000.0) / (np.log(6.4) / 27.0)
    return mel


def mel_to_hz(m):
    m = np.asarray(m, dtype=np.float64)
    f = m * (200.0 / 3)
    log_region = m >= 15.0
    f[log_region] = 1000.0 * np.exp((np.log(6.4) / 27.0) * (m[log_region] - 15.0))
    return f


def filterbank():
    fft_freqs = np.arange(NFFT // 2 + 1) * SR / NFFT
    hz = mel_to_hz(np.linspace(hz_to_mel([0.0])[0], hz_to_mel([8000.0])[0], MELS + 2))
    fdiff = np.diff(hz)
    ramps = hz[:, None] - fft_freqs[None, :]
    lower = -ramps[:-2] / fdiff[:-1, None]
    upper = ramps[2:] / fdiff[1:, None]
    weights = np.maximum(0.0, np.minimum(lower, upper))
    return weights * (2.0 / (hz[2:] - hz[:-2]))[:, None]


def main():
    x = np.fromfile(sys.argv[1], dtype=np.float32).astype(np.float64)
    y = np.append(x[:1], x[1:] - 0.97 * x[:-1])
    padded = np.pad(y, NFFT // 2)
    frames = (len(x) + NFFT - WIN) // HOP + 1
    window = np.zeros(NFFT)
    window[(NFFT - WIN) // 2:(NFFT - WIN) // 2 + WIN] = np.hanning(WIN)
    padded = np.pad(padded, (0, NFFT))  # the last frames may reach past the end
    stack = np.stack([padded[t * HOP:t * HOP + NFFT] * window for t in range(frames)])
    power = np.abs(np.fft.rfft(stack, axis=1)) ** 2
    mel = np.log(power @ filterbank().T + 2.0 ** -24)
    mel.T.astype(np.float32).tofile(sys.argv[2])


if __name__ == "__main__":
    main()
