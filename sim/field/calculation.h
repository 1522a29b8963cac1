// calculation.h - what the field and scattering calculations share
// (calculation.cpp): their result arrays, their scratch block and their
// common end.
#ifndef SONVAR_FIELD_CALCULATION_H
#define SONVAR_FIELD_CALCULATION_H

#include "dispatch/scratch_block.h"
#include "field/progress.h"
#include "sonvar.h"

namespace sonvar {

// A result array of n entries, all absent (an empty array for n = 0).
signal_rec **new_result_array(sys_con *sys, int n);

// A scratch block for the apertures; `excitations` says whether the
// elements' own excitations are applied (not for h).
calc_memory_block *new_block(sys_con *sys, aperture *ap1, aperture *ap2, bool excitations);

// Gives a signal back to the pool unless it is absent.
void release_if_present(sys_con *sys, signal_rec *signal);

// The common end of the calculations with a pulse: the final time is
// reported, then the scratch block and the pulse go back.
void end_calculation(sys_con *sys, const ProgressClock &clock, calc_memory_block *block,
                     signal_rec *pulse);

}  // namespace sonvar

#endif  // SONVAR_FIELD_CALCULATION_H
