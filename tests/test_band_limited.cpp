// Tests of band-limited sampling of rectangle responses: the kernel's
// spectrum, the trapezoid's samples against a quadrature, and responses
// that move continuously with the point.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "field/band_limited.h"
#include "support/calculation_test.h"
#include "support/oracles.h"
#include "support/test_util.h"

using namespace sonvar;       // the library internals under test
using namespace sonvar_test;  // the shared helpers and fixture

namespace {
constexpr double kFs = 100e6;
constexpr double kC = 1540.0;
constexpr double kReach = kBandLimitedReach;

// The integral of f over [a, b] by Gauss-Legendre on pieces of at most a
// twentieth of a sample (the kernel turns once every two samples).
template <typename F>
double integral(F f, double a, double b) {
  static std::vector<double> u, w;
  if (u.empty()) gauss_legendre(8, &u, &w);
  const int pieces = std::max(1, static_cast<int>(std::ceil((b - a) * 20)));
  const double h = (b - a) / pieces;
  double sum = 0;
  for (int p = 0; p < pieces; p++)
    for (size_t q = 0; q < u.size(); q++) sum += w[q] * h * f(a + (p + u[q]) * h);
  return sum;
}

// The kernel's spectrum at f cycles per sample (it is even: a cosine
// transform).
double kernel_spectrum(double f) {
  return integral([&](double x) { return band_limited_kernel(x) * std::cos(2 * M_PI * f * x); },
                  -kReach, kReach);
}

TEST(BandLimitedKernel, PassesTheBandAndStopsItsAliases) {
  // Unit area (the interpolated kernel's, integrated here, to 1e-9).
  EXPECT_NEAR(kernel_spectrum(0.0), 1.0, 2e-9);
  // Flat to 1e-3 up to 0.3 fs; below 1e-5 from 0.7 fs, where a band below
  // fs / 3 would fold in from.
  for (double f = 0.05; f <= 0.3; f += 0.05) EXPECT_NEAR(kernel_spectrum(f), 1.0, 1e-3) << f;
  for (double f = 0.7; f <= 3.0; f += 0.05) EXPECT_LT(std::fabs(kernel_spectrum(f)), 1e-5) << f;
  // The tabulated integrals are the kernel's own (to the interpolation of
  // the kernel itself, a few 1e-10 over its reach).
  for (double x : {-7.3, -2.25, -0.4, 0.0, 0.61, 3.9, 7.99}) {
    const double k1 = integral(band_limited_kernel, -kReach, x);
    const double k2 =
        integral([&](double s) { return (x - s) * band_limited_kernel(s); }, -kReach, x);
    EXPECT_NEAR(band_limited_kernel_integral(x), k1, 1e-9) << x;
    EXPECT_NEAR(band_limited_kernel_second_integral(x), k2, 1e-8) << x;
  }
  EXPECT_NEAR(band_limited_kernel_second_integral(12.5), 12.5, 1e-11);  // first moment 0
}

TEST(BandLimitedKernel, TrapezoidSamplesAreTheFilteredTrapezoid) {
  // Each case: start t1, durations T0 <= T1 (samples), the tolerance
  // relative to the peak: the impulse limits (durations below a hundredth
  // of a sample, taken as impulses) are off by (pi f T)^2 / 6 at most.
  const double cases[][4] = {{10.3, 0.0, 0.0, 1e-9},   {10.3, 0.004, 0.007, 3e-5},
                             {10.7, 0.003, 0.4, 1e-5}, {10.1, 0.02, 0.05, 1e-7},
                             {10.45, 0.3, 2.7, 1e-7},  {9.9, 1.5, 6.25, 1e-7}};
  for (const auto &c : cases) {
    const double a = c[0], d0 = c[1], d1 = c[2], tolerance = c[3];
    rect_timing timing{};
    timing.t1 = a / kFs;
    timing.short_duration = d0 / kFs;
    timing.long_duration = d1 / kFs;
    std::vector<double> values(48, 0.0);
    add_band_limited_trapezoid(values.data(), 0, 48, kFs, timing, 2.0);
    double total = 0;
    for (int s = 0; s < 48; s++) {
      // trap (unit area) filtered by k at s: the trapezoid's three pieces
      // by quadrature; the impulse cases as the kernel at the centre.
      double expected;
      if (d1 == 0.0) {
        expected = band_limited_kernel(s - a);
      } else {
        const auto trap = [&](double u) {
          const double rise = d0 > 0 ? std::clamp((u - a) / d0, 0.0, 1.0) : (u >= a ? 1.0 : 0.0);
          const double fall =
              d0 > 0 ? std::clamp((a + d0 + d1 - u) / d0, 0.0, 1.0) : (u <= a + d1 ? 1.0 : 0.0);
          return std::min(rise, fall) / d1 * band_limited_kernel(s - u);
        };
        expected = integral(trap, a, a + d0) + integral(trap, a + d0, a + d1) +
                   integral(trap, a + d1, a + d0 + d1);
      }
      EXPECT_NEAR(values[s], 2.0 * expected, 2.0 * tolerance) << a << " " << d0 << " " << d1;
      total += values[s];
    }
    EXPECT_NEAR(total, 2.0, 2e-5);  // the area, as the interval means keep it
  }
}

class BandLimitedResponse : public CalculationsTest {
 protected:
  // h of one 0.2 x 0.3 mm rectangle (4 x 4 cuts) at (x, 0, z), its spectrum
  // at f (Hz) with the sample times' phase, and the sum of its values.
  std::complex<double> spectrum(double x, double z, double f, double *area) {
    aperture *element = xdc_linear_array(sys, 1, 0.2e-3, 0.3e-3, 0.0, 4, 4, point3{0, 0, 1});
    const point3 p{x, 0.0, z};
    signal_rec **h = calc_h(sys, element, 1, &p);
    std::complex<double> sum = 0;
    *area = 0;
    for (int j = 0; j < h[0]->no_samples; j++) {
      const double t = (h[0]->start_sample + j) / kFs;
      sum += h[0]->values[j] * std::exp(std::complex<double>(0, -2 * M_PI * f * t));
      *area += h[0]->values[j];
    }
    free_results(sys, h, 1);
    xdc_free(sys, element);
    return sum;
  }
};

TEST_F(BandLimitedResponse, MovesContinuouslyWithThePointAndKeepsItsArea) {
  set_sonvar(sys, "fs", kFs);
  set_sonvar(sys, "c", kC);
  const double f = 5e6, z0 = 20e-3;
  for (double x : {0.0, 1.5e-3}) {
    set_sonvar(sys, "band_limited", 1);
    double area0 = 0;
    const std::complex<double> h0 = spectrum(x, z0, f, &area0);
    // The time integral of h, (1 / 2 pi) times that of 1/R over the face:
    // the interval means miss it by up to half a sample's change of the
    // spreading (2e-4 here), the band-limited samples by the far field's
    // error only.
    const ConvexPolygon face{
        {{-0.1e-3, -0.15e-3}, {0.1e-3, -0.15e-3}, {0.1e-3, 0.15e-3}, {-0.1e-3, 0.15e-3}}};
    const double oracle = polygon_time_integral(face, point3{x, 0, z0}, 2, 8);
    EXPECT_NEAR(area0 / kFs, oracle, 2e-5 * oracle);
    // Moves of a tenth to nine tenths of a sample in arrival time turn the
    // phase at f by 2 pi f dt (to 1e-4 rad); the interval means move in
    // whole samples.
    for (double fraction = 0.1; fraction < 1.0; fraction += 0.2) {
      const double dt = fraction / kFs;
      const double r0 = std::hypot(x, z0);
      const double z1 = std::sqrt((r0 + kC * dt) * (r0 + kC * dt) - x * x);
      double area1 = 0;
      const std::complex<double> h1 = spectrum(x, z1, f, &area1);
      EXPECT_NEAR(std::arg(h1 / h0), -2 * M_PI * f * dt, 1e-4) << x << " " << fraction;
    }
  }
}

}  // namespace
