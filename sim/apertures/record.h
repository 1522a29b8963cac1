// record.h - the aperture record itself (record.cpp): a new aperture in the
// state's list of live apertures, its default focus, the last check of
// its geometry, and its release.
#ifndef SONVAR_APERTURES_RECORD_H
#define SONVAR_APERTURES_RECORD_H

#include "sonvar.h"

// An aperture built by a constructor lives in one block with its link in
// the state's list of live apertures; xdc_free finds it there before it
// touches the aperture, so a second release (or one through another state)
// is refused instead of freeing twice.
struct sonvar_live_aperture {
  sonvar_live_aperture *next;
  aperture record;
};

namespace sonvar {

// A new aperture with its name, creation time, one-sample impulse response
// and excitation and `no_elements` empty physical elements.
aperture *new_aperture(sys_con *sys, const char *name, int no_elements);

// The default focus (one static entry at time 0) and an apodization entry
// at time 0 with the same weight for every physical element.
void set_default_focus(sys_con *sys, aperture *ap, point3 focus, double weight);

// The last guard of every constructor: each number the calculations read
// from the built geometry is finite (coordinates within kMaxCoordinate). A table with a NaN,
// coinciding corners (an infinite tilt) or a surface its arguments do not reach stops here, named
// by `call`, instead of giving NaN responses later.
void check_built_geometry(sys_con *sys, const char *call, const aperture *ap);

}  // namespace sonvar

#endif  // SONVAR_APERTURES_RECORD_H
