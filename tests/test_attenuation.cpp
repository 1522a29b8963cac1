// Tests of the frequency-dependent attenuation of the pulse.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "field/attenuation.h"
#include "support/calculation_test.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using namespace sonvar_test;  // the shared helpers, oracles and fixture

namespace {
using cplx = std::complex<double>;

// Attenuation typical of soft tissue: 0.5 dB/(MHz cm) around 5 MHz.
constexpr double kFreqAtt = 0.5e-4;  // dB/(m Hz)
constexpr double kCentre = 5e6;      // Hz
constexpr double kTauM = -1.2;

// Bin k of a packed spectrum as a complex number.
cplx packed_bin(const signal_rec *X, int k) {
  const int N = X->no_samples;
  if (k == 0) return X->values[0];
  if (k == N / 2) return X->values[1];
  return {X->values[2 * k], X->values[2 * k + 1]};
}

// The attenuation filter written from the model, independently of the
// library's arrangement: a level of freq_att (f - f0) d dB and the phase
// (2 k freq_att d f / pi) (ln(2 pi f) - tau_m) taken off, with k = ln 10 / 20
// in full precision. DC and Nyquist keep the zero-frequency gain.
cplx model_filter(double f, bool edge, double d, double tau_m) {
  const double pi = std::acos(-1.0);
  const double k = std::log(10.0) / 20;
  if (edge) return std::pow(10.0, kCentre * kFreqAtt * d / 20);
  const double level = kFreqAtt * (f - kCentre) * d;
  const double phase = (2 * k * kFreqAtt * d * f / pi) * (std::log(2 * pi * f) - tau_m);
  return std::pow(10.0, -level / 20) * std::polar(1.0, -phase);
}

// The library's k has 11 digits (2.6e-12 relative): a gain of a few dB is
// then off by a few 1e-12 relative; the bins' phases by less.
constexpr double kFilterTolerance = 1e-10;
constexpr double kGainTolerance = 1e-11;

TEST_F(CalculationsTest, SpectrumIsCopiedWithoutFrequencyAttenuationAndLengthenedOnlyWhenNeeded) {
  signal_rec *P = random_signal(40, 3);
  signal_rec *F = Find_FFT(sys, P, 256);
  signal_rec *kept = F;
  signal_rec *A = Attenuate_pulse(sys, P, &F, 500, 100, 0);  // needs 140 values
  EXPECT_EQ(F, kept);
  // Gain exp(0) = 1 and phase 0 in every bin: exact by construction.
  expect_signal_near(A, 3, values_of(F), 0.0, "freq_att = 0: a copy of F");
  free_signal(sys, A);

  // s = 10000, n = 100: 1540 * 0.59 * 0.5e-4 * 10000 = 454.3 samples of
  // dispersion; with n - 1 + 40 + 0.5 the transform needs 593 values.
  set_sonvar(sys, "freq_att", kFreqAtt);
  set_sonvar(sys, "att_f0", kCentre);
  signal_rec *F1024 = Find_FFT(sys, P, 1024);
  kept = F1024;
  A = Attenuate_pulse(sys, P, &F1024, 10000, 100, 0);
  EXPECT_EQ(F1024, kept);
  free_signal(sys, A);
  signal_rec *old = F;
  A = Attenuate_pulse(sys, P, &F, 10000, 100, 0);
  ASSERT_NE(F, old);  // the 256-value spectrum went back to the pool
  expect_signal_near(F, 3, values_of(F1024), 1e-14, "renewed: the pulse's 1024-point spectrum");
  EXPECT_EQ(A->no_samples, 1024);
  release({A, F1024, F, P});
}

TEST_F(CalculationsTest, FilterMatchesTheAttenuationModelInEveryBin) {
  set_sonvar(sys, "freq_att", kFreqAtt);
  set_sonvar(sys, "att_f0", kCentre);
  set_sonvar(sys, "tau_m", kTauM);
  signal_rec *P = random_signal(60, 0);
  signal_rec *F = Find_FFT(sys, P, 512);
  // Middle of a 101-sample response from sample 400: sample 450 (a whole
  // number of samples), 6.93 mm.
  signal_rec *A = Attenuate_pulse(sys, P, &F, 400, 101, 0);
  const double d = 1540.0 * 450 / 100e6;
  ASSERT_EQ(A->no_samples, 512);
  double error = 0.0;
  double peak = 0.0;
  for (int k = 0; k <= 256; k++) {
    const double f = k * 100e6 / 512;
    const cplx expected = model_filter(f, k == 0 || k == 256, d, kTauM) * packed_bin(F, k);
    error = std::max(error, std::abs(packed_bin(A, k) - expected));
    peak = std::max(peak, std::abs(expected));
    // Below the centre frequency a component gains, above it it loses.
    if (k > 0 && k < 256) {
      const double ratio = std::abs(packed_bin(A, k)) / std::abs(packed_bin(F, k));
      EXPECT_EQ(ratio > 1.0, f < kCentre) << "bin " << k << " ratio " << ratio;
    }
  }
  EXPECT_LE(error / peak, kFilterTolerance);
  release({A, F, P});
}

TEST_F(CalculationsTest, DistanceIsTakenAtTheWholeSampleInTheMiddleOfTheResponse) {
  set_sonvar(sys, "freq_att", kFreqAtt);
  set_sonvar(sys, "att_f0", kCentre);
  signal_rec *P = random_signal(20, 0);
  signal_rec *F = Find_FFT(sys, P, 256);
  // s = 100, n = 50: the middle is sample 125, d = 1540 * 125 / 1e8 = 1.925
  // mm. With n + e = 51 the half length is still 25 samples, not 25.5.
  const double gain = std::pow(10.0, kCentre * kFreqAtt * 1.925e-3 / 20);
  for (const auto &[n, e] : std::vector<std::pair<int, int>>{{50, 0}, {51, 0}, {50, 1}}) {
    signal_rec *A = Attenuate_pulse(sys, P, &F, 100, n, e);
    EXPECT_NEAR(A->values[0] / F->values[0], gain, kGainTolerance * gain)
        << "n " << n << " e " << e;
    EXPECT_NEAR(A->values[1] / F->values[1], gain, kGainTolerance * gain)
        << "n " << n << " e " << e;
    free_signal(sys, A);
  }
  release({F, P});
}

// With the transform length alone the 64-value spectrum would pass (M = 64)
// and the convolution, which needs 65 values, would then swap the attenuated
// spectrum in the caller's slot for a plain one.
TEST_F(CalculationsTest, PowerOfTwoConvolutionLengthStillGetsAFullSpectrum) {
  signal_rec *P = random_signal(17, 0);
  signal_rec *R = random_signal(48, 300);
  signal_rec *F = Find_FFT(sys, P, 64);  // n + P - 1 = 64
  signal_rec *A = Attenuate_pulse(sys, P, &F, 300, 48, 0);
  EXPECT_EQ(F->no_samples, 128);
  ASSERT_EQ(A->no_samples, 128);
  signal_rec *attenuated = A;
  signal_rec *y = fast_dft_convolute(sys, R, P, &A);
  EXPECT_EQ(A, attenuated);
  signal_rec *direct = Convolute(sys, R, P);
  std::vector<double> ref = values_of(direct);
  for (double &v : ref) v /= sys->fs;
  expect_signal_near(y, 300, ref, 1e-12, "no attenuation: plain convolution over fs");
  release({direct, y, A, F, R, P});
}

TEST_F(CalculationsTest, AttenuatedPulseFiltersForTheTwoWayDistance) {
  signal_rec *P = random_signal(30, 2);
  signal_rec *a = random_signal(50, 700);
  signal_rec *b = random_signal(45, 650);
  signal_rec *F = Find_FFT(sys, P, 64);
  // No frequency attenuation: (a * P) / fs, the spectrum lengthened to hold
  // na + 2 P + nb = 155 values.
  signal_rec *plain = attenuated_pulse(sys, a, b, P, &F);
  EXPECT_EQ(F->no_samples, 256);
  signal_rec *direct = Convolute(sys, a, P);
  std::vector<double> ref = values_of(direct);
  for (double &v : ref) v /= sys->fs;
  expect_signal_near(plain, 702, ref, 1e-12, "freq_att = 0");
  // With it: the pulse filtered at sample 2 * 700 + (80 + 45) / 2 = 1462.
  set_sonvar(sys, "freq_att", kFreqAtt);
  set_sonvar(sys, "att_f0", kCentre);
  signal_rec *filtered = attenuated_pulse(sys, a, b, P, &F);
  signal_rec *A = Attenuate_pulse(sys, P, &F, 1400, 80, 45);
  const double gain = std::pow(10.0, kCentre * kFreqAtt * (1540.0 * 1462 / 100e6) / 20);
  EXPECT_NEAR(A->values[0] / F->values[0], gain, kGainTolerance * gain);
  signal_rec *expected = fast_dft_convolute(sys, a, P, &A);
  expect_signal_near(filtered, 702, values_of(expected), 0.0, "two-way distance");
  signal_rec *none = attenuated_pulse(sys, nullptr, b, P, &F);
  expect_signal_near(none, 2, std::vector<double>(30, 0.0), 0.0, "absent transmit response");
  release({none, expected, A, filtered, direct, plain, F, b, a, P});
}

}  // namespace
