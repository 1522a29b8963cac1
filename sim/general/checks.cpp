// checks.cpp - the checks of bad input at the library's entries.
#include <cmath>
#include <cstdio>

#include "base/simd.h"
#include "general/checks.h"
#include "general/failure.h"

namespace sonvar {

namespace {

bool finite_point(point3 p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

bool bounded_point(point3 p) {
  return std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate &&
         std::fabs(p.z) <= kMaxCoordinate;
}

// Whether every v[0..n) is finite: x - x is 0 for every finite x and not a
// number for the others, four values at a time.
SONVAR_VECTOR_CLONES bool all_finite(const double *v, int n) {
  Bits4 odd = {0, 0, 0, 0};
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const Lanes4 x = load<Lanes4>(v + k);
    odd |= (x - x) != 0;
  }
  bool clean = (odd[0] | odd[1] | odd[2] | odd[3]) == 0;
  for (; k < n; k++) clean = clean && std::isfinite(v[k]);
  return clean;
}

bool at_least_zero(double value) {
  return std::isfinite(value) && value >= 0;
}

}  // namespace

void check_state(sys_con *sys, const char *call) {
  if (sys == nullptr) {
    fail(sys, "%s: the state is NULL", call);
  }
  if (!(std::isfinite(sys->c) && sys->c > 0))
    fail(sys, "%s: speed of sound c %g m/s must be finite and above 0", call, sys->c);
  if (!(std::isfinite(sys->fs) && sys->fs > 0))
    fail(sys, "%s: sampling frequency fs %g Hz must be finite and above 0", call, sys->fs);
  if (sys->use_att) {
    if (!at_least_zero(sys->att))
      fail(sys, "%s: attenuation att %g dB/m must be finite and 0 or more", call, sys->att);
    if (!at_least_zero(sys->freq_att))
      fail(sys, "%s: attenuation freq_att %g dB/(m Hz) must be finite and 0 or more", call,
           sys->freq_att);
    if (!at_least_zero(sys->att_f0))
      fail(sys, "%s: attenuation centre frequency att_f0 %g Hz must be finite and 0 or more", call,
           sys->att_f0);
    if (!std::isfinite(sys->tau_m)) fail(sys, "%s: tau_m %g must be finite", call, sys->tau_m);
  }
  if (!(sys->max_samples >= SONVAR_MIN_MAX_SAMPLES &&
        sys->max_samples <= SONVAR_LARGEST_MAX_SAMPLES))
    fail(sys, "%s: max_samples %lld must be from %d to %d", call,
         static_cast<long long>(sys->max_samples), SONVAR_MIN_MAX_SAMPLES,
         SONVAR_LARGEST_MAX_SAMPLES);
}

void check_aperture(sys_con *sys, const char *call, const aperture *ap) {
  if (ap == nullptr) fail(sys, "%s: the aperture is NULL", call);
}

void check_calculation(sys_con *sys, const char *call, const aperture *ap1, const aperture *ap2,
                       std::int64_t n, const point3 *points, const double *amplitudes,
                       bool amplitudes_needed) {
  const auto count = static_cast<long long>(n);
  check_state(sys, call);
  if (ap1 == nullptr) fail(sys, "%s: the %saperture is NULL", call, ap2 != nullptr ? "first " : "");
  if (ap2 == nullptr) fail(sys, "%s: the second aperture is NULL", call);
  if (n < 0) fail(sys, "%s: the number of points %lld is negative", call, count);
  if (n > 0 && points == nullptr) fail(sys, "%s: the points are NULL for %lld points", call, count);
  if (n > 0 && amplitudes_needed && amplitudes == nullptr)
    fail(sys, "%s: the amplitudes are NULL for %lld points", call, count);
  for (std::int64_t i = 0; i < n; i++) {
    const auto k = static_cast<long long>(i);
    if (!finite_point(points[i]))
      fail(sys, "%s: point %lld (%g, %g, %g) m must be finite", call, k, points[i].x, points[i].y,
           points[i].z);
    if (!bounded_point(points[i]))
      fail(sys, "%s: point %lld (%g, %g, %g) m lies beyond %g m", call, k, points[i].x, points[i].y,
           points[i].z, kMaxCoordinate);
    if (amplitudes_needed && !std::isfinite(amplitudes[i]))
      fail(sys, "%s: amplitude %lld is %g; it must be finite", call, k, amplitudes[i]);
  }
}

void fail_response(sys_con *sys, const char *what, double samples, double first, point3 p,
                   double distance) {
  // The place, when the caller knows the field point.
  char where[128] = "";
  if (finite_point(p)) snprintf(where, sizeof where, " at the point (%g, %g, %g) m", p.x, p.y, p.z);
  if (std::isnan(samples) || std::isnan(first))
    fail(sys,
         "%s%s has no defined length or start (not a number): the geometry of the aperture is "
         "not usable",
         what, where);
  if (!(first >= -kMaxStartSample && first <= kMaxStartSample))
    fail(sys,
         "%s%s would start at %g s (sample %.0f), %g m away; starts are limited to %.0f samples",
         what, where, first / sys->fs, first, distance, kMaxStartSample);
  fail(sys,
       "%s%s would need %.0f samples (%g s of arrivals, the source %g m away); at most "
       "max_samples %lld",
       what, where, samples, samples / sys->fs, distance, static_cast<long long>(sys->max_samples));
}

void check_finite_result(sys_con *sys, const char *call, const signal_rec *result, std::int64_t i,
                         point3 p) {
  if (result == nullptr) return;
  if (all_finite(result->values, result->no_samples)) return;
  for (int j = 0; j < result->no_samples; j++)
    if (!std::isfinite(result->values[j]))
      fail(sys,
           "%s: the result at point %lld (%g, %g, %g) m holds %g at sample %d: the attenuation "
           "(att %g dB/m, freq_att %g dB/(m Hz) around %g Hz) or the geometry overflows at a "
           "distance of %g m",
           call, static_cast<long long>(i), p.x, p.y, p.z, result->values[j],
           result->start_sample + j, sys->att, sys->freq_att, sys->att_f0,
           std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
}

void require_finite(sys_con *sys, const char *call, const char *name, double value) {
  if (!std::isfinite(value)) fail(sys, "%s: %s %g must be finite", call, name, value);
}

void require_finite_point(sys_con *sys, const char *call, const char *name, point3 p) {
  if (!finite_point(p))
    fail(sys, "%s: %s (%g, %g, %g) m must be finite", call, name, p.x, p.y, p.z);
}

}  // namespace sonvar
