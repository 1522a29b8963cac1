// exact_response.cpp - the spatial impulse response of a flat polygon in
// closed form, for the exact-integration option of the triangle and the
// line-bounded element responses.
//
// The integral of h from the first arrival to time t is
//   G(t) / (2 pi),   G(t) = integral of dS / R over the part of the polygon
// inside the sphere of radius r = c t about the field point
// (dS / R = dR dphi in polar coordinates about the point's projection).
// The polygon is the signed sum of the fans (origin, P1, P2) of its edges.
// In a fan whose edge lies at distance d from the origin, with psi the
// angle from the foot of the perpendicular, the edge is at planar radius
// d / cos psi and slant distance R_e(psi) = sqrt(d^2 / cos^2 psi + z^2), so
//   G_fan = integral over the fan's angles of (min(r, R_e(psi)) - z) dpsi,
// which has the antiderivative K(psi) = integral (R_e - z) dpsi below. A
// sample is the difference of G at its two interval boundaries, so it is
// the exact mean of h over its interval, however short the response.
#include <algorithm>
#include <cmath>
#include <vector>

#include "base/constants.h"
#include "base/points.h"
#include "base/quadrature.h"
#include "general/checks.h"
#include "triangles/exact_response.h"

namespace sonvar {

namespace {

// One edge's fan, set up once per field point.
struct Fan {
  double sign;    // orientation of the fan (+1 counter-clockwise)
  double d;       // distance of the edge's line from the origin, m
  double psi_lo;  // angles of the edge's ends from the foot, rad
  double psi_hi;
};

// K(psi) = integral from 0 to psi of (R_e - z), written without the
// cancellations of its textbook form z asin(z sin psi / A) +
// d atanh(d sin psi / Q) - z psi (A = sqrt(d^2 + z^2),
// Q = sqrt(d^2 + z^2 cos^2 psi)): far from the element d^2 / z is many
// orders below z.
double antiderivative(double d, double z, double psi) {
  const double s = std::sin(psi), c = std::cos(psi);
  const double a = std::sqrt(d * d + z * z);
  const double q = std::sqrt(d * d + z * z * c * c);
  const double as = std::fabs(s);
  // d atanh(d |s| / Q) = d log((Q + d |s|) / (A cos psi)), the quotient
  // minus 1 formed exactly.
  const double excess = d * as * (1.0 + d * as / (q + a * c)) / (a * c);
  const double log_term = d * std::log1p(excess);
  // z (psi - asin(z s / A)) = z asin(d^2 s / (A (Q + z cos psi))).
  const double asin_term = z * std::asin(d * d * as / (a * (q + z * c)));
  return std::copysign(log_term - asin_term, s);
}

// E = integral over J of (r - R_e(psi)) dpsi, J the fan's angles whose
// edge point lies inside the sphere (|psi| < alpha, cos alpha = d / rho):
// what the edge cuts off the fan's full sector (r - z) * span. Where J is
// short against its distance from +-pi/2 (1/cos psi is the integrand's
// nearest singularity) a Gauss-Legendre rule on (rho^2 - r_e^2) / (r + R_e)
// keeps every digit; there the closed form, (r - z) |J| - K(hi) + K(lo),
// would be the small difference of large terms (a fan seen from far off is
// long and thin, the sphere barely past its edge).
double cut_off(const Fan &fan, double z, double r, double r_minus_z, double rho_sq) {
  if (rho_sq <= fan.d * fan.d) return 0.0;  // the sphere does not reach the edge's line
  const double alpha = std::atan2(std::sqrt(rho_sq - fan.d * fan.d), fan.d);
  const double lo = std::max(fan.psi_lo, -alpha);
  const double hi = std::min(fan.psi_hi, alpha);
  if (lo >= hi) return 0.0;
  const double margin = 1.5707963267948966 - std::max(std::fabs(lo), std::fabs(hi));
  if (hi - lo > 0.125 * margin)
    return r_minus_z * (hi - lo) - (antiderivative(fan.d, z, hi) - antiderivative(fan.d, z, lo));
  double sum = 0.0;
  for (int k = 0; k < kShortRulePoints; k++) {
    const double psi = lo + (hi - lo) * kShortRuleNodes[k];
    const double edge_sq = sqr(fan.d / std::cos(psi));
    sum += kShortRuleWeights[k] * (rho_sq - edge_sq) / (r + std::sqrt(edge_sq + z * z));
  }
  return sum * (hi - lo);
}

}  // namespace

void exact_polygon_response(sys_con *sys, const double *xs, const double *ys, int n, double z,
                            double t_delay, double weight, signal_rec *signal) {
  z = std::fabs(z);
  const double c = sys->c;
  const double fs = sys->fs;
  std::vector<Fan> fans;
  fans.reserve(n);
  double area2 = 0.0;  // twice the signed area
  double r_near_sq = 1e300, r_far_sq = 0.0;
  for (int i = 0; i < n; i++) {
    const double x1 = xs[i], y1 = ys[i];
    const double x2 = xs[(i + 1) % n], y2 = ys[(i + 1) % n];
    const double cross = x1 * y2 - y1 * x2;
    area2 += cross;
    r_far_sq = std::max(r_far_sq, x1 * x1 + y1 * y1);
    const double ex = x2 - x1, ey = y2 - y1;
    const double length_sq = ex * ex + ey * ey;
    if (length_sq == 0.0) continue;
    // Nearest point of the edge segment to the origin.
    const double s = std::max(0.0, std::min(1.0, -(x1 * ex + y1 * ey) / length_sq));
    r_near_sq = std::min(r_near_sq, sqr(x1 + s * ex) + sqr(y1 + s * ey));
    if (cross == 0.0) continue;  // the origin lies on the edge's line: no area
    const double length = std::sqrt(length_sq);
    Fan fan;
    fan.sign = cross > 0.0 ? 1.0 : -1.0;
    fan.d = std::fabs(cross) / length;
    // Unit vector to the foot: the edge's normal pointing away from the origin.
    double nx = ey / length, ny = -ex / length;
    if (nx * x1 + ny * y1 < 0.0) {
      nx = -nx;
      ny = -ny;
    }
    const double psi1 = std::atan2(nx * y1 - ny * x1, nx * x1 + ny * y1);
    const double psi2 = std::atan2(nx * y2 - ny * x2, nx * x2 + ny * y2);
    fan.psi_lo = std::min(psi1, psi2);
    fan.psi_hi = std::max(psi1, psi2);
    fans.push_back(fan);
  }
  const double orientation = area2 >= 0.0 ? 1.0 : -1.0;
  // The fans' signed angles add up to 2 pi about an inner origin and to 0
  // about an outer one; set exactly, since G = (r - z) * that sum - the
  // signed cut-offs, and the sum's rounding times r - z would stand for
  // area that is not there. (On an edge or a corner the interior angle.)
  double winding = 0.0;
  for (const Fan &fan : fans) winding += fan.sign * (fan.psi_hi - fan.psi_lo);
  const bool inside = std::fabs(winding) > kPi * 1.5;
  if (std::fabs(winding) < 1e-9) winding = 0.0;
  if (inside) winding = std::copysign(kTwoPi, winding);
  const double r_near = std::sqrt((inside ? 0.0 : r_near_sq) + z * z);
  const double r_far = std::sqrt(r_far_sq + z * z);

  // Samples on the absolute grid: sample k covers [(k - 1/2) T, (k + 1/2) T];
  // the first lies wholly before the first arrival, the last wholly after.
  const double t_near = t_delay + r_near / c;
  const double t_far = t_delay + r_far / c;
  const int first = static_cast<int>(std::floor(t_near * fs + 0.5)) - 1;
  const int last = static_cast<int>(std::floor(t_far * fs + 0.5)) + 1;
  const int count = last - first + 1;
  extend_signal(sys, signal, count, first);
  double *value = signal->values;
  const double t_z = z / c;
  double previous = 0.0;
  const double scale = weight * orientation * fs / kTwoPi;
  for (int j = 0; j < count; j++) {
    // Time since the point's own arrival (z / c) at the sample's upper edge.
    const double u = ((first + j + 0.5) / fs - t_delay) - t_z;
    double g = 0.0;
    if (u > 0.0) {
      const double r_minus_z = c * u;
      const double rho_sq = r_minus_z * (r_minus_z + 2.0 * z);
      const double r = r_minus_z + z;
      g = r_minus_z * winding;
      for (const Fan &fan : fans) g -= fan.sign * cut_off(fan, z, r, r_minus_z, rho_sq);
    }
    value[j] = (g - previous) * scale;
    previous = g;
  }
}

}  // namespace sonvar
