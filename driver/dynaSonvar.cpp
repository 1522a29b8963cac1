// dynaSonvar.cpp - the run routine of the driver: creates the simulator
// state, sets its options and reads the probe description.
#include <cjson/cJSON.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "doroRivo.h"

const char *const kProbePath = "./c52Fixed.json";

namespace {

// The verbose trace is compiled in but switched off.
constexpr bool kVerbose = false;

[[noreturn]] void probe_failure(const char *path, const char *what) {
  fprintf(stderr, "probe description %s: %s\n", path, what);
  exit(1);
}

// At most kEchoed characters of `text` (or of its first `length` bytes),
// control characters shown as '?', so that echoed input stays one short line.
std::string echo(const char *text, std::size_t length = SIZE_MAX) {
  std::string shown;
  for (std::size_t k = 0; k < length && k < kEchoed && text[k] != '\0'; k++) {
    const unsigned char c = static_cast<unsigned char>(text[k]);
    shown += (c < 0x20 || c == 0x7f) ? '?' : text[k];
  }
  return shown;
}

// Reads the whole file in binary mode into a zero-terminated buffer; sets
// *length to the bytes read.
char *read_whole_file(const char *path, std::size_t *length) {
  FILE *file = open_regular_file(path, "rb", "probe description");
  if (file == nullptr) probe_failure(path, "cannot open the file");
  long size = -1;
  if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
  if (size < 0 || fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    probe_failure(path, "cannot read the file");
  }
  if (size > kMaxProbeBytes) {
    char what[128];
    snprintf(what, sizeof what, "the file holds %ld bytes; a probe description holds at most %ld",
             size, kMaxProbeBytes);
    probe_failure(path, what);
  }
  auto *text = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
  if (text == nullptr) probe_failure(path, "not enough memory to read the file");
  const size_t got = fread(text, 1, static_cast<size_t>(size), file);
  if (ferror(file)) {
    char what[256];
    snprintf(what, sizeof what, "read error: %s", strerror(errno));
    probe_failure(path, what);
  }
  text[got] = '\0';
  fclose(file);
  *length = got;
  return text;
}

// A refused description: carries the text for probe_error.
struct ProbeFault {
  std::string what;
};

[[noreturn]] void refuse(const char *format, ...) __attribute__((format(printf, 1, 2)));
void refuse(const char *format, ...) {
  char what[512];
  va_list args;
  va_start(args, format);
  vsnprintf(what, sizeof what, format, args);
  va_end(args);
  throw ProbeFault{what};
}

// Looks a key up (without regard to case) and checks its JSON type.
const cJSON *find_item(const cJSON *object, const char *key, cJSON_bool (*is_kind)(const cJSON *),
                       const char *kind) {
  const cJSON *item = cJSON_GetObjectItem(object, key);
  if (item == nullptr || !is_kind(item)) refuse("key \"%s\" is missing or is not %s", key, kind);
  return item;
}

double number_of(const cJSON *object, const char *key) {
  return find_item(object, key, cJSON_IsNumber, "a number")->valuedouble;
}

// The JSON library's integer view of a number: the fraction is dropped.
int integer_of(const cJSON *object, const char *key) {
  return find_item(object, key, cJSON_IsNumber, "a number")->valueint;
}

// An element count: a whole number from 1 to `limit`; a fraction is never
// silently cut.
int count_of(const cJSON *object, const char *key, int limit) {
  const double value = number_of(object, key);
  if (!(value >= 1 && value <= limit && value == std::floor(value)))
    refuse("key \"%s\" must be a whole number from 1 to %d (is %.17g)", key, limit, value);
  return static_cast<int>(value);
}

const char *text_of(const cJSON *object, const char *key) {
  return find_item(object, key, cJSON_IsString, "a string")->valuestring;
}

const cJSON *object_of(const cJSON *object, const char *key) {
  return find_item(object, key, cJSON_IsObject, "an object");
}

// Keys match without regard to case, so a key given twice in any spelling
// is ambiguous; the lookup would silently take the first.
void refuse_duplicate_keys(const cJSON *object) {
  std::set<std::string> seen;
  for (const cJSON *item = object->child; item != nullptr; item = item->next) {
    if (item->string != nullptr) {
      std::string key = item->string;
      for (char &c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (!seen.insert(key).second) refuse("key \"%s\" is given twice", echo(item->string).c_str());
    }
    if (cJSON_IsObject(item) || cJSON_IsArray(item)) refuse_duplicate_keys(item);
  }
}

void parse_document(const char *text, std::size_t length, probe_description *probe,
                    probe_error *error, bool verbose) {
  const char *end = nullptr;
  cJSON *json = cJSON_ParseWithOpts(text, &end, 0);
  if (json == nullptr) {
    error->parse_error = true;
    const char *at = cJSON_GetErrorPtr();
    snprintf(error->context, sizeof error->context, "%s", echo(at != nullptr ? at : "").c_str());
    refuse("the text is not valid JSON");
  }
  probe->document = json;
  while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') end++;
  if (*end != '\0') refuse("text follows the JSON object: \"%s\"", echo(end).c_str());
  if (static_cast<std::size_t>(end - text) != length)
    refuse("the file holds a zero byte after the JSON object");
  if (!cJSON_IsObject(json)) refuse("the text is not a JSON object");
  refuse_duplicate_keys(json);
  if (verbose) fprintf(stderr, "array size %d\n", cJSON_GetArraySize(json));
  probe->no_elements = count_of(json, "no_elements", kMaxElements);
  probe->no_sub_x = count_of(json, "no_sub_x", kMaxSubElements);
  probe->no_sub_y = count_of(json, "no_sub_y", kMaxSubElements);
  if (verbose)
    fprintf(stderr, "elements %d subX %d subY %d\n", probe->no_elements, probe->no_sub_x,
            probe->no_sub_y);
  probe->width = number_of(json, "width");
  if (verbose) fprintf(stderr, "width %f\n", probe->width);
  probe->height = number_of(json, "height");
  probe->kerf = number_of(json, "kerf");
  probe->Rconvex = number_of(json, "Rconvex");
  probe->Rfocus = number_of(json, "Rfocus");
  probe->convex_radius = number_of(json, "convex_radius");
  probe->elv_focus = number_of(json, "elv_focus");
  probe->pitch = number_of(json, "pitch");
  probe->fractionalBandwidth = number_of(json, "fractionalBandwidth");
  probe->centerFrequency = number_of(json, "centerFrequency");
  if (verbose) fprintf(stderr, "type %s\n", text_of(json, "probe_type"));
  const cJSON *commands = object_of(json, "commands");
  probe->th = text_of(commands, "Th");
  if (verbose) fprintf(stderr, "Th command %s\n", probe->th);
  if (verbose)
    fprintf(stderr, "impulse response command %s\n", text_of(commands, "impulseResponse"));
  const cJSON *impulse = object_of(json, "impulse_response");
  probe->f0 = integer_of(impulse, "f0");
  probe->phase = integer_of(impulse, "phase");
  probe->bw = integer_of(impulse, "bw");
  probe->wavetype = text_of(impulse, "wavetype");
  if (verbose) {
    fprintf(stderr, "f0 %f phase %f bw %f\n", probe->f0, probe->phase, probe->bw);
    fprintf(stderr, "wavetype %s\n", probe->wavetype);
  }
}

// Which constructors the "Th" text names (case-sensitive substring tests;
// the convex array wins over the multi-row array, as in build_aperture).
struct Constructors {
  bool concave, convex, multirow;
};

Constructors named_constructors(const char *th) {
  Constructors named{};
  named.concave = strstr(th, "xdc_concave") != nullptr;
  named.convex = strstr(th, "xdc_convex_focused_array") != nullptr;
  named.multirow = !named.convex && strstr(th, "xdc_focused_multirow") != nullptr;
  return named;
}

void require_positive(const char *key, double value) {
  if (!(std::isfinite(value) && value > 0))
    refuse("key \"%s\" must be a finite number above 0 (is %g)", key, value);
}

void check_geometry(const probe_description &p, const Constructors &named) {
  if (!named.convex && !named.multirow) return;  // the concave disc has fixed sizes
  require_positive("width", p.width);
  require_positive("height", p.height);
  if (!(std::isfinite(p.kerf) && p.kerf >= 0))
    refuse("key \"kerf\" must be a finite number of 0 or more (is %g)", p.kerf);
  require_positive("Rfocus", p.Rfocus);
  if (!(p.Rfocus >= p.height / 2))
    refuse("key \"Rfocus\" (%g m) must be at least half of \"height\" (%g m)", p.Rfocus, p.height);
  const std::int64_t rectangles =
      static_cast<std::int64_t>(p.no_elements) * p.no_sub_x * p.no_sub_y;
  if (rectangles > kMaxRectangles)
    refuse("keys \"no_elements\", \"no_sub_x\" and \"no_sub_y\" give %lld rectangles; at most %lld",
           static_cast<long long>(rectangles), static_cast<long long>(kMaxRectangles));
  if (!named.convex) return;
  require_positive("Rconvex", p.Rconvex);
  if (!(p.width < p.Rconvex))
    refuse("key \"width\" (%g m) must be below \"Rconvex\" (%g m)", p.width, p.Rconvex);
  if (!(p.kerf < p.Rconvex))
    refuse("key \"kerf\" (%g m) must be below \"Rconvex\" (%g m)", p.kerf, p.Rconvex);
  const double arc = p.no_elements * std::asin(p.width / p.Rconvex) +
                     (p.no_elements - 1) * std::asin(p.kerf / p.Rconvex);
  if (!(arc <= M_PI))
    refuse(
        "keys \"no_elements\", \"width\", \"kerf\" and \"Rconvex\" give an arc of %g degrees; "
        "at most 180",
        arc * 180 / M_PI);
  // The elevation curve recedes by its sagitta; the convex radius must
  // exceed it, or the face would turn inside out.
  const double sagitta = p.Rfocus - std::sqrt(p.Rfocus * p.Rfocus - p.height * p.height / 4);
  if (!(p.Rconvex > sagitta))
    refuse(
        "key \"Rconvex\" (%g m) must exceed the elevation sagitta of \"height\" and \"Rfocus\" "
        "(%g m)",
        p.Rconvex, sagitta);
}

void check_pulse(const probe_description &probe, std::int32_t fs, std::int64_t max_samples) {
  require_positive("centerFrequency", probe.centerFrequency);
  require_positive("fractionalBandwidth", probe.fractionalBandwidth);
  const std::int64_t samples =
      gaussPulseLength(probe.fractionalBandwidth, probe.centerFrequency, fs);
  if (samples < 0 || samples > max_samples)
    refuse(
        "keys \"centerFrequency\" (%g Hz) and \"fractionalBandwidth\" (%g) give a Gaussian pulse "
        "of %s%lld samples at %d Hz; at most %lld",
        probe.centerFrequency, probe.fractionalBandwidth, samples < 0 ? "more than " : "",
        static_cast<long long>(samples < 0 ? INT64_MAX : samples), fs,
        static_cast<long long>(max_samples));
}

void fill_error(probe_error *error, const std::string &what) {
  snprintf(error->text, sizeof error->text, "%s", what.c_str());
}

}  // namespace

bool parse_probe(const char *text, std::size_t length, probe_description *probe, probe_error *error,
                 bool verbose) {
  *probe = probe_description{};
  *error = probe_error{};
  try {
    // The JSON parser reads to a zero byte: a copy guarantees one, whatever
    // the caller's buffer holds after `length` bytes.
    const std::string terminated(text, length);
    parse_document(terminated.c_str(), length, probe, error, verbose);
    return true;
  } catch (const ProbeFault &fault) {
    fill_error(error, fault.what);
    cJSON_Delete(probe->document);
    *probe = probe_description{};
    return false;
  }
}

bool check_probe(const probe_description &probe, std::int32_t fs, std::int64_t max_samples,
                 probe_error *error) {
  *error = probe_error{};
  try {
    check_geometry(probe, named_constructors(probe.th));
    check_pulse(probe, fs, max_samples);
    return true;
  } catch (const ProbeFault &fault) {
    fill_error(error, fault.what);
    return false;
  }
}

probe_description read_probe(const char *path, bool verbose) {
  std::size_t length = 0;
  char *text = read_whole_file(path, &length);
  probe_description probe{};
  probe_error error{};
  const bool parsed = parse_probe(text, length, &probe, &error, verbose);
  free(text);  // the document holds copies of every text it needs
  if (!parsed) {
    if (error.parse_error) {
      printf("Error before: [%s]\n", error.context);
      fflush(stdout);  // keep it ahead of the line on standard error
    }
    probe_failure(path, error.text);
  }
  return probe;
}

namespace {

constexpr int kExciteCycles = 50;  // periods of the sine-burst excitation
constexpr double kTwoPi = 6.283185307179586;

[[noreturn]] void run_failure(const char *what) {
  fprintf(stderr, "%s\n", what);
  exit(1);
}

// Builds the aperture the "Th" text names (a case-sensitive substring test).
// When two names match, both are built and the later one is used.
aperture *build_aperture(sys_con *sys, const probe_description &probe, const run_params &params,
                         bool verbose) {
  aperture *ap = nullptr;
  if (strstr(probe.th, "xdc_concave") != nullptr) {
    fprintf(stderr, "calling xdc_concave\n");
    ap = xdc_concave(sys, 0.0095, 0.038, 0.0005);
  }
  if (strstr(probe.th, "xdc_convex_focused_array") != nullptr) {
    fprintf(stderr, "calling xdc_convex_focused_array\n");
    ap = xdc_convex_focused_array(sys, probe.no_elements, probe.width, probe.height, probe.kerf,
                                  probe.Rconvex, probe.Rfocus, probe.no_sub_x, probe.no_sub_y,
                                  params.focus);
    if (verbose)
      fprintf(stderr, "from xdc_focused_multirow got info: %s %s\n", ap->name, ap->created);
  } else if (strstr(probe.th, "xdc_focused_multirow") != nullptr) {
    fprintf(stderr, "calling xdc_focused_multirow\n");
    const double heights[1] = {probe.height};
    ap = xdc_focused_multirow(sys, probe.no_elements, probe.width, 1, heights, probe.kerf,
                              probe.kerf, probe.Rfocus, probe.no_sub_x, probe.no_sub_y,
                              params.focus);
  }
  if (ap == nullptr) {
    fprintf(stderr, "unknown aperture command\n");
    fprintf(stderr,
            "probe description ./c52Fixed.json: \"Th\" names no known aperture (\"%s\"); use "
            "xdc_convex_focused_array, xdc_focused_multirow or xdc_concave\n",
            echo(probe.th).c_str());
    exit(1);
  }
  return ap;
}

void switch_on_attenuation(sys_con *sys, const run_params &params, double excite_freq) {
  const double per_hertz = params.alpha * 100 / 1000000;  // dB/(cm MHz) to dB/(m Hz)
  set_sonvar(sys, "att", per_hertz * excite_freq);
  set_sonvar(sys, "Freq_att", per_hertz);
  set_sonvar(sys, "att_f0", excite_freq);
  set_sonvar(sys, "use_att", 1.0);
}

}  // namespace

signal_rec *sineBurst(sys_con *sys, double excite_freq, double step_size) {
  const double steps = kExciteCycles / excite_freq / step_size;
  if (!(steps >= 0.5 && steps < 2147483647.0)) {
    fprintf(stderr,
            "the excitation of %d periods at %g Hz sampled every %g s has no usable length\n",
            kExciteCycles, excite_freq, step_size);
    exit(1);
  }
  const int num_steps = static_cast<int>(roundf(static_cast<float>(steps)));
  signal_rec *burst = alloc_signal(sys, num_steps, 0);
  fprintf(stderr, "setting excitationPulse; numSteps %d\n", num_steps);
  burst->values[0] = 0;
  for (int i = 1; i < num_steps; i++)
    burst->values[i] = std::sin(i * (excite_freq * kTwoPi) * step_size);
  return burst;
}

int dynaSonvar(int thread_hint, int no_points, run_params params) {
  sys_con *sys = sonvar_init(-1);
  const mesh_node *nodes = params.nodes;
  if (kVerbose) {
    fprintf(stderr, "sampling frequency %d\n", params.fs);
    fprintf(stderr, "alpha %f\n", params.alpha);
    fprintf(stderr, "fnum %f\n", params.fnum);
    fprintf(stderr, "frequency %f\n", params.frequency);
    fprintf(stderr, "points %f %f %f\n", nodes[0].x, nodes[0].y, nodes[0].z);
  }
  for (int k = 0; k < 20; k++)
    fprintf(stderr, "points %f %f %f\n", nodes[k].x, nodes[k].y, nodes[k].z);
  set_sonvar(sys, "c", static_cast<double>(params.c));
  set_sonvar(sys, "fs", static_cast<double>(params.fs));
  set_sonvar(sys, "threads", static_cast<double>(params.threads));
  if (kVerbose)
    fprintf(stderr, "PARALLEL THREADS: %d param threads %d\n", thread_hint, params.threads);
  const probe_description probe = read_probe(kProbePath, kVerbose);
  probe_error error{};
  if (!check_probe(probe, params.fs, sys->max_samples, &error))
    probe_failure(kProbePath, error.text);
  aperture *ap = build_aperture(sys, probe, params, kVerbose);
  // The pulse is kept but not attached: the aperture keeps the one-sample
  // impulse response its constructor gave it.
  int pulse_samples = 0;
  double *pulse = gaussPulse(kVerbose, probe.fractionalBandwidth, probe.centerFrequency, params,
                             &pulse_samples);
  if (kVerbose && pulse_samples >= 3)
    fprintf(stderr, "impulse response %f %f %f\n", pulse[0], pulse[1], pulse[2]);
  if (kVerbose) fprintf(stderr, "num apertures from sys_con %d\n", sys->no_apertures);
  const int64_t table_size = xdc_get_size(sys, ap, 1);
  params.info = static_cast<double *>(calloc(static_cast<size_t>(table_size) + 1, sizeof(double)));
  if (params.info == nullptr) run_failure("couldn't allocate space for the rectangle table");
  xdc_get(sys, ap, 1, params.info);

  const double excite_freq = params.frequency * 1000000;
  const double step_size = 1.0 / params.fs;
  fprintf(stderr, "params.frequency %f exciteFreq %f stepSize %g\n", params.frequency, excite_freq,
          step_size);
  signal_rec *burst = sineBurst(sys, excite_freq, step_size);
  fprintf(stderr, "calling excitation\n");
  fprintf(stderr, "got %d %d\n", ap->excitation->in_use, ap->excitation->no_samples);
  xdc_excitation(sys, ap, burst);
  fprintf(stderr, "back from excitation\n");
  fprintf(stderr, "got %d %d\n", ap->excitation->in_use, ap->excitation->no_samples);

  switch_on_attenuation(sys, params, excite_freq);
  fprintf(stderr, "calling calc_hp; numNodes %d\n", no_points);
  sonvar_info(sys);
  fflush(stdout);
  point3 *points = static_cast<point3 *>(calloc(static_cast<size_t>(no_points), sizeof(point3)));
  if (points == nullptr) run_failure("couldn't allocate space for the field points");
  for (int k = 0; k < no_points; k++) points[k] = point3{nodes[k].x, nodes[k].y, nodes[k].z};
  signal_rec **field = calc_function_parallel(sys, 2, ap, ap, no_points, points);
  // Everything stays in memory until the process ends.
  return fprintf(stderr, "done with calc_hp; num samples at 0 %d\n", field[0]->no_samples);
}
