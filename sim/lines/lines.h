// lines.h - the spatial impulse response of flat elements bounded by
// straight lines (lines.cpp): the working records of one element at a field
// point and the routines of the angle integration.
#ifndef SONVAR_LINES_LINES_H
#define SONVAR_LINES_LINES_H

#include "sonvar.h"

namespace sonvar {

struct calc_memory_block;

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

}  // namespace sonvar

#endif  // SONVAR_LINES_LINES_H
