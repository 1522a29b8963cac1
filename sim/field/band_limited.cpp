// band_limited.cpp - band-limited samples of a rectangle's trapezoid.
//
// The trapezoid of unit area is the convolution of rectangular pulses of
// durations T0 <= T1 starting at t1. In samples (a = t1 fs, d0 = T0 fs,
// d1 = T1 fs) it is the second difference of ramps,
//   trap(u) = [r(u - a) - r(u - a - d0) - r(u - a - d1) + r(u - a - d0 - d1)] / (d0 d1),
// r(u) = max(u, 0), so filtered by the kernel k and taken at sample s it is
// the same combination of K2(s - ...), K2 the second integral of k. The
// kernel and its two integrals are tabulated once at 256 nodes a sample
// with their derivatives and read by cubic Hermite interpolation (error
// below 1e-11). Where d0 is a hundredth of a sample or less the shorter
// pulse is taken as an impulse at its centre (relative error below
// (pi f d0)^2 / 6, 2e-5 at f = fs/3), which also keeps the division by
// d0 d1 from amplifying rounding; where d1 is too, the whole trapezoid is.
#include "field/band_limited.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/constants.h"
#include "base/quadrature.h"

namespace sonvar {

namespace {

constexpr int kNodesPerSample = 256;
constexpr int kNodes = 2 * kBandLimitedReach * kNodesPerSample + 1;
constexpr double kNodeStep = 1.0 / kNodesPerSample;
// Kaiser's window parameter for about 100 dB of stopband (0.1102 (100 -
// 8.7)): with the reach of 10 samples the kernel passes up to about 0.34 fs
// and stops from about 0.66 fs, so nothing aliases into the band below fs/3
// and the samples of any shift sum to the area within 1e-5.
constexpr double kBeta = 10.06;
// Shorter durations, in samples, count as impulses.
constexpr double kImpulseSamples = 0.01;

// I0(z) and I1(z)/z by their power series (z <= kBeta: 40 terms reach the
// last bit).
double bessel_i0(double z) {
  const double q = z * z / 4;
  double term = 1, sum = 1;
  for (int k = 1; k < 40; k++) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
  }
  return sum;
}

double bessel_i1_over_z(double z) {
  const double q = z * z / 4;
  double term = 0.5, sum = 0.5;
  for (int k = 1; k < 40; k++) {
    term *= q / (static_cast<double>(k) * (k + 1));
    sum += term;
  }
  return sum;
}

// The kernel before its area is made 1, and its derivative.
double raw_kernel(double x) {
  constexpr double L = kBandLimitedReach;
  if (std::fabs(x) >= L) return 0.0;
  const double s = std::sqrt(1 - (x / L) * (x / L));
  const double sinc = x == 0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
  return sinc * bessel_i0(kBeta * s) / bessel_i0(kBeta);
}

double raw_kernel_slope(double x) {
  constexpr double L = kBandLimitedReach;
  if (std::fabs(x) >= L) return 0.0;
  const double s = std::sqrt(1 - (x / L) * (x / L));
  const double window = bessel_i0(kBeta * s) / bessel_i0(kBeta);
  // dw/dx = I1(beta s) beta ds/dx / I0(beta), ds/dx = -x / (L^2 s).
  const double window_slope =
      -kBeta * kBeta * x / (L * L) * bessel_i1_over_z(kBeta * s) / bessel_i0(kBeta);
  if (x == 0) return 0.0;
  const double sinc = std::sin(kPi * x) / (kPi * x);
  const double sinc_slope = (std::cos(kPi * x) - sinc) / x;
  return sinc_slope * window + sinc * window_slope;
}

// Values and slopes of the kernel and its integrals at the nodes
// x_i = -reach + i / kNodesPerSample.
struct KernelTables {
  std::vector<double> k, dk, k1, k2;

  KernelTables() : k(kNodes), dk(kNodes), k1(kNodes), k2(kNodes) {
    const auto x_at = [](int i) { return -kBandLimitedReach + i * kNodeStep; };
    // Over each node interval [x, x + h]: the integral of k and of
    // (x + h - u) k(u), Gauss-Legendre (exact to rounding: k is smooth).
    double first = 0, second = 0;
    for (int i = 0; i < kNodes; i++) {
      k[i] = raw_kernel(x_at(i));
      dk[i] = raw_kernel_slope(x_at(i));
      k1[i] = first;
      k2[i] = second;
      if (i + 1 == kNodes) break;
      double area = 0, moment = 0;
      for (int q = 0; q < kShortRulePoints; q++) {
        const double v = raw_kernel(x_at(i) + kShortRuleNodes[q] * kNodeStep);
        area += kShortRuleWeights[q] * v;
        moment += kShortRuleWeights[q] * (1 - kShortRuleNodes[q]) * v;
      }
      second += kNodeStep * first + kNodeStep * kNodeStep * moment;
      first += kNodeStep * area;
    }
    const double total = first;  // the raw kernel's area
    for (int i = 0; i < kNodes; i++) {
      k[i] /= total;
      dk[i] /= total;
      k1[i] /= total;
      k2[i] /= total;
    }
  }
};

const KernelTables &tables() {
  static const KernelTables t;
  return t;
}

// Cubic Hermite interpolation of a tabulated function f with slopes df.
double hermite(const std::vector<double> &f, const std::vector<double> &df, double x) {
  const double u = (x + kBandLimitedReach) * kNodesPerSample;
  int i = static_cast<int>(u);
  if (i >= kNodes - 1) i = kNodes - 2;
  const double t = u - i, t2 = t * t, t3 = t2 * t;
  return (2 * t3 - 3 * t2 + 1) * f[i] + (t3 - 2 * t2 + t) * kNodeStep * df[i] +
         (-2 * t3 + 3 * t2) * f[i + 1] + (t3 - t2) * kNodeStep * df[i + 1];
}

}  // namespace

double band_limited_kernel(double x) {
  if (!(std::fabs(x) < kBandLimitedReach)) return 0.0;
  const KernelTables &t = tables();
  return hermite(t.k, t.dk, x);
}

double band_limited_kernel_integral(double x) {
  if (x <= -kBandLimitedReach) return 0.0;
  if (x >= kBandLimitedReach) return 1.0;
  const KernelTables &t = tables();
  return hermite(t.k1, t.k, x);
}

double band_limited_kernel_second_integral(double x) {
  if (x <= -kBandLimitedReach) return 0.0;
  const KernelTables &t = tables();
  // Past the reach the integral grows as x less the kernel's first moment
  // (zero: it is even), continuing the last node.
  if (x >= kBandLimitedReach) return t.k2.back() + (x - kBandLimitedReach);
  return hermite(t.k2, t.k1, x);
}

void add_band_limited_trapezoid(double *values, int start, int N, double fs,
                                const rect_timing &timing, double scale) {
  const double a = timing.t1 * fs;
  const double d0 = timing.short_duration * fs;
  const double d1 = timing.long_duration * fs;
  const double end = a + d0 + d1;
  const int first = std::max(start, static_cast<int>(std::floor(a - kBandLimitedReach)) + 1);
  const int last =
      std::min(start + N - 1, static_cast<int>(std::ceil(end + kBandLimitedReach)) - 1);
  for (int s = first; s <= last; s++) {
    double v;
    if (d1 < kImpulseSamples) {
      v = band_limited_kernel(s - (a + end) / 2);
    } else if (d0 < kImpulseSamples) {
      const double c = a + d0 / 2;
      v = (band_limited_kernel_integral(s - c) - band_limited_kernel_integral(s - c - d1)) / d1;
    } else {
      const double x = s - a;
      v = (band_limited_kernel_second_integral(x) - band_limited_kernel_second_integral(x - d0) -
           band_limited_kernel_second_integral(x - d1) +
           band_limited_kernel_second_integral(x - d0 - d1)) /
          (d0 * d1);
    }
    values[s - start] += v * scale;
  }
}

}  // namespace sonvar
