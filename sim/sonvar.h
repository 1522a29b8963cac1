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
#include <time.h>

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
  int16_t in_use;          /* 1 while handed out, 0 while on the free list */
  int32_t start_sample;    /* index of the first sample; time start_sample/fs */
  double fs;               /* sampling frequency, Hz (copied from the state) */
  int32_t no_samples;      /* number of valid samples */
  int32_t capacity;        /* number of samples `values` holds (>= no_samples) */
  double *values;          /* sample array, `capacity` entries, owned by the pool */
  uint32_t number;         /* serial number, given once when the record is made */
  int64_t bytes;           /* bytes charged for this signal: 8 * (capacity + 6) */
  struct signal_rec *next; /* free-list link; NULL while handed out */
} signal_rec;

/* The simulator state. One per simulation; created by sonvar_init, owned by
 * the caller and never released by the library. Options change only through
 * set_sonvar; the pool counters only through the signal pool. */
typedef struct sys_con {
  int32_t no_apertures;          /* apertures in operation; reported only */
  int16_t use_rectangles;        /* new apertures use rectangles */
  int16_t use_triangles;         /* new apertures are converted to triangles */
  int16_t use_lines;             /* new apertures are converted to line-bounded elements */
  int16_t accurate_time_calc;    /* accurate time calculation for rectangles */
  int16_t fast_integration;      /* fast integration for lines and triangles */
  double c;                      /* speed of sound, m/s */
  double fs;                     /* sampling frequency, Hz */
  int16_t use_att;               /* 1: apply attenuation */
  double att;                    /* frequency-independent attenuation, dB/m */
  double freq_att;               /* frequency-dependent attenuation, dB/(m Hz) */
  double att_f0;                 /* centre frequency of the attenuation, Hz */
  double tau_m;                  /* constant tau_m of the attenuation calculation */
  double z;                      /* characteristic acoustic impedance, kg/(m^2 s) */
  double bdiva;                  /* non-linearity parameter B/A */
  double dz;                     /* propagation step for non-linear imaging, m */
  int64_t signal_bytes;          /* bytes reserved for signals, in use or free */
  int64_t max_signal_bytes;      /* highest value signal_bytes has reached */
  int32_t signal_alloc_calls;    /* calls of alloc_signal */
  int32_t next_signal_number;    /* number for the next newly created signal */
  signal_rec *free_signals;      /* head of the pool's last-in-first-out free list */
  int32_t internal_state;        /* internal state; reported only */
  int16_t debug;                 /* non-zero: print debug lines */
  int16_t show_times;            /* 1: show calculation times */
  int32_t time_interval;         /* seconds between progress lines */
  int16_t quiet;                 /* 0: banner and advisory warnings are printed */
  int32_t last_calc_type;        /* 0 h, 1 hp, 2 hhp, 3 scat, 4 scat_multi */
  pthread_mutex_t memory_mutex;  /* guards every heap call of the library */
  pthread_mutex_t signal_mutex;  /* guards the pool's free list and counters */
  pthread_mutex_t message_mutex; /* serialises message output */
  pthread_mutex_t fft_mutex;     /* guards the cached pulse spectrum */
  int32_t threads;               /* worker threads of the parallel dispatcher */
} sys_con;

/* A point or direction vector, metres. Passed by value. */
typedef struct point3 {
  double x, y, z;
} point3;

/* One entry of a focus time line. */
typedef struct focus_entry {
  double time;              /* start time of the entry, s */
  int16_t dynamic;          /* 1: dynamic focusing along a direction; 0: static delays */
  double *delays;           /* per-element delays, s (owned); NULL for dynamic entries */
  point3 point;             /* focus point of a static entry; (0,0,0) for given delays */
  double angle_zx;          /* dynamic direction: angle in the z-x plane, rad */
  double angle_zy;          /* dynamic direction: angle in the z-y plane, rad */
  struct focus_entry *next; /* next entry or NULL */
} focus_entry;

/* A focus time line: the first entry of a linked list (NULL when empty). */
typedef focus_entry *focus_time_line;

/* One entry of an apodization time line. */
typedef struct apodization_entry {
  double time;                    /* start time of the entry, s */
  double *values;                 /* per-element weights (owned) */
  struct apodization_entry *next; /* next entry or NULL */
} apodization_entry;

/* An apodization time line: the first entry of a linked list. */
typedef apodization_entry *apodization_time_line;

/* A flat rectangular mathematical element. Corner order: for lower corner
 * (x0, y0), side w along x and h along y the corners are (x0,y0), (x0,y0+h),
 * (x0+w,y0+h), (x0+w,y0). */
typedef struct rect_element {
  point3 corners[4];     /* corners 1 to 4, m */
  point3 center;         /* centre point, m */
  double apodization;    /* weight of the element's response */
  double delay;          /* extra delay added to arrival times, s */
  double width;          /* length of the first side, m */
  double height;         /* length of the other side, m */
  double tan_xz;         /* tangent of the tilt in the x-z plane */
  double tan_yz;         /* tangent of the tilt in the y-z plane */
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
  rect_element *rectangles; /* owned, or NULL */
  int no_triangles;
  tri_element *triangles; /* owned, or NULL */
  int no_line_elements;
  line_element *line_elements; /* owned, or NULL */
  point3 center;               /* position used for focusing and time lines, m */
  signal_rec *excitation;      /* the element's own excitation (owned), or NULL */
  int16_t has_excitation;      /* 1 when `excitation` is in use */
} physical_element;

/* A transducer. Created complete by a constructor, released by xdc_free. */
typedef struct aperture {
  char name[80];                          /* kind of transducer */
  char created[40];                       /* creation time as ctime text */
  signal_rec *impulse_response;           /* impulse response (owned) */
  signal_rec *excitation;                 /* excitation of all elements (owned) */
  int no_elements;                        /* number of physical elements */
  physical_element *elements;             /* physical elements, element n is entry n-1 (owned) */
  focus_time_line focus_line;             /* focusing over time (owned) */
  point3 focus_reference;                 /* reference point for focusing, m */
  apodization_time_line apodization_line; /* apodization over time (owned) */
  point3 apod_reference;                  /* reference point of the dynamic apodization, m */
  point3 apod_direction;                  /* direction of the dynamic apodization */
  double f_number;                        /* F-number of the dynamic apodization */
  int apod_window;                        /* 1 Hanning, 2 Hamming, 3 Blackman */
  int16_t fixed_focus;                    /* 1: one static focus entry applies at all times */
  int16_t fixed_apodization;              /* 1: one apodization entry applies at all times */
  int16_t dynamic_apodization;            /* 1: dynamic apodization replaces the time line */
  int16_t individual_excitation;          /* 1 once any element has its own excitation */
  int16_t quantize_delays;                /* 1: focusing delays are quantized */
  double quantization;                    /* quantization step of the delays, s */
  int16_t uses_rectangles;                /* mathematical elements are rectangles */
  int16_t uses_triangles;                 /* mathematical elements are triangles */
  int16_t uses_lines;                     /* mathematical elements are line elements */
  int16_t soft_baffle;                    /* 1 soft baffle, 0 rigid baffle */
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

/* Every signal combination aligns its operands on the absolute sample index:
 * a convolution starts at the sum of its inputs' start samples. An absent
 * (NULL) signal counts as zero. */

/* Direct convolution a*b (no 1/fs factor): a new signal of na+nb-1 samples
 * starting at sa+sb. One absent input gives zeros shaped like the other; two
 * absent inputs give an absent result. */
signal_rec *Convolute(sys_con *sys, signal_rec *a, signal_rec *b);

/* Direct convolution a*b written into `out`, which is resized with
 * extend_signal (reallocated only when too small); returns out. One absent
 * input gives zeros shaped like the other; two give one zero sample at 0. */
signal_rec *Convolute_fast(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *out);

/* Adds src into dst on the absolute time axis, growing dst (in place while
 * the span stays strictly below its capacity, else to exactly the span);
 * src is not changed. Returns dst; an absent dst gives a new copy of src. */
signal_rec *add_responses(sys_con *sys, signal_rec *src, signal_rec *dst);

/* Direct convolution taken at every D-th sample and multiplied by scale: a
 * new signal at fs/D starting at ceil((sa+sb)/D) with floor((na+nb-1)/D)+1
 * samples. One absent input gives zeros shaped like that decimation of the
 * other; two give an absent result. D below 1 is fatal. */
signal_rec *Convolve_decimate(sys_con *sys, signal_rec *a, signal_rec *b, int D, double scale);

/* In-place radix-2 complex FFT of nn (a power of two) complex values stored
 * as (re, im) pairs from data[0]: sum_j x[j] exp(isign 2 pi i j k / nn), not
 * normalised. */
void four1(double *data, int nn, int isign);

/* Real FFT of 2n samples from data[0] (n a power of two, at least 2).
 * isign = +1: replaced by the packed spectrum (DC, Nyquist, then re and im of
 * bins 1 .. n-1). isign = -1: a packed spectrum is replaced by n times the
 * samples it was made from. */
void realft(double *data, int n, int isign);

/* Smallest power of two, at least 4, not below either argument. */
int Find_N(int n1, int n2);

/* A packed spectrum: the transform of N real samples (N a power of two, at
 * least 4) in a signal of N values: DC, Nyquist, then the (re, im) pairs of
 * bins 1 .. N/2-1; bin k stands for k fs / N. Its start sample is that of
 * the time signal. Forward transform convention sum x[j] exp(+2 pi i j k/N).
 *
 * Find_FFT: a new packed spectrum of s padded with zeros to N samples.
 * Find_FFT_reuse: the same written into dest (grown only when too small);
 * returns dest. s longer than N, or N not such a power of two, is fatal. */
signal_rec *Find_FFT(sys_con *sys, signal_rec *s, int N);
signal_rec *Find_FFT_reuse(sys_con *sys, signal_rec *dest, signal_rec *s, int N);

/* Product of two packed spectra times 1/fs, of the shorter length and
 * starting at sA+sB; the longer spectrum is read at the bins of the same
 * frequency. Multiply_FFTs returns a new signal; Multiply_FFTs_fast writes
 * into out (which may be A or B) and returns it. */
signal_rec *Multiply_FFTs(sys_con *sys, signal_rec *A, signal_rec *B);
signal_rec *Multiply_FFTs_fast(sys_con *sys, signal_rec *A, signal_rec *B, signal_rec *out);

/* Turns the packed spectrum S back into samples in place and keeps the first
 * n_out of them (1 <= n_out <= S's length, else fatal); returns S. */
signal_rec *Inverse_FFT(signal_rec *S, int n_out);

/* (a*b)/fs by FFT: a new signal of na+nb-1 samples starting at sa+sb. When
 * a and b are the same signal it is transformed once. One absent input gives
 * zeros shaped like the other; two give an absent result. */
signal_rec *fast_convolute(sys_con *sys, signal_rec *a, signal_rec *b);

/* (a*b)/fs by FFT with the spectrum of b kept by the caller in *cached (a
 * slot, possibly shared by threads and guarded by fft_mutex). The spectrum
 * may be longer than needed; when it holds fewer than na+nb values (or none)
 * it is renewed from b, the old one returned to the pool, and the slot owns
 * the new one. Absent inputs as fast_convolute. A NULL slot means no cache. */
signal_rec *fast_dft_convolute(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec **cached);

/* (a*b)/fs by FFT into out, using spec_a and spec_b as spectrum buffers;
 * spec_b is taken as the spectrum of b unless it holds fewer than na+nb
 * values. No pool signal is taken unless a buffer grows. One absent input
 * gives zeros shaped like the other in out; two give one zero sample at 0. */
signal_rec *fast_fft_convolute(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *spec_a,
                               signal_rec *spec_b, signal_rec *out);

/* Adds amplitude*src into dst, both at the decimated rate fs/D. When dst
 * does not cover src, a new signal spanning both replaces dst (the old one
 * goes back to the pool). src is released when `release` is non-zero.
 * Returns the dst to use; an absent dst gives a new signal. D below 1 is
 * fatal. */
signal_rec *sum_responses_decimated(sys_con *sys, signal_rec *src, signal_rec *dst, int D,
                                    int release, double amplitude);

/* ======================================================================== */
/* Attenuation, focusing at a point, field and scattering calculations      */
/* (calculations)                                                           */
/* ======================================================================== */

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
struct rect_unit_vector;
struct rect_timing;

/* Fills n unit-vector records (local direction to the point, weighted area,
 * arrival time from the centre) for the rectangles of one physical element
 * whose focusing delay is `delay` (s), for the point (x, y, z) (m). Returns
 * out. */
struct rect_unit_vector *unit_vec_calc_mem(sys_con *sys, struct rect_unit_vector *out, int n,
                                           const rect_element *rectangles, double delay, double x,
                                           double y, double z);

/* Writes the cumulative area of one rectangle's unit-area trapezoid into the
 * scratch signal, sample j taken at (start + j + 0.5) dt; sets the scratch's
 * start sample and length (its capacity is grown when too small). */
void area(sys_con *sys, signal_rec *scratch, double dt, const struct rect_timing *timing);

/* Summed rectangle response of the aperture at the point (x, y, z), m/s:
 * focusing and apodization at the point, 1/(2 pi R) spreading, attenuation,
 * soft baffle and, when the block asks for it, element excitations. A new
 * signal owned by the caller, or NULL when no element contributes. */
signal_rec *calc_rectangles_mem(sys_con *sys, struct calc_memory_block *block, aperture *ap,
                                double x, double y, double z);

/* The aperture's whole response at the point: rectangles, triangles and
 * line-bounded elements added in that order. NULL when nothing contributes. */
signal_rec *calc_response_mem(sys_con *sys, struct calc_memory_block *block, aperture *ap, double x,
                              double y, double z);

/* ---- Field calculations h, hp and hhp ----------------------------------- */

/* One signal per point, in point order, in a new array the caller owns with
 * its signals (release each with free_signal, the array with free_memory).
 *  calc_h:   spatial impulse response, m/s (an absent entry where nothing
 *            reaches the point); with attenuation on, filtered through its
 *            own spectrum and scaled by one more 1/fs.
 *  calc_hp:  emitted pressure (h * impulse response * excitation)/fs^2.
 *  calc_hhp: pulse-echo field (ht * hr * two-way pulse)/fs^3-scaled, the
 *            transmit and receive apertures may be the same. */
signal_rec **calc_h(sys_con *sys, aperture *ap, int n, const point3 *points);
signal_rec **calc_hp(sys_con *sys, aperture *ap, int n, const point3 *points);
signal_rec **calc_hhp(sys_con *sys, aperture *transmit, aperture *receive, int n,
                      const point3 *points);

/* ---- Scattering calculations -------------------------------------------- */

/* Sorts the scatterers by squared distance from the origin, nearest first
 * (an in-place heap sort; not stable), moving the amplitudes along. */
void sort_points(sys_con *sys, int n, point3 *points, double *amplitudes);

/* Echo of n point scatterers (positions in m, amplitudes) summed over the
 * receive aperture. Reorders the scatterers in place when n > 10. */
signal_rec *calc_scat(sys_con *sys, aperture *transmit, aperture *receive, int n, point3 *points,
                      double *amplitudes);

/* Echo per receive physical element: an array of receive->no_elements
 * signals. */
signal_rec **calc_scat_multi(sys_con *sys, aperture *transmit, aperture *receive, int n,
                             point3 *points, double *amplitudes);

/* Echo of every transmit element received by every receive element, each
 * element unfocused and unapodized, sampled at fs/D: result[t][r]. Sorts the
 * scatterers when n > 10 and divides the caller's amplitudes by fs. D below
 * 1 is fatal. */
signal_rec ***calc_scat_all(sys_con *sys, aperture *transmit, aperture *receive, int n,
                            point3 *points, double *amplitudes, int D);

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
  rect_unit_vector *unit_vectors;   /* max_rectangles records, or NULL */
  rect_timing *timings;             /* max_rectangles records, or NULL */
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
  int32_t dec_factor;          /* decimation factor of calc_scat_all */
  signal_rec *scatter_result;  /* result of calc_scat */
  signal_rec **array_result;   /* result of calc_h, calc_hp, calc_hhp, calc_scat_multi */
  signal_rec ***nested_result; /* result of calc_scat_all */
  int32_t worker_index;        /* 0-based index of the worker */
} thread_work;

/* Worker entry functions: each runs one calculation on its thread_work. */
void *calc_h_call(void *work);
void *calc_hp_call(void *work);
void *calc_hhp_call(void *work);
void *calc_scat_call(void *work);
void *calc_scat_multi_call(void *work);
void *calc_scat_all_call(void *work);

/* Runs calc_h (function_code 1), calc_hp (2) or calc_hhp (3) over N points
 * on the state's `threads` workers (directly when N <= 5 * threads) and
 * returns one signal per point in point order. Another code is fatal. */
signal_rec **calc_function_parallel(sys_con *sys, int function_code, aperture *ap1, aperture *ap2,
                                    int N, point3 *points);

/* calc_scat split over the workers (directly when N <= 5 * threads); the
 * workers' echoes are summed. */
signal_rec *calc_scat_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N, point3 *points,
                               double *amplitudes);

/* calc_scat_multi split over the workers (directly when N <= threads). */
signal_rec **calc_scat_multi_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                      point3 *points, double *amplitudes);

/* calc_scat_all split over the workers (directly when N <= 10000 * threads). */
signal_rec ***calc_scat_all_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                     point3 *points, double *amplitudes, int dec_factor);

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

#ifdef __cplusplus
}
#endif

#endif /* SONVAR_H */
