// oracles.h - independent references the tests compare the library with:
// a direct DFT, the direct convolution, Gauss-Legendre rules, the relative
// L2 difference of two signals, and for flat elements the arc of the wave
// circle inside a convex polygon and the time integral of the spatial
// impulse response of a triangle.
#ifndef SONVAR_TEST_ORACLES_H
#define SONVAR_TEST_ORACLES_H

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "sonvar.h"

namespace sonvar_test {

using cplx = std::complex<long double>;

// X[k] = sum_j x[j] exp(sign 2 pi i j k / N) evaluated directly in long
// double, with the angle reduced modulo N before the sine and cosine.
class DirectDft {
 public:
  explicit DirectDft(int N, int sign = +1) : N_(N), w_(static_cast<std::size_t>(N)) {
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int r = 0; r < N; r++)
      w_[static_cast<std::size_t>(r)] = std::polar(1.0L, sign * 2 * pi * r / N);
  }
  cplx bin(const std::vector<double> &x, int k) const {
    cplx sum = 0;
    std::size_t r = 0;
    for (double v : x) {
      sum += static_cast<long double>(v) * w_[r];
      r = (r + static_cast<std::size_t>(k)) % static_cast<std::size_t>(N_);
    }
    return sum;
  }

 private:
  int N_;
  std::vector<cplx> w_;
};

// (a * b)[m] = sum a[i] b[m - i] by the double loop.
inline std::vector<double> direct_convolution(const std::vector<double> &a,
                                              const std::vector<double> &b) {
  std::vector<double> y(a.size() + b.size() - 1, 0.0);
  for (std::size_t i = 0; i < a.size(); i++)
    for (std::size_t j = 0; j < b.size(); j++) y[i + j] += a[i] * b[j];
  return y;
}

// Gauss-Legendre nodes and weights of n points on [0, 1] (Newton's method
// on the Legendre polynomial from Tricomi's first guess).
inline void gauss_legendre(int n, std::vector<double> *nodes, std::vector<double> *weights) {
  const double pi = 3.141592653589793;
  nodes->assign(n, 0.0);
  weights->assign(n, 0.0);
  for (int i = 0; i < n; i++) {
    double x = std::cos(pi * (i + 0.75) / (n + 0.5));
    double dp = 0.0;
    for (int iteration = 0; iteration < 100; iteration++) {
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= n; k++) {
        const double p2 = ((2.0 * k - 1) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = n * (x * p1 - p0) / (x * x - 1);
      const double dx = p1 / dp;
      x -= dx;
      if (std::fabs(dx) < 1e-16) break;
    }
    (*nodes)[i] = (1 - x) / 2;
    (*weights)[i] = 1.0 / ((1 - x * x) * dp * dp);
  }
}

// ||got - ref|| / ||ref|| over the union of the two signals' samples on the
// absolute time axis (a sample outside a signal counts as 0).
inline double relative_l2(const signal_rec *got, const signal_rec *ref) {
  const int lo = std::min(got->start_sample, ref->start_sample);
  const int hi = std::max(got->start_sample + got->no_samples, ref->start_sample + ref->no_samples);
  const auto at = [](const signal_rec *s, int k) {
    const int j = k - s->start_sample;
    return (j >= 0 && j < s->no_samples) ? s->values[j] : 0.0;
  };
  double diff = 0, norm = 0;
  for (int k = lo; k < hi; k++) {
    const double d = at(got, k) - at(ref, k);
    diff += d * d;
    norm += at(ref, k) * at(ref, k);
  }
  return std::sqrt(diff / norm);
}

// A point of a flat element's plane, m.
struct Vertex {
  double x, y;
};

// A flat convex polygon in the plane z = 0, its corners counter-clockwise.
struct ConvexPolygon {
  std::vector<Vertex> v;

  // Inside or on an edge (by the signs of the edges' cross products; a
  // point `slack` outside in those units still counts).
  bool contains(double x, double y, double slack = 0.0) const {
    for (std::size_t i = 0; i < v.size(); i++) {
      const Vertex &a = v[i], &b = v[(i + 1) % v.size()];
      if ((b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x) < -slack) return false;
    }
    return true;
  }

  // Angle of the circle about (cx, cy) of the given radius that lies inside
  // the polygon: the crossings with the edge segments cut the circle into
  // arcs, each tested at its middle.
  double arc_inside(double cx, double cy, double radius, double slack = 0.0) const {
    const double two_pi = 6.283185307179586;
    std::vector<double> angles;
    for (std::size_t i = 0; i < v.size(); i++) {
      const Vertex &a = v[i], &b = v[(i + 1) % v.size()];
      const double dx = b.x - a.x, dy = b.y - a.y, fx = a.x - cx, fy = a.y - cy;
      const double qa = dx * dx + dy * dy, qb = 2 * (fx * dx + fy * dy);
      const double qc = fx * fx + fy * fy - radius * radius;
      const double disc = qb * qb - 4 * qa * qc;
      if (disc < 0) continue;
      for (double sign : {-1.0, 1.0}) {
        const double s = (-qb + sign * std::sqrt(disc)) / (2 * qa);
        if (s < 0 || s > 1) continue;
        double angle = std::atan2(fy + s * dy, fx + s * dx);
        if (angle < 0) angle += two_pi;
        angles.push_back(angle);
      }
    }
    if (angles.empty()) return contains(cx + radius, cy, slack) ? two_pi : 0.0;
    std::sort(angles.begin(), angles.end());
    double omega = 0.0;
    for (std::size_t k = 0; k < angles.size(); k++) {
      const double a = angles[k];
      const double b = k + 1 < angles.size() ? angles[k + 1] : angles[0] + two_pi;
      const double mid = (a + b) / 2;
      if (b - a > 0 && contains(cx + radius * std::cos(mid), cy + radius * std::sin(mid), slack))
        omega += b - a;
    }
    return omega;
  }
};

namespace detail {

inline double triangle_time_integral(point3 a, point3 b, point3 c, point3 p, int depth,
                                     const std::vector<double> &u, const std::vector<double> &w) {
  if (depth > 0) {
    const auto mid = [](point3 q, point3 r) {
      return point3{(q.x + r.x) / 2, (q.y + r.y) / 2, (q.z + r.z) / 2};
    };
    const point3 ab = mid(a, b), bc = mid(b, c), ca = mid(c, a);
    return triangle_time_integral(a, ab, ca, p, depth - 1, u, w) +
           triangle_time_integral(ab, b, bc, p, depth - 1, u, w) +
           triangle_time_integral(ca, bc, c, p, depth - 1, u, w) +
           triangle_time_integral(ab, bc, ca, p, depth - 1, u, w);
  }
  const point3 e1 = {b.x - a.x, b.y - a.y, b.z - a.z};  // (s, t) -> a + s e1 + t e2
  const point3 e2 = {c.x - b.x, c.y - b.y, c.z - b.z};
  const point3 f = {c.x - a.x, c.y - a.y, c.z - a.z};
  const point3 n = {e1.y * f.z - e1.z * f.y, e1.z * f.x - e1.x * f.z, e1.x * f.y - e1.y * f.x};
  const double twice_area = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  double sum = 0.0;
  for (std::size_t i = 0; i < u.size(); i++)
    for (std::size_t j = 0; j < u.size(); j++) {
      const double s = u[i], t = u[j] * u[i];  // (s, t) in the triangle 0 <= t <= s <= 1
      const point3 q = {a.x + s * e1.x + t * e2.x, a.y + s * e1.y + t * e2.y,
                        a.z + s * e1.z + t * e2.z};
      const double dx = q.x - p.x, dy = q.y - p.y, dz = q.z - p.z;
      sum += w[i] * w[j] * u[i] * twice_area / std::sqrt(dx * dx + dy * dy + dz * dz);
    }
  return sum / 6.283185307179586;
}

}  // namespace detail

// (1 / 2 pi) times the integral of 1 / R over the flat triangle (a, b, c),
// R the distance to p: the time integral of the triangle's spatial impulse
// response at p. Each of `depth` levels cuts every triangle into four, which
// halves the distance scale the rule must resolve; each piece takes the
// collapsed-square (Duffy) map, smooth at the corners, and a Gauss-Legendre
// rule of `points` in each direction.
inline double triangle_time_integral(point3 a, point3 b, point3 c, point3 p, int depth,
                                     int points) {
  std::vector<double> u, w;
  gauss_legendre(points, &u, &w);
  return detail::triangle_time_integral(a, b, c, p, depth, u, w);
}

// The same over a convex polygon in the plane z = 0 (a fan of triangles).
inline double polygon_time_integral(const ConvexPolygon &polygon, point3 p, int depth, int points) {
  double total = 0.0;
  const auto at = [&](std::size_t k) { return point3{polygon.v[k].x, polygon.v[k].y, 0.0}; };
  for (std::size_t i = 1; i + 1 < polygon.v.size(); i++)
    total += triangle_time_integral(at(0), at(i), at(i + 1), p, depth, points);
  return total;
}

}  // namespace sonvar_test

#endif  // SONVAR_TEST_ORACLES_H
