/*
 * sonvar.h - public interface of the Sonvar ultrasound field simulator.
 *
 * Sonvar computes sampled acoustic fields of ultrasound transducers by the
 * spatial impulse response method. Everything the library knows lives in one
 * state record, `sys_con`, which the caller creates with `sonvar_init` and
 * passes first to every call.
 *
 * Units inside the library: metres, seconds, hertz, dB/m and dB/(m Hz).
 * Element numbers count from 1 in element calls and messages, from 0 in
 * export tables. Fatal conditions print a message on standard output and end
 * the process (status 255); there are no error codes.
 *
 * This header compiles as C (C99 or later) and as C++; all calls have C
 * linkage so that any language with a C foreign-function interface can use
 * the library.
 */
#ifndef SONVAR_H
#define SONVAR_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================== */
/* Records                                                                  */
/* ======================================================================== */

/* A sampled time signal from the state's pool. Value j stands for the time
 * (start_sample + j) / fs. Signals are created by alloc_signal and given back
 * with free_signal; they are never released to the heap one by one. */
typedef struct signal_rec {
  int16_t in_use;       /* 1 while handed out, 0 while on the free list */
  int32_t start_sample; /* index of the first sample; time start_sample/fs */
  double fs;            /* sampling frequency, Hz (copied from the state) */
  int32_t no_samples;   /* number of valid samples */
  int32_t capacity;     /* number of samples `values` holds (>= no_samples) */
  double *values;       /* sample array, `capacity` entries, owned by the pool */
  uint32_t number;      /* serial number, given once when the record is made */
  int64_t bytes;        /* bytes charged for this signal: 8 * (capacity + 6) */
  struct signal_rec *next; /* free-list link; NULL while handed out */
} signal_rec;

/* The simulator state. One per simulation; created by sonvar_init, owned by
 * the caller and never released by the library. Options change only through
 * set_sonvar; the pool counters only through the signal pool. */
typedef struct sys_con {
  int32_t no_apertures;        /* apertures in operation; reported only */
  int16_t use_rectangles;      /* new apertures use rectangles */
  int16_t use_triangles;       /* new apertures are converted to triangles */
  int16_t use_lines;           /* new apertures are converted to line-bounded elements */
  int16_t accurate_time_calc;  /* accurate time calculation for rectangles */
  int16_t fast_integration;    /* fast integration for lines and triangles */
  double c;                    /* speed of sound, m/s */
  double fs;                   /* sampling frequency, Hz */
  int16_t use_att;             /* 1: apply attenuation */
  double att;                  /* frequency-independent attenuation, dB/m */
  double freq_att;             /* frequency-dependent attenuation, dB/(m Hz) */
  double att_f0;               /* centre frequency of the attenuation, Hz */
  double tau_m;                /* constant tau_m of the attenuation calculation */
  double z;                    /* characteristic acoustic impedance, kg/(m^2 s) */
  double bdiva;                /* non-linearity parameter B/A */
  double dz;                   /* propagation step for non-linear imaging, m */
  int64_t signal_bytes;        /* bytes reserved for signals, in use or free */
  int64_t max_signal_bytes;    /* highest value signal_bytes has reached */
  int32_t signal_alloc_calls;  /* calls of alloc_signal */
  int32_t next_signal_number;  /* number for the next newly created signal */
  signal_rec *free_signals;    /* head of the pool's last-in-first-out free list */
  int32_t internal_state;      /* internal state; reported only */
  int16_t debug;               /* non-zero: print debug lines */
  int16_t show_times;          /* 1: show calculation times */
  int32_t time_interval;       /* seconds between progress lines */
  int16_t quiet;               /* 0: banner and advisory warnings are printed */
  int32_t last_calc_type;      /* 0 h, 1 hp, 2 hhp, 3 scat, 4 scat_multi */
  pthread_mutex_t memory_mutex;  /* guards every heap call of the library */
  pthread_mutex_t signal_mutex;  /* guards the pool's free list and counters */
  pthread_mutex_t message_mutex; /* serialises message output */
  pthread_mutex_t fft_mutex;     /* guards the cached pulse spectrum */
  int32_t threads;             /* worker threads of the parallel dispatcher */
} sys_con;

/* A point or direction vector, metres. Passed by value. */
typedef struct point3 {
  double x, y, z;
} point3;

/* One entry of a focus time line. */
typedef struct focus_entry {
  double time;      /* start time of the entry, s */
  int16_t dynamic;  /* 1: dynamic focusing along a direction; 0: static delays */
  double *delays;   /* per-element delays, s (owned); NULL for dynamic entries */
  point3 point;     /* focus point of a static entry; (0,0,0) for given delays */
  double angle_zx;  /* dynamic direction: angle in the z-x plane, rad */
  double angle_zy;  /* dynamic direction: angle in the z-y plane, rad */
  struct focus_entry *next; /* next entry or NULL */
} focus_entry;

/* A focus time line: the first entry of a linked list (NULL when empty). */
typedef focus_entry *focus_time_line;

/* One entry of an apodization time line. */
typedef struct apodization_entry {
  double time;      /* start time of the entry, s */
  double *values;   /* per-element weights (owned) */
  struct apodization_entry *next; /* next entry or NULL */
} apodization_entry;

/* An apodization time line: the first entry of a linked list. */
typedef apodization_entry *apodization_time_line;

/* A flat rectangular mathematical element. Corner order: for lower corner
 * (x0, y0), side w along x and h along y the corners are (x0,y0), (x0,y0+h),
 * (x0+w,y0+h), (x0+w,y0). */
typedef struct rect_element {
  point3 corners[4];   /* corners 1 to 4, m */
  point3 center;       /* centre point, m */
  double apodization;  /* weight of the element's response */
  double delay;        /* extra delay added to arrival times, s */
  double width;        /* length of the first side, m */
  double height;       /* length of the other side, m */
  double tan_xz;       /* tangent of the tilt in the x-z plane */
  double tan_yz;       /* tangent of the tilt in the y-z plane */
  double cos_xz, sin_xz; /* cosine and sine of atan(tan_xz) */
  double cos_yz, sin_yz; /* cosine and sine of atan(tan_yz) */
  int16_t doubly_tilted; /* 1 when both tilts are non-zero */
} rect_element;

/* A flat triangular mathematical element. */
typedef struct tri_element {
  point3 corners[3];  /* corners in stored order, m */
  double apodization; /* weight */
  double delay;       /* extra delay, s */
} tri_element;

/* One straight line bounding a line element, in the element's levelled frame. */
typedef struct bounding_line {
  double slope;          /* dy/dx; 1e60 for a line parallel to the y axis */
  double slope_factor;   /* 1 + slope^2 (non-vertical lines only) */
  int16_t vertical;      /* 1 for a line parallel to the y axis */
  double y1;             /* y where the line meets x = 0 (non-vertical) */
  double x1;             /* x of a vertical line */
  int16_t above_or_left; /* 1: inside lies strictly above (left of) the line */
} bounding_line;

/* A flat mathematical element bounded by straight lines. */
typedef struct line_element {
  bounding_line *lines; /* bounding lines (owned) */
  int no_lines;         /* number of bounding lines */
  double cos_x, sin_x;  /* levelling rotation about the y axis */
  double cos_y, sin_y;  /* levelling rotation about the x axis */
  double zc;            /* height of the levelled element's plane, m */
  point3 *crossings;    /* crossing points of the bounding lines (owned) */
  int no_crossings;     /* number of crossings */
  double apodization;   /* weight */
  double delay;         /* extra delay, s */
} line_element;

/* A physical element (one electrical channel) and its mathematical elements.
 * All mathematical elements of one aperture are of one kind. */
typedef struct physical_element {
  int no_rectangles;
  rect_element *rectangles;     /* owned, or NULL */
  int no_triangles;
  tri_element *triangles;       /* owned, or NULL */
  int no_line_elements;
  line_element *line_elements;  /* owned, or NULL */
  point3 center;                /* position used for focusing and time lines, m */
  signal_rec *excitation;       /* the element's own excitation (owned), or NULL */
  int16_t has_excitation;       /* 1 when `excitation` is in use */
} physical_element;

/* A transducer. Created complete by a constructor, released by xdc_free. */
typedef struct aperture {
  char name[80];                 /* kind of transducer */
  char created[40];              /* creation time as ctime text */
  signal_rec *impulse_response;  /* impulse response (owned) */
  signal_rec *excitation;        /* excitation of all elements (owned) */
  int no_elements;               /* number of physical elements */
  physical_element *elements;    /* physical elements, element n is entry n-1 (owned) */
  focus_time_line focus_line;    /* focusing over time (owned) */
  point3 focus_reference;        /* reference point for focusing, m */
  apodization_time_line apodization_line; /* apodization over time (owned) */
  point3 apod_reference;         /* reference point of the dynamic apodization, m */
  point3 apod_direction;         /* direction of the dynamic apodization */
  double f_number;               /* F-number of the dynamic apodization */
  int apod_window;               /* 1 Hanning, 2 Hamming, 3 Blackman */
  int16_t fixed_focus;           /* 1: one static focus entry applies at all times */
  int16_t fixed_apodization;     /* 1: one apodization entry applies at all times */
  int16_t dynamic_apodization;   /* 1: dynamic apodization replaces the time line */
  int16_t individual_excitation; /* 1 once any element has its own excitation */
  int16_t quantize_delays;       /* 1: focusing delays are quantized */
  double quantization;           /* quantization step of the delays, s */
  int16_t uses_rectangles;       /* mathematical elements are rectangles */
  int16_t uses_triangles;        /* mathematical elements are triangles */
  int16_t uses_lines;            /* mathematical elements are line elements */
  int16_t soft_baffle;           /* 1 soft baffle, 0 rigid baffle */
} aperture;

/* ======================================================================== */
/* State and options (sonvar_main)                                          */
/* ======================================================================== */

/* Creates a state with its defaults and mutexes. quiet = 0 prints the
 * start-up banner and lets advisory warnings print. The caller owns it. */
sys_con *sonvar_init(int16_t quiet);

/* Sets one named option (matched after conversion to lower case). An unknown
 * name ends the program with status 255. */
void set_sonvar(sys_con *sys, const char *name, double value);

/* Prints the configuration report on standard output. */
void sonvar_info(sys_con *sys);

/* Prints "Sonvar debug message: <text> " on standard output. */
void sonvar_debug(const char *text);

/* Prints "Fatal error: <text> " and ends the program with status 255. */
void error_message(const char *text);

/* ======================================================================== */
/* Messages and memory (general)                                            */
/* ======================================================================== */

/* Writes text unchanged to standard output under message_mutex and flushes. */
void print_message(sys_con *sys, const char *text);

/* Writes text unchanged to standard output and ends with status 255. */
void print_error_message(const char *text);

/* Returns when 0 <= index < limit; otherwise reports `place` and ends. */
void assert_index(sys_con *sys, int index, int limit, const char *place);

/* Zero-filled heap block of count * size bytes under memory_mutex; NULL when
 * the heap is exhausted. Release with free_memory. */
void *alloc_memory(sys_con *sys, uint64_t count, uint64_t size);

/* Releases a block from alloc_memory under memory_mutex; NULL is allowed. */
void free_memory(sys_con *sys, void *block);

/* ======================================================================== */
/* Signal pool (general)                                                    */
/* ======================================================================== */

/* Hands out a signal of n zero samples starting at start_sample. The caller
 * owns it until free_signal. n <= 0 is fatal. */
signal_rec *alloc_signal(sys_con *sys, int n, int start_sample);

/* Resizes a signal in place. Within the capacity the samples are kept;
 * beyond it the array is replaced by n zeros. n <= 0 is fatal. */
void extend_signal(sys_con *sys, signal_rec *signal, int n, int start_sample);

/* Gives a signal back to the pool's free list. A second release is fatal. */
void free_signal(sys_con *sys, signal_rec *signal);

/* Releases every signal on the free list to the heap. */
void free_signal_memory(sys_con *sys);

/* Writes the signal's samples to a text file, one "%15e " value a line. */
void store_signal(const char *path, const signal_rec *signal);

/* ======================================================================== */
/* Threads (thread_lib)                                                     */
/* ======================================================================== */

/* Starts a thread running worker(argument); the creation status is not
 * examined (see th_lib_start_thread for a checked start). */
pthread_t th_lib_create_new_thread(void *(*worker)(void *), void *argument);

/* Starts a thread and returns the platform status (0 on success); the handle
 * is written only on success. */
int th_lib_start_thread(pthread_t *handle, void *(*worker)(void *), void *argument);

/* Joins the handles in array order; join errors are reported and skipped. */
void th_lib_wait_for_threads(pthread_t *threads, int count);

void th_lib_mutex_init(pthread_mutex_t *mutex);
void th_lib_mutex_lock(pthread_mutex_t *mutex);
int th_lib_mutex_unlock(pthread_mutex_t *mutex);
int th_lib_rw_mutex_init(pthread_rwlock_t *lock);
int th_lib_rw_mutex_lock(pthread_rwlock_t *lock);
int th_lib_rw_mutex_unlock(pthread_rwlock_t *lock);

/* ======================================================================== */
/* Apertures (transducers)                                                  */
/* ======================================================================== */

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

/* Replaces every rectangle of the aperture by two triangles (appended after
 * existing triangles) and returns the aperture. */
aperture *xdc_convert(sys_con *sys, aperture *ap);

/* Releases the aperture and everything it owns. NULL is allowed. */
void xdc_free(sys_con *sys, aperture *ap);

/* --- Focusing, apodization and element settings ---------------------------- */

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

/* Replaces the focus line by `count` static entries (times s, points m). */
void xdc_focus(sys_con *sys, aperture *ap, int count, const double *times, const point3 *points);
/* Replaces the focus line by one dynamic entry along the two angles (rad). */
void xdc_dynamic_focus(sys_con *sys, aperture *ap, double time, double angle_zx, double angle_zy);
/* Sets the reference point for focusing. */
void xdc_center_focus(sys_con *sys, aperture *ap, point3 point);
/* Replaces the focus line by `count` entries with the given delay arrays
 * (no_elements values each, from alloc_memory); the aperture takes them over. */
void xdc_focus_times(sys_con *sys, aperture *ap, int count, const double *times, double **delays);
/* Replaces the apodization line (the aperture takes the arrays over) and
 * turns dynamic apodization off. */
void xdc_apodization(sys_con *sys, aperture *ap, int count, const double *times, double **values);
/* Turns dynamic apodization on: window 1 Hanning, 2 Hamming, 3 Blackman. */
void xdc_dynamic_apodization(sys_con *sys, aperture *ap, int window_kind, double f_number,
                             point3 reference, point3 direction);
/* Set the apodization (or delay, s) of the mathematical elements of the
 * listed physical elements (numbers from 1); values[i] holds no_values
 * entries for element_numbers[i]. Errors print one line and go on. */
void ele_apodization(aperture *ap, int count, const int *element_numbers, int no_values,
                     double **values);
void ele_delay(aperture *ap, int count, const int *element_numbers, int no_values, double **values);
/* Gives the listed physical elements their own excitation, copied from
 * samples[i] (no_samples values each). */
void ele_waveform(sys_con *sys, aperture *ap, int count, const int *element_numbers, int no_samples,
                  double **samples);
/* Replace the aperture's impulse response or excitation; the aperture takes
 * the signal over and returns its previous one to the pool. */
void xdc_impulse(sys_con *sys, aperture *ap, signal_rec *signal);
void xdc_excitation(sys_con *sys, aperture *ap, signal_rec *signal);

/* --- Free-form apertures ------------------------------------------------- */

/* Tables are column-major doubles with `rows` rows; column 0 holds the
 * physical element number (from 1, ascending). `centers` has one row per
 * physical element and the columns x, y, z. See the documentation of each
 * table's columns in transducers.cpp. */
aperture *xdc_triangles(sys_con *sys, const double *table, int rows, const double *centers,
                        point3 focus);
aperture *xdc_rectangles(sys_con *sys, const double *table, int rows, const double *centers,
                         point3 focus);
aperture *xdc_lines(sys_con *sys, const double *table, int rows, const double *centers,
                    point3 focus);
/* One physical element of `rows` triangles: `corners` is a rows x 9
 * column-major table x1 .. z3, `apodizations` one weight per triangle. */
aperture *xdc_triangles_old(sys_con *sys, const double *corners, int rows,
                            const double *apodizations, double element_apodization, point3 center);

/* Replaces every rectangle by a line-bounded element and returns the aperture. */
aperture *xdc_line_convert(sys_con *sys, aperture *ap);
/* Levels the rectangle into a plane parallel to x-y (corners and centre are
 * turned in place) and stores the rotation and plane height in `element`. */
void project_rectangle(rect_element *rect, line_element *element);
/* 1 when (x, y) lies on the inner side of every bounding line (1e-8 m slack). */
int16_t inside_boundary(const line_element *element, double x, double y);
/* Finds the corners of a line element: crossings of its bounding lines that
 * lie on the element. */
void intersections(sys_con *sys, line_element *element);

/* --- Array constructors --------------------------------------------------- */
/* Each returns a new aperture of rectangles (converted to triangles or
 * line-bounded elements when the state's use_triangles or use_lines is set)
 * with one static focus entry at time 0 and unit apodization. Metres,
 * radians. `heights` holds one height per row; `enabled` holds no_elem_x
 * columns of no_elem_y flags each (element (i, j) at enabled[i*no_elem_y+j]).
 * Zero or negative counts give no elements or no sub-elements. */
aperture *xdc_piston(sys_con *sys, double radius, double ele_size);
aperture *xdc_concave(sys_con *sys, double radius, double focal_radius, double ele_size);
aperture *xdc_linear_array(sys_con *sys, int no_elements, double width, double height, double kerf,
                           int no_sub_x, int no_sub_y, point3 focus);
aperture *xdc_linear_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                              const double *heights, double kerf_x, double kerf_y, int no_sub_x,
                              int no_sub_y, point3 focus);
aperture *xdc_focused_array(sys_con *sys, int no_elements, double width, double height, double kerf,
                            double Rfocus, int no_sub_x, int no_sub_y, point3 focus);
aperture *xdc_focused_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                               const double *heights, double kerf_x, double kerf_y, double Rfocus,
                               int no_sub_x, int no_sub_y, point3 focus);
aperture *xdc_convex_array(sys_con *sys, int no_elements, double width, double height, double kerf,
                           double Rconvex, int no_sub_x, int no_sub_y, point3 focus);
aperture *xdc_convex_focused_array(sys_con *sys, int no_elements, double width, double height,
                                   double kerf, double Rconvex, double Rfocus, int no_sub_x,
                                   int no_sub_y, point3 focus);
aperture *xdc_convex_focused_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                                      const double *heights, double kerf_x, double kerf_y,
                                      double Rconvex, double Rfocus, int no_sub_x, int no_sub_y,
                                      point3 focus);
aperture *xdc_2d_array(sys_con *sys, int no_elem_x, int no_elem_y, double width, double height,
                       double kerf_x, double kerf_y, const int16_t *enabled, int no_sub_x,
                       int no_sub_y, point3 focus);

/* --- Report and export ---------------------------------------------------- */

/* Prints the aperture report: info_kind 0 everything, 1 the elements, 2 the
 * focus time line, 3 the apodization, any other value the header only. */
void xdc_show(sys_con *sys, aperture *ap, int info_kind);
/* Writes a table into `out`: 1 rectangles (26 values a row), 2 triangles
 * (15), 3 line elements, 4 focus time line, 5 apodization time line; other
 * kinds write nothing. Size `out` with xdc_get_size. */
void xdc_get(sys_con *sys, aperture *ap, int info_kind, double *out);
/* Number of doubles xdc_get writes for this aperture and info_kind. */
int64_t xdc_get_size(sys_con *sys, aperture *ap, int info_kind);

/* ======================================================================== */
/* Convolution, FFT and response summation (signals)                        */
/* ======================================================================== */

/* ======================================================================== */
/* Attenuation, focusing at a point, field and scattering calculations      */
/* (calculations)                                                           */
/* ======================================================================== */

/* ======================================================================== */
/* Calculation scratch block and parallel dispatcher (calculations_par)     */
/* ======================================================================== */

/* ======================================================================== */
/* Triangle elements (triangles)                                            */
/* ======================================================================== */

/* ======================================================================== */
/* Line-bounded elements (lines)                                            */
/* ======================================================================== */

#ifdef __cplusplus
}
#endif

#endif /* SONVAR_H */
