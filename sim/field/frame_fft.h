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
// of lane l at [n kLanes + l] of the real part, sample 2n + 1 of the
// imaginary part. The input of a forward transform is put into arrays of
// its own (in_re, in_im), which stay zero between transforms where nothing
// was put: the first stage of the transform reads them, and the caller
// takes back only what it put (take_back), not the whole frame.
struct LaneFrames {
  double re[kHalfFrame * kLanes];
  double im[kHalfFrame * kLanes];
  double in_re[kHalfFrame * kLanes] = {};
  double in_im[kHalfFrame * kLanes] = {};

  // Every input sample zero.
  void clear() {
    std::fill(in_re, in_re + kHalfFrame * kLanes, 0.0);
    std::fill(in_im, in_im + kHalfFrame * kLanes, 0.0);
  }
  void put(int lane, int sample, double value) {
    double *half = (sample & 1) != 0 ? in_im : in_re;
    half[(sample >> 1) * kLanes + lane] = value;
  }
  // n input samples of a lane from `first` on: the even and the odd ones
  // each in a loop of its own, without a branch per sample.
  void put_run(int lane, int first, const double *values, int n) {
    const int odd = first & 1;
    double *even_half = (odd ? in_im : in_re) + (first >> 1) * kLanes + lane;
    double *odd_half = (odd ? in_re + kLanes : in_im) + (first >> 1) * kLanes + lane;
    for (int i = 0; 2 * i < n; i++) even_half[i * kLanes] = values[2 * i];
    for (int i = 0; 2 * i + 1 < n; i++) odd_half[i * kLanes] = values[2 * i + 1];
  }
  // Input samples [from, to) of a lane back to zero.
  void take_back(int lane, int from, int to) {
    const int odd = from & 1, n = to - from;
    double *even_half = (odd ? in_im : in_re) + (from >> 1) * kLanes + lane;
    double *odd_half = (odd ? in_re + kLanes : in_im) + (from >> 1) * kLanes + lane;
    for (int i = 0; 2 * i < n; i++) even_half[i * kLanes] = 0.0;
    for (int i = 0; 2 * i + 1 < n; i++) odd_half[i * kLanes] = 0.0;
  }
  // Sample `sample` of lane `lane` after an inverse transform.
  double get(int lane, int sample) const;

  // The spectra of the input's first `lanes` lanes into out + l kSpectrum
  // (the padding after each half is left as it is; the input stays). The
  // transforms of the even (E) and odd (O) samples come out of the packed
  // one; X[k] = E[k] + exp(-2 pi i k / kFrame) O[k].
  void forward(double *out, int lanes);

  // The samples of the spectra s[l], l < lanes (the other lanes zero).
  void inverse(const double *const *s, int lanes);

  // The same without the factor 1 / kHalfFrame of the inverse, which
  // add_samples applies.
  void inverse_unscaled(const double *const *s, int lanes);

  // The samples of every lane times scale, lane by lane: sample s of lane
  // l into out[l kFrame + s].
  void samples_by_lane(double *out, double scale) const;
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_FRAME_FFT_H
