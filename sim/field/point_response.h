// point_response.h - the whole response of an aperture at a field point
// (point_response.cpp).
#ifndef SONVAR_FIELD_POINT_RESPONSE_H
#define SONVAR_FIELD_POINT_RESPONSE_H

#include "sonvar.h"

namespace sonvar {

struct calc_memory_block;

/* The aperture's whole response at the point: rectangles, triangles and
 * line-bounded elements added in that order. NULL when nothing contributes. */
signal_rec *calc_response_mem(sys_con *sys, struct calc_memory_block *block, aperture *ap, double x,
                              double y, double z);

}  // namespace sonvar

#endif  // SONVAR_FIELD_POINT_RESPONSE_H
