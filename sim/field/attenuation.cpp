// attenuation.cpp - the frequency-dependent attenuation of the pulse.
//
// The total attenuation over a distance d of a component of frequency f is
// att d + freq_att (f - att_f0) d dB. The first term is applied to the
// spatial impulse responses sample by sample; the second term, with the
// dispersive phase that goes with it, is applied here to the spectrum of the
// pulse, with one distance per field point.
#include <algorithm>
#include <cmath>

#include "base/constants.h"
#include "field/attenuation.h"
#include "general/failure.h"

namespace sonvar {

namespace {

constexpr double kLargestTransform = 1 << 30;
// Largest gain of the attenuation filter, dB: 20 log10 of the largest double
// is 6165 dB, and the field a little below that still has to be summed.
constexpr double kMaxGainDb = 6000.0;

// Distance travelled at the middle of a response of n + e samples starting
// at sample s. The half length is an integer number of samples.
double middle_distance(const sys_con *sys, int s, int n, int e) {
  const int middle = s + (n + e) / 2;
  return sys->c * middle / sys->fs;
}

// Room the filter's own time response needs beyond the convolution, in
// samples per (m/s) (dB/(m Hz)) (start sample): the amplitude
// exp(-k fa f d) (k = kNepersPerDb) is in time a Lorentzian whose half width
// is k fa d fs / (2 pi) samples, k c fa s / (2 pi) = 0.0183 c fa s for the
// distance d = c s / fs of start sample s. 0.59 c fa s samples are 32 half
// widths, where the Lorentzian 1 / (1 + (t / half width)^2) has fallen to
// 1e-3 of its peak (-60 dB): what wraps round the circular convolution stays
// below that.
constexpr double kFilterTail = 0.59;

// Transform length the attenuated pulse needs: beyond the convolution
// length the dispersive filter spreads the pulse with distance.
int needed_transform_length(const sys_con *sys, int s, int n, int e, int pulse_samples) {
  const double spread = sys->c * kFilterTail * sys->freq_att * s + e + n - 1 + pulse_samples + 0.5;
  const double M = std::floor(spread);
  // Longer than any transform (or not a number): let Find_N report it.
  if (!(M < kLargestTransform)) return static_cast<int>(kLargestTransform) + 1;
  const int transform = M > 0.0 ? static_cast<int>(M) : 0;  // negative freq_att
  // The convolution of n + e samples with the pulse must fit as well, or
  // fast_dft_convolute would replace the attenuated spectrum by a plain one.
  return std::max(transform, n + e + pulse_samples);
}

}  // namespace

// needed_transform_length for a response (s, n, e), after the checks that
// the filter stays finite and its transform within max_samples.
int checked_attenuation_length(sys_con *sys, int s, int n, int e, int pulse_samples) {
  const double d = middle_distance(sys, s, n, e);
  // Below att_f0 the filter amplifies; at DC by freq_att att_f0 d dB. Beyond
  // kMaxGainDb the gain (and the field) would overflow to infinity.
  const double gain_db = sys->freq_att * sys->att_f0 * d;
  if (!(gain_db <= kMaxGainDb))
    fail(sys,
         "attenuation: at a distance of %g m, freq_att %g dB/(m Hz) around att_f0 %g Hz "
         "amplifies the lowest frequencies by %g dB; above %g dB the field overflows",
         d, sys->freq_att, sys->att_f0, gain_db, kMaxGainDb);
  const int needed = needed_transform_length(sys, s, n, e, pulse_samples);
  if (needed > sys->max_samples)
    fail(sys,
         "attenuation: at a distance of %g m, freq_att %g dB/(m Hz) spreads the pulse over "
         "a transform of %d samples; at most max_samples %lld",
         d, sys->freq_att, needed, static_cast<long long>(sys->max_samples));
  return needed;
}

namespace {

// Bins between two exactly computed amplitudes of the filter. In between,
// the amplitude falls geometrically with the bin (it is exponential in
// frequency), so one multiplication replaces an exp; the relative error
// that builds up over a run stays near kAnchorBins rounding steps (~1e-14).
constexpr int kAnchorBins = 32;

// exp(-k fa (f - f0) d) for the bins of one filter: exact at every
// kAnchorBins-th bin, the previous value times exp(-k fa d fs/N) between.
class AmplitudeRun {
 public:
  AmplitudeRun(const sys_con *sys, int N, double d)
      : sys_(sys),
        N_(N),
        d_(d),
        ratio_(std::exp(-kNepersPerDb * sys->freq_att * (sys->fs / N) * d)) {}
  double at(int m) {
    if (m % kAnchorBins == 1) {  // bins count from 1
      value_ = exact(m);
    } else {
      value_ *= ratio_;
    }
    return value_;
  }

 private:
  double exact(int m) const {
    const double f = m * sys_->fs / N_;
    return std::exp(-kNepersPerDb * sys_->freq_att * (f - sys_->att_f0) * d_);
  }
  const sys_con *sys_;
  int N_;
  double d_;
  double ratio_;
  double value_ = 0.0;
};

// Writes the spectrum F filtered for distance d into out (same length).
void filter_spectrum(const sys_con *sys, const signal_rec *F, double d, signal_rec *out) {
  const int N = F->no_samples;
  const double fa = sys->freq_att;
  const double *x = F->values;
  double *y = out->values;
  // DC and Nyquist both get the gain at zero frequency.
  const double dc_gain = std::exp(kNepersPerDb * sys->att_f0 * fa * d);
  y[0] = x[0] * dc_gain;
  y[1] = x[1] * dc_gain;
  const double h = kNepersPerDb * fa * sys->tau_m / kPiSquared;
  AmplitudeRun amplitudes(sys, N, d);
  for (int m = 1; m < N / 2; m++) {
    const double f = m * sys->fs / N;
    const double amplitude = amplitudes.at(m);
    const double phase =
        -2 * kPi * f * h * d + std::log(2 * kPi * f) * (2 * f * kNepersPerDb * fa * d / kPi);
    // sin is odd, so -sin(phase) is sin(-phase) exactly; with both taken of
    // the same argument the compiler forms them in one sincos call.
    const double cosine = std::cos(phase);
    const double sine = -std::sin(phase);
    const double re = x[2 * m];
    const double im = x[2 * m + 1];
    y[2 * m] = cosine * amplitude * re - sine * amplitude * im;
    y[2 * m + 1] = sine * amplitude * re + cosine * amplitude * im;
  }
}

}  // namespace

signal_rec *Attenuate_pulse(sys_con *sys, signal_rec *pulse, signal_rec **spectrum, int s, int n,
                            int e) {
  if (pulse == nullptr) return nullptr;
  const int needed = checked_attenuation_length(sys, s, n, e, pulse->no_samples);
  if (*spectrum == nullptr || (*spectrum)->no_samples < needed) {
    signal_rec *renewed = Find_FFT(sys, pulse, Find_N(needed, 0));
    if (*spectrum != nullptr) free_signal(sys, *spectrum);
    *spectrum = renewed;
  }
  const signal_rec *F = *spectrum;
  signal_rec *filtered = alloc_signal(sys, F->no_samples, F->start_sample);
  filter_spectrum(sys, F, middle_distance(sys, s, n, e), filtered);
  return filtered;
}

signal_rec *attenuated_pulse(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *pulse,
                             signal_rec **spectrum) {
  if (a == nullptr || pulse == nullptr) return fast_dft_convolute(sys, a, pulse, nullptr);
  const int extra = b != nullptr ? b->no_samples : 0;
  // Twice the transmit start: the two-way path to the point and back.
  signal_rec *A = Attenuate_pulse(sys, pulse, spectrum, 2 * a->start_sample,
                                  a->no_samples + pulse->no_samples, extra);
  // A holds at least na + 2 P + nb values, so this never replaces it.
  signal_rec *result = fast_dft_convolute(sys, a, pulse, &A);
  free_signal(sys, A);
  return result;
}

}  // namespace sonvar
