// scratch_block.h - the scratch data of one calculation on one thread
// (scratch_block.cpp): sized once from the apertures, reused for every field
// point.
#ifndef SONVAR_DISPATCH_SCRATCH_BLOCK_H
#define SONVAR_DISPATCH_SCRATCH_BLOCK_H

#include "sonvar.h"

namespace sonvar {

struct rect_unit_vector;
struct rect_timing;
struct line_solution;
struct triangle_times;
struct aperture_columns;

/* Scratch data of one calculation on one thread: sized once from the
 * apertures, reused for every field point, never shared between threads. */
typedef struct calc_memory_block {
  int32_t max_rectangles;           /* most rectangles in one physical element */
  int32_t max_lines;                /* most bounding lines of one line element */
  int32_t max_triangles;            /* most triangles in one physical element */
  line_solution *line_scratch;      /* line working record, or NULL */
  int32_t single_element;           /* non-zero: only element element_index is computed */
  int32_t element_index;            /* the element of single_element (0-based) */
  int32_t no_delay;                 /* non-zero: focusing delay 0 and apodization 1 */
  double *delays;                   /* per physical element: focusing delay, s */
  int32_t *element_order;           /* per physical element: elements to compute */
  double *apodizations;             /* per physical element: weight */
  signal_rec *rect_signals[3];      /* rectangle working signals (the lines use
                                       the second and third too), or NULL */
  signal_rec *tri_signals[3];       /* triangle working signals, one per fan */
  struct triangle_times *tri_times; /* fan timing record, or NULL */
  point3 *tri_corners;              /* buffer of three projected corners, or NULL */
  int16_t apply_excitation;         /* 1: apply individual element excitations
                                       (0 for h, 1 for every other calculation) */
  int16_t delays_current;           /* 1: delays and apodizations already hold
                                       the values of this point and aperture
                                       (the rectangle response keeps them) */
  /* The rectangle records of several elements at once (the timing columns
   * of field/rect_columns.h), so that the far-field timings run in full
   * vectors across element boundaries: */
  int32_t batch_capacity;                   /* records a batch holds (at least
                                               max_rectangles) */
  int32_t *batch_rows;                      /* the rectangles, element by element: their rows
                                               in the aperture's columns (field/rect_columns.h) */
  double *batch_delays;                     /* the focusing delay of each one's element, s */
  int32_t *batch_offsets;                   /* per physical element: its first record */
  int32_t *batch_list;                      /* per physical element: elements to compute */
  int32_t *batch_counts;                    /* per physical element: its records */
  double *batch_windows;                    /* per physical element: its response's
                                               samples and first sample (two values) */
  struct aperture_columns *rect_columns[2]; /* the rectangles of up to two apertures as
                                               columns, made on first use */
  int32_t no_mirrors;                       /* non-zero: the columns look for no mirrored
                                               pairs (a calculation of few points, where
                                               the search costs more than it saves) */
  /* Pool signals the block's caller is done with (keep_response), which the
   * next rectangle responses take before the pool's: */
  signal_rec *kept[2];
  int32_t kept_count;
} calc_memory_block;

/* A new scratch block sized from one or two apertures (ap2 may be ap1). Its
 * working signals come from the pool with 1000 samples from sample 0. */
calc_memory_block *pre_allocate_memory(sys_con *sys, aperture *ap1, aperture *ap2);

/* Gives every array, record and working signal of the block back, then the
 * block itself. */
void free_memory_block(sys_con *sys, calc_memory_block *block);

/* A pool signal the caller is done with (NULL: nothing), kept by the block
 * for its next rectangle response instead of going back to the pool; the
 * block keeps two and gives the others back. A worker that takes and gives
 * back signals point after point then reuses its own, which stay in its
 * cache, and leaves the pool's lock to the others. */
void keep_response(sys_con *sys, calc_memory_block *block, signal_rec *signal);

/* A kept signal of n samples from sample `start` (its values not cleared),
 * or NULL when the block keeps none. */
signal_rec *take_kept_response(sys_con *sys, calc_memory_block *block, int n, int start);

}  // namespace sonvar

#endif  // SONVAR_DISPATCH_SCRATCH_BLOCK_H
