// triangles.h - the spatial impulse response of triangular elements
// (triangles.cpp): the fan timing record, the fan responses and their angle
// integrals, the projection of a triangle and the summed response.
#ifndef SONVAR_TRIANGLES_TRIANGLES_H
#define SONVAR_TRIANGLES_TRIANGLES_H

#include "sonvar.h"

namespace sonvar {

struct calc_memory_block;

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

}  // namespace sonvar

#endif  // SONVAR_TRIANGLES_TRIANGLES_H
