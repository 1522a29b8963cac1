// focusing.h - focusing and apodization at a field point (focusing.cpp).
#ifndef SONVAR_FIELD_FOCUSING_H
#define SONVAR_FIELD_FOCUSING_H

#include "sonvar.h"

namespace sonvar {

/* Fills delays[i] (s) and apodization[i] of every physical element i for the
 * field point (x, y, z), m: static or time-line focusing (the time line is
 * looked up with each element's own time of flight from its centre to the
 * point), dynamic focusing along a direction, and apodization from a fixed
 * entry, the time line or the dynamic F-number window. Both arrays hold one
 * double per physical element. A time line that is read but holds no entry,
 * or an unknown window kind, ends the program with status 255. */
void find_delays_and_apodization(sys_con *sys, aperture *ap, double *delays, double *apodization,
                                 double x, double y, double z);

/* The same where only the weighted elements' delays are read (a response
 * summed over the aperture): an element of weight 0 gets delay 0 without
 * its time of flight or focus being worked out. */
void find_weighted_delays_and_apodization(sys_con *sys, aperture *ap, double *delays,
                                          double *apodization, double x, double y, double z);

}  // namespace sonvar

#endif  // SONVAR_FIELD_FOCUSING_H
