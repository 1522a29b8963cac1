// checks.h - the checks of bad input at the library's entries
// (checks.cpp). Each refuses through fail() with one line naming the call,
// the argument and the value; they sit at the entries and before every
// conversion of a time or a sample count to an integer.
#ifndef SONVAR_GENERAL_CHECKS_H
#define SONVAR_GENERAL_CHECKS_H

#include <cstdint>

#include "sonvar.h"

namespace sonvar {

// Largest magnitude of a start sample: 2^29 (5.4 s at 100 MHz, 8 km of
// travel at 1540 m/s). With lengths below 2^28, sums of two starts and a
// length stay within 32 bits.
constexpr double kMaxStartSample = 536870912.0;

// Largest magnitude of a coordinate, m: beyond it squared distances lose
// every digit (and overflow near 1e154), far past any start a response can
// have.
constexpr double kMaxCoordinate = 1e9;

// The state's options a calculation relies on (the record is public, so
// they may have been written directly): c and fs finite and above 0, the
// attenuation finite and 0 or more, max_samples within its range.
void check_state(sys_con *sys, const char *call);

// A calculation's aperture(s) and points: no NULL aperture, n >= 0, points
// present when n > 0 and every coordinate finite and within kMaxCoordinate; amplitudes (when
// `amplitudes_needed`) present and finite.
void check_calculation(sys_con *sys, const char *call, const aperture *ap1, const aperture *ap2,
                       std::int64_t n, const point3 *points, const double *amplitudes,
                       bool amplitudes_needed);

// A NULL aperture handed to an aperture call.
void check_aperture(sys_con *sys, const char *call, const aperture *ap);

// A response of `samples` samples whose first sample is `first`, from
// `what` (for example "rectangle response of physical element 3") at the
// field point p, whose source lies `distance` m away: returns when both are
// numbers, the length is from 1 to max_samples and the start within
// +-kMaxStartSample; fails otherwise, naming the length, its duration and
// the distance.
inline bool response_fits(const sys_con *sys, double samples, double first) {
  return samples >= 1 && samples <= static_cast<double>(sys->max_samples) &&
         first >= -kMaxStartSample && first <= kMaxStartSample;
}
[[noreturn]] void fail_response(sys_con *sys, const char *what, double samples, double first,
                                point3 p, double distance);
inline void check_response(sys_con *sys, const char *what, double samples, double first, point3 p,
                           double distance) {
  if (!response_fits(sys, samples, first)) fail_response(sys, what, samples, first, p, distance);
}

// Fails with `call` when a result signal holds a value that is not finite:
// the last guard against a silent NaN or infinity (point i at p).
void check_finite_result(sys_con *sys, const char *call, const signal_rec *result, std::int64_t i,
                         point3 p);

// A value or a point handed to `call` as `name`: refused unless finite.
void require_finite(sys_con *sys, const char *call, const char *name, double value);
void require_finite_point(sys_con *sys, const char *call, const char *name, point3 p);

}  // namespace sonvar

#endif  // SONVAR_GENERAL_CHECKS_H
