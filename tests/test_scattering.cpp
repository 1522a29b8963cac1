// Tests of the scattering calculations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "field/scattering.h"
#include "support/calculation_test.h"
#include "support/oracles.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using namespace sonvar_test;  // the shared helpers, oracles and fixture

namespace {
constexpr double kFs = 100e6;
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
  return {s->start_sample, values_of(s)};
}

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

// Adds b into a over the union of their spans.
void accumulate(Series *a, const Series &b) {
  if (a->values.empty()) {
    *a = b;
    return;
  }
  const int start = std::min(a->start, b.start);
  const int end = std::max(a->start + static_cast<int>(a->values.size()),
                           b.start + static_cast<int>(b.values.size()));
  std::vector<double> sum(static_cast<std::size_t>(end - start), 0.0);
  for (std::size_t j = 0; j < a->values.size(); j++) sum[a->start - start + j] += a->values[j];
  for (std::size_t j = 0; j < b.values.size(); j++) sum[b.start - start + j] += b.values[j];
  *a = {start, sum};
}

// Near a wide aperture focused far away, the two responses run to hundreds
// of samples, and such echoes are summed in frames rather than directly;
// more scatterers than one batch of frames holds, on one and two threads.
TEST_F(CalculationsTest, SummedEchoOfLongResponsesIsTheSumOfResponsesStarPulse) {
  aperture *transmit = scatter_array(sys, 32);
  aperture *receive = xdc_linear_array(sys, 24, 0.4e-3, 4e-3, 0.05e-3, 1, 1, point3{0, 0, 0.06});
  std::vector<point3> points;
  std::vector<double> amplitudes;
  for (int k = 0; k < 90; k++) {
    points.push_back({-6e-3 + 1.3e-4 * k, 2e-4 * (k % 3), 4e-3 + 1.1e-4 * k});
    amplitudes.push_back(std::cos(0.7 * k));
  }
  const int n = static_cast<int>(points.size());
  signal_rec **ht = calc_h(sys, transmit, n, points.data());
  signal_rec **hr = calc_h(sys, receive, n, points.data());
  Series sum{0, {}};
  int longest = 0;
  for (int k = 0; k < n; k++) {
    accumulate(&sum, convolved(series_of(ht[k]), series_of(hr[k]), amplitudes[k] / kFs));
    longest = std::max(longest, std::min(ht[k]->no_samples, hr[k]->no_samples));
  }
  ASSERT_GT(longest, 300) << "the responses are meant to be long";
  const Series pulse = convolved(
      series_of(receive->impulse_response),
      convolved(series_of(transmit->impulse_response), series_of(transmit->excitation), 1 / kFs),
      1 / kFs);
  const Series ref = convolved(sum, pulse, 1 / kFs);
  for (const int threads : {1, 2}) {
    set_sonvar(sys, "threads", threads);
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    signal_rec *echo = calc_scat_parallel(sys, transmit, receive, n, p.data(), a.data());
    expect_signal_near(echo, ref.start, ref.values, 1e-11, std::to_string(threads) + " threads");
    free_signal(sys, echo);
  }
  free_results(sys, ht, n);
  free_results(sys, hr, n);
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

// Each element's echo of a receive aperture apart from the transmit one,
// with more elements than the per-element echoes make at once and more
// scatterers than one batch holds, is the summed echo of the receive
// aperture weighted 1 on that element and 0 on the others (another route:
// the whole aperture's response, convolved directly or by transforms).
TEST_F(CalculationsTest, EachElementsEchoIsTheApertureWeightedOnThatElement) {
  aperture *transmit = scatter_array(sys, 16);
  const int elements = 40;
  aperture *receive =
      xdc_linear_array(sys, elements, 0.3e-3, 4e-3, 0.03e-3, 1, 2, point3{0, 0, 0.025});
  const int n = 150;
  std::vector<point3> points;
  std::vector<double> amplitudes;
  for (int i = 0; i < n; i++) {
    points.push_back({(i % 13 - 6) * 1e-3, 0.2e-3 * (i % 3), 0.01 + 2e-4 * i});
    amplitudes.push_back(std::cos(0.7 * i));
  }
  std::vector<point3> p = points;
  std::vector<double> a = amplitudes;
  signal_rec **per_element = calc_scat_multi(sys, transmit, receive, n, p.data(), a.data());
  for (int j : {0, 15, 16, 31, 39}) {
    double time = 0.0;
    double *weights = static_cast<double *>(alloc_memory(sys, elements, sizeof(double)));
    weights[j] = 1.0;
    xdc_apodization(sys, receive, 1, &time, &weights);
    p = points;
    a = amplitudes;
    signal_rec *one = calc_scat(sys, transmit, receive, n, p.data(), a.data());
    expect_signal_near(per_element[j], one->start_sample, values_of(one), 1e-12,
                       "element " + std::to_string(j));
    free_signal(sys, one);
  }
  free_results(sys, per_element, elements);
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
      expect_signal_near(all[t][r], all[r][t]->start_sample, values_of(all[r][t]), 1e-12,
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
  EXPECT_FATAL(calc_scat_all(sys, ap, ap, 0, nullptr, nullptr, 0),
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

}  // namespace
