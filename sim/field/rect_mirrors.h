// rect_mirrors.h - the rectangles of an aperture that mirror each other in
// the plane y = 0 (rect_mirrors.cpp). At a field point in that plane a
// rectangle and its mirror image have the same far-field timing, so one of
// them is computed with twice the weight: for a symmetric cut (1 x 10 in
// elevation, say) the trapezoids and timings of a map in the plane y = 0
// take half the work.
#ifndef SONVAR_FIELD_RECT_MIRRORS_H
#define SONVAR_FIELD_RECT_MIRRORS_H

#include <cstdint>

#include "sonvar.h"

namespace sonvar {

struct calc_memory_block;

// The rectangles to compute of each physical element at a point with
// y = 0: all of them, except that of each mirrored pair only the one of
// the lower index, whose weight counts twice.
typedef struct rect_mirrors {
  const aperture *ap;  // the aperture it belongs to
  int32_t pairs;       // mirrored pairs found (0: nothing to gain)
  int32_t *first;      // per element: its first entry below (no_elements + 1 entries)
  int32_t *kept;       // rectangle index within its element, ascending per element
  double *factors;     // 2 for a rectangle that stands for its mirror image too, else 1
} rect_mirrors;

// The mirrors of ap for this block's calculation, found on first use (a
// block serves at most two apertures; NULL beyond that).
const rect_mirrors *block_mirrors(sys_con *sys, calc_memory_block *block, const aperture *ap);

// Gives back what block_mirrors made for the block.
void free_block_mirrors(sys_con *sys, calc_memory_block *block);

}  // namespace sonvar

#endif  // SONVAR_FIELD_RECT_MIRRORS_H
