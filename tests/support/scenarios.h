// scenarios.h - the set-ups the benchmarks and the tests share: the example
// convex probe, linear arrays, a Gaussian impulse response, a two-cycle
// excitation, soft-tissue attenuation and the point and scatterer sets.
#ifndef SONVAR_TEST_SCENARIOS_H
#define SONVAR_TEST_SCENARIOS_H

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "sonvar.h"
#include "support/results.h"

namespace scenario {

using sonvar_test::free_results;

constexpr double kF0 = 3.57e6;         // centre frequency of the example probe, Hz
constexpr double kBandwidth = 0.79;    // its fractional bandwidth at -6 dB
constexpr double kWidth = 0.48e-3;     // element width, m
constexpr double kHeight = 13.5e-3;    // element height, m
constexpr double kKerf = 0.028e-3;     // kerf, m (pitch 0.508 mm)
constexpr double kRconvex = 49.57e-3;  // convex radius, m
constexpr double kRfocus = 60e-3;      // elevation focus, m
constexpr double kTwoPi = 6.283185307179586;
// Cut of each element of the 128-element linear array of the h speed
// target: the smallest with h within 1% relative L2 of the exact (triangle)
// response at the check points of the regression test.
constexpr int kCutX = 1;
constexpr int kCutY = 28;

// Gaussian-modulated cosine at kF0, cut where the envelope falls to -40 dB.
inline signal_rec *gaussian_impulse(sys_con *sys) {
  const double a = -(kF0 * kBandwidth) * (kF0 * kBandwidth) / (8 * std::log(std::pow(10.0, -0.3)));
  const double v = 1 / (4 * M_PI * M_PI * a);
  const double tc = std::sqrt(-2 * v * std::log(1e-2));
  const int n = 2 * static_cast<int>(sys->fs * tc) + 1;
  signal_rec *s = alloc_signal(sys, n, 0);
  for (int j = 0; j < n; j++) {
    const double t = (j - n / 2) / sys->fs;
    s->values[j] = std::exp(-t * t / (2 * v)) * std::cos(kTwoPi * kF0 * t);
  }
  return s;
}

// Two cycles of a sine at kF0.
inline signal_rec *two_cycle_excitation(sys_con *sys) {
  const int n = static_cast<int>(2 * sys->fs / kF0);
  signal_rec *s = alloc_signal(sys, n, 0);
  for (int j = 0; j < n; j++) s->values[j] = std::sin(kTwoPi * kF0 * j / sys->fs);
  return s;
}

inline void set_pulse(sys_con *sys, aperture *ap) {
  xdc_impulse(sys, ap, gaussian_impulse(sys));
  xdc_excitation(sys, ap, two_cycle_excitation(sys));
}

// 0.5 dB/(cm MHz) around the probe's centre frequency.
inline void soft_tissue_attenuation(sys_con *sys, bool on) {
  set_sonvar(sys, "use_att", on ? 1 : 0);
  set_sonvar(sys, "freq_att", 0.5 * 100 / 1e6);
  set_sonvar(sys, "att_f0", kF0);
  set_sonvar(sys, "att", 0.5 * 100 / 1e6 * kF0);
}

// The example probe: 128-element convex array focused in elevation.
inline aperture *example_probe(sys_con *sys) {
  aperture *ap = xdc_convex_focused_array(sys, 128, kWidth, kHeight, kKerf, kRconvex, kRfocus, 1, 5,
                                          {0.0, 0.0, 60e-3});
  set_pulse(sys, ap);
  return ap;
}

// A linear array of the probe's elements, focused at 40 mm.
inline aperture *linear_probe(sys_con *sys, int elements, int sub_x, int sub_y) {
  aperture *ap =
      xdc_linear_array(sys, elements, kWidth, kHeight, kKerf, sub_x, sub_y, {0.0, 0.0, 40e-3});
  set_pulse(sys, ap);
  return ap;
}

// n points in the x-z plane: x within +-half_width, z from z0 to z1, on a
// grid traversed depth-first (as a field map is).
inline std::vector<point3> field_points(int n, double half_width, double z0, double z1) {
  const int columns = std::max(1, static_cast<int>(std::sqrt(n / 4.0)));
  const int rows = (n + columns - 1) / columns;
  std::vector<point3> points;
  for (int k = 0; k < n; k++) {
    const int c = k / rows, r = k % rows;
    const double x = columns > 1 ? -half_width + 2 * half_width * c / (columns - 1) : 0.0;
    points.push_back({x, 0.0, z0 + (z1 - z0) * r / std::max(1, rows - 1)});
  }
  return points;
}

// n scatterers uniformly in a width x depth region from z0, unit normal
// amplitudes; a fixed seed so that every run sees the same set.
inline void random_scatterers(int n, double width, double z0, double depth,
                              std::vector<point3> *points, std::vector<double> *amplitudes) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> g(0.0, 1.0);
  points->clear();
  amplitudes->clear();
  for (int k = 0; k < n; k++) {
    points->push_back({(u(rng) - 0.5) * width, 0.0, z0 + u(rng) * depth});
    amplitudes->push_back(g(rng));
  }
}

// A quiet state; the caller releases it with release().
inline sys_con *state(int threads) {
  sys_con *sys = sonvar_init(-1);
  set_sonvar(sys, "threads", threads);
  set_sonvar(sys, "show_times", 0);
  return sys;
}

inline void release(sys_con *sys, aperture *ap) {
  xdc_free(sys, ap);
  sonvar_free(sys);
}

}  // namespace scenario

#endif  // SONVAR_TEST_SCENARIOS_H
