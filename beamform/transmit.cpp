// transmit.cpp - the transmit side of the delay-and-sum: each transmit's
// time of flight to the pixels (the kinds of sonvar_bf_transmit) and where
// its wave reaches them.
#include <algorithm>
#include <cmath>
#include <limits>

#include "internal.h"

namespace sonvar_bf {

namespace {

double distance(const double a[3], double x, double y, double z) {
  const double dx = x - a[0], dy = y - a[1], dz = z - a[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double norm(const double a[3]) {
  return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
}

bool fires(const sonvar_bf_transmit &transmit, size_t element) {
  return !transmit.apodization || transmit.apodization[element] != 0;
}

// The extent [lo, hi] of the firing elements along a direction given as a
// function of the element; `check` when they span it.
template <class Along>
void extent(const Plan &plan, const sonvar_bf_transmit &transmit, Along along, int axis,
            Reach &reach) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (size_t i = 0; i < plan.elements.size(); i++) {
    if (!fires(transmit, i)) continue;
    const double a = along(plan.elements[i]);
    lo = std::min(lo, a), hi = std::max(hi, a);
  }
  reach.lo[axis] = lo, reach.hi[axis] = hi;
  reach.check[axis] = hi > lo;
}

// Rays from the source through the firing elements (diverging) or from the
// firing elements through the focus (focused): their slopes x/z and y/z.
// Every ray must head into the medium (positive z), else the wave is taken
// to reach everywhere.
void ray_slopes(const Plan &plan, const sonvar_bf_transmit &transmit, double sign, Reach &reach) {
  const double *s = transmit.source;
  for (size_t i = 0; i < plan.elements.size(); i++) {
    if (fires(transmit, i) && sign * (plan.elements[i].z - s[2]) <= 0) {
      reach.kind = Reach::kEverywhere;
      return;
    }
  }
  extent(
      plan, transmit, [&](const Element &e) { return (e.x - s[0]) / (e.z - s[2]); }, 0, reach);
  extent(
      plan, transmit, [&](const Element &e) { return (e.y - s[1]) / (e.z - s[2]); }, 1, reach);
  reach.check[1] = reach.check[1] && plan.two_d;
}

const Element *nearest_element(const Plan &plan, const double s[3]) {
  const Element *best = &plan.elements[0];
  double best_distance = std::numeric_limits<double>::infinity();
  for (const Element &e : plan.elements) {
    const double d = distance(s, e.x, e.y, e.z);
    if (d < best_distance) best_distance = d, best = &e;
  }
  return best;
}

bool within(const Reach &reach, int axis, double value, double scale) {
  return !reach.check[axis] || (value >= reach.lo[axis] * scale - reach.margin &&
                                value <= reach.hi[axis] * scale + reach.margin);
}

// Whether the wave reaches the pixel (x, y, z).
bool reaches(const Plan &plan, const TransmitPlan &t, double x, double y, double z) {
  const Reach &r = t.reach;
  switch (r.kind) {
    case Reach::kAcross:
      return within(r, 0, r.axis1[0] * x + r.axis1[1] * y + r.axis1[2] * z, 1.0) &&
             within(r, 1, r.axis2[0] * x + r.axis2[1] * y + r.axis2[2] * z, 1.0);
    case Reach::kFromSource:
    case Reach::kThroughFocus: {
      // The offset of the pixel from the source or focus, turned to point
      // into the medium along the ray that would carry the wave to it.
      double dx = x - t.source[0], dy = y - t.source[1], dz = z - t.source[2];
      if (r.kind == Reach::kThroughFocus && dz < 0) dx = -dx, dy = -dy, dz = -dz;
      if (dz < 0) return false;
      return within(r, 0, dx, dz) && within(r, 1, dy, dz);
    }
    case Reach::kElementCone: {
      const Element &e = *r.element;
      const double dx = x - e.x, dy = y - e.y, dz = z - e.z;
      const double across = dx * e.ux + dy * e.uy + dz * e.uz;
      const double along = dx * e.vx + dy * e.vy + dz * e.vz;
      const double axial = dx * e.nx + dy * e.ny + dz * e.nz;
      const Aperture &a = plan.aperture;
      const double half = std::min(std::max(axial * a.inv_2f, a.half_min), a.half_max);
      return axial > 0 && std::fabs(across) <= half + r.margin &&
             (!plan.two_d || std::fabs(along) <= half + r.margin);
    }
    case Reach::kEverywhere:
      break;
  }
  return true;
}

// tau_tx of the transmit at the pixel, s.
double time_of_flight(const TransmitPlan &t, double c, double x, double y, double z) {
  switch (t.kind) {
    case SONVAR_BF_PLANE:
      return (z * t.direction[2] + x * t.direction[0] + y * t.direction[1]) / c;
    case SONVAR_BF_DIVERGING:
      return (distance(t.source, x, y, z) - t.source_norm) / c;
    case SONVAR_BF_FOCUSED: {
      const double d = distance(t.source, x, y, z);
      return (z < t.source[2] ? t.source_norm - d : t.source_norm + d) / c;
    }
    case SONVAR_BF_ELEMENT:
      return (t.source_norm + distance(t.source, x, y, z)) / c;
    default: {  // custom: the first arrival
      double first = std::numeric_limits<double>::infinity();
      for (size_t i = 0; i < t.firing.size(); i += 4)
        first = std::min(first, t.firing[i + 3] + distance(&t.firing[i], x, y, z) / c);
      return first;
    }
  }
}

}  // namespace

TransmitPlan plan_transmit(const Plan &plan, const sonvar_bf_transmit &transmit, bool apodize,
                           double margin) {
  TransmitPlan t;
  t.kind = transmit.kind;
  t.offset = -transmit.delay - plan.initial_time;
  std::copy(transmit.source, transmit.source + 3, t.source);
  t.source_norm = norm(transmit.source);
  t.reach.margin = margin;
  const double theta = transmit.azimuth, phi = transmit.elevation;
  switch (transmit.kind) {
    case SONVAR_BF_PLANE: {
      t.direction[0] = std::sin(theta) * std::cos(phi);
      t.direction[1] = std::sin(phi);
      t.direction[2] = std::cos(theta) * std::cos(phi);
      Reach &r = t.reach;
      r.kind = Reach::kAcross;
      const double a1[3] = {std::cos(theta), 0.0, -std::sin(theta)};
      const double a2[3] = {-std::sin(theta) * std::sin(phi), std::cos(phi),
                            -std::cos(theta) * std::sin(phi)};
      std::copy(a1, a1 + 3, r.axis1);
      std::copy(a2, a2 + 3, r.axis2);
      extent(
          plan, transmit, [&](const Element &e) { return a1[0] * e.x + a1[2] * e.z; }, 0, r);
      extent(
          plan, transmit, [&](const Element &e) { return a2[0] * e.x + a2[1] * e.y + a2[2] * e.z; },
          1, r);
      r.check[1] = r.check[1] && plan.two_d;
      break;
    }
    case SONVAR_BF_DIVERGING:
      t.reach.kind = Reach::kFromSource;
      ray_slopes(plan, transmit, 1.0, t.reach);
      break;
    case SONVAR_BF_FOCUSED:
      t.reach.kind = Reach::kThroughFocus;
      ray_slopes(plan, transmit, -1.0, t.reach);
      break;
    case SONVAR_BF_ELEMENT:
      t.reach.kind = Reach::kElementCone;
      t.reach.element = nearest_element(plan, transmit.source);
      break;
    default:
      for (size_t i = 0; i < plan.elements.size(); i++) {
        if (!fires(transmit, i)) continue;
        const Element &e = plan.elements[i];
        t.firing.insert(t.firing.end(), {e.x, e.y, e.z, transmit.delays[i]});
      }
      break;
  }
  if (!apodize) t.reach.kind = Reach::kEverywhere;
  return t;
}

void transmit_samples(const Plan &plan, const TransmitPlan &transmit, int n, const double *x,
                      const double *y, const double *z, double *start, double *weight) {
  const double c = plan.sound_speed, fs = plan.fs;
  for (int i = 0; i < n; i++) {
    start[i] = (time_of_flight(transmit, c, x[i], y[i], z[i]) + transmit.offset) * fs;
    weight[i] = reaches(plan, transmit, x[i], y[i], z[i]) ? 1.0 : 0.0;
  }
}

}  // namespace sonvar_bf
