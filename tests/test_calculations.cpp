// Field calculations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <vector>
#include <random>
#include <initializer_list>
#include <complex>

#include "hand_aperture.h"
#include "sonvar.h"
#include "test_util.h"

using sonvar_test::expect_signal_near;

// ===========================================================================
// Focusing and apodization at a field point
// ===========================================================================

namespace {

class CalculationsTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = sonvar_test::quiet_state(); }
  void TearDown() override {
    if (ap != nullptr) sonvar_test::free_hand_aperture(sys, ap);
    sonvar_test::release_state(sys);
  }

  // Elements with centres at the given x positions, y = z = 0.
  aperture *line_of_elements(const std::vector<double> &xs) {
    std::vector<sonvar_test::HandElement> elements(xs.size());
    for (size_t i = 0; i < xs.size(); i++) elements[i].center = {xs[i], 0.0, 0.0};
    ap = sonvar_test::hand_aperture(sys, elements);
    return ap;
  }

  void evaluate(double x, double y, double z) {
    delays.assign(ap->no_elements, -99.0);
    apodization.assign(ap->no_elements, -99.0);
    find_delays_and_apodization(sys, ap, delays.data(), apodization.data(), x, y, z);
  }

  sys_con *sys = nullptr;
  aperture *ap = nullptr;
  std::vector<double> delays, apodization;

  // A pool signal of n random values in [-1, 1] starting at `start`.
  signal_rec *random_signal(int n, int start) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    signal_rec *s = alloc_signal(sys, n, start);
    for (int j = 0; j < n; j++) s->values[j] = value(rng);
    return s;
  }

  void release(std::initializer_list<signal_rec *> signals) {
    for (signal_rec *s : signals) free_signal(sys, s);
  }

  std::mt19937 rng{42};
};

TEST_F(CalculationsTest, FixedEntriesApplyAtAllTimes) {
  line_of_elements({-1e-3, 0.0, 2e-3});
  for (int i = 0; i < 3; i++) {
    ap->focus_line->delays[i] = 1e-7 * (i + 1);
    ap->apodization_line->values[i] = 0.5 * i;
  }
  for (double z : {1e-3, 0.1}) {
    evaluate(0.0, 0.0, z);
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(delays[i], 1e-7 * (i + 1));
      EXPECT_EQ(apodization[i], 0.5 * i);
    }
  }
}

TEST_F(CalculationsTest, TimeLinesAreLookedUpByEachElementsTimeOfFlight) {
  // Element 0 at the origin, element 1 at x = 30 mm: for a point at
  // z = 10 mm their times of flight are z/c and sqrt(z^2 + 30^2)/c.
  line_of_elements({0.0, 30e-3});
  const double z = 10e-3;
  const double tau0 = z / sys->c;
  focus_entry *second = sonvar_test::add_focus_entry(sys, ap, tau0);  // starts exactly at tau0
  apodization_entry *apod2 = sonvar_test::add_apodization_entry(sys, ap, tau0);
  for (int i = 0; i < 2; i++) {
    ap->focus_line->delays[i] = 1.0;
    second->delays[i] = 2.0;
    ap->apodization_line->values[i] = 0.25;
    apod2->values[i] = 0.75;
  }
  evaluate(0.0, 0.0, z);
  // tau equal to the entry's time: the earlier entry still applies.
  EXPECT_EQ(delays[0], 1.0);
  EXPECT_EQ(apodization[0], 0.25);
  // The far element's tau is larger: the second entry applies.
  EXPECT_EQ(delays[1], 2.0);
  EXPECT_EQ(apodization[1], 0.75);
  // Strictly beyond the entry's time (next representable height).
  evaluate(0.0, 0.0, std::nextafter(z, 1.0));
  EXPECT_EQ(delays[0], 2.0);
  EXPECT_EQ(apodization[0], 0.75);
  // The first entry rules whatever its own time.
  ap->focus_line->time = 1.0;
  evaluate(0.0, 0.0, z);
  EXPECT_EQ(delays[0], 1.0);
}

TEST_F(CalculationsTest, DynamicFocusAlongTheAxisAndQuantization) {
  line_of_elements({0.0, 5e-3});
  ap->focus_line->dynamic = 1;
  free_memory(sys, ap->focus_line->delays);
  ap->focus_line->delays = nullptr;
  ap->fixed_focus = 0;
  const double z = 40e-3, c = sys->c;
  const double kSteer = M_PI / 6;
  evaluate(0.0, 0.0, z);
  // Element 0 at the reference point: focus at distance d = z on the axis.
  EXPECT_NEAR(delays[0], 0.0, 1e-18);
  // Element 1: d = its distance to the point; focus at (0, 0, d).
  const double d = std::hypot(5e-3, z);
  EXPECT_NEAR(delays[1], d / c - std::hypot(5e-3, d) / c, 1e-18);
  // Steered 30 deg in the z-x plane: the focus lies on the steered ray.
  ap->focus_line->angle_zx = kSteer;
  evaluate(0.0, 0.0, z);
  EXPECT_NEAR(delays[0], 0.0, 1e-18);
  EXPECT_NEAR(delays[1], d / c - std::hypot(5e-3 - d * std::sin(kSteer), d * std::cos(kSteer)) / c,
              1e-18);
  // Quantized to 10 ns: nearest multiple, halves going up.
  ap->focus_line->angle_zx = 0.0;
  ap->quantize_delays = 1;
  ap->quantization = 10e-9;
  evaluate(0.0, 0.0, z);
  const double exact = d / c - std::hypot(5e-3, d) / c;
  EXPECT_NEAR(delays[1], std::floor(exact / 10e-9 + 0.5) * 10e-9, 1e-20);
  EXPECT_NE(delays[1], exact);
  // A zero step leaves the delay unquantized (no division by zero).
  ap->quantization = 0.0;
  evaluate(0.0, 0.0, z);
  EXPECT_NEAR(delays[1], exact, 1e-20);
}

TEST_F(CalculationsTest, DynamicApodizationWindows) {
  // Reference at the origin, direction z, F = 1: r = 2 lateral / depth.
  line_of_elements({0.0, 0.99 * 5e-3, 5e-3, 6e-3});
  ap->dynamic_apodization = 1;
  ap->apod_direction = {0.0, 0.0, 1.0};
  ap->f_number = 1.0;
  const double expected_099[] = {(1 - std::cos(1.99 * M_PI)) / 2,
                                 0.54 - 0.46 * std::cos(1.99 * M_PI),
                                 0.42 - 0.5 * std::cos(1.99 * M_PI) + 0.08 * std::cos(3.98 * M_PI)};
  for (int kind = 1; kind <= 3; kind++) {
    ap->apod_window = kind;
    evaluate(0.0, 0.0, 10e-3);
    EXPECT_NEAR(apodization[0], 1.0, 1e-15) << kind;  // r = 0
    EXPECT_NEAR(apodization[1], expected_099[kind - 1], 1e-9) << kind;
    EXPECT_EQ(apodization[2], 0.0) << kind;  // r = 1
    EXPECT_EQ(apodization[3], 0.0) << kind;  // r > 1
  }
  ap->apod_window = 2;
  evaluate(0.0, 0.0, 10e-3);
  EXPECT_NEAR(apodization[1], 0.08, 0.001);
  // On the reference plane (axial 0): on-axis element 1, others off.
  evaluate(3e-3, 0.0, 0.0);
  EXPECT_NEAR(apodization[0], 1.0, 1e-15);
  EXPECT_EQ(apodization[1], 0.0);
  // The depth is measured along the direction from the reference point.
  ap->apod_reference = {0.0, 0.0, -10e-3};
  evaluate(0.0, 0.0, 0.0);
  EXPECT_NEAR(apodization[1], expected_099[1], 1e-9);
}

TEST_F(CalculationsTest, UnknownWindowAndEmptyTimeLinesStopTheProgram) {
  line_of_elements({0.0});
  ap->dynamic_apodization = 1;
  ap->apod_window = 4;
  EXPECT_EXIT(
      {
        dup2(2, 1);
        evaluate(0.0, 0.0, 1e-2);
      },
      testing::ExitedWithCode(255),
      "^Internal error: Unknown apdoization function in dynamic apodization$");
  ap->dynamic_apodization = 0;
  apodization_entry *kept = ap->apodization_line;
  ap->apodization_line = nullptr;
  EXPECT_EXIT(
      {
        dup2(2, 1);
        evaluate(0.0, 0.0, 1e-2);
      },
      testing::ExitedWithCode(255),
      "^Fatal error: The apodization time line of the aperture holds no entry; set an "
      "apodization first \n$");
  ap->apodization_line = kept;
  focus_entry *focus = ap->focus_line;
  ap->focus_line = nullptr;
  EXPECT_EXIT(
      {
        dup2(2, 1);
        evaluate(0.0, 0.0, 1e-2);
      },
      testing::ExitedWithCode(255),
      "^Fatal error: The focus time line of the aperture holds no entry; set a focus first \n$");
  ap->focus_line = focus;
}

}  // namespace

// ===========================================================================
// End of focusing and apodization at a field point
// ===========================================================================

// ===========================================================================
// Frequency-dependent attenuation of the pulse
// ===========================================================================

namespace {

using cplx = std::complex<double>;

// Attenuation typical of soft tissue: 0.5 dB/(MHz cm) around 5 MHz.
constexpr double kFreqAtt = 0.5e-4;  // dB/(m Hz)
constexpr double kCentre = 5e6;      // Hz
constexpr double kTauM = -1.2;

std::vector<double> values_of(const signal_rec *s) {
  return std::vector<double>(s->values, s->values + s->no_samples);
}

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
