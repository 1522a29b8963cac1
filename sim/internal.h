// internal.h - declarations shared by the library's modules (C++ only, not
// installed): the routines behind the public calls, their scratch records and
// small helpers. Nothing here is part of the user's interface.
#ifndef SONVAR_INTERNAL_H
#define SONVAR_INTERNAL_H

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonvar.h"

extern "C" {

/* Prints "Sonvar debug message: <text> " on standard output. */
void sonvar_debug(const char *text);

/* Prints "Fatal error: <text> " and ends the program with status 255: the
 * default-mode exit for callers outside the library (inside a library call
 * it fails as the calling state's mode says). */
void error_message(const char *text);

/* Writes text unchanged through the state's channel under message_mutex
 * (standard output, flushed, unless a sink is installed). A NULL state
 * writes to standard output without a lock. */
void print_message(sys_con *sys, const char *text);

/* Writes text unchanged to standard output and ends with status 255 (as
 * error_message, for callers outside the library). */
void print_error_message(const char *text);

/* Returns when 0 <= index < limit; otherwise reports `place` and ends. */
void assert_index(sys_con *sys, int index, int limit, const char *place);

/* ======================================================================== */
/* Threads (thread_lib)                                                     */
/* ======================================================================== */

/* Starts a thread running worker(argument); the creation status is not
 * examined (see th_lib_start_thread for a checked start). */
pthread_t th_lib_create_new_thread(void *(*worker)(void *), void *argument);

/* Starts a thread and returns the platform status (0 on success); the handle
 * is written only on success. */
int th_lib_start_thread(pthread_t *handle, void *(*worker)(void *), void *argument);

/* Joins the handles in array order; join errors are reported (on standard
 * output) and skipped. */
void th_lib_wait_for_threads(pthread_t *threads, int count);

void th_lib_mutex_init(pthread_mutex_t *mutex);
void th_lib_mutex_destroy(pthread_mutex_t *mutex);
void th_lib_mutex_lock(pthread_mutex_t *mutex);
int th_lib_mutex_unlock(pthread_mutex_t *mutex);
int th_lib_rw_mutex_init(pthread_rwlock_t *lock);
int th_lib_rw_mutex_lock(pthread_rwlock_t *lock);
int th_lib_rw_mutex_unlock(pthread_rwlock_t *lock);

/* x * x */
double sqr(double x);

/* --- Element geometry ---------------------------------------------------- */

/* Corner generators: each writes the four corners of `rect` (in the order
 * (x0,y0), (x0,y0+h), (x0+w,y0+h), (x0+w,y0) or its curved counterpart) and
 * the centre point through `center`, and nothing else. Metres, radians. */
void insert_corners(rect_element *rect, point3 *center, double x0, double y0, double w, double h);
/* Square of side `size` centred laterally at (x, y) on the sphere of radius
 * F centred at (0, 0, F). */
void insert_concave_corners(rect_element *rect, point3 *center, double x, double y, double size,
                            double F);
/* Rectangle on the elevation-focused cylinder z = z0 - sqrt(Rfocus^2 - y^2). */
void insert_corners_focused(rect_element *rect, point3 *center, double x0, double y0, double w,
                            double h, double Rfocus, double z0);
/* Rectangle spanning the angles phi .. phi + delta on the convex cylinder of
 * radius Rconvex whose axis runs through (0, y, -Rconvex). */
void insert_corners_convex(rect_element *rect, point3 *center, double y0, double h, double Rconvex,
                           double phi, double delta);
/* Rectangle on the convex surface whose radius shrinks with the elevation
 * curvature: r(y) = Rconvex - (sqrt(Rfocus^2 - y^2) - z0). */
void insert_corners_convex_focused(rect_element *rect, point3 *center, double y0, double h,
                                   double Rconvex, double Rfocus, double z0, double phi,
                                   double delta);

/* Completes a rectangle whose corners and centre are set: side lengths,
 * tilt tangents, their cosines and sines and the doubly-tilted flag. Prints a
 * diagnostic when a tangent exceeds 10 in magnitude. */
void calculate_vectors(rect_element *rect);

/* Fills bounding line `index` (from 0) of `element` from two points on the
 * line and a point inside the element (z ignored). */
void insert_element(line_element *element, int index, point3 p1, point3 p2, point3 inside);

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
/* Levels the rectangle into a plane parallel to x-y (corners and centre are
 * turned in place) and stores the rotation and plane height in `element`. */
void project_rectangle(rect_element *rect, line_element *element);
/* 1 when (x, y) lies on the inner side of every bounding line (1e-8 m slack). */
int16_t inside_boundary(const line_element *element, double x, double y);
/* Finds the corners of a line element: crossings of its bounding lines that
 * lie on the element. */
void intersections(sys_con *sys, line_element *element);

/* ---- Direct accumulation of short convolutions ---- */

/* Grows dst, as add_responses does, so that it spans [s0, s0 + n) as well
 * as its own samples. */
void cover_samples(sys_con *sys, signal_rec *dst, int s0, int n);

/* Copies b into buffer between `pad` zeros on either side (the buffer grows
 * when too small); returns the address of b's first value in it. */
const double *pad_samples(sys_con *sys, signal_rec *buffer, const signal_rec *b, int pad);

/* *dst += factor (a * b), the direct convolution of two short responses
 * added in place, each output's terms in rising index of a as in the direct
 * sum (*dst grown to cover it, a new zero signal when *dst is NULL).
 * b_padded is b's values as pad_samples gives them, with a pad of at least
 * a's length. */
void add_scaled_convolution(sys_con *sys, signal_rec **dst, const signal_rec *a,
                            const signal_rec *b, const double *b_padded, double factor);

/* ---- Frequency-dependent attenuation of the pulse ---- */

/* The pulse spectrum filtered for the distance of a response with start
 * sample s, length n and extra length e: d = c (s + floor((n+e)/2)) / fs.
 * Every bin of frequency f gets the amplitude of freq_att (f - att_f0) d dB
 * of attenuation and the matching dispersive phase; DC and Nyquist get the
 * gain of att_f0 freq_att d dB. *spectrum holds the packed spectrum of the
 * pulse; when it holds fewer values than the longer of the needed transform
 * length and n + e + pulse length (or none), it is renewed from the pulse
 * (the old one goes back to the pool) and the slot owns the new one. Returns
 * a new packed spectrum of the slot's length; an absent pulse gives an
 * absent result. */
signal_rec *Attenuate_pulse(sys_con *sys, signal_rec *pulse, signal_rec **spectrum, int s, int n,
                            int e);

/* (a * attenuated pulse)/fs for a transmit response a and a receive response
 * b: the pulse is filtered for the two-way distance (twice a's start, a's
 * length plus the pulse's, b's length as the extra length). *spectrum holds
 * the pulse's spectrum as for Attenuate_pulse. An absent a or pulse gives
 * zeros shaped like the other; an absent b counts as length 0. */
signal_rec *attenuated_pulse(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *pulse,
                             signal_rec **spectrum);

/* ---- Focusing and apodization at a field point -------------------------- */

/* Fills delays[i] (s) and apodization[i] of every physical element i for the
 * field point (x, y, z), m: static or time-line focusing (the time line is
 * looked up with each element's own time of flight from its centre to the
 * point), dynamic focusing along a direction, and apodization from a fixed
 * entry, the time line or the dynamic F-number window. Both arrays hold one
 * double per physical element. A time line that is read but holds no entry,
 * or an unknown window kind, ends the program with status 255. */
void find_delays_and_apodization(sys_con *sys, aperture *ap, double *delays, double *apodization,
                                 double x, double y, double z);

/* ---- End of focusing and apodization at a field point ------------------- */

/* Progress after point i (from 0) of n, only when show_times is on: writes
 * the current time into *current, prints the one-time estimate of the whole
 * calculation's duration and, every time_interval seconds, the share done and
 * the remaining time (lines end in a carriage return). The caller keeps
 * t_start, *current, *last_shown (initially t_start) and *estimate_shown
 * (initially 0) per calculation. */
void display_calculation_time(sys_con *sys, time_t t_start, time_t *current, time_t *last_shown,
                              int *estimate_shown, int i, int n);

/* The same with the clock reading `now` given by the caller. */
void display_calculation_time_at(sys_con *sys, time_t now, time_t t_start, time_t *current,
                                 time_t *last_shown, int *estimate_shown, int i, int n);

/* Prints the time a calculation used, when show_times is on and it took
 * more than a second. */
void display_final_time(sys_con *sys, time_t t_start);

/* The same with the clock reading `now` given by the caller. */
void display_final_time_at(sys_con *sys, time_t now, time_t t_start);

/* ---- Rectangle spatial impulse response --------------------------------- */

struct calc_memory_block;
/* Loops whose lanes all do the same operations in the same order, compiled
 * once more for wider vectors and picked at load time: every clone gives the
 * same values. The ifunc resolver runs before the ThreadSanitizer runtime is
 * ready, so that build takes the default code only. */
#if defined(__SANITIZE_THREAD__)
#define SONVAR_VECTOR_CLONES
#define SONVAR_WIDE_VECTOR_CLONES
#else
#define SONVAR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define SONVAR_WIDE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

struct rect_unit_vector;
struct rect_timing;

/* Fills n unit-vector records (local direction to the point, weighted area,
 * arrival time from the centre) for the rectangles of one physical element
 * whose focusing delay is `delay` (s), for the point (x, y, z) (m). Returns
 * out. */
struct rect_unit_vector *unit_vec_calc_mem(sys_con *sys, struct rect_unit_vector *out, int n,
                                           const rect_element *rectangles, double delay, double x,
                                           double y, double z);

/* The unit-vector records, trapezoid timings and sample windows of the n
 * rectangles of one element at the point (x, y, z) for the focusing delay
 * `delay`; by_four non-zero takes four rectangles at a time where the
 * timing is the far-field one (the same values as one at a time). */
void rectangle_timings(sys_con *sys, const rect_element *rects, int n, double delay, double x,
                       double y, double z, struct rect_unit_vector *units,
                       struct rect_timing *timings, int by_four);

/* The step d with which o0 + j d, j = 0 .. steps, equals the running sum
 * o += dt from o0 exactly, or 0 when there is none (the sums leave the
 * binade of o0, or dt lies half-way between two of its doubles). */
double exact_time_step(double o0, double dt, int steps);

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

/* The aperture's whole response at the point: rectangles, triangles and
 * line-bounded elements added in that order. NULL when nothing contributes. */
signal_rec *calc_response_mem(sys_con *sys, struct calc_memory_block *block, aperture *ap, double x,
                              double y, double z);

/* ---- Scattering calculations -------------------------------------------- */

/* The scatterers of a summed, per-element or all-pairs scattering calculation are cut
 * into a fixed number of leaves (n / leaves each, the rest to the last),
 * each summed in order, and the leaf sums are added pairwise along a binary
 * tree, so that the result does not depend on how the leaves are shared
 * out over threads. */
typedef struct scatter_partials scatter_partials;

/* The order calc_scat computes its scatterers in (for n > 10 the nearest
 * first and the farthest second), made in place. */
void calc_scat_order(int n, point3 *points, double *amplitudes);

/* Number of leaves for a calculation on `threads` threads: 8, or the next
 * power of two above a larger thread count. */
int scatter_leaves(int threads);

/* The partial sums (without the pulse when attenuation is off) of leaves
 * [first, end) of n scatterers cut into `leaves`: one signal per receive
 * element (per_element) or one for the whole receive aperture. Sets
 * last_calc_type (4 or 3). The points are not reordered. */
scatter_partials *scatter_leaf_sums(sys_con *sys, aperture *transmit, aperture *receive,
                                    int per_element, int n, point3 *points, double *amplitudes,
                                    int leaves, int first, int end);

/* Gives back every signal of the partial sums and the record. */
void free_scatter_partials(sys_con *sys, scatter_partials *parts);

/* Merges the partial sums of `count` shares (given in leaf order; all are
 * released) and applies the postponed pulse; returns the array of the
 * result signals (one entry for the summed calculation). */
signal_rec **scatter_finish(sys_con *sys, aperture *transmit, aperture *receive,
                            scatter_partials **shares, int count);

/* The order calc_scat_all computes its scatterers in (for n > 10 sorted by
 * distance, then the second and the last exchanged), made in place. */
void calc_scat_all_order(sys_con *sys, int n, point3 *points, double *amplitudes);

/* The all-pairs partial sums of leaves [first, end) of n scatterers cut into
 * `leaves`, decimated by D: one signal per element pair, transmit element t
 * and receive element r at t * receive elements + r. Divides the amplitudes
 * of those leaves by fs in place. */
scatter_partials *pair_leaf_sums(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                 point3 *points, double *amplitudes, int D, int leaves, int first,
                                 int end);

/* Merges the all-pairs partial sums of `count` shares (given in leaf order;
 * all are released) into calc_scat_all's result: [transmit][receive], zeros
 * at fs/D for pairs without an echo. */
signal_rec ***pair_finish(sys_con *sys, aperture *transmit, aperture *receive,
                          scatter_partials **shares, int count, int D);

/* scatter_finish in its two steps: the merged sums (their count in
 * *elements), then the pulse applied to sums[first, end), which a worker
 * can do for its own range. */
signal_rec **scatter_merge(sys_con *sys, scatter_partials **shares, int count, int *elements);
void scatter_apply_pulse(sys_con *sys, aperture *transmit, aperture *receive, signal_rec **sums,
                         int first, int end);

/* Sorts the scatterers by squared distance from the origin, nearest first
 * (an in-place heap sort; not stable), moving the amplitudes along. */
void sort_points(sys_con *sys, int n, point3 *points, double *amplitudes);

/* The per-element echoes of the receive elements [first, end) (channels.cpp):
 * scatterers go in one at a time (i of n for the progress report), as
 * calc_scat_multi's leaves take them; element_echoes_flush (declared below
 * with the columns it fills) adds everything added since the last flush
 * into a caller's matrix and gives the frames' memory back. Without
 * attenuation the echoes still lack the two-way pulse, which
 * element_echoes_finish applies to one sum (taken over) as calc_scat_multi
 * applies it to its merged sums; with attenuation they are complete. */
typedef struct element_echoes element_echoes;
element_echoes *element_echoes_new(sys_con *sys, aperture *transmit, aperture *receive, int first,
                                   int end);
void element_echoes_add(element_echoes *echoes, point3 p, double a, int i, int n);
signal_rec *element_echoes_finish(element_echoes *echoes, signal_rec *sum);
void element_echoes_free(element_echoes *echoes);

/* ======================================================================== */
/* Calculation scratch block and parallel dispatcher (calculations_par)     */
/* ======================================================================== */

/* ---- Calculation scratch block ------------------------------------------ */

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

/* One potential crossing of the wave circle with one bounding line. */
typedef struct circle_crossing {
  int line;                /* index of the bounding line */
  int16_t root;            /* 1 takes +sqrt, 0 takes -sqrt */
  int16_t include_forward; /* 1: the arc to the next listed crossing lies inside */
  double a4;               /* 4 (1 + slope^2), or 4 for a vertical line */
  double inv_2a;           /* 2 / a4 */
  double b;                /* linear coefficient of the crossing quadratic, m */
  double b_sq;             /* b^2, m^2 */
  double c0;               /* constant term before subtracting the radius^2, m^2 */
} circle_crossing;

/* Working record of the line-bounded response. The arrays hold 2 * max_lines
 * + 1 entries (times at least one more than the largest number of arrival
 * times of one line element); each crossing pointer leads to its own
 * record. */
typedef struct line_solution {
  int no_times;                          /* number of valid arrival times */
  double *times;                         /* sorted arrival times, s */
  int no_angles;                         /* number of valid crossing angles */
  double *angles;                        /* crossing angles of the circle, rad */
  int *angle_index;                      /* crossing record of each angle */
  circle_crossing **crossings_of_circle; /* crossing records, two per line */
  double radius;                         /* radius of the current circle, m */
  double radius_sq;                      /* its square, m^2 */
  double c;                              /* speed of sound, m/s */
  double px, py, pz;                     /* projected field point and its height, m */
} line_solution;

struct triangle_times;

/* Scratch data of one calculation on one thread: sized once from the
 * apertures, reused for every field point, never shared between threads. */
typedef struct calc_memory_block {
  int32_t max_rectangles;           /* most rectangles in one physical element */
  int32_t max_lines;                /* most bounding lines of one line element */
  int32_t max_triangles;            /* most triangles in one physical element */
  rect_unit_vector *unit_vectors;   /* batch_capacity records (at least
                                       max_rectangles), or NULL */
  rect_timing *timings;             /* batch_capacity records, or NULL */
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
  /* The rectangle records of several elements at once (unit_vectors and
   * timings), so that the far-field timings run in full fours across
   * element boundaries: */
  int32_t batch_capacity;           /* records unit_vectors and timings hold */
  const rect_element **batch_rects; /* the rectangles, element by element */
  double *batch_delays;             /* the focusing delay of each one's element, s */
  int32_t *batch_offsets;           /* per physical element: its first record */
  int32_t *batch_list;              /* per physical element: elements to compute */
} calc_memory_block;

/* A new scratch block sized from one or two apertures (ap2 may be ap1). Its
 * working signals come from the pool with 1000 samples from sample 0. */
calc_memory_block *pre_allocate_memory(sys_con *sys, aperture *ap1, aperture *ap2);

/* Gives every array, record and working signal of the block back, then the
 * block itself. */
void free_memory_block(sys_con *sys, calc_memory_block *block);

/* ---- End of calculation scratch block ----------------------------------- */

/* ---- Parallel calculation dispatcher ------------------------------------ */

/* The work of one worker thread. */
typedef struct thread_work {
  sys_con *sys;                /* the shared state */
  aperture *aperture1;         /* first (transmitting) aperture */
  aperture *aperture2;         /* second (receiving) aperture */
  int32_t no_points;           /* points of this worker's chunk */
  point3 *points;              /* first point of the chunk (in the caller's array) */
  double *amplitudes;          /* first amplitude of the chunk, or NULL */
  int32_t dec_factor;          /* decimation factor of the all-pairs scattering */
  signal_rec *scatter_result;  /* result of calc_scat */
  signal_rec **array_result;   /* result of calc_h, calc_hp, calc_hhp, calc_scat_multi */
  signal_rec ***nested_result; /* result of calc_scat_all */
  int32_t worker_index;        /* 0-based index of the worker */
  int32_t leaves;              /* summed and per-element scattering: leaves of */
  int32_t first_leaf;          /* all points, and this worker's leaves */
  int32_t end_leaf;            /* [first_leaf, end_leaf) */
  int32_t per_element;         /* 1: per-element echoes, 0: the summed echo */
  scatter_partials *partials;  /* the worker's partial sums */
  signal_rec **merged_sums;    /* the merged per-element sums (shared), and */
  int32_t first_sum;           /* this worker's range of them for the pulse: */
  int32_t end_sum;             /* [first_sum, end_sum) */
  int32_t failed;              /* 1 when the worker's calculation failed */
  char *failure;               /* its failure text (alloc_memory), or NULL */
} thread_work;

/* Worker entry functions: each runs one calculation on its thread_work. */
void *calc_h_call(void *work);
void *calc_hp_call(void *work);
void *calc_hhp_call(void *work);
void *calc_scat_call(void *work);
void *calc_scat_multi_call(void *work);
void *calc_scat_all_call(void *work);
/* Partial sums of the worker's leaves (scatter_leaf_sums) into partials. */
void *scatter_leaves_call(void *work);
/* All-pairs partial sums of the worker's leaves (pair_leaf_sums) into
 * partials. */
void *pair_leaves_call(void *work);

/* The postponed pulse on the worker's range of the merged sums. */
void *scatter_pulse_call(void *work);

/* ======================================================================== */
/* Triangle elements (triangles)                                            */
/* ======================================================================== */

/* Timing of one fan: a triangle with one corner at the projection of the
 * field point (the origin) and its corner 1 on the positive x axis. */
typedef struct triangle_times {
  double z_sq;       /* height of the field point squared, m^2 */
  double x_corner2;  /* x of corner 2, m */
  double foot_x;     /* x of the foot of the perpendicular to the outer edge, m */
  double coef_a;     /* 1 / (1 + k^2), k the slope of the outer edge */
  double coef_b;     /* k^2 x1^2 / (1 + k^2)^2, m^2 */
  double fan_angle;  /* angle of the fan at the origin, rad, 0 to pi */
  double t_origin;   /* arrival time from the origin, z / c, s */
  double t_corner1;  /* arrival time from corner 1, s */
  double t_corner2;  /* arrival time from corner 2, s */
  double t_foot;     /* arrival time from the foot of the perpendicular, s */
  int32_t situation; /* ordering of the arrival times, 0 to 4 */
} triangle_times;

/* ---- Fan response and angle integration ---- */

/* Response of the fan (origin, corners[index_a], corners[index_b]) for a
 * point at height z >= 0, first sample at time t_start (s, relative to the
 * triangle's reference time): per-sample means of h, m/s, written into
 * `signal` (grown as needed) and returned. */
signal_rec *h_tri2(sys_con *sys, triangle_times *times, point3 *corners, int index_a, int index_b,
                   signal_rec *signal, double z, double t_start);

/* Fills the timing record of a fan whose corner 1 lies on the positive x axis. */
triangle_times *calc_triangle_times(sys_con *sys, triangle_times *times, point3 *fan_corners,
                                    double z);

/* Cumulative integrals of the fan's response at the sample boundaries, one
 * routine per ordering of the arrival times. */
signal_rec *triangle_sit0(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start);
signal_rec *triangle_sit1(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start);
signal_rec *triangle_sit2(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start);
signal_rec *triangle_sit3(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start);
signal_rec *triangle_sit4(sys_con *sys, triangle_times *times, signal_rec *signal, double t_start);

/* Polar angle (rad) at time t of the crossing of the wave circle with the
 * outer edge: 1 near crossing, 2 far crossing, 3 edge parallel to the y axis. */
double eval_theta(sys_con *sys, triangle_times *times, int crossing_kind, double t);

/* Integral of eval_theta from t_a to t_b, rad s. */
double int_theta(sys_con *sys, triangle_times *times, int crossing_kind, double t_a, double t_b);

/* Neville interpolation through the n points (xa[k], ya[k]), k = 0 .. n-1
 * (n <= 11), evaluated at x: value in *y, last correction in *dy. */
void polint(const double *xa, const double *ya, int n, double x, double *y, double *dy);

/* atan2(y, x) mapped into [0, 2 pi). */
double atan2n(double y, double x);

/* Exchanges corners i and j. */
void swop_corners(point3 *corners, int i, int j);

/* ---- Triangle spatial impulse response ---- */

/* Summed triangle response of the aperture at (x, y, z), m: a new pool
 * signal owned by the caller, or NULL when no element is computed. */
signal_rec *calc_triangles(sys_con *sys, calc_memory_block *block, aperture *ap, double x, double y,
                           double z);

/* The response of a flat polygon (n vertices (xs, ys) relative to the
 * projection of the field point, which lies at height z above its plane),
 * delayed by t_delay (s) and weighted: each sample is the exact mean of h
 * over its interval of the absolute sampling grid, from a sample wholly
 * before the first arrival to one wholly after the last. Fills `signal`,
 * setting its start sample and length. */
void exact_polygon_response(sys_con *sys, const double *xs, const double *ys, int n, double z,
                            double t_delay, double weight, signal_rec *signal);

/* Response of one triangle with the physical element's delay (s). The result
 * is the block's third triangle signal: valid until the next call with the
 * block, never freed by the caller. */
signal_rec *response_triangle(sys_con *sys, calc_memory_block *block, const tri_element *triangle,
                              double delay, double x, double y, double z);

/* Moves the triangle into its own plane frame with the projection of the
 * field point at the origin; point_out receives the point (z >= 0). */
point3 *project_triangle(point3 *corners_out, const tri_element *triangle, point3 *point_out,
                         double x, double y, double z);

/* 1 when the origin lies outside the triangle, else 0. */
int16_t find_outside(const point3 *corners);

/* Reorders the corners, when outside, so that corner 1 lies angularly
 * between corners 0 and 2 as seen from the origin. */
void swop_points(point3 *corners, int16_t outside);

/* 1 when corner 1 is nearer to the origin than the line through corners 0
 * and 2, along the ray from the origin through corner 1. */
int16_t find_closets(const point3 *corners);

/* Start time of the response relative to t_ref, on the sampling grid and at
 * least one sample before the first arrival, s. When start_sample is not
 * NULL it receives the absolute index of that grid sample. */
double find_start(sys_con *sys, const point3 *corners, int16_t corner1_nearer, int16_t outside,
                  double z, double t_ref, int32_t *start_sample);

/* Negates every sample. */
void minus(signal_rec *signal);

/* Rotations of one point about the y, z and x axes by the angle (cos, sin). */
void rotate1(point3 *point, double cos_a, double sin_a);
void rotate2(point3 *point, double cos_a, double sin_a);
void rotate3(point3 *point, double cos_a, double sin_a);

/* ======================================================================== */
/* Line-bounded elements (lines)                                            */
/* ======================================================================== */

/* The records circle_crossing and line_solution are declared with the
 * calculation scratch block, which holds one line_solution per thread. */

/* Stores the projected point and sets up the two crossing records of every
 * bounding line. */
void initialize_solution(const line_element *element, line_solution *solution, double px, double py,
                         double pz);

/* Crossing angles of the circle of the current radius; may raise
 * *discontinuity when a listed crossing moves across the x axis. */
void find_angles(const line_element *element, line_solution *solution, int *discontinuity);

/* Angle (0 ... 2 pi) of the wave circle at time t that lies inside the
 * element. discontinuity != 0 rebuilds the list of bounding crossings. */
double sum_solution(const line_element *element, line_solution *solution, int discontinuity,
                    double t);

/* 1 when (x, y) lies inside every bounding line (relative tolerance 1e-14). */
int16_t inside(const line_element *element, double x, double y);

/* Ascending heap sort of values[0 .. n-1]. */
void sort(int n, double *values);

/* Ascending heap sort of the listed angles, moving angle_index along. */
void sort_solution(line_solution *solution);

/* The field point (x, y, z) in the element's plane frame; z of the result is
 * the (signed) height above the plane. Returns out. */
point3 *project_field_point(point3 *out, const line_element *element, double x, double y, double z);

/* Fills and sorts the element's arrival times (corners, feet of perpendiculars
 * inside the element, the projection point when inside) and initialises the
 * crossing records. */
void arrival_times(sys_con *sys, const line_element *element, line_solution *solution, double px,
                   double py, double pz);

/* Integral of the inside arc angle from t_a to t_b, rad * s. */
double int_sum(sys_con *sys, const line_element *element, line_solution *solution,
               int discontinuity, double t_a, double t_b);

/* Response of one line element at (x, y, z), written into `signal` (grown as
 * needed) and returned; t_delay (s) shifts it onto absolute samples. */
signal_rec *response_line_int(sys_con *sys, line_solution *solution, const line_element *element,
                              signal_rec *signal, double t_delay, double x, double y, double z);

/* Summed line-element response of the aperture at (x, y, z), m, with the
 * physical elements' delays, weights, attenuation, soft-baffle factor and
 * individual excitations: a new pool signal owned by the caller, or NULL when
 * no physical element is computed. */
signal_rec *calc_lines(sys_con *sys, calc_memory_block *block, aperture *ap, double x, double y,
                       double z);

/* Stops the program when index < low or index > high (index = high is
 * accepted), naming `text`. */
void check_index(sys_con *sys, int index, int low, int high, const char *text);

}  // extern "C"

/* The host's hooks of a state. The sink is read and changed under
 * message_mutex; the failure fields are changed by the host between calls. */
struct sonvar_host {
  sonvar_output_sink sink = nullptr;
  void *sink_data = nullptr;
  int failure_mode = SONVAR_FAILURE_EXIT;
  sonvar_failure_handler handler = nullptr;
  void *handler_data = nullptr;
  std::string last_error;
};

namespace sonvar {

// The one fatal path of the library. `text` is the whole message, exactly as
// the default mode prints it. In the default mode it goes through the
// state's channel and the process ends with status 255; in the throwing and
// returning modes it is thrown as sonvar::Error (with every lock released by
// its guard on the way out). A NULL state stands for the state of the
// library call running on this thread, if any.
[[noreturn]] void print_error_message(sys_con *sys, const char *text);
[[noreturn]] inline void print_error_message(sys_con *sys, const std::string &text) {
  print_error_message(sys, text.c_str());
}
// The same with text wrapped as "Fatal error: <text> \n".
[[noreturn]] void error_message(sys_con *sys, const char *text);

// Marks a library call on this thread for the whole of its run. Only the
// outermost call of a thread settles a failure; calls it makes itself pass
// failures on. Per-thread bookkeeping of the call nesting, not state.
class CallScope {
 public:
  explicit CallScope(sys_con *sys) noexcept;
  ~CallScope();
  CallScope(const CallScope &) = delete;
  CallScope &operator=(const CallScope &) = delete;
  // Library calls running on this thread, and the state of the outermost.
  static int depth();
  static sys_con *current();

 private:
  sys_con *previous_;
};

// Called inside a catch handler at the boundary of a library call. Nested in
// another library call it rethrows; at the outermost call it throws
// sonvar::Error in the throwing mode, records the text and calls the handler
// in the returning mode (and returns), and ends the process in the default
// mode (a failure that is no sonvar::Error, such as an exhausted heap inside
// the standard library, is turned into a fatal text first).
void settle_failure(sys_con *sys);

// Text of the failure being handled (call inside a catch handler).
std::string failure_text();

// Holds a state mutex for the lifetime of the guard (the thread library's
// calls, so that every lock of the library goes through one place).
class MutexGuard {
 public:
  explicit MutexGuard(pthread_mutex_t *mutex) : mutex_(mutex) { th_lib_mutex_lock(mutex_); }
  ~MutexGuard() { th_lib_mutex_unlock(mutex_); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;

 private:
  pthread_mutex_t *mutex_;
};

// Formats into a buffer of `size` bytes (longer text is cut) and writes it
// with print_message.
void print_formatted(sys_con *sys, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends formatted text of any length to `out`.
void append_formatted(std::string *out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// The same cut, as print_formatted cuts, to size - 1 characters.
void append_cut(std::string *out, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Formats a fatal message (cut at 255 characters) and fails through the
// library's fatal path, wrapped as error_message wraps it.
[[noreturn]] void fail(sys_con *sys, const char *format, ...) __attribute__((format(printf, 2, 3)));

// alloc_memory that never returns NULL for a non-empty request: heap
// exhaustion fails through error_message, naming `what`.
void *alloc_checked(sys_con *sys, std::uint64_t count, std::uint64_t size, const char *what);

template <typename T>
T *alloc_array(sys_con *sys, std::uint64_t count, const char *what) {
  return static_cast<T *>(alloc_checked(sys, count, sizeof(T), what));
}

// ---- Checks of bad input --------------------------------------------------
//
// Each refuses through fail() with one line naming the call, the argument
// and the value; they sit at the entries and before every conversion of a
// time or a sample count to an integer.

// Largest magnitude of a start sample: 2^29 (5.4 s at 100 MHz, 8 km of
// travel at 1540 m/s). With lengths below 2^28, sums of two starts and a
// length stay within 32 bits.
constexpr double kMaxStartSample = 536870912.0;

// Largest magnitude of a coordinate, m: beyond it squared distances lose
// every digit (and overflow near 1e154), far past any start a response can
// have.
constexpr double kMaxCoordinate = 1e9;

// The state's options a calculation relies on (the record is public, so
// they may have been written directly): c and fs finite and above 0, the
// attenuation finite and 0 or more, max_samples within its range.
void check_state(sys_con *sys, const char *call);

// A calculation's aperture(s) and points: no NULL aperture, n >= 0, points
// present when n > 0 and every coordinate finite and within kMaxCoordinate; amplitudes (when
// `amplitudes_needed`) present and finite.
void check_calculation(sys_con *sys, const char *call, const aperture *ap1, const aperture *ap2,
                       int n, const point3 *points, const double *amplitudes,
                       bool amplitudes_needed);

// A NULL aperture handed to an aperture call.
void check_aperture(sys_con *sys, const char *call, const aperture *ap);

// A response of `samples` samples whose first sample is `first`, from
// `what` (for example "rectangle response of physical element 3") at the
// field point p, whose source lies `distance` m away: returns when both are
// numbers, the length is from 1 to max_samples and the start within
// +-kMaxStartSample; fails otherwise, naming the length, its duration and
// the distance.
inline bool response_fits(const sys_con *sys, double samples, double first) {
  return samples >= 1 && samples <= static_cast<double>(sys->max_samples) &&
         first >= -kMaxStartSample && first <= kMaxStartSample;
}
[[noreturn]] void fail_response(sys_con *sys, const char *what, double samples, double first,
                                point3 p, double distance);
inline void check_response(sys_con *sys, const char *what, double samples, double first, point3 p,
                           double distance) {
  if (!response_fits(sys, samples, first)) fail_response(sys, what, samples, first, p, distance);
}

// Runs `body`; an allocation failure inside it (std::bad_alloc from a
// container) ends in fail() naming `what`, so that no C++ exception leaves
// the library.
template <typename Body>
auto allocating(sys_con *sys, const char *what, Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    fail(sys, "Not possible to allocate memory for %s", what);
  } catch (const std::length_error &) {
    fail(sys, "Not possible to allocate memory for %s (too many items)", what);
  }
}

// The caller's matrix of the channel echoes: column j (receive element j)
// at out + j * stride, row k at absolute sample first + k. Per element it
// keeps the samples its echoes covered before the pulse ([lo, hi), from
// element `base` on) and counts the non-zero samples that fell outside the
// rows.
struct EchoColumns {
  double *out = nullptr;
  int64_t first = 0;
  int64_t rows = 0;
  int64_t stride = 0;
  int base = 0;
  int64_t dropped = 0;
  std::vector<int64_t> lo, hi;

  void add(int j, int64_t start, const double *values, int64_t n) {
    double *column = out + static_cast<int64_t>(j) * stride;
    const int64_t begin = start - first;
    const int64_t a = std::max<int64_t>(0, -begin), b = std::min<int64_t>(n, rows - begin);
    for (int64_t k = 0; k < std::min(a, n); k++) dropped += values[k] != 0.0;
    for (int64_t k = a; k < b; k++) column[begin + k] += values[k];
    for (int64_t k = std::max(a, b); k < n; k++) dropped += values[k] != 0.0;
  }
  void cover(int j, int64_t from, int64_t to) {
    const std::size_t k = static_cast<std::size_t>(j - base);
    if (lo[k] >= hi[k]) {
      lo[k] = from;
      hi[k] = to;
    } else {
      lo[k] = std::min(lo[k], from);
      hi[k] = std::max(hi[k], to);
    }
  }
};
void element_echoes_flush(element_echoes *echoes, EchoColumns *columns);

// Fails with `call` when a result signal holds a value that is not finite:
// the last guard against a silent NaN or infinity (point i at p).
void check_finite_result(sys_con *sys, const char *call, const signal_rec *result, int i, point3 p);

// Stores a value written by several workers at once (all with the same
// value) without a data race.
inline void store_relaxed(int32_t *field, int32_t value) {
  __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

// Gauss-Legendre rule of 8 points on [0, 1]: the time integration of the
// triangle and line-bounded responses over pieces shorter than a twentieth
// of a sample (in the variable s of t = t_a + len s^2).
constexpr int kShortRulePoints = 8;
constexpr double kShortRuleNodes[kShortRulePoints] = {
    0.019855071751231856, 0.10166676129318658, 0.2372337950418355, 0.4082826787521751,
    0.591717321247825,    0.7627662049581645,  0.8983332387068135, 0.9801449282487682};
constexpr double kShortRuleWeights[kShortRulePoints] = {
    0.05061426814518809, 0.11119051722668723, 0.1568533229389437,  0.181341891689181,
    0.181341891689181,   0.1568533229389437,  0.11119051722668723, 0.05061426814518809};

}  // namespace sonvar

// The boundary of a library call: SONVAR_ENTER(sys) first in the body of a
// function-try-block, SONVAR_LEAVE(sys) (or SONVAR_LEAVE_VOID) as its
// handler. A failure at the outermost call returns 0 or NULL (nothing for
// void calls) in the returning mode.
#define SONVAR_ENTER(sys) const sonvar::CallScope sonvar_call_scope_(sys)
#define SONVAR_LEAVE(sys)        \
  catch (...) {                  \
    sonvar::settle_failure(sys); \
    return {};                   \
  }
#define SONVAR_LEAVE_VOID(sys)   \
  catch (...) {                  \
    sonvar::settle_failure(sys); \
  }

#endif  // SONVAR_INTERNAL_H
