// band_limited.h - band-limited sampling of a rectangle's trapezoid
// (band_limited.cpp), the option "band_limited".
//
// By default a sample holds the mean of h over its interval: a trapezoid
// shorter than a sample lands whole in the sample whose interval holds it,
// so its echo moves in whole samples as the point moves. With the option a
// sample holds h filtered by a band-limiting kernel k (a Kaiser-windowed
// sinc of unit area reaching kReach samples either side) and taken at the
// sample's time: the response moves continuously with the point, and for
// frequencies below about a third of fs its spectrum is the continuous
// one's (aliasing below 1e-5), so a sub-sample move is a pure phase turn.
#ifndef SONVAR_FIELD_BAND_LIMITED_H
#define SONVAR_FIELD_BAND_LIMITED_H

#include "field/rect_timing.h"

namespace sonvar {

// Samples the kernel reaches on either side of its centre.
constexpr int kBandLimitedReach = 10;

// Adds scale times the band-limited samples of the unit-area trapezoid of
// `timing` (the convolution of rectangular pulses of durations T0 and T1
// starting at t1) into values[0..N), whose value 0 is absolute sample
// `start` (sample s at time s / fs). Samples outside [0, N) are left out.
void add_band_limited_trapezoid(double *values, int start, int N, double fs,
                                const rect_timing &timing, double scale);

// The kernel at x samples from its centre, its first integral (0 to 1) and
// its second integral (x for x >= kBandLimitedReach), for tests.
double band_limited_kernel(double x);
double band_limited_kernel_integral(double x);
double band_limited_kernel_second_integral(double x);

}  // namespace sonvar

#endif  // SONVAR_FIELD_BAND_LIMITED_H
