// rect_response.h - the spatial impulse response of rectangular elements
// (rect_response.cpp): the element responses at a field point and their
// sum.
#ifndef SONVAR_FIELD_RECT_RESPONSE_H
#define SONVAR_FIELD_RECT_RESPONSE_H

#include "field/rect_timing.h"
#include "sonvar.h"

namespace sonvar {

/* Summed rectangle response of the aperture at the point (x, y, z), m/s:
 * focusing and apodization at the point, 1/(2 pi R) spreading, attenuation,
 * soft baffle and, when the block asks for it, element excitations. A new
 * signal owned by the caller, or NULL when no element contributes. */
signal_rec *calc_rectangles_mem(sys_con *sys, struct calc_memory_block *block, aperture *ap,
                                double x, double y, double z);

/* The rectangle response of every physical element at the point, each a
 * new signal in elements[i] as the single-element response gives it (NULL
 * for an element without rectangles), and their sum as calc_rectangles_mem
 * gives it (NULL when no element contributes). Clears single_element. */
signal_rec *rectangle_elements_and_sum(sys_con *sys, struct calc_memory_block *block, aperture *ap,
                                       double x, double y, double z, signal_rec **elements);

/* Receives the response of physical element i at the point: a working
 * signal of the block, valid until the call returns. in_sum tells whether
 * calc_rectangles_mem would add it into the aperture's response. */
typedef void (*ElementTaker)(void *context, int i, const signal_rec *signal, bool in_sum);

/* Hands the rectangle response of every physical element with rectangles
 * at the point to take, each as the single-element response gives it and
 * without a signal of the pool: first the elements calc_rectangles_mem
 * adds, in the order it adds them (in_sum), then the others. Finds the
 * point's delays and apodization first. */
void each_rectangle_element(sys_con *sys, struct calc_memory_block *block, aperture *ap, double x,
                            double y, double z, ElementTaker take, void *context);

/* The same for the elements [first, end) with rectangles in index order,
 * none in the sum; the block's delays and apodization must hold the
 * point's. */
void each_rectangle_element_of(sys_con *sys, struct calc_memory_block *block, aperture *ap,
                               int first, int end, double x, double y, double z, ElementTaker take,
                               void *context);

}  // namespace sonvar

#endif  // SONVAR_FIELD_RECT_RESPONSE_H
