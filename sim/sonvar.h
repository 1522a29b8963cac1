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

/* One potential crossing of the wave circle with one bounding line: a root of
 * the quadratic a*u^2 + b*u + (c0 - R^2) = 0 in u = x (non-vertical line) or
 * u = y (vertical line), a = a4/4. */
typedef struct circle_crossing {
  int line;                /* index of the bounding line */
  int16_t root;            /* 1 takes +sqrt of the discriminant, 0 takes -sqrt */
  int16_t include_forward; /* 1: the arc from here counter-clockwise to the next
                              listed crossing lies inside the element */
  double a4;               /* 4 * a (a = 1 + slope^2, or 1 for a vertical line) */
  double inv_2a;           /* 2 / a4 = 1 / (2 a) */
  double b;                /* linear coefficient, m */
  double b_sq;             /* b^2, m^2 */
  double c0;               /* constant coefficient before subtracting R^2, m^2 */
} circle_crossing;

/* Working record of the line-bounded response for one element and one field
 * point, all in the element's levelled plane frame. The arrays are sized from
 * the largest element when the scratch block is made. */
typedef struct line_solution {
  int no_times;      /* number of arrival times */
  double *times;     /* arrival times in ascending order, s */
  int no_angles;     /* valid entries of `angles` and `angle_index` */
  double *angles;    /* crossing angles of the circle, rad, in [0, 2 pi) */
  int *angle_index;  /* index into crossings_of_circle of each listed angle */
  circle_crossing **crossings_of_circle; /* record 2j: +/- root pair of line j */
  double radius;     /* radius R of the current wave circle, m */
  double radius_sq;  /* R^2, m^2 */
  double c;          /* speed of sound, m/s */
  double px, py;     /* projection of the field point onto the plane, m */
  double pz;         /* height of the field point above the plane, m (signed) */
} line_solution;

/* Stores the projected point and sets up the two crossing records of every
 * bounding line. */
void initialize_solution(const line_element *element, line_solution *solution, double px,
                         double py, double pz);

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
point3 *project_field_point(point3 *out, const line_element *element, double x, double y,
                            double z);

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

/* Stops the program when index < low or index > high (index = high is
 * accepted), naming `text`. */
void check_index(sys_con *sys, int index, int low, int high, const char *text);

#ifdef __cplusplus
}
#endif

#endif /* SONVAR_H */
