/*
 * sonvar_beamform.h - public interface of the Sonvar delay-and-sum beamformer.
 *
 * The beamformer turns per-element channel data (real RF or complex IQ, one
 * trace per receiving element, transmit and frame) into images on a grid of
 * pixels: 2-D or 3-D Cartesian, polar (phased and convex sectors) or an
 * arbitrary list of points. It needs nothing of the simulator: channel data,
 * element positions and the transmits' wave descriptions in, images out, so
 * it beamforms measured data as well as simulated data.
 *
 * Time convention (docs/imaging.md): coordinates with the array centre at
 * (0, 0, 0), x lateral, y elevation, z into the medium. Time zero of a
 * transmit is the moment its wavefront passes (0, 0, 0); tau_tx(p) is the
 * transmit time of flight to pixel p (see the transmit kinds below). Sample
 * k of every trace lies at initial_time + k / fs on the acquisition clock,
 * and the transmit's `delay` is the time from its t = 0 to the start of
 * acquisition. The echo of pixel p received by element r for transmit w is
 * read at the fractional sample
 *
 *     k = (tau_tx(p) + |p - r| / c - delay_w - initial_time) * fs.
 *
 * A value contributes when every sample its interpolation needs was
 * recorded (linear: 0 <= k < samples - 1; cubic: 1 <= k < samples - 2).
 * IQ data hold the analytic signal mixed down by the modulation frequency
 * f_m at the acquisition time t of each sample, a(t) exp(-2 pi i f_m t); the
 * interpolated IQ value is turned back by exp(+2 pi i f_m t) at the exact
 * time t = initial_time + k / fs it was read at.
 *
 * Pixel value: sum over transmits (when compounding) and receiving elements
 * of  tx_weight(p) * rx_weight(p, r) * value(k).
 *
 * Units: metres, seconds, hertz, radians. Every call returns a status code
 * (SONVAR_BF_OK or one of the failure codes below) and, when the caller
 * passes an error record, writes there a one-line text that names the
 * faulty argument. Nothing is written to the image on failure. The library
 * keeps no state between calls and allocates only a fixed amount of working
 * memory per thread (independent of the number of pixels); it never holds a
 * pixels x elements matrix. Results do not depend on the number of threads
 * nor on the processor's vector width.
 *
 * Ownership: every pointer in the records belongs to the caller and is only
 * read during the call; the image is written. This header compiles as strict
 * C (C99 or later) and as C++; all calls have C linkage.
 */
#ifndef SONVAR_BEAMFORM_H
#define SONVAR_BEAMFORM_H

#include <stdint.h>

/* Marks the calls the shared library exports; everything else is hidden. */
#if defined(_WIN32)
#define SONVAR_BEAMFORM_API
#elif defined(__GNUC__)
#define SONVAR_BEAMFORM_API __attribute__((visibility("default")))
#else
#define SONVAR_BEAMFORM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================== */
/* Named codes                                                              */
/* ======================================================================== */

/* Status codes every call returns. */
enum {
  SONVAR_BF_OK = 0,
  SONVAR_BF_BAD_ARGUMENT = 1, /* an argument is missing, out of range, not finite or of a
                                 shape that does not match the others */
  SONVAR_BF_TOO_LARGE = 2,    /* the image would need more memory than the limit allows; the
                                 text gives the size it would need */
  SONVAR_BF_NO_MEMORY = 3,    /* working memory could not be allocated */
  SONVAR_BF_INTERNAL = 4      /* an unexpected failure (a thread that could not be joined) */
};

/* sonvar_bf_transmit.kind: how the transmit's wave travels. tau_tx(p) is
 * its time of flight from t = 0 to the pixel p, c the speed of sound. */
enum {
  /* Plane wave of azimuth theta (towards x) and elevation phi (towards y):
   * tau_tx = (z cos(theta) cos(phi) + x sin(theta) cos(phi) + y sin(phi)) / c. */
  SONVAR_BF_PLANE = 1,
  /* Diverging wave from a virtual source s behind the array (s.z < 0):
   * tau_tx = (|p - s| - |s|) / c. */
  SONVAR_BF_DIVERGING = 2,
  /* Wave focused at s in front of the array (s.z > 0):
   * tau_tx = (|s| - |p - s|) / c where p.z < s.z, (|s| + |p - s|) / c beyond. */
  SONVAR_BF_FOCUSED = 3,
  /* One element at e = source (synthetic aperture): tau_tx = (|e| + |p - e|) / c. */
  SONVAR_BF_ELEMENT = 4,
  /* Any firing delays d_i (s, relative to t = 0) of the elements with a non-zero
   * transmit apodization: tau_tx = min_i (d_i + |p - e_i| / c), the first arrival. */
  SONVAR_BF_CUSTOM = 5
};

/* sonvar_bf_options.interpolation */
enum {
  SONVAR_BF_LINEAR = 1, /* between the two neighbouring samples */
  SONVAR_BF_CUBIC = 2   /* cubic convolution (Keys, a = -1/2) over four samples */
};

/* sonvar_bf_options.window: the receive apodization across the aperture, as
 * a function of rho = lateral offset / half aperture width in [-1, 1]. */
enum {
  SONVAR_BF_RECT = 1,    /* 1 */
  SONVAR_BF_HANNING = 2, /* cos^2(pi rho / 2): 0 at the edges */
  SONVAR_BF_TUKEY = 3    /* 1 for |rho| <= 1 - alpha, then cos^2(pi (|rho| - 1 + alpha) /
                            (2 alpha)) down to 0 at the edges; alpha = tukey_alpha */
};

/* sonvar_bf_grid.kind */
enum {
  SONVAR_BF_GRID_CARTESIAN = 1, /* axes x, y, z */
  SONVAR_BF_GRID_POLAR = 2,     /* axes azimuth, elevation, radius about an apex */
  SONVAR_BF_GRID_POINTS = 3     /* a list of points */
};

/* sonvar_bf_options.vector_width */
enum {
  SONVAR_BF_VECTOR_AUTO = 0, /* the widest the processor runs */
  SONVAR_BF_VECTOR_SCALAR = 1,
  SONVAR_BF_VECTOR_4 = 4, /* 4 lanes (AVX2) */
  SONVAR_BF_VECTOR_8 = 8  /* 8 lanes (AVX-512) */
};

/* ======================================================================== */
/* Records                                                                  */
/* ======================================================================== */

/* Where a failure's text goes: filled by every call that fails (code and a
 * NUL-terminated line "argument: what is wrong"), cleared (code 0, empty
 * text) by every call that succeeds. Owned by the caller. */
typedef struct sonvar_bf_error {
  int32_t code;   /* the status code the call returned */
  char text[512]; /* the failure's text; empty after success */
} sonvar_bf_error;

/* Channel data: one trace of `samples` values for every receiving channel,
 * transmit and frame. Samples of a trace are contiguous; the strides say
 * how far apart (in samples: values for RF, complex values for IQ) the first
 * samples of neighbouring channels, transmits and frames lie. A stride of 0
 * takes the packed layout [frame][transmit][channel][sample]. */
typedef struct sonvar_bf_channel_data {
  const double *values;        /* RF values, or IQ as (real, imaginary) pairs */
  int32_t iq;                  /* 0: real RF; 1: complex IQ */
  int64_t samples;             /* samples per trace (>= 2 linear, >= 4 cubic; < 2^31) */
  int64_t channels;            /* receiving channels: one per probe element */
  int64_t transmits;           /* transmits (>= 1) */
  int64_t frames;              /* frames (>= 1) */
  int64_t channel_stride;      /* samples between neighbouring channels (0: samples) */
  int64_t transmit_stride;     /* samples between neighbouring transmits (0: packed) */
  int64_t frame_stride;        /* samples between neighbouring frames (0: packed) */
  double fs;                   /* sampling frequency, Hz (> 0) */
  double initial_time;         /* acquisition time of sample 0, s */
  double modulation_frequency; /* IQ: the mixing frequency f_m, Hz (>= 0); RF: ignored */
  double sound_speed;          /* speed of sound, m/s (> 0) */
} sonvar_bf_channel_data;

/* The probe: element i receives channel i. */
typedef struct sonvar_bf_probe {
  int64_t elements;        /* number of elements; must equal channels */
  const double *positions; /* elements x 3 values: x, y, z of each element's centre, m */
  const double *theta;     /* elements: azimuth of each element's normal (towards x), rad;
                              NULL for a flat array facing +z */
  const double *phi;       /* elements: elevation of each element's normal (towards y), rad;
                              NULL for 0 */
} sonvar_bf_probe;

/* One transmit (a UFF wave). Only the fields of its kind are read, with
 * `delay` and `apodization`. */
typedef struct sonvar_bf_transmit {
  int32_t kind;              /* SONVAR_BF_PLANE ... SONVAR_BF_CUSTOM */
  double azimuth;            /* plane: theta, rad, |theta| < pi/2 */
  double elevation;          /* plane: phi, rad, |phi| < pi/2 */
  double source[3];          /* diverging: virtual source (z < 0); focused: focus (z > 0);
                                element: the emitting element's centre; m */
  double delay;              /* time from the transmit's t = 0 to the start of acquisition, s;
                                subtracted */
  const double *delays;      /* custom: the elements' firing delays, s (elements values) */
  const double *apodization; /* the elements' transmit weights (elements values) or NULL
                                (all fire); elements with weight 0 do not count for the
                                reach of the wave nor for the first arrival */
} sonvar_bf_transmit;

/* The pixels. The image holds them in the order of the axes with axis 0
 * fastest: pixel (i0, i1, i2) is number (i2 * count[1] + i1) * count[0] + i0.
 *   Cartesian: axes x, y, z (m): the pixel (x[i0], y[i1], z[i2]). A 2-D
 *     image has count[1] = 1 (axis[1] NULL means y = 0).
 *   Polar: axes azimuth theta (rad), elevation phi (rad), radius r (m) about
 *     the apex: the pixel apex + r (sin(theta) cos(phi), sin(phi),
 *     cos(theta) cos(phi)). A phased sector has its apex at (0, 0, 0), a
 *     convex one at the centre of curvature (0, 0, -R), its radii from R on.
 *     count[1] = 1 with axis[1] NULL means phi = 0.
 *   Points: count[0] points (x, y, z) at points[3 i ...]; count[1] and
 *     count[2] must be 1. */
typedef struct sonvar_bf_grid {
  int32_t kind;          /* SONVAR_BF_GRID_CARTESIAN, _POLAR or _POINTS */
  int64_t count[3];      /* values along each axis (>= 1) */
  const double *axis[3]; /* the axes' values (count[i] each) */
  double apex[3];        /* polar: the apex, m */
  const double *points;  /* points: count[0] x 3 values, m */
} sonvar_bf_grid;

/* How to beamform; sonvar_bf_default_options fills the defaults. */
typedef struct sonvar_bf_options {
  double f_number;              /* receive F-number: the aperture width is the distance along the
                                   element's normal over f_number (> 0; default 1.5) */
  double min_aperture;          /* the receive aperture is at least this wide, m (default 0) */
  double max_aperture;          /* ... and at most this wide, m (0: no limit; default 0) */
  int32_t window;               /* receive window SONVAR_BF_RECT (default), _HANNING or _TUKEY */
  double tukey_alpha;           /* tapered fraction of the Tukey window, (0, 1] (default 0.5) */
  int32_t interpolation;        /* SONVAR_BF_LINEAR (default) or SONVAR_BF_CUBIC */
  int32_t compound;             /* 1: one image, the sum over transmits (default); 0: one image per
                                   transmit */
  int32_t transmit_apodization; /* 1: weight 0 where the wave does not reach (default); 0: all
                                   pixels weight 1 for every transmit */
  double transmit_margin;       /* m: how far beyond the geometric reach a pixel still counts as
                                   reached (default 0) */
  int32_t threads;              /* worker threads; 0: one per processor (default) */
  int32_t vector_width;         /* SONVAR_BF_VECTOR_*: lanes of the inner loops (default AUTO); a
                                   width the processor lacks is refused */
  double max_image_bytes;       /* largest image accepted, bytes; 0: the machine's physical memory
                                   (default 0) */
} sonvar_bf_options;

/* ======================================================================== */
/* Calls                                                                    */
/* ======================================================================== */

/* Version of the library, "MAJOR.MINOR.PATCH" (static text, not to be freed). */
SONVAR_BEAMFORM_API const char *sonvar_bf_version(void);

/* Fills *options with the defaults listed in sonvar_bf_options. */
SONVAR_BEAMFORM_API void sonvar_bf_default_options(sonvar_bf_options *options);

/* The number of doubles the image of sonvar_bf_das needs:
 *   frames x images x pixels x (2 for IQ, 1 for RF),
 * images = 1 when compounding, else transmits; pixels = count[0] x count[1]
 * x count[2]. Checks the grid, the data's counts and the options (not the
 * data's values) and refuses an image larger than max_image_bytes with
 * SONVAR_BF_TOO_LARGE, the text giving the bytes it would need.
 * `error` may be NULL; `values` receives the count (0 on failure). */
SONVAR_BEAMFORM_API int32_t sonvar_bf_image_values(sonvar_bf_error *error,
                                                   const sonvar_bf_channel_data *data,
                                                   const sonvar_bf_grid *grid,
                                                   const sonvar_bf_options *options,
                                                   int64_t *values);

/* Delay-and-sum of the channel data onto the grid.
 *   data       channel data; every value addressed must be finite
 *   probe      the receiving elements (probe->elements == data->channels)
 *   transmits  data->transmits records, in the order of the data's transmits
 *   grid       the pixels
 *   options    NULL for the defaults
 *   image      the caller's array of sonvar_bf_image_values doubles, written in the order
 *              [frame][image][pixel] (IQ: each pixel a (real, imaginary) pair)
 * Checks every argument (counts, finite values, geometry) before it writes
 * anything; returns SONVAR_BF_OK or a failure code with the text in *error
 * (which may be NULL). The image is complete only after SONVAR_BF_OK. */
SONVAR_BEAMFORM_API int32_t sonvar_bf_das(sonvar_bf_error *error,
                                          const sonvar_bf_channel_data *data,
                                          const sonvar_bf_probe *probe,
                                          const sonvar_bf_transmit *transmits,
                                          const sonvar_bf_grid *grid,
                                          const sonvar_bf_options *options, double *image);

/* The widest vector width (SONVAR_BF_VECTOR_*) this build runs on this processor. */
SONVAR_BEAMFORM_API int32_t sonvar_bf_widest_vector(void);

#ifdef __cplusplus
}
#endif

#endif /* SONVAR_BEAMFORM_H */
