// exact_response.h - the spatial impulse response of a flat polygon in
// closed form (exact_response.cpp), for the exact-integration option of the
// triangle and the line-bounded element responses.
#ifndef SONVAR_TRIANGLES_EXACT_RESPONSE_H
#define SONVAR_TRIANGLES_EXACT_RESPONSE_H

#include "sonvar.h"

namespace sonvar {

/* The response of a flat polygon (n vertices (xs, ys) relative to the
 * projection of the field point, which lies at height z above its plane),
 * delayed by t_delay (s) and weighted: each sample is the exact mean of h
 * over its interval of the absolute sampling grid, from a sample wholly
 * before the first arrival to one wholly after the last. Fills `signal`,
 * setting its start sample and length. */
void exact_polygon_response(sys_con *sys, const double *xs, const double *ys, int n, double z,
                            double t_delay, double weight, signal_rec *signal);

}  // namespace sonvar

#endif  // SONVAR_TRIANGLES_EXACT_RESPONSE_H
