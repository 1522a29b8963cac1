// summation.h - the growth of a sum to cover another signal's samples
// (summation.cpp), shared by the direct sums and the frame echoes.
#ifndef SONVAR_SIGNALS_SUMMATION_H
#define SONVAR_SIGNALS_SUMMATION_H

#include "sonvar.h"

namespace sonvar {

/* Grows dst, as add_responses does, so that it spans [s0, s0 + n) as well
 * as its own samples. */
void cover_samples(sys_con *sys, signal_rec *dst, int s0, int n);

}  // namespace sonvar

#endif  // SONVAR_SIGNALS_SUMMATION_H
