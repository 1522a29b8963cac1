// triangles.cpp - spatial impulse response of flat triangular elements.
//
// A triangle is moved into its own plane with the projection of the field
// point at the origin and written as a signed sum of three fans (triangles
// with one corner at the origin). The response of a fan, h(t) = c/(2 pi)
// Omega(t) with Omega the angle of the wave circle inside the fan, is
// integrated exactly over each sampling interval: in closed form where the
// whole arc lies inside, by integrating the crossing angles of the circle
// with the fan's outer edge elsewhere.

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/constants.h"
#include "base/points.h"
#include "base/quadrature.h"
#include "dispatch/scratch_block.h"
#include "field/focusing.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "state/host.h"
#include "triangles/exact_response.h"
#include "triangles/triangles.h"

namespace sonvar {

namespace {

// Squared distances below this mark a corner at the projection point.
constexpr double kTinySquare = 1e-60;
// Relative size of the tolerance that marks collinear fan corners.
constexpr double kCollinear = 1e-10;
// Outer edges within this relative x difference are parallel to the y axis.
constexpr double kVerticalEdge = 1e-14;
// Argument excess of acos that is rounding rather than a fault.
constexpr double kAcosSlack = 1e-7;
// Intervals shorter than this many samples use the trapezoid.
constexpr double kShortInterval = 0.05;
// Romberg integration: relative accuracy, refinements and orders.
constexpr double kRombergAccuracy = 0.001;
constexpr int kRefinements = 15;
constexpr int kFirstOrder = 2;
constexpr int kLastOrder = 9;
// Most points polint interpolates through.
constexpr int kMaxPolintPoints = 11;

}  // namespace

// ===========================================================================
// Small helpers
// ===========================================================================

double atan2n(double y, double x) {
  const double angle = std::atan2(y, x);
  return angle < 0.0 ? angle + kTwoPi : angle;
}

void swop_corners(point3 *corners, int i, int j) {
  std::swap(corners[i], corners[j]);
}

void minus(signal_rec *signal) {
  for (int k = 0; k < signal->no_samples; k++) signal->values[k] = -signal->values[k];
}

void rotate1(point3 *p, double cos_a, double sin_a) {
  const double x = p->x * cos_a + p->z * sin_a;
  p->z = p->z * cos_a - p->x * sin_a;
  p->x = x;
}

void rotate2(point3 *p, double cos_a, double sin_a) {
  const double x = p->x * cos_a + p->y * sin_a;
  p->y = p->y * cos_a - p->x * sin_a;
  p->x = x;
}

void rotate3(point3 *p, double cos_a, double sin_a) {
  const double y = p->y * cos_a + p->z * sin_a;
  p->z = p->z * cos_a - p->y * sin_a;
  p->y = y;
}

// ===========================================================================
// Polynomial extrapolation
// ===========================================================================

void polint(const double *xa, const double *ya, int n, double x, double *y, double *dy) {
  // Neville's tableau in single precision, indexed from 1 as the algorithm
  // is usually written; xa and ya are read at [i - 1].
  float c[kMaxPolintPoints + 1];
  float d[kMaxPolintPoints + 1];
  n = std::min(n, kMaxPolintPoints);
  int ns = 1;
  float dif = std::fabs(static_cast<float>(x - xa[0]));
  for (int i = 1; i <= n; i++) {
    const float dift = std::fabs(static_cast<float>(x - xa[i - 1]));
    if (dift < dif) {
      ns = i;
      dif = dift;
    }
    c[i] = static_cast<float>(ya[i - 1]);
    d[i] = static_cast<float>(ya[i - 1]);
  }
  *y = ya[ns - 1];
  ns--;
  *dy = 0.0;
  for (int m = 1; m < n; m++) {
    for (int i = 1; i <= n - m; i++) {
      const float ho = static_cast<float>(xa[i - 1] - x);
      const float hp = static_cast<float>(xa[i + m - 1] - x);
      const float w = c[i + 1] - d[i];
      float den = ho - hp;
      if (den == 0.0f) {
        // No state is passed in: the channel of the running library call.
        print_message(CallScope::current(), "Error in routine POLINT\n");
      }
      den = w / den;
      d[i] = hp * den;
      c[i] = ho * den;
    }
    *dy = (2 * ns < n - m) ? c[ns + 1] : d[ns--];
    *y += *dy;
  }
}

// ===========================================================================
// Fan timing and crossing angles
// ===========================================================================

triangle_times *calc_triangle_times(sys_con *sys, triangle_times *times, point3 *fan_corners,
                                    double z) {
  const double inv_c = 1.0 / sys->c;
  const double x1 = fan_corners[1].x;
  const double y1 = fan_corners[1].y;
  const double x2 = fan_corners[2].x;
  const double y2 = fan_corners[2].y;
  times->t_origin = z * inv_c;
  times->t_corner1 = std::sqrt(x1 * x1 + z * z + y1 * y1) * inv_c;
  times->t_corner2 = std::sqrt(z * z + x2 * x2 + y2 * y2) * inv_c;
  times->z_sq = z * z;
  times->x_corner2 = x2;
  // The quotient can pass 1 by an ulp; acos would then give NaN.
  const double cos_fan = x2 / std::sqrt(x2 * x2 + y2 * y2);
  times->fan_angle = std::acos(std::max(-1.0, std::min(1.0, cos_fan)));
  if (std::fabs(x1 - x2) <= kVerticalEdge * std::fabs(x1 + x2)) {
    times->situation = 0;  // outer edge parallel to the y axis
    return times;
  }
  const double k = y2 / (x2 - x1);
  const double k_sq = k * k;
  times->coef_a = 1.0 / (1.0 + k_sq);
  times->foot_x = k_sq * x1 / (1.0 + k_sq);
  times->coef_b = times->coef_a * x1 * times->foot_x;
  const double foot_y = -times->foot_x / k;
  times->t_foot = std::sqrt(times->foot_x * times->foot_x + z * z + foot_y * foot_y) * inv_c;
  if (foot_y >= y2 && times->t_corner1 > times->t_corner2)
    times->situation = 1;  // corner 2 is the nearest point of the outer edge
  else if (k > 0.0 && times->t_corner2 > times->t_corner1)
    times->situation = 2;  // corner 1 is the nearest point of the outer edge
  else if (foot_y < y2 && times->t_corner1 >= times->t_corner2)
    times->situation = 3;  // foot inside the edge, corner 1 last
  else
    times->situation = 4;  // foot inside the edge, corner 2 last
  return times;
}

double eval_theta(sys_con *sys, triangle_times *times, int crossing_kind, double t) {
  const double rho_sq = std::fabs(sqr(t * sys->c) - times->z_sq);
  const double rho = std::sqrt(rho_sq);
  if (rho == 0.0) return kPi / 2.0;
  double x = 0.0;
  if (crossing_kind == 3) {
    x = times->x_corner2 / rho;
  } else {
    // Squared half distance between the two crossings along the edge.
    const double d = rho_sq * times->coef_a - times->coef_b;
    if (d < 0.0) return 0.0;  // the circle does not reach the edge's line
    x = crossing_kind == 1 ? (times->foot_x + std::sqrt(d)) / rho
                           : (times->foot_x - std::sqrt(d)) / rho;
  }
  if (std::fabs(x) <= 1.0) return std::acos(x);
  if (std::fabs(x) - 1.0 > kAcosSlack) {
    print_formatted(sys, 256, "Internal error for acos %2e diff: %8e\n", x, std::fabs(x) - 1.0);
    print_formatted(sys, 256, "Function %d, rt %e, x3 %e, diff %e coef1 %e, t %e \n", crossing_kind,
                    rho, times->x_corner2, rho_sq * times->coef_a - times->coef_b, times->foot_x,
                    t);
  }
  return x > 1.0 ? 0.0 : kPi;
}

// ===========================================================================
// Angle integration
// ===========================================================================

namespace {

struct RombergResult {
  bool converged;
  double sum;
  double correction;
  double last_step;
};

// Romberg integration of one order of the crossing angle over [t_a, t_b]
// in the variable s of t = t_a + len s^2: up to kRefinements trapezoid
// refinements in s, each extrapolated to step 0 through the last `order`
// sums. A crossing angle that starts at the piece's first time (the circle
// reaching the edge's line at its foot) grows as the square root of the time
// since; in s it is smooth, so the extrapolation and its error estimate hold.
RombergResult romberg(sys_con *sys, triangle_times *times, int kind, double t_a, double t_b,
                      int order) {
  const double len = t_b - t_a;
  auto g = [&](double u) {
    return 2.0 * len * u * eval_theta(sys, times, kind, t_a + len * u * u);
  };
  double s[kRefinements + 2] = {};
  double h[kRefinements + 2] = {};
  RombergResult result = {false, 0.0, 0.0, len};
  h[1] = 1.0;
  for (int j = 1; j <= kRefinements; j++) {
    if (j == 1) {
      s[j] = 0.5 * g(1.0);
    } else {
      const int m = 1 << (j - 2);
      const double delta = 1.0 / m;
      double sum = 0.0;
      for (int i = 0; i < m; i++) sum += g(0.5 * delta + i * delta);
      s[j] = 0.5 * (s[j] + sum / m);
      result.last_step = delta * len;
    }
    if (j >= order) {
      polint(&h[j - order + 1], &s[j - order + 1], order, 0.0, &result.sum, &result.correction);
      if (kRombergAccuracy * std::fabs(result.sum) > std::fabs(result.correction) ||
          result.sum == 0.0) {
        result.converged = true;
        return result;
      }
    }
    s[j + 1] = s[j];
    h[j + 1] = 0.25 * h[j];
  }
  return result;
}

void report_no_convergence(sys_con *sys, double t_a, double t_b, const RombergResult &r) {
  const double len = t_b - t_a;
  print_message(sys, "Not possible to find convergent integral for triangles \n");
  print_formatted(sys, 256, "Returning after %d iterations \n", kRefinements + 1);
  print_formatted(sys, 256, "Times are %e to %e \n", t_a, t_b);
  print_formatted(sys, 256, "Time difference %e corresponding to %e \n", len, 1.0 / len);
  print_formatted(sys, 256, "Step length in integration is %e, corresponding to fs= %e Hz \n",
                  r.last_step, 1.0 / r.last_step);
  print_formatted(sys, 256, "Sum is %e dss is %e \n", r.sum, r.correction);
  print_formatted(sys, 256, "Accuracy is %e \n", std::fabs(r.correction) / std::fabs(r.sum));
  print_formatted(sys, 256, "Polynomial order %d \n", kLastOrder);
}

}  // namespace

double int_theta(sys_con *sys, triangle_times *times, int crossing_kind, double t_a, double t_b) {
  const double len = t_b - t_a;
  if (sys->fast_integration) {
    const double m = 0.5 * (t_a + t_b);
    return (eval_theta(sys, times, crossing_kind, t_a) +
            2.0 * eval_theta(sys, times, crossing_kind, m) +
            eval_theta(sys, times, crossing_kind, t_b)) *
           (t_b - m) / 2.0;
  }
  if (len < kShortInterval / sys->fs) {
    // A short piece is often a whole phase of a small element seen from
    // far away, so its integral is that of the whole response: a fixed
    // Gauss-Legendre rule in s (t = t_a + len s^2) keeps its accuracy.
    double sum = 0.0;
    for (int k = 0; k < kShortRulePoints; k++) {
      const double u = kShortRuleNodes[k];
      sum += kShortRuleWeights[k] * u * eval_theta(sys, times, crossing_kind, t_a + len * u * u);
    }
    return 2.0 * len * sum;
  }
  RombergResult result = {};
  for (int order = kFirstOrder; order <= kLastOrder; order++) {
    result = romberg(sys, times, crossing_kind, t_a, t_b, order);
    if (result.converged) return result.sum;
  }
  report_no_convergence(sys, t_a, t_b, result);
  return result.sum;
}

// ===========================================================================
// The five fan situations
// ===========================================================================

namespace {

// The arc angle during one phase: fan_angle (when `full`) plus the signed
// crossing angles.
struct Phase {
  double end;       // end time of the phase, s
  bool full;        // Omega contains fan_angle
  int kinds[2];     // crossing kinds of the theta terms (0: none)
  double signs[2];  // their signs
};

constexpr int kMaxPhases = 3;

struct PhaseTable {
  int count;
  Phase phases[kMaxPhases];
};

PhaseTable phases_of(const triangle_times *t, int situation) {
  const Phase full_to_c1 = {t->t_corner1, true, {0, 0}, {0.0, 0.0}};
  const Phase full_to_c2 = {t->t_corner2, true, {0, 0}, {0.0, 0.0}};
  const Phase full_to_foot = {t->t_foot, true, {0, 0}, {0.0, 0.0}};
  switch (situation) {
    case 0:
      return {2, {full_to_c1, {t->t_corner2, true, {3, 0}, {-1.0, 0.0}}}};
    case 1:
      return {2, {full_to_c2, {t->t_corner1, false, {1, 0}, {1.0, 0.0}}}};
    case 2:
      return {2, {full_to_c1, {t->t_corner2, true, {1, 0}, {-1.0, 0.0}}}};
    case 3:
      return {3,
              {full_to_foot,
               {t->t_corner2, true, {1, 2}, {1.0, -1.0}},
               {t->t_corner1, false, {1, 0}, {1.0, 0.0}}}};
    default:
      return {3,
              {full_to_foot,
               {t->t_corner1, true, {1, 2}, {1.0, -1.0}},
               {t->t_corner2, true, {2, 0}, {-1.0, 0.0}}}};
  }
}

// Integral of h over [p, q] within one phase, m.
double phase_integral(sys_con *sys, triangle_times *times, const Phase &phase, double p, double q) {
  double angle_time = phase.full ? times->fan_angle * (q - p) : 0.0;
  for (int k = 0; k < 2; k++)
    if (phase.kinds[k] != 0)
      angle_time += phase.signs[k] * int_theta(sys, times, phase.kinds[k], p, q);
  return sys->c / kTwoPi * angle_time;
}

// Fills value[i] with the integral of h from t_origin to the sample
// boundary t_start - T/2 + i T, split at every phase end.
signal_rec *sample_fan(sys_con *sys, triangle_times *times, int situation, signal_rec *signal,
                       double t_start) {
  const PhaseTable table = phases_of(times, situation);
  const double t_end = table.phases[table.count - 1].end;
  const double fs = sys->fs;
  const double dt = 1.0 / fs;
  const double count = std::floor((t_end - t_start) * fs) + 3;
  const double first = std::floor(fs * t_start + 0.5);
  if (!response_fits(sys, count, first))
    fail_response(sys, "triangle response", count, first, point3{NAN, NAN, NAN}, sys->c * t_end);
  const int n = std::max(2, static_cast<int>(count));
  extend_signal(sys, signal, n, static_cast<int>(first));
  double *value = signal->values;
  int i = 0;
  auto boundary = [&](int k) { return t_start - 0.5 * dt + k * dt; };
  while (i < n && boundary(i) <= times->t_origin) value[i++] = 0.0;
  double sum = 0.0;
  double lo = times->t_origin;
  for (int p = 0; p < table.count; p++) {
    const Phase &phase = table.phases[p];
    while (i < n && boundary(i) <= phase.end) {
      const double b = boundary(i);
      sum += phase_integral(sys, times, phase, lo, b);
      value[i++] = sum;
      lo = b;
    }
    sum += phase_integral(sys, times, phase, lo, phase.end);
    lo = phase.end;
  }
  while (i < n) value[i++] = sum;
  return signal;
}

}  // namespace

signal_rec *triangle_sit0(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start) {
  return sample_fan(sys, times, 0, signal, t_start);
}

signal_rec *triangle_sit1(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start) {
  return sample_fan(sys, times, 1, signal, t_start);
}

signal_rec *triangle_sit2(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start) {
  return sample_fan(sys, times, 2, signal, t_start);
}

signal_rec *triangle_sit3(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start) {
  return sample_fan(sys, times, 3, signal, t_start);
}

signal_rec *triangle_sit4(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start) {
  return sample_fan(sys, times, 4, signal, t_start);
}

// ===========================================================================
// One fan
// ===========================================================================

namespace {

bool collinear(const point3 &a, const point3 &b, double tol) {
  return tol > std::fabs(a.x) + std::fabs(b.x) || tol > std::fabs(a.y) + std::fabs(b.y);
}

signal_rec *zero_fan(sys_con *sys, signal_rec *signal, double t_start) {
  const double first = std::floor(t_start * sys->fs + 0.5);
  if (!response_fits(sys, 1, first))
    fail_response(sys, "triangle response", 1, first, point3{NAN, NAN, NAN}, sys->c * t_start);
  extend_signal(sys, signal, 1, static_cast<int>(first));
  signal->values[0] = 0.0;
  return signal;
}

}  // namespace

signal_rec *h_tri2(sys_con *sys, triangle_times *times, point3 *corners, int index_a, int index_b,
                   signal_rec *signal, double z, double t_start) {
  point3 fan[3] = {{0.0, 0.0, 0.0}, corners[index_a], corners[index_b]};
  const double r1_sq = sqr(fan[1].x) + sqr(fan[1].y);
  const double r2_sq = sqr(fan[2].x) + sqr(fan[2].y);
  const double tol = kCollinear * r1_sq;
  if (r2_sq < kTinySquare || r1_sq < kTinySquare || collinear(fan[1], fan[2], tol))
    return zero_fan(sys, signal, t_start);

  // Counter-clockwise order: corner 2 at most pi on from corner 1.
  const double a1 = atan2n(fan[1].y, fan[1].x);
  const double a2 = atan2n(fan[2].y, fan[2].x);
  if ((a1 > a2 && a1 - a2 < kPi) || (a1 <= a2 && a2 - a1 > kPi)) swop_corners(fan, 1, 2);

  // Rotate corner 1 onto the positive x axis.
  const double r1 = std::sqrt(sqr(fan[1].x) + sqr(fan[1].y));
  const double cos_phi = fan[1].x / r1;
  const double sin_phi = fan[1].y / r1;
  for (int k = 1; k <= 2; k++) {
    const double x = fan[k].x * cos_phi + fan[k].y * sin_phi;
    fan[k].y = fan[k].y * cos_phi - fan[k].x * sin_phi;
    fan[k].x = x;
  }
  if (collinear(fan[1], fan[2], tol)) return zero_fan(sys, signal, t_start);

  calc_triangle_times(sys, times, fan, z);
  using Situation = signal_rec *(*)(sys_con *, triangle_times *, signal_rec *, double);
  constexpr Situation kSituations[] = {triangle_sit0, triangle_sit1, triangle_sit2, triangle_sit3,
                                       triangle_sit4};
  kSituations[times->situation](sys, times, signal, t_start);

  // Cumulative integrals to per-sample means; the last sample lies wholly
  // after the fan's last arrival.
  const int n = signal->no_samples;
  double *value = signal->values;
  for (int i = 0; i < n - 1; i++) value[i] = (value[i + 1] - value[i]) * sys->fs;
  value[n - 1] = 0.0;
  return signal;
}

// ===========================================================================
// One triangle
// ===========================================================================

namespace {

// (cos, sin) of the direction (a, b); the identity for a zero vector.
void direction(double a, double b, double *cos_a, double *sin_a) {
  const double d = std::sqrt(a * a + b * b);
  if (d == 0.0) {
    *cos_a = 1.0;
    *sin_a = 0.0;
  } else {
    *cos_a = a / d;
    *sin_a = b / d;
  }
}

bool same_sign(double a, double b) {
  return (a >= 0.0) == (b >= 0.0);
}

// Squared distance from the origin to the segment from a to b (x, y only).
double segment_distance_sq(const point3 &a, const point3 &b) {
  const double dx = b.x - a.x;
  const double dy = b.y - a.y;
  const double length_sq = dx * dx + dy * dy;
  double s = 0.0;
  if (length_sq > 0.0) s = std::max(0.0, std::min(1.0, -(a.x * dx + a.y * dy) / length_sq));
  return sqr(a.x + s * dx) + sqr(a.y + s * dy);
}

}  // namespace

namespace {

// Turns the three corners c and the point p with `rotate` by the angle
// (cos_a, sin_a).
void turn_all(void (*rotate)(point3 *, double, double), double cos_a, double sin_a, point3 *c,
              point3 *p) {
  for (int k = 0; k < 3; k++) rotate(&c[k], cos_a, sin_a);
  rotate(p, cos_a, sin_a);
}

// Moves the three corners c and the point p so that corner 0's coordinate
// u is 0.
void move_to_corner0(double point3::*u, point3 *c, point3 *p) {
  const double u0 = c[0].*u;
  for (int k = 0; k < 3; k++) c[k].*u -= u0;
  p->*u -= u0;
}

}  // namespace

point3 *project_triangle(point3 *corners_out, const tri_element *triangle, point3 *point_out,
                         double x, double y, double z) {
  point3 *c = corners_out;
  for (int k = 0; k < 3; k++) c[k] = triangle->corners[k];
  point3 p = {x, y, z};
  double cos_a = 1.0;
  double sin_a = 0.0;

  // Edge 0-2 into the x-y plane, then corner 0 to height 0.
  direction(c[2].x - c[0].x, c[2].z - c[0].z, &cos_a, &sin_a);
  turn_all(rotate1, cos_a, sin_a, c, &p);
  move_to_corner0(&point3::z, c, &p);

  // Edge 0-2 onto the x axis, then corner 0 to y = 0.
  direction(c[2].x - c[0].x, c[2].y - c[0].y, &cos_a, &sin_a);
  turn_all(rotate2, cos_a, sin_a, c, &p);
  move_to_corner0(&point3::y, c, &p);

  // Corner 1 into the plane z = 0 by turning about the x axis.
  direction(c[1].y - c[0].y, c[1].z - c[0].z, &cos_a, &sin_a);
  turn_all(rotate3, cos_a, sin_a, c, &p);

  p.z = std::fabs(p.z);
  for (int k = 0; k < 3; k++) {
    c[k].x -= p.x;
    c[k].y -= p.y;
    c[k].z = 0.0;
  }
  *point_out = p;
  return corners_out;
}

int16_t find_outside(const point3 *corners) {
  const double x0 = corners[0].x, y0 = corners[0].y;
  const double x1 = corners[1].x, y1 = corners[1].y;
  const double x2 = corners[2].x, y2 = corners[2].y;
  // E: where the line from the origin through corner 1 meets line 0-2.
  double ex = 0.0;
  double ey = 0.0;
  bool on_vertical = false;  // line 0-2 parallel to the y axis: test y
  if (x1 != 0.0) {
    const double g = y1 / x1;
    if (x0 == x2) {
      ex = x0;
      ey = g * x0;
      on_vertical = true;
    } else {
      const double l = (y0 - y2) / (x0 - x2);
      const double q = y0 - x0 * l;
      if (g == l) {
        ex = x1;
        ey = y1;
      } else {
        ex = q / (g - l);
        ey = g * ex;
      }
    }
  } else if (x0 == x2) {
    ex = x1;
    ey = y1;
    on_vertical = true;
  } else {
    ex = 0.0;
    ey = y0 - (y0 - y2) / (x0 - x2) * x0;
  }
  bool outside = false;
  if (on_vertical)
    outside = y2 > y0 ? (ey > y2 || ey < y0) : (ey < y2 || ey > y0);
  else
    outside = x2 > x0 ? (ex > x2 || ex < x0) : (ex < x2 || ex > x0);
  if (!outside) {
    if (same_sign(x1, ex) && same_sign(y1, ey))
      outside = true;
    else
      outside = ex * ex + ey * ey > sqr(x1 - ex) + sqr(y1 - ey);
  }
  return outside ? 1 : 0;
}

void swop_points(point3 *corners, int16_t outside) {
  if (!outside) return;
  auto wrap = [](double d) { return d > kPi ? d - kTwoPi : (d < -kPi ? d + kTwoPi : d); };
  const double a0 = atan2n(corners[0].y, corners[0].x);
  const double a1 = atan2n(corners[1].y, corners[1].x);
  const double a2 = atan2n(corners[2].y, corners[2].x);
  const double e = wrap(a1 - a0);
  if (e > 0.0) {
    const double f = wrap(a2 - a1);
    if (f < 0.0) {
      if (e > -f)
        swop_corners(corners, 1, 2);
      else
        swop_corners(corners, 0, 1);
    }
  } else {
    const double f = wrap(a2 - a0);
    if (f > 0.0)
      swop_corners(corners, 0, 1);
    else if (f > e)
      swop_corners(corners, 1, 2);
  }
}

int16_t find_closets(const point3 *corners) {
  const double x0 = corners[0].x, y0 = corners[0].y;
  const double x1 = corners[1].x, y1 = corners[1].y;
  const double x2 = corners[2].x, y2 = corners[2].y;
  if (std::fabs(x2 - x0) <= 5e-15 * std::fabs(x2 + x0)) return x1 > 0.0 ? x1 < x0 : x0 < x1;
  const double l = (y2 - y0) / (x2 - x0);
  const double q = y0 - x0 * l;
  if (x1 == 0.0) return std::fabs(y1) < std::fabs(q);
  const double xi = q / (y1 / x1 - l);
  return x1 < 0.0 ? xi < x1 : x1 < xi;
}

double find_start(sys_con *sys, const point3 *corners, int16_t corner1_nearer, int16_t outside,
                  double z, double t_ref, int32_t *start_sample) {
  double r = z;
  if (outside) {
    // The nearest point of the triangle lies on the edges that face the
    // projection point: 0-1 and 1-2 when corner 1 is nearer, else 0-2.
    // Perpendicular feet inside those edges count, not only the corners.
    const double d_sq = corner1_nearer ? std::min(segment_distance_sq(corners[0], corners[1]),
                                                  segment_distance_sq(corners[1], corners[2]))
                                       : segment_distance_sq(corners[0], corners[2]);
    r = std::sqrt(d_sq + z * z);
  }
  const double fs = sys->fs;
  const double t_min = r / sys->c - 1.0 / fs;  // one sample early
  const double u = t_ref + t_min;
  const double k = std::floor(fs * u);
  if (start_sample != nullptr) {
    if (!response_fits(sys, 1, k))
      fail_response(sys, "triangle response", 1, k, point3{NAN, NAN, NAN}, r);
    *start_sample = static_cast<int32_t>(k);
  }
  return t_min - (u - k / fs);
}

namespace {

// Adds the values of `from` into `into`; both start at the same sample and
// `into` is at least as long.
void add_same_start(const signal_rec *from, signal_rec *into) {
  for (int k = 0; k < from->no_samples; k++) into->values[k] += from->values[k];
}

}  // namespace

signal_rec *response_triangle(sys_con *sys, calc_memory_block *block, const tri_element *triangle,
                              double delay, double x, double y, double z) {
  point3 *corners = block->tri_corners;
  point3 point = {0.0, 0.0, 0.0};
  project_triangle(corners, triangle, &point, x, y, z);
  const double height = point.z;
  if (sys->exact_integration) {
    const double xs[3] = {corners[0].x, corners[1].x, corners[2].x};
    const double ys[3] = {corners[0].y, corners[1].y, corners[2].y};
    signal_rec *result = block->tri_signals[2];
    exact_polygon_response(sys, xs, ys, 3, height, delay + triangle->delay, triangle->apodization,
                           result);
    return result;
  }
  const int16_t outside = find_outside(corners);
  swop_points(corners, outside);
  const int16_t near = find_closets(corners);
  const double t_ref = delay + triangle->delay;
  int32_t start = 0;
  const double t_start = find_start(sys, corners, near, outside, height, t_ref, &start);

  triangle_times *times = block->tri_times;
  signal_rec **fans = block->tri_signals;
  signal_rec *a = h_tri2(sys, times, corners, 0, 1, fans[0], height, t_start);
  signal_rec *b = h_tri2(sys, times, corners, 1, 2, fans[1], height, t_start);
  signal_rec *d = h_tri2(sys, times, corners, 0, 2, fans[2], height, t_start);
  if (outside && near) {
    minus(a);
    minus(b);
  } else if (outside) {
    minus(d);
  }
  // The three fans share their first sample: add them in the longest one
  // and keep that one in the third slot, so that the block still owns three
  // distinct working signals.
  if (b->no_samples > d->no_samples) std::swap(fans[1], fans[2]);
  if (a->no_samples > fans[2]->no_samples) std::swap(fans[0], fans[2]);
  signal_rec *sum = fans[2];
  for (signal_rec *fan : {d, b, a})
    if (fan != sum) add_same_start(fan, sum);
  sum->start_sample = start;
  for (int k = 0; k < sum->no_samples; k++) sum->values[k] *= triangle->apodization;
  return sum;
}

// ===========================================================================
// The aperture sum
// ===========================================================================

namespace {

// Summed response of the triangles of one physical element, timed with the
// given focusing delay; NULL when it has no triangles.
signal_rec *element_response(sys_con *sys, calc_memory_block *block, const physical_element &e,
                             double delay, double x, double y, double z) {
  signal_rec *sum = nullptr;
  for (int j = 0; j < e.no_triangles; j++) {
    const tri_element &t = e.triangles[j];
    // A silent triangle is skipped, except that an element whose triangles
    // are all silent still yields a (zero) signal with correct timing.
    const bool last_chance = j == e.no_triangles - 1 && sum == nullptr;
    if (t.apodization == 0.0 && !last_chance) continue;
    signal_rec *r = response_triangle(sys, block, &t, delay, x, y, z);
    sum = add_responses(sys, r, sum);  // a copy the first time
  }
  return sum;
}

// Weight, attenuation over the travelled distance and the soft-baffle
// obliquity factor, sample by sample. r_k is the distance travelled by the
// time one sample after sample k, from the element's delayed origin.
void scale_element(const sys_con *sys, const aperture *ap, signal_rec *s, double weight,
                   double delay, double z) {
  const double c = sys->c;
  const double fs = sys->fs;
  for (int k = 0; k < s->no_samples; k++) {
    double r = c * ((s->start_sample + k + 1) / fs - delay);
    double value = weight * s->values[k];
    if (sys->use_att) value *= std::exp(-kNepersPerDb * sys->att * r);
    if (ap->soft_baffle) {
      // Within one sample of the element the distance is held at one
      // sample's travel; a point in the aperture plane receives nothing.
      if (r <= 0.0) r = z == 0.0 ? 0.0 : c / fs;
      value = r == 0.0 ? 0.0 : value * z / r;
    }
    s->values[k] = value;
  }
}

}  // namespace

signal_rec *calc_triangles(sys_con *sys, calc_memory_block *block, aperture *ap, double x, double y,
                           double z) {
  if (ap->no_elements <= 0) return nullptr;
  find_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
  int first = 0;
  int last = ap->no_elements - 1;
  if (block->single_element) {
    if (block->element_index < 0 || block->element_index >= ap->no_elements) return nullptr;
    first = last = block->element_index;
  }
  signal_rec *total = nullptr;
  for (int i = first; i <= last; i++) {
    const physical_element &e = ap->elements[i];
    if (!block->single_element && block->apodizations[i] == 0.0 && i > 0) continue;
    if (e.no_triangles == 0) continue;
    const double timing_delay = block->no_delay ? 0.0 : block->delays[i];
    signal_rec *s = element_response(sys, block, e, timing_delay, x, y, z);
    const double weight = block->no_delay ? 1.0 : block->apodizations[i];
    scale_element(sys, ap, s, weight, block->delays[i], z);
    if (e.has_excitation && block->apply_excitation) {
      signal_rec *excited = Convolute(sys, s, e.excitation);
      free_signal(sys, s);
      s = excited;
    }
    if (total == nullptr) {
      total = s;
    } else {
      add_responses(sys, s, total);
      free_signal(sys, s);
    }
  }
  return total;
}

}  // namespace sonvar
