// Tests of the field calculations h, hp and hhp.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "support/calculation_test.h"
#include "support/oracles.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using namespace sonvar_test;  // the shared helpers, oracles and fixture

namespace {
constexpr double kFs = 100e6;

// One square element of side `side` cut into `cuts` x `cuts` rectangles,
// centred at the origin, focused at (0, 0, 30 mm).
aperture *square(sys_con *sys, double side, int cuts) {
  return xdc_linear_array(sys, 1, side, side, 0.0, cuts, cuts, point3{0, 0, 0.03});
}
TEST_F(CalculationsTest, HpWithUnitPulseIsHOverFsSquared) {
  aperture *ap = xdc_linear_array(sys, 8, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.04});
  const point3 points[] = {{0, 0, 0.03}, {0.004, 0.001, 0.05}, {-0.01, 0, 0.02}};
  signal_rec **h = calc_h(sys, ap, 3, points);
  signal_rec **hp = calc_hp(sys, ap, 3, points);
  EXPECT_EQ(sys->last_calc_type, 1);
  for (int i = 0; i < 3; i++) {
    std::vector<double> ref = values_of(h[i]);
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
    const std::vector<double> pulse = direct_convolution(values_of(impulse), values_of(excitation));
    for (int i = 0; i < 2; i++) {
      std::vector<double> ref = direct_convolution(values_of(h[i]), pulse);
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
  const std::vector<double> imp = values_of(impulse), exc = values_of(excitation);
  std::vector<double> pulse = direct_convolution(imp, direct_convolution(imp, exc));
  for (double &v : pulse) v /= kFs * kFs;
  std::vector<double> ref =
      direct_convolution(direct_convolution(values_of(h[0]), values_of(h[0])), pulse);
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
    expect_signal_near(attenuated[i], plain[i]->start_sample, values_of(plain[i]), 1e-12,
                       "point " + std::to_string(i));
  free_results(sys, plain, 2);
  free_results(sys, attenuated, 2);
  xdc_free(sys, ap);
}

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
  expect_signal_near(h_after[0], h_before[0]->start_sample, values_of(h_before[0]), 1e-15, "h");
  std::vector<double> twice = values_of(hp_before[0]);
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

}  // namespace
