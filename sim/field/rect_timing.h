// rect_timing.h - the records of one rectangle at a field point and their
// timings (rect_timing.cpp): unit vectors, the trapezoid's break times and
// the sample window, one rectangle at a time or four at once.
#ifndef SONVAR_FIELD_RECT_TIMING_H
#define SONVAR_FIELD_RECT_TIMING_H

#include <cstdint>

#include "sonvar.h"

namespace sonvar {

struct calc_memory_block;

/* Far-field quantities of one rectangle at the current field point. */
typedef struct rect_unit_vector {
  double local_x;       /* component of the unit vector to the point along the width */
  double local_y;       /* component of the unit vector to the point along the height */
  double weighted_area; /* apodization * width * height, m^2 */
  double t0;            /* arrival time from the rectangle's centre, s */
} rect_unit_vector;

/* Trapezoidal timing of one rectangle's response. */
typedef struct rect_timing {
  double short_duration; /* T0, the shorter duration, s */
  double long_duration;  /* T1, the longer duration, s */
  double t1, t2, t3, t4; /* break times of the trapezoid, ascending, s */
  /* Its sample window (set with the times): */
  double window_start;   /* first sample s, floor(t1 fs) - 1 */
  double window_samples; /* samples n, ceil((t4 - t1) fs + 3) */
  double start_time;     /* time of the first sample, (s + 0.5) dt with dt = 1/fs, s */
  double step;           /* exact step of the sample times, or 0 (a running sum) */
  double lambda, mu;     /* 1 / (2 T0 T1) and 1 / T1, or 0 */
} rect_timing;

/* The records of a batch of rectangles as columns (record k in entry k of
 * each): what the far-field timings write eight rectangles at a time and
 * the trapezoids read. */
typedef struct timing_columns {
  int32_t capacity;                       /* entries of each column */
  double *local_x, *local_y, *t0;         /* as rect_unit_vector */
  double *weighted_area;                  /* times the row's factor */
  double *short_duration, *long_duration; /* as rect_timing */
  double *t1, *t2, *t3, *t4;
  double *window_start, *window_samples, *start_time, *step;
  double *lambda, *mu;
} timing_columns;

/* Record k of the columns (inline, so that a kernel reading a few of its
 * fields loads only those). */
inline rect_timing timing_of(const timing_columns &c, int k) {
  return {
      c.short_duration[k], c.long_duration[k],  c.t1[k],         c.t2[k],   c.t3[k],     c.t4[k],
      c.window_start[k],   c.window_samples[k], c.start_time[k], c.step[k], c.lambda[k], c.mu[k]};
}
rect_unit_vector unit_of(const timing_columns &c, int k);

/* Fills n unit-vector records (local direction to the point, weighted area,
 * arrival time from the centre) for the rectangles of one physical element
 * whose focusing delay is `delay` (s), for the point (x, y, z) (m). Returns
 * out. */
struct rect_unit_vector *unit_vec_calc_mem(sys_con *sys, struct rect_unit_vector *out, int n,
                                           const rect_element *rectangles, double delay, double x,
                                           double y, double z);

/* The unit-vector records, trapezoid timings and sample windows of the n
 * rectangles of one element at the point (x, y, z) for the focusing delay
 * `delay`; by_four non-zero takes eight rectangles at a time where the
 * timing is the far-field one (the same values as one at a time). */
void rectangle_timings(sys_con *sys, const rect_element *rects, int n, double delay, double x,
                       double y, double z, struct rect_unit_vector *units,
                       struct rect_timing *timings, int by_four);

/* The step d with which o0 + j d, j = 0 .. steps, equals the running sum
 * o += dt from o0 exactly, or 0 when there is none (the sums leave the
 * binade of o0, or dt lies half-way between two of its doubles). */
double exact_time_step(double o0, double dt, int steps);

// The records of the rectangles of elements list[0..count) at (x, y, z)
// as columns, element by element (element list[k]'s batch_counts[list[k]]
// records from batch_offsets[list[k]]); the far-field timings run in full
// eights across the elements, each rectangle with its own element's delay.
// At y = 0 one of each pair of mirrored rectangles stands for both
// (rect_columns.h). Every listed element has rectangles, and together they
// fit the batch (batch_end). Returns the columns (the block's, until the
// next call).
const timing_columns *element_timings(sys_con *sys, calc_memory_block *block, const aperture *ap,
                                      const int32_t *list, int count, double x, double y, double z);

// The end of the elements from list[k] on whose rectangles fit one batch
// (at least list[k] itself, which always fits).
int batch_end(const calc_memory_block *block, const aperture *ap, const int32_t *list, int k,
              int count);

}  // namespace sonvar

#endif  // SONVAR_FIELD_RECT_TIMING_H
