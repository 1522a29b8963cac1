// accuracy_reference.h - references for the accuracy table, computed
// without the library's response code: the wave circle's arc inside a flat
// convex polygon from circle-segment crossings, integrated per sampling
// interval by Gauss-Legendre between the polygon's arrival times; the time
// integral from a quadrature of dS / (2 pi R); plateau values c, c/2, c/4;
// the circular piston on its axis. Also the measurement of one case
// (errors and time per point) against those references.
#ifndef SONVAR_ACCURACY_REFERENCE_H
#define SONVAR_ACCURACY_REFERENCE_H

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "base/points.h"
#include "sonvar.h"
#include "support/oracles.h"

namespace accuracy {

using sonvar_test::gauss_legendre;

using namespace sonvar;  // the library internals under test

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2 * kPi;

using sonvar_test::Vertex;

// A flat convex polygon in the plane z = 0, counter-clockwise, with a
// delay (s) of its response; one element of an aperture.
struct Element : sonvar_test::ConvexPolygon {
  double delay = 0.0;
};

// Times at which the arc angle is not smooth, for the point (px, py, pz):
// the arrivals from the corners, from the feet of the perpendiculars on
// the edges and from the projection itself.
inline std::vector<double> arrival_times(const Element &e, double px, double py, double pz,
                                         double c) {
  std::vector<double> t;
  auto at = [&](double x, double y) {
    t.push_back(std::sqrt(sqr(x - px) + sqr(y - py) + pz * pz) / c + e.delay);
  };
  for (size_t i = 0; i < e.v.size(); i++) {
    const Vertex &a = e.v[i], &b = e.v[(i + 1) % e.v.size()];
    at(a.x, a.y);
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double s = ((px - a.x) * dx + (py - a.y) * dy) / (dx * dx + dy * dy);
    if (s > 0 && s < 1) at(a.x + s * dx, a.y + s * dy);
  }
  if (e.contains(px, py)) t.push_back(std::fabs(pz) / c + e.delay);
  std::sort(t.begin(), t.end());
  return t;
}

// Integral of h over [t_a, t_b] (absolute times), split at the arrival
// times; each piece in s with t = a + L s^2 (3 - 2 s), which is smooth at
// both ends where crossings start or end as a square root of time.
inline double integral_of_h(const Element &e, double px, double py, double pz, double c, double t_a,
                            double t_b, const std::vector<double> &arrivals) {
  static std::vector<double> nodes, weights;
  if (nodes.empty()) gauss_legendre(48, &nodes, &weights);
  std::vector<double> cuts = {t_a};
  for (double t : arrivals)
    if (t > t_a && t < t_b) cuts.push_back(t);
  cuts.push_back(t_b);
  double total = 0.0;
  for (size_t k = 0; k + 1 < cuts.size(); k++) {
    const double a = std::max(cuts[k], arrivals.front()),
                 b = std::min(cuts[k + 1], arrivals.back());
    if (b <= a) continue;
    const double len = b - a;
    double sum = 0.0;
    for (size_t i = 0; i < nodes.size(); i++) {
      const double s = nodes[i];
      const double t = a + len * s * s * (3 - 2 * s) - e.delay;
      const double rho_sq = sqr(c * t) - pz * pz;
      const double omega = rho_sq > 0 ? e.arc_inside(px, py, std::sqrt(rho_sq)) : 0.0;
      sum += weights[i] * 6 * s * (1 - s) * omega;
    }
    total += sum * len * c / kTwoPi;
  }
  return total;
}

// A sampled signal on the absolute grid: value j is the mean of h over
// [(start + j - 1/2) / fs, (start + j + 1/2) / fs].
struct Signal {
  int start = 0;
  std::vector<double> v;
  double at(int k) const {
    const int j = k - start;
    return j >= 0 && j < static_cast<int>(v.size()) ? v[j] : 0.0;
  }
};

// Reference response of an aperture of elements (weights 1) at a point.
inline Signal reference_response(const std::vector<Element> &elements, point3 p, double c,
                                 double fs) {
  double t_first = 1e300, t_last = 0.0;
  std::vector<std::vector<double>> arrivals;
  for (const Element &e : elements) {
    arrivals.push_back(arrival_times(e, p.x, p.y, p.z, c));
    t_first = std::min(t_first, arrivals.back().front());
    t_last = std::max(t_last, arrivals.back().back());
  }
  Signal s;
  s.start = static_cast<int>(std::floor(t_first * fs + 0.5)) - 1;
  const int end = static_cast<int>(std::floor(t_last * fs + 0.5)) + 1;
  s.v.assign(end - s.start + 1, 0.0);
  for (size_t i = 0; i < elements.size(); i++)
    for (int j = 0; j < static_cast<int>(s.v.size()); j++) {
      const double a = (s.start + j - 0.5) / fs, b = (s.start + j + 0.5) / fs;
      if (b <= arrivals[i].front() || a >= arrivals[i].back()) continue;
      s.v[j] += integral_of_h(elements[i], p.x, p.y, p.z, c, a, b, arrivals[i]) * fs;
    }
  return s;
}

inline double time_integral(const std::vector<Element> &elements, point3 p) {
  double total = 0.0;
  for (const Element &e : elements)
    for (size_t i = 1; i + 1 < e.v.size(); i++)
      total += sonvar_test::triangle_time_integral({e.v[0].x, e.v[0].y, 0}, {e.v[i].x, e.v[i].y, 0},
                                                   {e.v[i + 1].x, e.v[i + 1].y, 0}, p, 4, 16);
  return total;
}

// Mean over [a, b] of the on-axis response of a circular piston of radius
// r at depth z: c between z / c and sqrt(z^2 + r^2) / c, 0 elsewhere.
inline Signal piston_on_axis(double radius, double z, double c, double fs) {
  const double t0 = z / c, t1 = std::sqrt(z * z + radius * radius) / c;
  Signal s;
  s.start = static_cast<int>(std::floor(t0 * fs + 0.5)) - 1;
  const int end = static_cast<int>(std::floor(t1 * fs + 0.5)) + 1;
  for (int k = s.start; k <= end; k++) {
    const double a = (k - 0.5) / fs, b = (k + 0.5) / fs;
    s.v.push_back(c * std::max(0.0, std::min(b, t1) - std::max(a, t0)) * fs);
  }
  return s;
}

// ---------------------------------------------------------------------------
// Measurement

struct Errors {
  double l2 = 0;        // relative L2 of the signal
  double peak = 0;      // max |error| / peak of the reference
  double integral = 0;  // relative error of sum / fs against the quadrature
  double plateau = -1;  // max |error| / plateau over samples wholly in it (-1: none)
  double micros = 0;    // time per point, microseconds
};

inline Signal copy_of(const signal_rec *s) {
  Signal out;
  if (s == nullptr) return out;
  out.start = s->start_sample;
  out.v.assign(s->values, s->values + s->no_samples);
  return out;
}

inline Errors compare(const Signal &got, const Signal &ref, double integral, double fs) {
  Errors e;
  const int lo = std::min(got.start, ref.start);
  const int hi = std::max(got.start + static_cast<int>(got.v.size()),
                          ref.start + static_cast<int>(ref.v.size()));
  double diff = 0, norm = 0, peak = 0, worst = 0, sum = 0;
  for (int k = lo; k < hi; k++) {
    const double d = got.at(k) - ref.at(k);
    diff += d * d;
    norm += ref.at(k) * ref.at(k);
    peak = std::max(peak, std::fabs(ref.at(k)));
    worst = std::max(worst, std::fabs(d));
    sum += got.at(k);
  }
  e.l2 = std::sqrt(diff / norm);
  e.peak = worst / peak;
  e.integral = integral > 0 ? std::fabs(sum / fs - integral) / integral : 0.0;
  return e;
}

// h of the aperture at the point, timed over `repeats` calls.
inline Signal measure(sys_con *sys, aperture *ap, point3 p, int repeats, double *micros) {
  signal_rec **h = nullptr;
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < repeats; r++) {
    if (h != nullptr) {
      free_signal(sys, h[0]);
      free_memory(sys, h);
    }
    h = calc_h(sys, ap, 1, &p);
  }
  const auto stop = std::chrono::steady_clock::now();
  *micros = std::chrono::duration<double, std::micro>(stop - start).count() / repeats;
  Signal s = copy_of(h[0]);
  if (h[0] != nullptr) free_signal(sys, h[0]);
  free_memory(sys, h);
  return s;
}

}  // namespace accuracy

#endif  // SONVAR_ACCURACY_REFERENCE_H
