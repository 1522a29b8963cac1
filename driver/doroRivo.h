// doroRivo.h - the command-line driver: run parameters, mesh nodes, the
// probe description and the run routine.
#ifndef DORORIVO_H
#define DORORIVO_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// Input echoed in a message is cut to this many characters.
constexpr std::size_t kEchoed = 80;

// Limits of the probe description: element and sub-element counts, the
// rectangles they make together, and the bytes of the file.
constexpr int kMaxElements = 10000;
constexpr int kMaxSubElements = 1000;
constexpr std::int64_t kMaxRectangles = 1000000;
constexpr long kMaxProbeBytes = 16L << 20;

// Opens `path` for reading when it is a regular file; NULL (errno set) when
// it cannot be opened. Anything else (a directory, FIFO, device or socket)
// ends the program with status 1 and "<label> <path>: is <kind>, not a
// regular file" on standard error. Never waits for a FIFO's writer.
FILE *open_regular_file(const char *path, const char *mode, const char *label);

// Loads the node lines of a keyword-style mesh file. Returns the array (the
// caller owns it) and the count, or NULL when a node line cannot be parsed,
// holds a coordinate that is not finite, or the file changed between the two
// passes; the failing line is then named on standard error (file, line
// number, its first 80 characters). A missing file, a file that is not
// regular, a read error or exhausted memory ends the program with status 1.
mesh_node *readMpn(const char *path, int *count);

// The same for an open, seekable stream; `path` only names it in messages.
mesh_node *readMpnFile(FILE *file, const char *path, int *count);

// Why a probe description was refused: the text that follows "probe
// description <path>: ", and for a JSON syntax error the first 80
// characters where parsing stopped.
struct probe_error {
  char text[512];
  bool parse_error;
  char context[kEchoed + 1];
};

// Parses a probe description held in memory (`length` bytes): valid JSON
// with nothing but blanks after the object, no key given twice in one object
// (keys match without regard to case), every key present with its JSON type,
// and the element counts whole numbers from 1 to their limits. On failure
// returns false, fills *error and leaves nothing to release.
bool parse_probe(const char *text, std::size_t length, probe_description *probe, probe_error *error,
                 bool verbose);

// Checks that the constructors the "Th" text names can build the probe, and
// that its Gaussian pulse (sampled at fs) holds at most max_samples samples:
// sizes and radii finite and above 0 (kerf 0 or more), elevation focus
// radius at least half the height, element width and kerf below the convex
// radius, the elements' arc at most 180 degrees, at most kMaxRectangles
// rectangles. False with *error filled when not.
bool check_probe(const probe_description &probe, std::int32_t fs, std::int64_t max_samples,
                 probe_error *error);

// Reads and parses the probe description at `path`; a missing, unreadable or
// oversized file, one that is not a regular file, or a description that
// parse_probe refuses ends the program with status 1 and one line on
// standard error naming the file and the key (after "Error before: [...]" on
// standard output for a JSON syntax error).
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
