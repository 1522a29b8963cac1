// direct.h - the direct convolutions' shared pieces (direct.cpp): the
// padded direct sum that the field calculations add short convolutions
// with, and the handling of absent operands and decimation factors.
#ifndef SONVAR_SIGNALS_DIRECT_H
#define SONVAR_SIGNALS_DIRECT_H

#include "sonvar.h"

namespace sonvar {

/* Copies b into buffer between `pad` zeros on either side (the buffer grows
 * when too small); returns the address of b's first value in it. */
const double *pad_samples(sys_con *sys, signal_rec *buffer, const signal_rec *b, int pad);

/* *dst += factor (a * b), the direct convolution of two short responses
 * added in place, each output's terms in rising index of a as in the direct
 * sum (*dst grown to cover it, a new zero signal when *dst is NULL).
 * b_padded is b's values as pad_samples gives them, with a pad of at least
 * a's length. */
void add_scaled_convolution(sys_con *sys, signal_rec **dst, const signal_rec *a,
                            const signal_rec *b, const double *b_padded, double factor);

// Ends the program when a decimation factor cannot be used (0 would divide
// by zero, a negative one would run the sample index backwards).
void check_decimation(sys_con *sys, int D, const char *where);

// The present operand of a pair with one absent signal.
const signal_rec *present_one(const signal_rec *a, const signal_rec *b);

// The result of a convolution with an absent operand: zeros shaped like the
// other operand, or an absent result when both are absent.
signal_rec *zeros_like_present(sys_con *sys, const signal_rec *a, const signal_rec *b);

}  // namespace sonvar

#endif  // SONVAR_SIGNALS_DIRECT_H
