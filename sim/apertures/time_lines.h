// time_lines.h - the focus and apodization time lines of an aperture
// (time_lines.cpp).
#ifndef SONVAR_APERTURES_TIME_LINES_H
#define SONVAR_APERTURES_TIME_LINES_H

#include "sonvar.h"

namespace sonvar {

/* Inserts one focus entry: dynamic (along the two angles) or static (delays
 * from the element centres to `point` with the state's speed of sound,
 * relative to the reference point, quantized when the aperture asks). */
void insert_focus(sys_con *sys, aperture *ap, int dynamic, double time, double angle_zx,
                  double angle_zy, point3 point);
/* Inserts a static entry that takes over `delays` (no_elements values, s,
 * from alloc_memory) unchanged. */
void insert_focus_times(sys_con *sys, aperture *ap, double *delays, double time);
/* Inserts an apodization entry that takes over `values` (no_elements). */
void insert_apodization(sys_con *sys, aperture *ap, double *values, double time);
/* Release every entry of a time line; the fixed flags are left alone. */
void free_focus_time_line(sys_con *sys, aperture *ap);
void free_apodization_time_line(sys_con *sys, aperture *ap);
/* Turns arrival times into delays in place: v = reference - v, rounded to the
 * nearest multiple of `step` (halves up) when `quantize` is set and step > 0. */
void subtract_delay(int count, double *values, int quantize, double step, double reference);

}  // namespace sonvar

#endif  // SONVAR_APERTURES_TIME_LINES_H
