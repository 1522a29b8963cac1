// rect_columns.h - the rectangles of an aperture as columns, one row per
// rectangle, element by element (rect_columns.cpp), for the far-field
// timings: whole vectors of rectangles load at once instead of lane by
// lane. Beside the table of every rectangle, the table of the plane y = 0:
// of each pair of rectangles that mirror each other in that plane only the
// one of the lower index, with twice the weight. At a field point in the
// plane the two have the same far-field timing, so for a symmetric cut
// (1 x 12 in elevation, say) the trapezoids and timings of a map in that
// plane take half the work.
#ifndef SONVAR_FIELD_RECT_COLUMNS_H
#define SONVAR_FIELD_RECT_COLUMNS_H

#include <cstdint>

#include "sonvar.h"

namespace sonvar {

struct calc_memory_block;

// One table: row r holds rectangle rect[r] (of element e for
// first[e] <= r < first[e + 1]) and the factor of its weight.
typedef struct rect_columns {
  int32_t rows;
  int32_t *first;  // per element: its first row (no_elements + 1 entries)
  double *cx, *cy, *cz;
  double *width, *height;
  double *cos_xz, *sin_xz, *cos_yz, *sin_yz;
  double *apodization, *delay;
  double *factor;             // 2 where the row stands for its mirror image too, else 1
  int64_t *doubly;            // 1 where the rectangle is tilted both ways
  const rect_element **rect;  // the rectangle itself
} rect_columns;

// The tables of one aperture.
typedef struct aperture_columns {
  const aperture *ap;
  rect_columns *all;               // every rectangle, factor 1
  rect_columns *mirrored;          // for points with y = 0; NULL when no pair mirrors
  int32_t pairs;                   // mirrored pairs found
  struct timing_columns *timings;  // the records of one batch (the block's batch capacity)
} aperture_columns;

// A calculation of fewer points than this looks for no mirrored pairs: the
// search costs about as much as two points' timings and trapezoids of every
// rectangle, the pairs save half of them at each point with y = 0.
constexpr std::int64_t kMirrorPoints = 16;

// The tables of ap for this block's calculation, made on first use (a block
// keeps those of two apertures; a third replaces the second's); without
// the mirrored table when the block's no_mirrors is set.
const aperture_columns *block_columns(sys_con *sys, calc_memory_block *block, const aperture *ap);

// Gives back what block_columns made for the block.
void free_block_columns(sys_con *sys, calc_memory_block *block);

// A table of n rectangles of one element (factor 1), for timing them alone;
// give it back with free_rect_columns.
rect_columns *columns_of_rectangles(sys_con *sys, const rect_element *rects, int n);
void free_rect_columns(sys_con *sys, rect_columns *columns);

// Timing columns of `records` entries (rounded up to whole vectors of
// eight); give them back with free_timing_columns.
struct timing_columns *new_timing_columns(sys_con *sys, int records);
void free_timing_columns(sys_con *sys, struct timing_columns *columns);

}  // namespace sonvar

#endif  // SONVAR_FIELD_RECT_COLUMNS_H
