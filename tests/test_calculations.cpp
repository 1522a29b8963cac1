// Tests of the calculation module.
#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <vector>

#include "test_util.h"

using sonvar_test::expect_signal_near;
using sonvar_test::quiet_state;
using sonvar_test::release_state;

class CalculationsTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = quiet_state(); }
  void TearDown() override { release_state(sys); }

  // A pool signal of n random values in [-1, 1] starting at `start`.
  signal_rec *random_signal(int n, int start) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    signal_rec *s = alloc_signal(sys, n, start);
    for (int j = 0; j < n; j++) s->values[j] = value(rng);
    return s;
  }

  sys_con *sys = nullptr;
  std::mt19937 rng{42};
};

// ===========================================================================
// Frequency-dependent attenuation of the pulse
// ===========================================================================

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

}  // namespace

TEST_F(CalculationsTest, WithoutFrequencyAttenuationThePulseSpectrumIsCopied) {
  signal_rec *P = random_signal(40, 3);
  signal_rec *F = Find_FFT(sys, P, 256);
  signal_rec *kept = F;
  signal_rec *A = Attenuate_pulse(sys, P, &F, 500, 100, 0);
  EXPECT_EQ(F, kept);
  ASSERT_NE(A, F);
  // Gain exp(0) = 1 and phase 0 in every bin: exact by construction.
  expect_signal_near(A, 3, std::vector<double>(F->values, F->values + 256), 0.0, "copy of F");
  for (signal_rec *s : {A, F, P}) free_signal(sys, s);
}

TEST_F(CalculationsTest, FilterMatchesTheAttenuationModelInEveryBin) {
  set_sonvar(sys, "freq_att", kFreqAtt);
  set_sonvar(sys, "att_f0", kCentre);
  set_sonvar(sys, "tau_m", kTauM);
  signal_rec *P = random_signal(60, 0);
  signal_rec *F = Find_FFT(sys, P, 512);
  // Middle of a 101-sample response from sample 400: sample 450 (the half
  // length is a whole number of samples), 6.93 mm.
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
  for (signal_rec *s : {A, F, P}) free_signal(sys, s);
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
  for (signal_rec *s : {F, P}) free_signal(sys, s);
}

TEST_F(CalculationsTest, SpectrumIsLengthenedOnlyWhenTheDispersedPulseNeedsIt) {
  set_sonvar(sys, "freq_att", kFreqAtt);
  set_sonvar(sys, "att_f0", kCentre);
  signal_rec *P = random_signal(40, 0);
  // s = 10000, n = 100: 1540 * 0.59 * 0.5e-4 * 10000 = 454.3 samples of
  // spread; with n - 1 + 40 + 0.5 the transform needs 593 values.
  signal_rec *F = Find_FFT(sys, P, 1024);
  signal_rec *kept = F;
  signal_rec *A = Attenuate_pulse(sys, P, &F, 10000, 100, 0);
  EXPECT_EQ(F, kept);
  free_signal(sys, A);

  signal_rec *short_F = Find_FFT(sys, P, 512);
  signal_rec *old = short_F;
  const int32_t records = sys->next_signal_number;
  A = Attenuate_pulse(sys, P, &short_F, 10000, 100, 0);
  ASSERT_NE(short_F, old);
  // One new record (the renewed spectrum); the result reuses the short
  // spectrum's record, which went back to the pool.
  EXPECT_EQ(sys->next_signal_number, records + 1);
  expect_signal_near(short_F, 0, std::vector<double>(F->values, F->values + 1024), 1e-14,
                     "renewed spectrum is the pulse's 1024-point spectrum");
  EXPECT_EQ(A->no_samples, 1024);
  for (signal_rec *s : {A, short_F, F, P}) free_signal(sys, s);
}

// Without the longer rule the 64-value spectrum would pass (M = 64) and the
// convolution that needs 65 values would then swap the attenuated spectrum
// in the caller's slot for a plain one.
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
  std::vector<double> ref(direct->values, direct->values + direct->no_samples);
  for (double &v : ref) v /= sys->fs;
  expect_signal_near(y, 300, ref, 1e-12, "no attenuation: plain convolution over fs");
  for (signal_rec *s : {direct, y, A, F, R, P}) free_signal(sys, s);
}

TEST_F(CalculationsTest, AttenuatedPulseFiltersForTheTwoWayDistance) {
  signal_rec *P = random_signal(30, 2);
  signal_rec *a = random_signal(50, 700);
  signal_rec *b = random_signal(45, 650);
  signal_rec *F = Find_FFT(sys, P, 64);

  // No frequency attenuation: (a * P) / fs, with the spectrum lengthened to
  // hold na + 2 P + nb = 155 values.
  signal_rec *plain = attenuated_pulse(sys, a, b, P, &F);
  EXPECT_EQ(F->no_samples, 256);
  signal_rec *direct = Convolute(sys, a, P);
  std::vector<double> ref(direct->values, direct->values + direct->no_samples);
  for (double &v : ref) v /= sys->fs;
  expect_signal_near(plain, 702, ref, 1e-12, "freq_att = 0");

  // With it: the pulse filtered at the middle of 2 * 700 + (80 + 45) / 2.
  set_sonvar(sys, "freq_att", kFreqAtt);
  set_sonvar(sys, "att_f0", kCentre);
  signal_rec *filtered = attenuated_pulse(sys, a, b, P, &F);
  signal_rec *A = Attenuate_pulse(sys, P, &F, 1400, 80, 45);
  signal_rec *expected = fast_dft_convolute(sys, a, P, &A);
  expect_signal_near(filtered, 702,
                     std::vector<double>(expected->values, expected->values + expected->no_samples),
                     0.0, "two-way distance");
  const double gain = std::pow(10.0, kCentre * kFreqAtt * (1540.0 * 1462 / 100e6) / 20);
  EXPECT_NEAR(A->values[0] / F->values[0], gain, kGainTolerance * gain);

  signal_rec *none = attenuated_pulse(sys, nullptr, b, P, &F);
  expect_signal_near(none, 2, std::vector<double>(30, 0.0), 0.0, "absent transmit response");
  for (signal_rec *s : {none, expected, A, filtered, direct, plain, F, b, a, P})
    free_signal(sys, s);
}
