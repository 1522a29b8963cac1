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
 * export tables. By default fatal conditions print a message on standard
 * output and end the process (status 255); there are no error codes. A host
 * can instead have failures come back to it (sonvar_set_failure_mode) and
 * can take every line the library writes (sonvar_set_output).
 *
 * Ownership: the caller owns the state, every aperture it builds and every
 * signal and array a call returns. Signals go back with free_signal, arrays
 * with free_memory, apertures with xdc_free. The calls that take over the
 * caller's arrays or signals say so below.
 *
 * This header compiles as strict C (C99 or later, no extensions) and as
 * C++; all calls have C linkage so that any language with a C foreign
 * function interface can use the library.
 */
#ifndef SONVAR_H
#define SONVAR_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <stdexcept>
#endif

/* Version of the library this header belongs to. */
#define SONVAR_VERSION_MAJOR 0
#define SONVAR_VERSION_MINOR 1
#define SONVAR_VERSION_PATCH 0
#define SONVAR_VERSION_STRING "0.1.0"
/* MAJOR * 10000 + MINOR * 100 + PATCH */
#define SONVAR_VERSION_NUMBER \
  (SONVAR_VERSION_MAJOR * 10000 + SONVAR_VERSION_MINOR * 100 + SONVAR_VERSION_PATCH)

/* Marks the calls the shared library exports; everything else is hidden. */
#if defined(_WIN32)
#define SONVAR_API
#elif defined(__GNUC__)
#define SONVAR_API __attribute__((visibility("default")))
#else
#define SONVAR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================== */
/* Named codes                                                              */
/* ======================================================================== */

/* The calls take and report these as plain integers; the names only give the
 * values a meaning in the caller's code. */

/* function_code of calc_function_parallel. */
enum {
  SONVAR_CALC_H = 1,  /* spatial impulse response */
  SONVAR_CALC_HP = 2, /* emitted pressure */
  SONVAR_CALC_HHP = 3 /* pulse-echo field */
};

/* sys_con.last_calc_type: the kind of the last calculation started. */
enum {
  SONVAR_LAST_H = 0,
  SONVAR_LAST_HP = 1,
  SONVAR_LAST_HHP = 2,
  SONVAR_LAST_SCAT = 3,
  SONVAR_LAST_SCAT_MULTI = 4
};

/* info_kind of xdc_get and xdc_get_size. */
enum {
  SONVAR_TABLE_RECTANGLES = 1, /* 26 values a rectangle */
  SONVAR_TABLE_TRIANGLES = 2,  /* 15 values a triangle */
  SONVAR_TABLE_LINES = 3,      /* line elements */
  SONVAR_TABLE_FOCUS = 4,      /* focus time line */
  SONVAR_TABLE_APODIZATION = 5 /* apodization time line */
};

/* info_kind of xdc_show. */
enum {
  SONVAR_SHOW_ALL = 0,
  SONVAR_SHOW_ELEMENTS = 1,
  SONVAR_SHOW_FOCUS = 2,
  SONVAR_SHOW_APODIZATION = 3
};

/* Default of the option "max_samples": 2^22 samples, 42 ms at 100 MHz (65 m
 * of travel at 1540 m/s), 32 MiB a signal. Settable from 4096 to 2^28. */
#define SONVAR_DEFAULT_MAX_SAMPLES 4194304
#define SONVAR_MIN_MAX_SAMPLES 4096
#define SONVAR_LARGEST_MAX_SAMPLES 268435456

/* window_kind of xdc_dynamic_apodization. */
enum { SONVAR_WINDOW_HANNING = 1, SONVAR_WINDOW_HAMMING = 2, SONVAR_WINDOW_BLACKMAN = 3 };

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

/* The host's hooks of a state (output sink, failure mode and handler, last
 * failure text); opaque, created by sonvar_init and released by sonvar_free. */
struct sonvar_host;

/* The simulator state. One per simulation; created by sonvar_init, owned by
 * the caller and released with sonvar_free. Options change only through
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
  struct sonvar_host *host;      /* output channel and failure hooks (opaque) */
  /* Accuracy options (off by default; reported only when on). */
  int16_t exact_integration; /* 1: triangle and line responses are the exact sample means of h,
                                line elements on the absolute sampling grid */
  int16_t focus_at_point;    /* 1: a dynamic focus lies at the field point's own distance from
                                the focus reference, the same for all elements */
  /* Bounds on bad input (appended; zero-filled defaults are set by sonvar_init). */
  int64_t max_samples;                    /* longest response, signal or transform a
                                             calculation may need, in samples (option
                                             "max_samples", default SONVAR_DEFAULT_MAX_SAMPLES) */
  struct sonvar_live_aperture *apertures; /* apertures built by this state and not yet
                                              released (internal list, for xdc_free) */
  int16_t band_limited; /* 1: rectangle responses are sampled through a band-limiting kernel,
                           so echoes move continuously with a point (option "band_limited",
                           default 0; docs/accuracy.md) */
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
  sys_con *state;                         /* the state that made it (its messages go
                                             there), or NULL for standard output */
} aperture;

/* ======================================================================== */
/* State and options (state)                                                */
/* ======================================================================== */

/* Creates a state with its defaults and mutexes. quiet = 0 prints the
 * start-up banner and lets advisory warnings print. The caller owns it and
 * releases it with sonvar_free. */
SONVAR_API sys_con *sonvar_init(int16_t quiet);

/* Releases a state: the signals on its free list, its mutexes, its host
 * hooks and the record. Apertures, handed-out signals and arrays must be
 * released before (xdc_free, free_signal, free_memory): signals still handed
 * out are not touched, stay allocated for the rest of the process and must
 * not be passed to the library again. NULL is allowed. */
SONVAR_API void sonvar_free(sys_con *sys);

/* ---- Output --------------------------------------------------------------- */

/* Every line the library writes for a state (banner, reports, warnings,
 * progress, debug and fatal messages) goes through the state's channel: to
 * standard output by default, or to a sink. The sink gets the text exactly as
 * standard output would (whole lines, except a fatal text that ends without
 * a newline), one call at a time and from whichever thread writes, under the
 * state's message lock: it must not call the library with the same state. */
typedef void (*sonvar_output_sink)(void *user_data, const char *text);

/* Like sonvar_init, with the sink installed before anything is printed
 * (NULL sink: standard output, as sonvar_init). */
SONVAR_API sys_con *sonvar_init_with_output(int16_t quiet, sonvar_output_sink sink,
                                            void *user_data);

/* Installs a sink for every later line (NULL: standard output again). */
SONVAR_API void sonvar_set_output(sys_con *sys, sonvar_output_sink sink, void *user_data);

/* A sink that drops everything: sonvar_set_output(sys, sonvar_discard_output,
 * NULL) silences the library. */
SONVAR_API void sonvar_discard_output(void *user_data, const char *text);

/* ---- Failures ------------------------------------------------------------- */

/* What a fatal condition does (sonvar_set_failure_mode). */
enum {
  SONVAR_FAILURE_EXIT = 0,   /* default: print the message through the channel and end the
                                process with status 255 */
  SONVAR_FAILURE_THROW = 1,  /* C++ hosts: the failing call throws sonvar::Error whose what()
                                is the text EXIT mode would print */
  SONVAR_FAILURE_RETURN = 2, /* C hosts: the failing call returns at once (NULL for pointer
                                results, 0 for numbers, nothing for void); the text is kept
                                (sonvar_last_error) and the handler, if any, is called once
                                on the calling thread */
  /* THROW and RETURN with the message alone, as a host that goes on wants it
     (nothing ends): each line of the text without a leading "Fatal error: " or
     "FATAL ERROR: " and without trailing blanks, the lines that say the
     program stops left out, lines joined by "\n" with none at the end:
     "Calculation interrupted" for "Fatal error: Calculation interrupted \n". */
  SONVAR_FAILURE_THROW_MESSAGE = 3,
  SONVAR_FAILURE_RETURN_MESSAGE = 4
};

/* Called in RETURN mode with the failure text, after every library lock is
 * released; it may call the library with the state. */
typedef void (*sonvar_failure_handler)(void *user_data, const char *message);

/* In the THROW and RETURN modes, after a failure: no library lock is held,
 * the state runs new calculations, and nothing the host owns has been
 * released. A failed calculation (the calc_* calls) has given back every
 * signal and block it had taken, those of its worker threads included; other
 * calls may leave blocks allocated. A failure in a worker thread of a
 * parallel call comes back once, on the calling thread, after every worker
 * has ended. */
SONVAR_API void sonvar_set_failure_mode(sys_con *sys, int mode);
SONVAR_API void sonvar_set_failure_handler(sys_con *sys, sonvar_failure_handler handler,
                                           void *user_data);
/* Text of the last failure that came back in a RETURN mode, "" when none. */
SONVAR_API const char *sonvar_last_error(const sys_con *sys);
/* Forgets the last failure text. */
SONVAR_API void sonvar_clear_error(sys_con *sys);

/* Asks the calculations on the state to stop (interrupt non-zero): each
 * calculation running stops at its next field point or scatterer and fails
 * (by the failure mode) with "Fatal error: Calculation interrupted \n",
 * having returned everything it took from the pool and the heap; while the
 * flag is set every calculation fails at its first point. interrupt = 0
 * clears the flag. Safe from any thread and from a signal handler (one
 * atomic store). */
SONVAR_API void sonvar_set_interrupt(sys_con *sys, int interrupt);

/* Sets one named option (matched after conversion to lower case). An unknown
 * name is a failure (by default it ends the program with status 255), and
 * so is a value outside the option's physical range: c and fs finite and
 * above 0; att, freq_att and att_f0 finite and 0 or more; tau_m and bdiva
 * finite; z and dz finite and above 0; max_samples a whole number from
 * SONVAR_MIN_MAX_SAMPLES to SONVAR_LARGEST_MAX_SAMPLES. */
SONVAR_API void set_sonvar(sys_con *sys, const char *name, double value);

/* ---- The option table ------------------------------------------------------ */

/* Kinds of option values. */
enum {
  SONVAR_OPTION_REAL = 0,    /* a number within the range */
  SONVAR_OPTION_INTEGER = 1, /* a whole number within the range */
  SONVAR_OPTION_FLAG = 2     /* 0 (off) or 1 (on) */
};

/* One option of set_sonvar as the library describes it, so that a host can
 * list, check and document every option from one table. */
typedef struct sonvar_option {
  const char *name;        /* the name set_sonvar takes (lower case) */
  int kind;                /* SONVAR_OPTION_REAL, _INTEGER or _FLAG */
  double default_value;    /* the value of a new state */
  double minimum;          /* lowest valid value (-HUGE_VAL: none) */
  double maximum;          /* highest valid value (HUGE_VAL: none) */
  int minimum_excluded;    /* 1: a valid value lies above the minimum, not at it */
  int refused_outside;     /* 1: set_sonvar refuses a value outside the range (a failure);
                              0: it takes any number and rounds or clamps it, as programs
                              have relied on; a host should refuse such values itself */
  const char *unit;        /* SI unit of the value, "" for none */
  const char *description; /* what the option does, one sentence */
} sonvar_option;

/* Number of options in the table. */
SONVAR_API int sonvar_option_count(void);

/* Entry `index` (0 to sonvar_option_count() - 1) of the table, static
 * storage; NULL for any other index. */
SONVAR_API const sonvar_option *sonvar_option_at(int index);

/* The current value of an option of the table, by name (matched without
 * regard to case): flags and integers as whole numbers. An unknown name is a
 * failure, as in set_sonvar. */
SONVAR_API double sonvar_get_option(sys_con *sys, const char *name);

/* Prints the configuration report through the state's channel. */
SONVAR_API void sonvar_info(sys_con *sys);

/* The library's version, "MAJOR.MINOR.PATCH" (static text). */
SONVAR_API const char *sonvar_version(void);

/* Zero-filled heap block (arrays handed to xdc_focus_times and
 * xdc_apodization come from here) of count * size bytes under memory_mutex; NULL when
 * the heap is exhausted. Release with free_memory. */
SONVAR_API void *alloc_memory(sys_con *sys, uint64_t count, uint64_t size);

/* Releases a block from alloc_memory under memory_mutex; NULL is allowed. */
SONVAR_API void free_memory(sys_con *sys, void *block);

/* ======================================================================== */
/* Signal pool (pool)                                                       */
/* ======================================================================== */

/* Hands out a signal of n zero samples starting at start_sample. The caller
 * owns it until free_signal. n <= 0 is fatal. */
SONVAR_API signal_rec *alloc_signal(sys_con *sys, int n, int start_sample);

/* Resizes a signal in place. Within the capacity the samples are kept;
 * beyond it the array is replaced by n zeros. n <= 0 is fatal. */
SONVAR_API void extend_signal(sys_con *sys, signal_rec *signal, int n, int start_sample);

/* Gives a signal back to the pool's free list. A second release is fatal. */
SONVAR_API void free_signal(sys_con *sys, signal_rec *signal);

/* Releases every signal on the free list to the heap. */
SONVAR_API void free_signal_memory(sys_con *sys);

/* Writes the signal's samples to a text file, one "%15e " value a line. */
SONVAR_API void store_signal(const char *path, const signal_rec *signal);
/* ======================================================================== */
/* Apertures (apertures)                                                    */
/* ======================================================================== */

/* Replaces every rectangle of the aperture by two triangles (appended after
 * existing triangles) and returns the aperture. */
SONVAR_API aperture *xdc_convert(sys_con *sys, aperture *ap);

/* Releases the aperture and everything it owns. NULL is allowed. Only an
 * aperture that a constructor of this same state built, and that has not
 * been released yet, is accepted: a second release, or an aperture of
 * another state, ends the program with status 255 before anything is
 * touched. An aperture assembled by the caller field by field is the
 * caller's to release; so is not using an aperture after its release. */
SONVAR_API void xdc_free(sys_con *sys, aperture *ap);

/* --- Focusing, apodization and element settings ---------------------------- */

/* Replaces the focus line by `count` static entries (times s, points m). */
SONVAR_API void xdc_focus(sys_con *sys, aperture *ap, int count, const double *times,
                          const point3 *points);
/* Replaces the focus line by one dynamic entry along the two angles (rad). */
SONVAR_API void xdc_dynamic_focus(sys_con *sys, aperture *ap, double time, double angle_zx,
                                  double angle_zy);
/* Sets the reference point for focusing. */
SONVAR_API void xdc_center_focus(sys_con *sys, aperture *ap, point3 point);
/* Replaces the focus line by `count` entries with the given delay arrays
 * (no_elements values each, from alloc_memory); the aperture takes them over. */
SONVAR_API void xdc_focus_times(sys_con *sys, aperture *ap, int count, const double *times,
                                double **delays);
/* Replaces the apodization line (the aperture takes the arrays over) and
 * turns dynamic apodization off. */
SONVAR_API void xdc_apodization(sys_con *sys, aperture *ap, int count, const double *times,
                                double **values);
/* Turns dynamic apodization on: window 1 Hanning, 2 Hamming, 3 Blackman. */
SONVAR_API void xdc_dynamic_apodization(sys_con *sys, aperture *ap, int window_kind,
                                        double f_number, point3 reference, point3 direction);
/* Set the apodization (or delay, s) of the mathematical elements of the
 * listed physical elements (numbers from 1); values[i] holds no_values
 * entries for element_numbers[i]. Errors print one line and go on. */
SONVAR_API void ele_apodization(aperture *ap, int count, const int *element_numbers, int no_values,
                                double **values);
SONVAR_API void ele_delay(aperture *ap, int count, const int *element_numbers, int no_values,
                          double **values);
/* Gives the listed physical elements their own excitation, copied from
 * samples[i] (no_samples values each). */
SONVAR_API void ele_waveform(sys_con *sys, aperture *ap, int count, const int *element_numbers,
                             int no_samples, double **samples);
/* Replace the aperture's impulse response or excitation; the aperture takes
 * the signal over and returns its previous one to the pool. */
SONVAR_API void xdc_impulse(sys_con *sys, aperture *ap, signal_rec *signal);
SONVAR_API void xdc_excitation(sys_con *sys, aperture *ap, signal_rec *signal);

/* --- Free-form apertures ------------------------------------------------- */

/* Tables are column-major doubles with `rows` rows; column 0 holds the
 * physical element number (from 1, ascending). `centers` has one row per
 * physical element and the columns x, y, z. See the documentation of each
 * table's columns in apertures/tables.cpp. */
SONVAR_API aperture *xdc_triangles(sys_con *sys, const double *table, int rows,
                                   const double *centers, point3 focus);
SONVAR_API aperture *xdc_rectangles(sys_con *sys, const double *table, int rows,
                                    const double *centers, point3 focus);
SONVAR_API aperture *xdc_lines(sys_con *sys, const double *table, int rows, const double *centers,
                               point3 focus);
/* One physical element of `rows` triangles: `corners` is a rows x 9
 * column-major table x1 .. z3, `apodizations` one weight per triangle. */
SONVAR_API aperture *xdc_triangles_old(sys_con *sys, const double *corners, int rows,
                                       const double *apodizations, double element_apodization,
                                       point3 center);

/* Replaces every rectangle by a line-bounded element and returns the aperture. */
SONVAR_API aperture *xdc_line_convert(sys_con *sys, aperture *ap);
/* --- Array constructors --------------------------------------------------- */
/* Each returns a new aperture of rectangles (converted to triangles or
 * line-bounded elements when the state's use_triangles or use_lines is set)
 * with one static focus entry at time 0 and unit apodization. Metres,
 * radians. `heights` holds one height per row; `enabled` holds no_elem_x
 * columns of no_elem_y flags each (element (i, j) at enabled[i*no_elem_y+j]).
 * Zero or negative counts give no elements or no sub-elements. */
SONVAR_API aperture *xdc_piston(sys_con *sys, double radius, double ele_size);
SONVAR_API aperture *xdc_concave(sys_con *sys, double radius, double focal_radius, double ele_size);
SONVAR_API aperture *xdc_linear_array(sys_con *sys, int no_elements, double width, double height,
                                      double kerf, int no_sub_x, int no_sub_y, point3 focus);
SONVAR_API aperture *xdc_linear_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                                         const double *heights, double kerf_x, double kerf_y,
                                         int no_sub_x, int no_sub_y, point3 focus);
SONVAR_API aperture *xdc_focused_array(sys_con *sys, int no_elements, double width, double height,
                                       double kerf, double Rfocus, int no_sub_x, int no_sub_y,
                                       point3 focus);
SONVAR_API aperture *xdc_focused_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                                          const double *heights, double kerf_x, double kerf_y,
                                          double Rfocus, int no_sub_x, int no_sub_y, point3 focus);
SONVAR_API aperture *xdc_convex_array(sys_con *sys, int no_elements, double width, double height,
                                      double kerf, double Rconvex, int no_sub_x, int no_sub_y,
                                      point3 focus);
SONVAR_API aperture *xdc_convex_focused_array(sys_con *sys, int no_elements, double width,
                                              double height, double kerf, double Rconvex,
                                              double Rfocus, int no_sub_x, int no_sub_y,
                                              point3 focus);
SONVAR_API aperture *xdc_convex_focused_multirow(sys_con *sys, int no_elem_x, double width,
                                                 int no_elem_y, const double *heights,
                                                 double kerf_x, double kerf_y, double Rconvex,
                                                 double Rfocus, int no_sub_x, int no_sub_y,
                                                 point3 focus);
SONVAR_API aperture *xdc_2d_array(sys_con *sys, int no_elem_x, int no_elem_y, double width,
                                  double height, double kerf_x, double kerf_y,
                                  const int16_t *enabled, int no_sub_x, int no_sub_y, point3 focus);

/* --- Report and export ---------------------------------------------------- */

/* Prints the aperture report: info_kind 0 everything, 1 the elements, 2 the
 * focus time line, 3 the apodization, any other value the header only. */
SONVAR_API void xdc_show(sys_con *sys, aperture *ap, int info_kind);
/* Writes a table into `out`: 1 rectangles (26 values a row), 2 triangles
 * (15), 3 line elements, 4 focus time line, 5 apodization time line; other
 * kinds write nothing. Size `out` with xdc_get_size. */
SONVAR_API void xdc_get(sys_con *sys, aperture *ap, int info_kind, double *out);
/* Number of doubles xdc_get writes for this aperture and info_kind. */
SONVAR_API int64_t xdc_get_size(sys_con *sys, aperture *ap, int info_kind);

/* ======================================================================== */
/* Convolution, FFT and response summation (signals)                        */
/* ======================================================================== */

/* Every signal combination aligns its operands on the absolute sample index:
 * a convolution starts at the sum of its inputs' start samples. An absent
 * (NULL) signal counts as zero. */

/* Direct convolution a*b (no 1/fs factor): a new signal of na+nb-1 samples
 * starting at sa+sb. One absent input gives zeros shaped like the other; two
 * absent inputs give an absent result. */
SONVAR_API signal_rec *Convolute(sys_con *sys, signal_rec *a, signal_rec *b);

/* Direct convolution a*b written into `out`, which is resized with
 * extend_signal (reallocated only when too small); returns out. One absent
 * input gives zeros shaped like the other; two give one zero sample at 0. */
SONVAR_API signal_rec *Convolute_fast(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *out);

/* Adds src into dst on the absolute time axis, growing dst (in place while
 * the span stays strictly below its capacity, else to exactly the span);
 * src is not changed. Returns dst; an absent dst gives a new copy of src. */
SONVAR_API signal_rec *add_responses(sys_con *sys, signal_rec *src, signal_rec *dst);

/* Direct convolution taken at every D-th sample and multiplied by scale: a
 * new signal at fs/D starting at ceil((sa+sb)/D) with floor((na+nb-1)/D)+1
 * samples. One absent input gives zeros shaped like that decimation of the
 * other; two give an absent result. D below 1 is fatal. */
SONVAR_API signal_rec *Convolve_decimate(sys_con *sys, signal_rec *a, signal_rec *b, int D,
                                         double scale);

/* In-place radix-2 complex FFT of nn (a power of two) complex values stored
 * as (re, im) pairs from data[0]: sum_j x[j] exp(isign 2 pi i j k / nn), not
 * normalised. */
SONVAR_API void four1(double *data, int nn, int isign);

/* Real FFT of 2n samples from data[0] (n a power of two, at least 2).
 * isign = +1: replaced by the packed spectrum (DC, Nyquist, then re and im of
 * bins 1 .. n-1). isign = -1: a packed spectrum is replaced by n times the
 * samples it was made from. */
SONVAR_API void realft(double *data, int n, int isign);

/* Smallest power of two, at least 4, not below either argument. */
SONVAR_API int Find_N(int n1, int n2);

/* A packed spectrum: the transform of N real samples (N a power of two, at
 * least 4) in a signal of N values: DC, Nyquist, then the (re, im) pairs of
 * bins 1 .. N/2-1; bin k stands for k fs / N. Its start sample is that of
 * the time signal. Forward transform convention sum x[j] exp(+2 pi i j k/N).
 *
 * Find_FFT: a new packed spectrum of s padded with zeros to N samples.
 * Find_FFT_reuse: the same written into dest (grown only when too small);
 * returns dest. s longer than N, or N not such a power of two, is fatal. */
SONVAR_API signal_rec *Find_FFT(sys_con *sys, signal_rec *s, int N);
SONVAR_API signal_rec *Find_FFT_reuse(sys_con *sys, signal_rec *dest, signal_rec *s, int N);

/* Product of two packed spectra times 1/fs, of the shorter length and
 * starting at sA+sB; the longer spectrum is read at the bins of the same
 * frequency. Multiply_FFTs returns a new signal; Multiply_FFTs_fast writes
 * into out (which may be A or B) and returns it. */
SONVAR_API signal_rec *Multiply_FFTs(sys_con *sys, signal_rec *A, signal_rec *B);
SONVAR_API signal_rec *Multiply_FFTs_fast(sys_con *sys, signal_rec *A, signal_rec *B,
                                          signal_rec *out);

/* Turns the packed spectrum S back into samples in place and keeps the first
 * n_out of them (1 <= n_out <= S's length, else fatal); returns S. */
SONVAR_API signal_rec *Inverse_FFT(signal_rec *S, int n_out);

/* (a*b)/fs by FFT: a new signal of na+nb-1 samples starting at sa+sb. When
 * a and b are the same signal it is transformed once. One absent input gives
 * zeros shaped like the other; two give an absent result. */
SONVAR_API signal_rec *fast_convolute(sys_con *sys, signal_rec *a, signal_rec *b);

/* (a*b)/fs by FFT with the spectrum of b kept by the caller in *cached (a
 * slot, possibly shared by threads and guarded by fft_mutex). The spectrum
 * may be longer than needed; when it holds fewer than na+nb values (or none)
 * it is renewed from b, the old one returned to the pool, and the slot owns
 * the new one. Absent inputs as fast_convolute. A NULL slot means no cache. */
SONVAR_API signal_rec *fast_dft_convolute(sys_con *sys, signal_rec *a, signal_rec *b,
                                          signal_rec **cached);

/* (a*b)/fs by FFT into out, using spec_a and spec_b as spectrum buffers;
 * spec_b is taken as the spectrum of b unless it holds fewer than na+nb
 * values. No pool signal is taken unless a buffer grows. One absent input
 * gives zeros shaped like the other in out; two give one zero sample at 0. */
SONVAR_API signal_rec *fast_fft_convolute(sys_con *sys, signal_rec *a, signal_rec *b,
                                          signal_rec *spec_a, signal_rec *spec_b, signal_rec *out);

/* Adds amplitude*src into dst, both at the decimated rate fs/D. When dst
 * does not cover src, a new signal spanning both replaces dst (the old one
 * goes back to the pool). src is released when `release` is non-zero.
 * Returns the dst to use; an absent dst gives a new signal. D below 1 is
 * fatal. */
SONVAR_API signal_rec *sum_responses_decimated(sys_con *sys, signal_rec *src, signal_rec *dst,
                                               int D, int release, double amplitude);

/* ======================================================================== */
/* Attenuation, focusing at a point, field and scattering calculations      */
/* (field)                                                                  */
/* ======================================================================== */

/* ---- Field calculations h, hp and hhp ----------------------------------- */

/* One signal per point, in point order, in a new array the caller owns with
 * its signals (release each with free_signal, the array with free_memory).
 *  calc_h:   spatial impulse response, m/s (an absent entry where nothing
 *            reaches the point); with attenuation on, filtered through its
 *            own spectrum and scaled by one more 1/fs.
 *  calc_hp:  emitted pressure (h * impulse response * excitation)/fs^2.
 *  calc_hhp: pulse-echo field (ht * hr * two-way pulse)/fs^3-scaled, the
 *            transmit and receive apertures may be the same. */
SONVAR_API signal_rec **calc_h(sys_con *sys, aperture *ap, int n, const point3 *points);
SONVAR_API signal_rec **calc_hp(sys_con *sys, aperture *ap, int n, const point3 *points);
SONVAR_API signal_rec **calc_hhp(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                 const point3 *points);

/* Runs calc_h (function_code 1), calc_hp (2) or calc_hhp (3) over N points
 * on the state's `threads` workers (directly when N <= 5 * threads) and
 * returns one signal per point in point order. Another code is fatal. */
SONVAR_API signal_rec **calc_function_parallel(sys_con *sys, int function_code, aperture *ap1,
                                               aperture *ap2, int N, point3 *points);

/* ---- Field maps: reductions per point ------------------------------------ */

/* A field map computes h, hp or hhp at every point as calc_h, calc_hp and
 * calc_hhp do (the same samples), keeps of each point's signal only the
 * reductions asked for, and writes them into the caller's arrays. Each
 * point's signal lives only in a worker's scratch while it is reduced, so
 * the memory is the caller's arrays plus a fixed amount per thread (the
 * scratch block, the pulse and its spectra, a few signals of the longest
 * response), whatever the number of points. */

/* Defined while the header declares the field-map calls. */
#define SONVAR_HAS_FIELD_MAP 1

/* field_map_request.reductions: an or of these flags. */
enum {
  SONVAR_MAP_PEAK = 1,     /* peak: largest absolute value; peak_time: time of the first sample
                              that reaches it (NaN when the signal is absent or all zero) */
  SONVAR_MAP_RMS = 2,      /* root mean square over the request's window */
  SONVAR_MAP_ENERGY = 4,   /* sum of the squared samples over fs: (unit)^2 s */
  SONVAR_MAP_SPECTRUM = 8, /* |sum_j v_j exp(-2 pi i f (s + j) / fs)| / fs at each of the
                              request's frequencies f: (unit) s */
  SONVAR_MAP_SPAN = 16     /* first sample s and number of samples of the point's signal
                              (0 and 0 where h has no signal) */
};

/* field_map_request.rms_window. */
enum {
  SONVAR_RMS_COMMON = 0, /* over the common time axis of the call's points: from the first
                            sample of the earliest signal to the last sample of the latest,
                            as when all signals are aligned as the columns of one matrix */
  SONVAR_RMS_FIXED = 1   /* over the samples [window_first, window_first + window_samples) */
};

/* What a field map computes. Samples outside a point's signal count as
 * zeros in every window. */
typedef struct field_map_request {
  int32_t quantity;          /* SONVAR_CALC_H, SONVAR_CALC_HP or SONVAR_CALC_HHP */
  int32_t reductions;        /* SONVAR_MAP_* flags, at least one */
  int32_t rms_window;        /* SONVAR_RMS_COMMON or SONVAR_RMS_FIXED */
  int64_t window_first;      /* FIXED: first sample of the window, time window_first / fs */
  int64_t window_samples;    /* FIXED: samples in the window, at least 1 */
  int32_t no_frequencies;    /* SPECTRUM: number of frequencies, at least 1 */
  const double *frequencies; /* SPECTRUM: the frequencies, Hz, each from 0 to fs / 2 */
} field_map_request;

/* Where a field map writes, point i at entry i: arrays of n values, owned by
 * the caller; only those of the reductions asked for are used (the others
 * may be NULL). */
typedef struct field_map_result {
  double *peak;          /* PEAK */
  double *peak_time;     /* PEAK, s */
  double *rms;           /* RMS */
  double *energy;        /* ENERGY */
  double *spectrum;      /* SPECTRUM: n * no_frequencies values, point by point */
  int64_t *first_sample; /* SPAN */
  int64_t *no_samples;   /* SPAN */
} field_map_result;

/* The field map of n points (m) on the calling thread. transmit is the
 * aperture of h and hp; hhp uses transmit and receive (which may be the
 * same); receive is not read for h and hp and may be NULL. The values equal
 * those of the same reductions of calc_h, calc_hp or calc_hhp's signals to
 * rounding (sums of squares in another order). Refused with one line naming
 * the argument: n below 1, an unknown quantity or reduction flag, no
 * reduction, a missing result array, a FIXED window without samples, SPECTRUM without
 * frequencies or with one outside [0, fs/2], and, after the points are
 * done, a FIXED window that lies wholly before or after all the signals. Returns
 * n; 0 on a failure in the returning mode (the arrays partly written). */
SONVAR_API int64_t calc_field_map(sys_con *sys, aperture *transmit, aperture *receive, int64_t n,
                                  const point3 *points, const field_map_request *request,
                                  const field_map_result *out);

/* calc_field_map on the state's `threads` workers: the calling thread and
 * threads - 1 more take blocks of points in turn until all are done. Each
 * point's values do not depend on the thread count. */
SONVAR_API int64_t calc_field_map_parallel(sys_con *sys, aperture *transmit, aperture *receive,
                                           int64_t n, const point3 *points,
                                           const field_map_request *request,
                                           const field_map_result *out);

/* Echo of n point scatterers (positions in m, amplitudes) summed over the
 * receive aperture. Reorders the scatterers in place when n > 10. */
SONVAR_API signal_rec *calc_scat(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                 point3 *points, double *amplitudes);

/* calc_scat split over the workers (directly when N <= 5 * threads); the
 * workers' echoes are summed. */
SONVAR_API signal_rec *calc_scat_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                          point3 *points, double *amplitudes);

/* Echo per receive physical element: an array of receive->no_elements
 * signals. */
SONVAR_API signal_rec **calc_scat_multi(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                        point3 *points, double *amplitudes);

/* calc_scat_multi split over the workers (directly when N <= threads). */
SONVAR_API signal_rec **calc_scat_multi_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                                 point3 *points, double *amplitudes);

/* Echo of every transmit element received by every receive element, each
 * element unfocused and unapodized, sampled at fs/D: result[t][r]. Sorts the
 * scatterers when n > 10 and divides the caller's amplitudes by fs. D below
 * 1 is fatal. */
SONVAR_API signal_rec ***calc_scat_all(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                       point3 *points, double *amplitudes, int D);

/* Channel echoes: the per-element echoes of n point scatterers (positions
 * m, amplitudes) added into the caller's matrix instead of returned as
 * signals. The echo received by receive element j at absolute sample s is
 * added to out[j * column_stride + (s - first_sample)] for s in
 * [first_sample, first_sample + rows); column_stride is at least rows. The
 * values are calc_scat_multi's for the same apertures, to rounding: both
 * apertures apply their own focusing and apodization (for raw channel data
 * give the receive aperture zero delays and unit weights). The state's
 * workers share out the receive elements; each element's echo is formed in
 * one order whatever the thread count, so the matrix does not depend on
 * it. What the matrix held before is kept: the echoes are added to it.
 * Memory beyond the matrix: per worker thread a scratch block, the transmit
 * spectra of a batch of at most 64 scatterers (at most about 1.5 MB), the
 * frames of one receive element over that batch, and for the elements whose
 * responses are too long for frames their sums over one band of scatterers
 * by range (1,000 samples of two-way range plus the spread of the arrival
 * times at one element); for a matrix that already holds values, a copy of
 * each column's non-zero extent. Neither points nor amplitudes are
 * changed. Returns the number of non-zero echo samples that
 * fell outside the rows and were dropped (0 when the matrix covers every
 * echo); on a failure in the returning mode -1, with the matrix partly
 * filled. */
SONVAR_API int64_t calc_scat_channels(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                      const point3 *points, const double *amplitudes, double *out,
                                      int64_t first_sample, int64_t rows, int64_t column_stride);

/* calc_scat_all split over the workers (directly when N <= 10000 * threads). */
SONVAR_API signal_rec ***calc_scat_all_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                                point3 *points, double *amplitudes, int dec_factor);

#ifdef __cplusplus
}

namespace sonvar {
/* Thrown by a failing call in SONVAR_FAILURE_THROW mode. Exported, so that
 * the host and the shared library share one type information record. */
class SONVAR_API Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
}  // namespace sonvar
#endif

#endif /* SONVAR_H */
