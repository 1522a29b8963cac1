// calculations.cpp - field calculations and the models they apply.
#include <algorithm>
#include <cmath>

#include "internal.h"

// ===========================================================================
// Frequency-dependent attenuation of the pulse
//
// The total attenuation over a distance d of a component of frequency f is
// att d + freq_att (f - att_f0) d dB. The first term is applied to the
// spatial impulse responses sample by sample; the second term, with the
// dispersive phase that goes with it, is applied here to the spectrum of the
// pulse, with one distance per field point.
// ===========================================================================

namespace {

constexpr double kNeperPerDb = 0.11512925465;  // ln 10 / 20: L dB is exp(-k L)
constexpr double kPi = 3.141592653589793;
constexpr double kPiSquared = 9.869604401089358;
constexpr double kLargestTransform = 1 << 30;

// Distance travelled at the middle of a response of n + e samples starting
// at sample s. The half length is an integer number of samples.
double middle_distance(const sys_con *sys, int s, int n, int e) {
  const int middle = s + (n + e) / 2;
  return sys->c * middle / sys->fs;
}

// Transform length the attenuated pulse needs: beyond the convolution
// length the dispersive filter spreads the pulse with distance.
int needed_transform_length(const sys_con *sys, int s, int n, int e, int pulse_samples) {
  const double spread = sys->c * 0.59 * sys->freq_att * s + e + n - 1 + pulse_samples + 0.5;
  const double M = std::floor(spread);
  // Longer than any transform (or not a number): let Find_N report it.
  if (!(M < kLargestTransform)) return static_cast<int>(kLargestTransform) + 1;
  // The convolution of n + e samples with the pulse must fit as well, or
  // fast_dft_convolute would replace the attenuated spectrum by a plain one.
  return std::max(static_cast<int>(M), n + e + pulse_samples);
}

// Writes the spectrum F filtered for distance d into out (same length).
void filter_spectrum(const sys_con *sys, const signal_rec *F, double d, signal_rec *out) {
  const int N = F->no_samples;
  const double fa = sys->freq_att;
  const double *x = F->values;
  double *y = out->values;
  // DC and Nyquist both get the gain at zero frequency.
  const double dc_gain = std::exp(kNeperPerDb * sys->att_f0 * fa * d);
  y[0] = x[0] * dc_gain;
  y[1] = x[1] * dc_gain;
  const double h = kNeperPerDb * fa * sys->tau_m / kPiSquared;
  for (int m = 1; m < N / 2; m++) {
    const double f = m * sys->fs / N;
    const double amplitude = std::exp(-kNeperPerDb * fa * (f - sys->att_f0) * d);
    const double phase =
        -2 * kPi * f * h * d + std::log(2 * kPi * f) * (2 * f * kNeperPerDb * fa * d / kPi);
    const double cosine = std::cos(phase);
    const double sine = std::sin(-phase);
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
  const double d = middle_distance(sys, s, n, e);
  const int needed = needed_transform_length(sys, s, n, e, pulse->no_samples);
  if (*spectrum == nullptr || (*spectrum)->no_samples < needed) {
    signal_rec *renewed = Find_FFT(sys, pulse, Find_N(needed, 0));
    if (*spectrum != nullptr) free_signal(sys, *spectrum);
    *spectrum = renewed;
  }
  const signal_rec *F = *spectrum;
  signal_rec *filtered = alloc_signal(sys, F->no_samples, F->start_sample);
  filter_spectrum(sys, F, d, filtered);
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

// ===========================================================================
// End of the frequency-dependent attenuation
// ===========================================================================
