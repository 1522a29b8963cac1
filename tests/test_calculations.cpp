// Field calculations.
#include <gtest/gtest.h>

#include <set>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <ctime>
#include <vector>
#include <random>
#include <initializer_list>
#include <complex>

#include "hand_aperture.h"
#include "apertures/geometry.h"
#include "base/points.h"
#include "dispatch/scratch_block.h"
#include "field/attenuation.h"
#include "field/focusing.h"
#include "field/progress.h"
#include "field/rect_response.h"
#include "field/scattering.h"
#include "sonvar.h"
#include "test_util.h"

using namespace sonvar;  // the library internals under test

using sonvar_test::capture_stdout;

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

TEST_F(CalculationsTest, FocusAtPointPutsOneDynamicFocusOnTheFieldPoint) {
  // With the option every element's focus is the point at the field
  // point's distance from the reference along the focus direction: for a
  // point on that ray each element's delay plus its time of flight is the
  // reference's time of flight, |P - ref| / c.
  line_of_elements({-9e-3, -2e-3, 0.0, 4e-3, 12e-3});
  ap->focus_line->dynamic = 1;
  free_memory(sys, ap->focus_line->delays);
  ap->focus_line->delays = nullptr;
  ap->fixed_focus = 0;
  set_sonvar(sys, "focus_at_point", 1);
  const double c = sys->c;
  const double centres[] = {-9e-3, -2e-3, 0.0, 4e-3, 12e-3};
  for (const double steer : {0.0, M_PI / 6}) {
    ap->focus_line->angle_zx = steer;
    for (const double r : {5e-3, 10e-3, 40e-3}) {
      const point3 p{r * std::sin(steer), 0.0, r * std::cos(steer)};
      evaluate(p.x, p.y, p.z);
      for (int i = 0; i < 5; i++)
        EXPECT_NEAR(delays[i] + std::hypot(p.x - centres[i], p.z) / c, r / c, 1e-18)
            << "element " << i << ", steer " << steer << ", r " << r;
    }
  }
  // Off the ray the focus stays on it, at the point's distance.
  ap->focus_line->angle_zx = 0.0;
  evaluate(6e-3, 0.0, 8e-3);
  EXPECT_NEAR(delays[4], 10e-3 / c - std::hypot(12e-3, 10e-3) / c, 1e-18);
  // Off again: the element's own distance, as before.
  set_sonvar(sys, "focus_at_point", 0);
  evaluate(0.0, 0.0, 10e-3);
  const double d = std::hypot(12e-3, 10e-3);
  EXPECT_NEAR(delays[4], d / c - std::hypot(12e-3, d) / c, 1e-18);
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

// ---------------------------------------------------------------------------
// Progress and timing report
// ---------------------------------------------------------------------------

namespace {

// One progress call at `now` seconds after a start at 1000 s.
struct ProgressRun {
  time_t start = 1000, current = 0, last_shown = 1000;
  int estimate_shown = 0;
  std::string step(sys_con *sys, time_t elapsed, int i, int n) {
    return capture_stdout([&] {
      display_calculation_time_at(sys, start + elapsed, start, &current, &last_shown,
                                  &estimate_shown, i, n);
    });
  }
};

}  // namespace

TEST_F(CalculationsTest, ProgressSilentWhenTimesAreOff) {
  set_sonvar(sys, "show_times", 0);
  ProgressRun run;
  run.current = 7;
  EXPECT_EQ(run.step(sys, 100, 0, 1000), "");
  EXPECT_EQ(run.current, 7);  // not even the clock is read
  EXPECT_EQ(capture_stdout([&] { display_final_time_at(sys, 5000, 1000); }), "");
}

TEST_F(CalculationsTest, ProgressLinesFollowTheInterval) {
  ProgressRun run;
  EXPECT_EQ(run.step(sys, 5, 0, 100), "");  // 5 s is not more than the interval
  EXPECT_EQ(run.current, 1005);
  // 6 s for 2 of 100 points: 3 s a point, 294 s left.
  EXPECT_EQ(
      run.step(sys, 6, 1, 100),
      "   2.0 % performed (roughly  4 minutes 54 seconds remaining)" + std::string(15, ' ') + "\r");
  EXPECT_EQ(run.last_shown, 1006);
  EXPECT_EQ(run.step(sys, 11, 2, 100), "");
  EXPECT_EQ(run.step(sys, 12, 89, 100),
            "  90.0 % performed (roughly  1 seconds remaining)" + std::string(29, ' ') + "\r");
}

TEST_F(CalculationsTest, EstimateIsPrintedOnceAfterThirtySeconds) {
  ProgressRun run;
  run.last_shown = run.start + 31;           // keep the progress lines out of the way
  EXPECT_EQ(run.step(sys, 30, 0, 100), "");  // not more than 30 s elapsed
  // 31 s for 1 of 125 points: 3875 s in all, 1 h 4 min 35 s.
  EXPECT_EQ(run.step(sys, 31, 0, 125),
            "Calculation will take roughly   1 hours,  4 minutes 35 seconds to complete" +
                std::string(26, ' ') + "\n");
  EXPECT_EQ(run.estimate_shown, 1);
  EXPECT_EQ(run.step(sys, 32, 1, 125), "");
  ProgressRun minutes;
  minutes.last_shown = minutes.start + 40;
  EXPECT_EQ(minutes.step(sys, 40, 3, 10),
            "Calculation will take roughly   1 minutes 40 seconds to complete" +
                std::string(39, ' ') + "\n");
  ProgressRun nearly_done;  // 30 s or less remaining: never an estimate
  nearly_done.last_shown = nearly_done.start + 60;
  EXPECT_EQ(nearly_done.step(sys, 60, 1, 3), "");
}

TEST_F(CalculationsTest, HoursFormatsSplitTheRemainingTime) {
  ProgressRun run;
  run.estimate_shown = 1;
  // 3725 s remaining: 1 hour, 2 minutes, 5 seconds.
  EXPECT_EQ(run.step(sys, 10, 1, 747),
            "   0.3 % performed (roughly   1 hours,  2 minutes  5 seconds remaining)\r");
}

TEST_F(CalculationsTest, FinalTimeFormats) {
  const auto final_line = [&](time_t used) {
    return capture_stdout([&] { display_final_time_at(sys, 1000 + used, 1000); });
  };
  const std::string pad(27, ' ');
  EXPECT_EQ(final_line(0), "");
  EXPECT_EQ(final_line(1), "");
  EXPECT_EQ(final_line(2), " 2 seconds used for the calculation" + pad + "\n");
  EXPECT_EQ(final_line(61), " 1 minutes  1 seconds used for the calculation" + pad + "\n");
  EXPECT_EQ(final_line(3725),
            "   1 hours,  2 minutes  5 seconds used for the calculation" + pad + "\n");
}
// ---------------------------------------------------------------------------
// Rectangle response and the field calculations h, hp and hhp
// ---------------------------------------------------------------------------

namespace {

constexpr double kFs = 100e6;
constexpr double kC = 1540.0;

// Values of a signal as a vector (an absent signal as an empty one).
std::vector<double> samples_of(const signal_rec *s) {
  if (s == nullptr) return {};
  return std::vector<double>(s->values, s->values + s->no_samples);
}

double sum_of(const signal_rec *s) {
  double total = 0;
  for (int j = 0; j < s->no_samples; j++) total += s->values[j];
  return total;
}

// Relative L2 difference of two signals on the common absolute time axis.
double relative_l2(const signal_rec *got, const signal_rec *ref) {
  const int lo = std::min(got->start_sample, ref->start_sample);
  const int hi = std::max(got->start_sample + got->no_samples, ref->start_sample + ref->no_samples);
  const auto at = [](const signal_rec *s, int k) {
    const int j = k - s->start_sample;
    return (j >= 0 && j < s->no_samples) ? s->values[j] : 0.0;
  };
  double diff = 0, norm = 0;
  for (int k = lo; k < hi; k++) {
    diff += sqr(at(got, k) - at(ref, k));
    norm += sqr(at(ref, k));
  }
  return std::sqrt(diff / norm);
}

// (a * b) by the direct sum: the reference for the FFT forms.
std::vector<double> direct_convolution(const std::vector<double> &a, const std::vector<double> &b) {
  std::vector<double> y(a.size() + b.size() - 1, 0.0);
  for (size_t i = 0; i < a.size(); i++)
    for (size_t j = 0; j < b.size(); j++) y[i + j] += a[i] * b[j];
  return y;
}

void free_results(sys_con *sys, signal_rec **results, int n) {
  for (int i = 0; i < n; i++)
    if (results[i] != nullptr) free_signal(sys, results[i]);
  free_memory(sys, results);
}

// Signals handed out and not yet returned.
int signals_in_use(const sys_con *sys) {
  int free_count = 0;
  for (const signal_rec *s = sys->free_signals; s != nullptr; s = s->next) free_count++;
  return sys->next_signal_number - free_count;
}

// One square element of side `side` cut into `cuts` x `cuts` rectangles,
// centred at the origin, focused at (0, 0, 30 mm).
aperture *square(sys_con *sys, double side, int cuts) {
  return xdc_linear_array(sys, 1, side, side, 0.0, cuts, cuts, point3{0, 0, 0.03});
}

}  // namespace

TEST_F(CalculationsTest, OnAxisRectangleGivesOneSample) {
  // A point on the normal axis of an untilted rectangle: T0 = T1 = 0, so the
  // whole weighted area arrives in the sample whose interval holds t0.
  aperture *rect = square(sys, 1e-3, 1);
  const point3 p{0, 0, 0.02};
  signal_rec **h = calc_h(sys, rect, 1, &p);
  ASSERT_NE(h[0], nullptr);
  const double t0 = 0.02 / kC;
  const int k0 = static_cast<int>(std::floor(t0 * kFs + 0.5));
  int nonzero = 0;
  for (int j = 0; j < h[0]->no_samples; j++) {
    if (h[0]->values[j] == 0.0) continue;
    nonzero++;
    EXPECT_EQ(h[0]->start_sample + j, k0);
    // weighted area fs / W, W = 2 pi c times the sample's time.
    const double expected = 1e-6 * kFs / (2 * M_PI * kC * k0 / kFs);
    EXPECT_NEAR(h[0]->values[j], expected, 1e-12 * expected);
  }
  EXPECT_EQ(nonzero, 1);
  free_results(sys, h, 1);
  xdc_free(sys, rect);
}

TEST_F(CalculationsTest, RectanglesConvergeToTheExactTriangleResponse) {
  // Rectangles are a far-field approximation: cut finely enough, a 4 x 4 mm
  // square at 30 mm depth gives the exact (triangle) response. The time
  // integral is within 0.5 % even uncut (0.15 %); the signal needs 10 x 10
  // cuts to come within 2 % L2 on axis (1.25 %; 6 x 6 suffice 5 mm off
  // axis), where an uncut square is off by 250 %.
  aperture *exact = xdc_convert(sys, square(sys, 4e-3, 1));
  aperture *coarse = square(sys, 4e-3, 1);
  aperture *fine = square(sys, 4e-3, 10);
  for (const point3 p : {point3{0, 0, 0.03}, point3{0.005, 0, 0.03}}) {
    signal_rec **ref = calc_h(sys, exact, 1, &p);
    signal_rec **rough = calc_h(sys, coarse, 1, &p);
    signal_rec **got = calc_h(sys, fine, 1, &p);
    // The exact time integral: (1/2pi) * integral dS / R over the square.
    double integral = 0;
    constexpr int kGrid = 400;
    const double step = 4e-3 / kGrid;
    for (int a = 0; a < kGrid; a++)
      for (int b = 0; b < kGrid; b++) {
        const double x = -2e-3 + (a + 0.5) * step, y = -2e-3 + (b + 0.5) * step;
        integral += step * step / std::sqrt(sqr(p.x - x) + sqr(p.y - y) + sqr(p.z));
      }
    integral /= 2 * M_PI;
    // The triangle integration converges to 1e-3 of each step's estimate.
    EXPECT_NEAR(sum_of(ref[0]) / kFs, integral, 1e-4 * integral) << "triangles at x " << p.x;
    EXPECT_NEAR(sum_of(rough[0]) / kFs, integral, 5e-3 * integral) << "uncut at x " << p.x;
    EXPECT_NEAR(sum_of(got[0]) / kFs, integral, 5e-3 * integral) << "10 x 10 at x " << p.x;
    EXPECT_LT(relative_l2(got[0], ref[0]), 0.02) << "10 x 10 at x " << p.x;
    EXPECT_LT(relative_l2(got[0], ref[0]), relative_l2(rough[0], ref[0])) << p.x;
    free_results(sys, ref, 1);
    free_results(sys, rough, 1);
    free_results(sys, got, 1);
  }
  xdc_free(sys, exact);
  xdc_free(sys, coarse);
  xdc_free(sys, fine);
}

namespace {

// A w x h rectangle centred at `centre`, turned by `xz` about the y axis
// and then by `yz` about the x axis, corners in the aperture's order.
rect_element turned_rectangle(double w, double h, double xz, double yz, point3 centre) {
  rect_element rect{};
  const double local[4][2] = {{-w / 2, -h / 2}, {-w / 2, h / 2}, {w / 2, h / 2}, {w / 2, -h / 2}};
  auto place = [&](double u, double v) {
    // Turn (u, v, 0) about y by xz, then about x by yz.
    const double x = u * std::cos(xz), z1 = -u * std::sin(xz);
    const double y = v * std::cos(yz) - z1 * std::sin(yz), z = v * std::sin(yz) + z1 * std::cos(yz);
    return point3{centre.x + x, centre.y + y, centre.z + z};
  };
  for (int k = 0; k < 4; k++) rect.corners[k] = place(local[k][0], local[k][1]);
  rect.center = centre;
  rect.apodization = 1.0;
  calculate_vectors(&rect);
  return rect;
}

// One physical element: the rectangle `rect` cut into nx x ny rectangles.
aperture *cut_rectangle(sys_con *sys, double w, double h, double xz, point3 centre, int nx,
                        int ny) {
  std::vector<double> table(19 * nx * ny, 0.0);
  const int rows = nx * ny;
  const double cx = std::cos(xz), sx = std::sin(xz);
  for (int i = 0; i < nx; i++)
    for (int j = 0; j < ny; j++) {
      const int r = i * ny + j;
      auto at = [&](int column) -> double & { return table[r + column * rows]; };
      const double u0 = -w / 2 + i * w / nx, u1 = u0 + w / nx;
      const double v0 = -h / 2 + j * h / ny, v1 = v0 + h / ny;
      const double corners[4][2] = {{u0, v0}, {u0, v1}, {u1, v1}, {u1, v0}};
      at(0) = 1;
      for (int k = 0; k < 4; k++) {
        at(1 + 3 * k) = centre.x + corners[k][0] * cx;
        at(2 + 3 * k) = centre.y + corners[k][1];
        at(3 + 3 * k) = centre.z - corners[k][0] * sx;
      }
      at(13) = 1.0;
      at(14) = w / nx;
      at(15) = h / ny;
      at(16) = centre.x + (u0 + u1) / 2 * cx;
      at(17) = centre.y + (v0 + v1) / 2;
      at(18) = centre.z - (u0 + u1) / 2 * sx;
    }
  double centres[3] = {centre.x, centre.y, centre.z};
  aperture *ap = nullptr;
  capture_stdout([&] { ap = xdc_rectangles(sys, table.data(), rows, centres, {0, 0, 1}); });
  return ap;
}

}  // namespace

TEST_F(CalculationsTest, SingleTiltTakesTheSameRotationAsTwoTilts) {
  // A second tilt of 1e-14 rad switches to the doubly tilted branch; the
  // direction cosines must not jump (they once did by 1/cos of the tilt).
  rect_unit_vector one{}, two{};
  const point3 points[] = {{0.01, 0.004, 0.03}, {-0.02, 0.0, 0.01}, {0.0, -0.015, 0.05}};
  for (int degrees = -60; degrees <= 60; degrees += 10)
    for (const bool about_y : {true, false}) {
      const double a = degrees * M_PI / 180;
      const point3 c{0.003, -0.002, 0.001};
      const rect_element single = about_y ? turned_rectangle(0.4e-3, 5e-3, a, 0, c)
                                          : turned_rectangle(0.4e-3, 5e-3, 0, a, c);
      const rect_element both = about_y ? turned_rectangle(0.4e-3, 5e-3, a, 1e-14, c)
                                        : turned_rectangle(0.4e-3, 5e-3, 1e-14, a, c);
      EXPECT_EQ(single.doubly_tilted, 0);
      EXPECT_EQ(both.doubly_tilted, degrees == 0 ? 0 : 1);
      for (const point3 &p : points) {
        unit_vec_calc_mem(sys, &one, 1, &single, 0.0, p.x, p.y, p.z);
        unit_vec_calc_mem(sys, &two, 1, &both, 0.0, p.x, p.y, p.z);
        EXPECT_NEAR(one.local_x, two.local_x, 1e-12)
            << degrees << (about_y ? " about y" : " about x");
        EXPECT_NEAR(one.local_y, two.local_y, 1e-12)
            << degrees << (about_y ? " about y" : " about x");
      }
    }
}

TEST_F(CalculationsTest, TiltedRectangleConvergesToItsTrianglesAsItIsCut) {
  // The outermost element of a convex array (0.4 x 5 mm, tilted 37 degrees
  // in x-z only), seen at 40 mm and 40 or 60 degrees from its normal. With
  // the true direction cosines the far-field error falls as the square of
  // the cut (observed L2: 2.1 %, 0.49 %, 0.13 %, 0.033 % at 40 degrees); with
  // cosines 1/cos(tilt) too large it fell only as the cut (28 %, 17 %, 9 %,
  // 4 %) and the uncut directivity was 3 to 5 dB low.
  const double tilt = 37 * M_PI / 180;
  const point3 centre{0.03, 0.0, -0.01};
  aperture *exact = xdc_convert(sys, cut_rectangle(sys, 0.4e-3, 5e-3, tilt, centre, 1, 1));
  for (const double off : {40.0, 60.0}) {
    const double a = tilt + off * M_PI / 180;
    const point3 p{centre.x + 0.04 * std::sin(a), 0.0, centre.z + 0.04 * std::cos(a)};
    signal_rec **ref = calc_h(sys, exact, 1, &p);
    double previous = 0.0;
    for (const int n : {1, 2, 4, 8}) {
      aperture *cut = cut_rectangle(sys, 0.4e-3, 5e-3, tilt, centre, n, 4 * n);
      signal_rec **got = calc_h(sys, cut, 1, &p);
      const double error = relative_l2(got[0], ref[0]);
      if (n == 1) {
        EXPECT_LT(error, 0.03) << off << " degrees uncut";
      } else {
        EXPECT_LT(error, previous / 3) << off << " degrees, " << n << " cuts";
      }
      previous = error;
      free_results(sys, got, 1);
      xdc_free(sys, cut);
    }
    free_results(sys, ref, 1);
  }
  xdc_free(sys, exact);
}

TEST_F(CalculationsTest, FocusAtPointMatchesAFixedFocusOnTheTarget) {
  // A 64-element aperture at 10 mm: the dynamic focus with the option gives
  // the field of a fixed focus placed on the target; without it the outer
  // elements focus beyond the point and the peak drops (observed -2.8 dB).
  aperture *fixed = xdc_linear_array(sys, 64, 0.25e-3, 5e-3, 0.05e-3, 1, 1, {0, 0, 10e-3});
  aperture *dynamic = xdc_linear_array(sys, 64, 0.25e-3, 5e-3, 0.05e-3, 1, 1, {0, 0, 10e-3});
  xdc_dynamic_focus(sys, dynamic, 0.0, 0.0, 0.0);
  const point3 target{0, 0, 10e-3};
  signal_rec **ref = calc_h(sys, fixed, 1, &target);
  signal_rec **plain = calc_h(sys, dynamic, 1, &target);
  set_sonvar(sys, "focus_at_point", 1);
  signal_rec **at_point = calc_h(sys, dynamic, 1, &target);
  expect_signal_near(at_point[0], ref[0]->start_sample, samples_of(ref[0]), 1e-12, "at the point");
  auto peak = [](const signal_rec *s) {
    return *std::max_element(s->values, s->values + s->no_samples);
  };
  EXPECT_LT(20 * std::log10(peak(plain[0]) / peak(ref[0])), -1.0);
  free_results(sys, ref, 1);
  free_results(sys, plain, 1);
  free_results(sys, at_point, 1);
  xdc_free(sys, fixed);
  xdc_free(sys, dynamic);
}

TEST_F(CalculationsTest, AccurateTimingAgreesInTheFarField) {
  aperture *ap = square(sys, 1e-3, 1);
  const point3 p{0.02, 0.005, 0.1};
  signal_rec **plain = calc_h(sys, ap, 1, &p);
  set_sonvar(sys, "accurate_time_calc", 1);
  signal_rec **accurate = calc_h(sys, ap, 1, &p);
  EXPECT_NEAR(sum_of(accurate[0]), sum_of(plain[0]), 1e-3 * sum_of(plain[0]));
  EXPECT_LT(relative_l2(accurate[0], plain[0]), 0.05);
  free_results(sys, plain, 1);
  free_results(sys, accurate, 1);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, HpWithUnitPulseIsHOverFsSquared) {
  aperture *ap = xdc_linear_array(sys, 8, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.04});
  const point3 points[] = {{0, 0, 0.03}, {0.004, 0.001, 0.05}, {-0.01, 0, 0.02}};
  signal_rec **h = calc_h(sys, ap, 3, points);
  signal_rec **hp = calc_hp(sys, ap, 3, points);
  EXPECT_EQ(sys->last_calc_type, 1);
  for (int i = 0; i < 3; i++) {
    std::vector<double> ref = samples_of(h[i]);
    for (double &v : ref) v /= kFs * kFs;
    expect_signal_near(hp[i], h[i]->start_sample, ref, 1e-12, "point " + std::to_string(i));
  }
  free_results(sys, h, 3);
  free_results(sys, hp, 3);
  xdc_free(sys, ap);
}

// hp is h * pulse / fs: the pulse summed straight over the response where
// that is cheaper (a short excitation) and through the transforms where it
// is not (a long one); both against the direct sum, same start and length.
TEST_F(CalculationsTest, HpIsHConvolvedWithThePulseForShortAndLongPulses) {
  aperture *ap = xdc_linear_array(sys, 8, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.04});
  signal_rec *impulse = alloc_signal(sys, 41, 3);
  for (int j = 0; j < 41; j++) impulse->values[j] = std::sin(0.5 * j) * std::sin(M_PI * j / 40);
  xdc_impulse(sys, ap, impulse);
  const point3 points[] = {{0, 0, 0.03}, {0.006, 0.001, 0.05}};
  signal_rec **h = calc_h(sys, ap, 2, points);
  for (const int length : {20, 900}) {
    signal_rec *excitation = alloc_signal(sys, length, 0);
    for (int j = 0; j < length; j++) excitation->values[j] = std::sin(0.4 * j + 1e-4 * j * j);
    xdc_excitation(sys, ap, excitation);  // the aperture takes it over
    signal_rec **hp = calc_hp(sys, ap, 2, points);
    const std::vector<double> pulse =
        direct_convolution(samples_of(impulse), samples_of(excitation));
    for (int i = 0; i < 2; i++) {
      std::vector<double> ref = direct_convolution(samples_of(h[i]), pulse);
      for (double &v : ref) v /= kFs * kFs;
      // Rounding of the transforms, about 1e-14 of the peak at these lengths.
      expect_signal_near(hp[i], h[i]->start_sample + 3, ref, 1e-12,
                         "excitation " + std::to_string(length) + " point " + std::to_string(i));
    }
    free_results(sys, hp, 2);
  }
  free_results(sys, h, 2);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, HhpOfOneApertureIsHStarHStarPulse) {
  aperture *ap = xdc_linear_array(sys, 4, 0.4e-3, 5e-3, 0.05e-3, 1, 2, point3{0, 0, 0.03});
  signal_rec *impulse = alloc_signal(sys, 3, 2);
  const double impulse_values[] = {0.5, 1.0, -0.25};
  std::copy(impulse_values, impulse_values + 3, impulse->values);
  xdc_impulse(sys, ap, impulse);
  signal_rec *excitation = alloc_signal(sys, 2, 0);
  excitation->values[0] = 1.0;
  excitation->values[1] = -1.0;
  xdc_excitation(sys, ap, excitation);
  const point3 p{0.002, 0, 0.025};
  signal_rec **h = calc_h(sys, ap, 1, &p);
  signal_rec **hhp = calc_hhp(sys, ap, ap, 1, &p);
  EXPECT_EQ(sys->last_calc_type, 2);
  // Two-way pulse P = (impulse * (impulse * excitation)/fs)/fs.
  const std::vector<double> imp = samples_of(impulse), exc = samples_of(excitation);
  std::vector<double> pulse = direct_convolution(imp, direct_convolution(imp, exc));
  for (double &v : pulse) v /= kFs * kFs;
  std::vector<double> ref =
      direct_convolution(direct_convolution(samples_of(h[0]), samples_of(h[0])), pulse);
  for (double &v : ref) v /= kFs * kFs;
  expect_signal_near(hhp[0], 2 * h[0]->start_sample + 4, ref, 1e-11, "hhp");
  free_results(sys, h, 1);
  free_results(sys, hhp, 1);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, AttenuationWithZeroCoefficientsChangesNothing) {
  aperture *ap = xdc_linear_array(sys, 8, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.04});
  const point3 points[] = {{0, 0, 0.03}, {0.004, 0.001, 0.06}};
  signal_rec **plain = calc_hp(sys, ap, 2, points);
  set_sonvar(sys, "use_att", 1);
  signal_rec **attenuated = calc_hp(sys, ap, 2, points);
  for (int i = 0; i < 2; i++)
    expect_signal_near(attenuated[i], plain[i]->start_sample, samples_of(plain[i]), 1e-12,
                       "point " + std::to_string(i));
  free_results(sys, plain, 2);
  free_results(sys, attenuated, 2);
  xdc_free(sys, ap);
}

namespace {

// Spectral centroid of a signal, Hz, by a direct DFT.
double spectral_centroid(const signal_rec *s) {
  const int n = 2048;
  double weighted = 0, total = 0;
  for (int k = 1; k < n / 2; k++) {
    std::complex<double> bin = 0;
    for (int j = 0; j < s->no_samples; j++)
      bin += s->values[j] * std::polar(1.0, -2 * M_PI * j * k / n);
    const double power = std::norm(bin);
    weighted += power * k * kFs / n;
    total += power;
  }
  return weighted / total;
}

}  // namespace

TEST_F(CalculationsTest, FrequencyDependentAttenuationLowersTheSpectrumWithDepth) {
  aperture *ap = square(sys, 2e-3, 2);
  // A short 5 MHz burst as excitation.
  signal_rec *burst = alloc_signal(sys, 40, 0);
  for (int j = 0; j < 40; j++)
    burst->values[j] = std::sin(2 * M_PI * 5e6 * j / kFs) * std::sin(M_PI * j / 40);
  xdc_excitation(sys, ap, burst);
  set_sonvar(sys, "use_att", 1);
  set_sonvar(sys, "freq_att", 0.5e-4);
  set_sonvar(sys, "att_f0", 5e6);
  const point3 points[] = {{0, 0, 0.02}, {0, 0, 0.08}};
  signal_rec **hp = calc_hp(sys, ap, 2, points);
  EXPECT_LT(spectral_centroid(hp[1]), spectral_centroid(hp[0]) - 0.1e6);
  free_results(sys, hp, 2);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, AttenuatedHKeepsTheTransformLengthAndOneMoreOverFs) {
  aperture *ap = square(sys, 2e-3, 2);
  const point3 p{0.001, 0, 0.03};
  signal_rec **h = calc_h(sys, ap, 1, &p);
  set_sonvar(sys, "use_att", 1);
  signal_rec **filtered = calc_h(sys, ap, 1, &p);
  // The filter may lengthen the transform (the filtered signal must hold the
  // whole convolution); the result keeps that length, zero-padded.
  const int N = filtered[0]->no_samples;
  EXPECT_GE(N, Find_N(h[0]->no_samples, 0));
  EXPECT_EQ(N & (N - 1), 0);
  std::vector<double> ref(N, 0.0);
  for (int j = 0; j < h[0]->no_samples; j++) ref[j] = h[0]->values[j] / kFs;
  expect_signal_near(filtered[0], h[0]->start_sample, ref, 1e-12, "attenuated h");
  free_results(sys, h, 1);
  free_results(sys, filtered, 1);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, ElementExcitationsEnterHpButNotH) {
  aperture *ap = xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  const point3 p{0, 0, 0.03};
  signal_rec **h_before = calc_h(sys, ap, 1, &p);
  signal_rec **hp_before = calc_hp(sys, ap, 1, &p);
  double doubled[] = {2.0};
  double *waveforms[] = {doubled, doubled};
  const int numbers[] = {1, 2};
  ele_waveform(sys, ap, 2, numbers, 1, waveforms);
  signal_rec **h_after = calc_h(sys, ap, 1, &p);
  signal_rec **hp_after = calc_hp(sys, ap, 1, &p);
  expect_signal_near(h_after[0], h_before[0]->start_sample, samples_of(h_before[0]), 1e-15, "h");
  std::vector<double> twice = samples_of(hp_before[0]);
  for (double &v : twice) v *= 2;
  expect_signal_near(hp_after[0], hp_before[0]->start_sample, twice, 1e-12, "hp");
  for (signal_rec **r : {h_before, hp_before, h_after, hp_after}) free_results(sys, r, 1);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, PointWithoutResponse) {
  aperture *ap = square(sys, 1e-3, 1);
  // The aperture takes the weights over: they come from the library's heap.
  double *zero = static_cast<double *>(alloc_memory(sys, 1, sizeof(double)));
  double *values[] = {zero};
  const double times[] = {0.0};
  xdc_apodization(sys, ap, 1, times, values);
  const point3 p{0, 0, 0.02};
  signal_rec **h = calc_h(sys, ap, 1, &p);
  EXPECT_EQ(h[0], nullptr);
  free_results(sys, h, 1);
  set_sonvar(sys, "use_att", 1);
  h = calc_h(sys, ap, 1, &p);
  EXPECT_EQ(h[0], nullptr);
  free_results(sys, h, 1);
  signal_rec **hp = calc_hp(sys, ap, 1, &p);
  expect_signal_near(hp[0], 0, {0.0}, 0.0, "zeros shaped like the pulse");
  free_results(sys, hp, 1);
  signal_rec **none = calc_hp(sys, ap, 0, nullptr);
  EXPECT_NE(none, nullptr);
  free_memory(sys, none);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, EveryCalculationReturnsItsWorkingSignals) {
  aperture *ap = xdc_linear_array(sys, 6, 0.4e-3, 5e-3, 0.05e-3, 2, 2, point3{0, 0, 0.04});
  aperture *tri =
      xdc_convert(sys, xdc_linear_array(sys, 3, 0.4e-3, 5e-3, 0.05e-3, 1, 2, point3{0, 0, 0.04}));
  double ramp[] = {1.0, 0.5, 0.25};
  double *waveforms[] = {ramp};
  const int numbers[] = {2};
  ele_waveform(sys, ap, 1, numbers, 3, waveforms);
  point3 points[] = {{0, 0, 0.03}, {0.004, 0.001, 0.05}, {-0.01, 0, 0.02}};
  double amplitudes[] = {1.0, -0.5, 2.0};
  for (int use_att = 0; use_att <= 1; use_att++) {
    set_sonvar(sys, "use_att", use_att);
    set_sonvar(sys, "freq_att", 0.3e-4 * use_att);
    set_sonvar(sys, "att_f0", 3e6);
    const int before = signals_in_use(sys);
    free_results(sys, calc_h(sys, ap, 3, points), 3);
    free_results(sys, calc_hp(sys, ap, 3, points), 3);
    free_results(sys, calc_hhp(sys, ap, ap, 3, points), 3);
    free_results(sys, calc_hhp(sys, ap, tri, 3, points), 3);
    free_signal(sys, calc_scat(sys, ap, tri, 3, points, amplitudes));
    free_results(sys, calc_scat_multi(sys, ap, tri, 3, points, amplitudes), tri->no_elements);
    signal_rec ***all = calc_scat_all(sys, tri, ap, 3, points, amplitudes, 2);
    for (int t = 0; t < tri->no_elements; t++) free_results(sys, all[t], ap->no_elements);
    free_memory(sys, all);
    EXPECT_EQ(signals_in_use(sys), before) << "use_att " << use_att;
  }
  xdc_free(sys, ap);
  xdc_free(sys, tri);
}

TEST_F(CalculationsTest, LaterPointsTakeOnlyTheirResultFromTheHeap) {
  aperture *ap = xdc_linear_array(sys, 16, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.04});
  std::vector<point3> points;
  for (int i = 0; i < 50; i++) points.push_back({-0.01 + 0.0004 * i, 0, 0.02 + 0.0006 * i});
  sys_con *single = sonvar_test::quiet_state();
  aperture *ap1 = xdc_linear_array(single, 16, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.04});
  // A pulse long enough that every point is convolved through the
  // transforms (a short one goes straight over the response, no spectrum).
  for (auto [state, aperture] : {std::pair{sys, ap}, std::pair{single, ap1}}) {
    signal_rec *excitation = alloc_signal(state, 1500, 0);
    for (int j = 0; j < 1500; j++) excitation->values[j] = std::sin(0.3 * j);
    xdc_excitation(state, aperture, excitation);
  }
  const int before_one = single->next_signal_number;
  signal_rec **one = calc_hp(single, ap1, 1, points.data());
  const int records_one = single->next_signal_number - before_one;
  const int before = sys->next_signal_number;
  signal_rec **fifty = calc_hp(sys, ap, 50, points.data());
  // Each further point adds exactly one record, the result it returns, and
  // a transform length not met before adds the pulse spectrum of that length.
  std::set<int> lengths;
  for (int i = 0; i < 50; i++) lengths.insert(Find_N(fifty[i]->no_samples + 1, 0));
  EXPECT_EQ(sys->next_signal_number - before,
            records_one + 49 + static_cast<int>(lengths.size()) - 1);
  free_results(single, one, 1);
  xdc_free(single, ap1);
  sonvar_test::release_state(single);
  free_results(sys, fifty, 50);
  xdc_free(sys, ap);
}

// ---------------------------------------------------------------------------
// Scattering calculations
// ---------------------------------------------------------------------------

namespace {

// An 8-element linear array with a non-trivial impulse response and
// excitation, focused at 30 mm.
aperture *scatter_array(sys_con *sys, int elements) {
  aperture *ap = xdc_linear_array(sys, elements, 0.4e-3, 4e-3, 0.05e-3, 1, 2, point3{0, 0, 0.03});
  signal_rec *impulse = alloc_signal(sys, 4, 0);
  const double values[] = {0.2, 1.0, -0.6, 0.1};
  std::copy(values, values + 4, impulse->values);
  xdc_impulse(sys, ap, impulse);
  return ap;
}

std::vector<double> scaled(std::vector<double> v, double factor) {
  for (double &x : v) x *= factor;
  return v;
}

// (a * b)/fs on absolute samples, as a signal-like pair (start, values).
struct Series {
  int start;
  std::vector<double> values;
};

Series convolved(const Series &a, const Series &b, double scale) {
  return {a.start + b.start, scaled(direct_convolution(a.values, b.values), scale)};
}

Series series_of(const signal_rec *s) {
  return {s->start_sample, samples_of(s)};
}

}  // namespace

// The final pulse goes straight over the echo sum with the short
// excitation and through the transforms with the long one.
TEST_F(CalculationsTest, SingleScattererEchoIsResponsesStarPulse) {
  aperture *transmit = scatter_array(sys, 8);
  aperture *receive = xdc_linear_array(sys, 4, 0.4e-3, 4e-3, 0.05e-3, 1, 1, point3{0, 0, 0.02});
  point3 p{0.002, 0.0005, 0.025};
  double amplitude = 1.0;
  signal_rec **ht = calc_h(sys, transmit, 1, &p);
  signal_rec **hr = calc_h(sys, receive, 1, &p);
  for (const int long_excitation : {0, 1}) {
    if (long_excitation) {
      signal_rec *excitation = alloc_signal(sys, 700, 0);
      for (int j = 0; j < 700; j++) excitation->values[j] = std::sin(0.3 * j + 2e-4 * j * j);
      xdc_excitation(sys, transmit, excitation);  // the aperture takes it over
    }
    signal_rec *echo = calc_scat(sys, transmit, receive, 1, &p, &amplitude);
    EXPECT_EQ(sys->last_calc_type, 3);
    // P = (impulse_r * (impulse_t * excitation_t)/fs)/fs.
    const Series pulse = convolved(
        series_of(receive->impulse_response),
        convolved(series_of(transmit->impulse_response), series_of(transmit->excitation), 1 / kFs),
        1 / kFs);
    const Series ref =
        convolved(convolved(series_of(ht[0]), series_of(hr[0]), 1 / kFs), pulse, 1 / kFs);
    expect_signal_near(echo, ref.start, ref.values, 1e-11,
                       long_excitation ? "long excitation" : "short excitation");
    free_signal(sys, echo);
  }
  free_results(sys, ht, 1);
  free_results(sys, hr, 1);
  xdc_free(sys, transmit);
  xdc_free(sys, receive);
}

TEST_F(CalculationsTest, EchoesPerElementAddUpToTheWholeAperture) {
  aperture *transmit = scatter_array(sys, 8);
  aperture *receive = xdc_linear_array(sys, 6, 0.4e-3, 4e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  point3 points[] = {{0, 0, 0.02}, {0.003, 0, 0.03}, {-0.002, 0.001, 0.04}};
  double amplitudes[] = {1.0, -0.7, 0.4};
  // The frequency-dependent filter takes its distance from each signal's
  // own span, which differs between the whole aperture and one element: the
  // sums agree exactly without it (the frequency-independent part is applied
  // to every element's response alike).
  for (int use_att = 0; use_att <= 1; use_att++) {
    set_sonvar(sys, "use_att", use_att);
    set_sonvar(sys, "att", 50.0 * use_att);
    signal_rec *whole = calc_scat(sys, transmit, receive, 3, points, amplitudes);
    signal_rec **per_element = calc_scat_multi(sys, transmit, receive, 3, points, amplitudes);
    EXPECT_EQ(sys->last_calc_type, 4);
    signal_rec *sum = alloc_signal(sys, 1, per_element[0]->start_sample);
    for (int j = 0; j < receive->no_elements; j++) add_responses(sys, per_element[j], sum);
    // The sum may carry zero samples beyond the whole-aperture echo.
    std::vector<double> ref(sum->no_samples, 0.0);
    for (int j = 0; j < whole->no_samples; j++)
      ref[whole->start_sample - sum->start_sample + j] = whole->values[j];
    expect_signal_near(sum, sum->start_sample, ref, 1e-9, "use_att " + std::to_string(use_att));
    free_signal(sys, whole);
    free_signal(sys, sum);
    free_results(sys, per_element, receive->no_elements);
  }
  xdc_free(sys, transmit);
  xdc_free(sys, receive);
}

TEST_F(CalculationsTest, AllPairsOfOneElement) {
  // One element, D = 1, one scatterer: (R * T * P)/fs^2 and one more zero
  // sample, with the amplitude divided by fs in the caller's array.
  aperture *ap = xdc_linear_array(sys, 1, 0.4e-3, 4e-3, 0.0, 1, 2, point3{0.01, 0, 0.01});
  point3 p{0.001, 0, 0.02};
  double amplitude = 3.0;
  signal_rec ***all = calc_scat_all(sys, ap, ap, 1, &p, &amplitude, 1);
  EXPECT_DOUBLE_EQ(amplitude, 3.0 / kFs);
  // The element responses are unfocused: compare with h of an unfocused copy.
  aperture *plain = xdc_linear_array(sys, 1, 0.4e-3, 4e-3, 0.0, 1, 2, point3{0, 0, 1e9});
  signal_rec **h = calc_h(sys, plain, 1, &p);
  const Series pulse = convolved(
      series_of(ap->impulse_response),
      convolved(series_of(ap->impulse_response), series_of(ap->excitation), 1 / kFs), 1 / kFs);
  // (a/fs) (R * (T * P)/fs): the pair convolution itself carries no 1/fs.
  Series ref = convolved(series_of(h[0]), convolved(series_of(h[0]), pulse, 1 / kFs), 1.0);
  ref.values = scaled(ref.values, 3.0 / kFs);
  ref.values.push_back(0.0);
  expect_signal_near(all[0][0], ref.start, ref.values, 1e-11, "one pair");
  EXPECT_DOUBLE_EQ(all[0][0]->fs, kFs);
  free_results(sys, all[0], 1);
  free_memory(sys, all);
  free_results(sys, h, 1);
  xdc_free(sys, ap);
  xdc_free(sys, plain);
}

TEST_F(CalculationsTest, AllPairsOfOneApertureAreSymmetric) {
  aperture *ap = scatter_array(sys, 4);
  std::vector<point3> points;
  std::vector<double> amplitudes;
  for (int i = 0; i < 12; i++) {
    points.push_back({-0.004 + 0.0007 * i, 0.0002 * (i % 3), 0.015 + 0.002 * ((7 * i) % 12)});
    amplitudes.push_back(1.0 + 0.1 * i);
  }
  signal_rec ***all = calc_scat_all(sys, ap, ap, 12, points.data(), amplitudes.data(), 3);
  for (int t = 0; t < 4; t++)
    for (int r = 0; r < 4; r++) {
      EXPECT_DOUBLE_EQ(all[t][r]->fs, kFs / 3);
      expect_signal_near(all[t][r], all[r][t]->start_sample, samples_of(all[r][t]), 1e-12,
                         "pair " + std::to_string(t) + "," + std::to_string(r));
    }
  for (int t = 0; t < 4; t++) free_results(sys, all[t], 4);
  free_memory(sys, all);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, SortPointsPutsNearestFirst) {
  std::vector<point3> points;
  std::vector<double> amplitudes;
  const double ranges[] = {5, 3, 9, 1, 7, 11, 2, 8, 4, 10, 6};
  for (double r : ranges) {
    points.push_back({0, r * 0.6, r * 0.8});  // distance r from the origin
    amplitudes.push_back(r);
  }
  sort_points(sys, 11, points.data(), amplitudes.data());
  for (int k = 0; k < 11; k++) {
    EXPECT_DOUBLE_EQ(amplitudes[k], k + 1.0) << k;
    EXPECT_NEAR(points[k].z, (k + 1) * 0.8, 1e-12);
  }
}

TEST_F(CalculationsTest, ScatteringWithoutScatterersGivesZeros) {
  aperture *ap = scatter_array(sys, 2);
  signal_rec *none = calc_scat(sys, ap, ap, 0, nullptr, nullptr);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->no_samples, 4 + 4 + 1 - 2);  // shaped like the two-way pulse
  for (int j = 0; j < none->no_samples; j++) EXPECT_EQ(none->values[j], 0.0);
  free_signal(sys, none);
  signal_rec **per_element = calc_scat_multi(sys, ap, ap, 0, nullptr, nullptr);
  free_results(sys, per_element, 2);
  EXPECT_EXIT(
      {
        sonvar_test::stdout_to_stderr();
        calc_scat_all(sys, ap, ap, 0, nullptr, nullptr, 0);
      },
      testing::ExitedWithCode(255),
      "Fatal error: calc_scat_all: the decimation factor must be 1 or more \n");
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, AllPairsReordersAndRescalesTheCallersScatterers) {
  // With n = 11 the scatterers come back sorted by range, then positions 1
  // and 10 exchanged (nearest, farthest, then the rest), amplitudes over fs.
  aperture *ap = xdc_linear_array(sys, 1, 0.4e-3, 4e-3, 0.0, 1, 1, point3{0, 0, 0.02});
  const double ranges[] = {25, 23, 29, 21, 27, 31, 22, 28, 24, 30, 26};  // mm
  std::vector<point3> points;
  std::vector<double> amplitudes;
  for (double r : ranges) {
    points.push_back({0, 0, r * 1e-3});
    amplitudes.push_back(r);
  }
  signal_rec ***all = calc_scat_all(sys, ap, ap, 11, points.data(), amplitudes.data(), 4);
  const double expected[] = {21, 31, 23, 24, 25, 26, 27, 28, 29, 30, 22};
  for (int k = 0; k < 11; k++) {
    EXPECT_DOUBLE_EQ(amplitudes[k], expected[k] / kFs) << k;
    EXPECT_DOUBLE_EQ(points[k].z, expected[k] * 1e-3) << k;
  }
  free_results(sys, all[0], 1);
  free_memory(sys, all);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, ExactTimeStepReproducesTheRunningSumOfSampleTimes) {
  // The rectangle windows take o0 + j d instead of the running sum o += dt
  // wherever exact_time_step allows it; every step it returns must give the
  // running sum bit for bit, across the depths of a field (1 us to 200 us)
  // and sampling rates, and it must refuse windows that cross a power of two.
  int exact = 0;
  for (const double fs : {100e6, 40e6, 123.456e6, 1e9})
    for (int s = 100; s < 20000; s += 37) {
      const double dt = 1 / fs;
      const double o0 = (s + 0.5) * dt;
      const int n = 1 + s % 300;
      const double d = exact_time_step(o0, dt, n);
      int e0 = 0, e1 = 0;
      std::frexp(o0, &e0);
      std::frexp(o0 + n * dt, &e1);
      if (e0 != e1) {
        EXPECT_EQ(d, 0.0) << "window crosses 2^" << e0 << " at fs " << fs;
      }
      if (d == 0) continue;
      exact++;
      double o = o0;
      for (int j = 0; j <= n; j++, o += dt)
        ASSERT_EQ(o0 + j * d, o) << "fs " << fs << " s " << s << " j " << j;
    }
  EXPECT_GT(exact, 1000);  // the common case takes the exact step
  EXPECT_EQ(exact_time_step(-1e-6, 1e-8, 10), 0.0);
}

// The rectangles of several elements share one batch of timings; batches
// that hold fewer elements (down to one, and splits that leave part of a
// four empty) must give the same bits for the sum and for every element.
TEST_F(CalculationsTest, RectangleBatchesOfAnySizeGiveTheSameResponses) {
  aperture *ap = xdc_convex_focused_array(sys, 12, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3, 1,
                                          5, {0, 0, 40e-3});
  const point3 p{3e-3, 1e-3, 35e-3};
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  ASSERT_EQ(block->batch_capacity, 60);  // the whole aperture in one batch
  std::vector<signal_rec *> ref(12);
  signal_rec *ref_sum = rectangle_elements_and_sum(sys, block, ap, p.x, p.y, p.z, ref.data());
  for (const int capacity : {5, 7, 13}) {
    block->batch_capacity = capacity;
    std::vector<signal_rec *> got(12);
    signal_rec *sum = rectangle_elements_and_sum(sys, block, ap, p.x, p.y, p.z, got.data());
    signal_rec *direct = calc_rectangles_mem(sys, block, ap, p.x, p.y, p.z);
    for (int i = 0; i <= 12; i++) {
      const signal_rec *g = i < 12 ? got[i] : sum, *r = i < 12 ? ref[i] : ref_sum;
      SCOPED_TRACE("capacity " + std::to_string(capacity) + " signal " + std::to_string(i));
      ASSERT_EQ(g->start_sample, r->start_sample);
      ASSERT_EQ(g->no_samples, r->no_samples);
      EXPECT_EQ(std::memcmp(g->values, r->values, sizeof(double) * r->no_samples), 0);
    }
    EXPECT_EQ(std::memcmp(direct->values, ref_sum->values, sizeof(double) * ref_sum->no_samples),
              0);
    for (signal_rec *s : got) free_signal(sys, s);
    free_signal(sys, sum);
    free_signal(sys, direct);
  }
  for (signal_rec *s : ref) free_signal(sys, s);
  free_signal(sys, ref_sum);
  free_memory_block(sys, block);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, RectangleTimingsFourAtATimeEqualOneAtATime) {
  // Elements tilted one way and both ways (and fours that mix the two: a
  // 1 x 9 cut leaves the middle rectangle of a convex element, the first of
  // its second four, untilted in elevation), cut into counts that do and do
  // not fill the last four, seen from near the face to 80 mm and far off the
  // axis: every field the rectangle response uses is the same double.
  aperture *aps[] = {xdc_convex_focused_array(sys, 4, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3,
                                              1, 10, {0, 0, 40e-3}),
                     xdc_convex_focused_array(sys, 4, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3,
                                              1, 9, {0, 0, 40e-3}),
                     xdc_focused_array(sys, 4, 0.27e-3, 5e-3, 0.03e-3, 18e-3, 2, 3, {0, 0, 25e-3}),
                     xdc_linear_array(sys, 4, 0.48e-3, 13.5e-3, 0.028e-3, 1, 7, {0, 0, 40e-3})};
  const point3 points[] = {
      {0, 0, 0.2e-3}, {1e-3, 2e-3, 5e-3}, {-20e-3, 0, 30e-3}, {5e-3, -6e-3, 80e-3}};
  std::vector<rect_unit_vector> u1(64), u4(64);
  std::vector<rect_timing> t1(64), t4(64);
  for (aperture *ap : aps) {
    for (int e = 0; e < ap->no_elements; e++) {
      const physical_element &el = ap->elements[e];
      for (const point3 &p : points) {
        rectangle_timings(sys, el.rectangles, el.no_rectangles, 1.5e-7 * e, p.x, p.y, p.z,
                          u1.data(), t1.data(), 0);
        rectangle_timings(sys, el.rectangles, el.no_rectangles, 1.5e-7 * e, p.x, p.y, p.z,
                          u4.data(), t4.data(), 1);
        for (int k = 0; k < el.no_rectangles; k++) {
          SCOPED_TRACE("element " + std::to_string(e) + " rectangle " + std::to_string(k));
          EXPECT_EQ(std::memcmp(&u1[k], &u4[k], sizeof u1[k]), 0);
          EXPECT_EQ(std::memcmp(&t1[k], &t4[k], sizeof t1[k]), 0);
        }
      }
    }
    xdc_free(sys, ap);
  }
}
