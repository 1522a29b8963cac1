// frame_fft.h - the frame transforms of the per-element echoes
// (frame_fft.cpp): kLanes real transforms of kFrame samples side by side,
// one per vector lane, forward into spectra and back.
#ifndef SONVAR_FIELD_FRAME_FFT_H
#define SONVAR_FIELD_FRAME_FFT_H

#include <algorithm>

namespace sonvar {

constexpr int kFrame = 512;             // samples of a frame's transform
constexpr int kHalfFrame = kFrame / 2;  // complex points of the inner transform
constexpr int kBins = kHalfFrame + 1;   // bins of a real frame, DC to Nyquist
constexpr int kLanes = 8;               // transforms side by side
// A spectrum: kBins re from 0, kBins im from kImag, kSpectrum values in all;
// both halves start on whole vectors of kLanes values, so that a spectrum
// starting on a 64-byte boundary is read by aligned loads.
constexpr int kImag = (kBins + kLanes - 1) / kLanes * kLanes;
constexpr int kSpectrum = 2 * kImag;

// Real samples of kLanes frames packed for the inner transform: sample 2n
// of lane l in re[n kLanes + l], sample 2n + 1 in im.
struct LaneFrames {
  double re[kHalfFrame * kLanes];
  double im[kHalfFrame * kLanes];

  void clear() {
    std::fill(re, re + kHalfFrame * kLanes, 0.0);
    std::fill(im, im + kHalfFrame * kLanes, 0.0);
  }
  void put(int lane, int sample, double value) {
    double *half = (sample & 1) != 0 ? im : re;
    half[(sample >> 1) * kLanes + lane] = value;
  }
  double get(int lane, int sample) const {
    const double *halves[2] = {re, im};
    return halves[sample & 1][(sample >> 1) * kLanes + lane];
  }

  // The spectra of the first `lanes` lanes into out + l kSpectrum (the
  // padding after each half is left as it is). The
  // transforms of the even (E) and odd (O) samples come out of the packed
  // one; X[k] = E[k] + exp(-2 pi i k / kFrame) O[k].
  void forward(double *out, int lanes);

  // The samples of the spectra s[l], l < lanes (the other lanes zero).
  void inverse(const double *const *s, int lanes);
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_FRAME_FFT_H
