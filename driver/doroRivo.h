// doroRivo.h - the command-line driver: run parameters, mesh nodes, the
// probe description and the run routine.
#ifndef DORORIVO_H
#define DORORIVO_H

#include <cstdint>

#include "sonvar.h"

// One node of a finite-element mesh, coordinates in metres.
struct mesh_node {
  int32_t id;  // node id as written in the file (not used for indexing)
  double x;
  double y;
  double z;
};

// Run parameters filled by main and passed by value.
struct run_params {
  double alpha;              // attenuation, dB/(cm MHz)
  mesh_node *nodes;          // mesh nodes read by readMpn
  double fnum;               // f-number, verbose trace only
  point3 focus;              // focus point for the array constructors, m
  double frequency;          // excitation frequency, MHz
  const char *impulse_type;  // kind of impulse response for gaussPulse
  int32_t threads;           // worker threads given to the library
  int32_t c;                 // speed of sound, m/s
  int32_t fs;                // sampling frequency, Hz
  double *info;              // receives the aperture's rectangle table
};

// Values of the probe description "./c52Fixed.json".
struct probe_description {
  int no_elements;
  int no_sub_x;
  int no_sub_y;
  double width;
  double height;
  double kerf;
  double Rconvex;
  double Rfocus;
  double convex_radius;
  double elv_focus;
  double pitch;
  double fractionalBandwidth;
  double centerFrequency;
  const char *th;          // "commands" / "Th": names the aperture constructor
  double f0, phase, bw;    // "impulse_response" numbers (integer views), trace only
  const char *wavetype;    // "impulse_response" / "wavetype", trace only
  struct cJSON *document;  // the parsed description, owner of the texts above
};

// Path of the probe description read by dynaSonvar.
extern const char *const kProbePath;

// Loads the node lines of a keyword-style mesh file. Returns the array (the
// caller owns it) and the count, or NULL when a node line cannot be parsed or
// the file changed between the two passes. Other failures end the program
// with status 1.
mesh_node *readMpn(const char *path, int *count);

// Reads the probe description at `path`; a missing or unreadable file,
// invalid JSON, or a missing key or one of the wrong type ends the program
// with status 1 and one line on standard error naming the file and the key.
probe_description read_probe(const char *path, bool verbose);

// Samples a Gaussian-modulated cosine of centre frequency fc (Hz) and
// fractional bandwidth bw when params.impulse_type contains "gaussian",
// from -tc to just under +tc at params.fs, where tc is where the envelope
// has fallen to -40 dB. Returns a heap array the caller owns, or NULL when
// no pulse is built (another type, or no samples); *num_samples (when not
// NULL) receives the count. Writes "got exp" to standard error when the type
// contains "exp". verbose writes a trace to standard error.
double *gaussPulse(int verbose, double bw, double fc, run_params params, int *num_samples);

// The sample count gaussPulse would produce, in 64 bits; -1 when it cannot
// be represented.
int64_t gaussPulseLength(double bw, double fc, int32_t fs);

// The sine-burst excitation of the run: 50 periods of excite_freq (Hz)
// sampled every step_size (s), sample 0 = 0, in a new signal from the pool.
// Writes "setting excitationPulse; numSteps %d" to standard error.
signal_rec *sineBurst(sys_con *sys, double excite_freq, double step_size);

// The run: state, options and probe description, then the aperture, its
// excitation and attenuation, and hp at the first no_points nodes. Returns
// the length of its last progress line.
int dynaSonvar(int thread_hint, int no_points, run_params params);

#endif  // DORORIVO_H
