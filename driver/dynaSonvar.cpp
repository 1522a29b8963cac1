// dynaSonvar.cpp - the run routine of the driver: creates the simulator
// state, sets its options and reads the probe description.
#include <cjson/cJSON.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doroRivo.h"

const char *const kProbePath = "./c52Fixed.json";

namespace {

// The verbose trace is compiled in but switched off.
constexpr bool kVerbose = false;

[[noreturn]] void probe_failure(const char *path, const char *what) {
  fprintf(stderr, "probe description %s: %s\n", path, what);
  exit(1);
}

// Reads the whole file in binary mode into a zero-terminated buffer.
char *read_whole_file(const char *path) {
  FILE *file = fopen(path, "rb");
  if (file == nullptr) probe_failure(path, "cannot open the file");
  long length = -1;
  if (fseek(file, 0, SEEK_END) == 0) length = ftell(file);
  if (length < 0 || fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    probe_failure(path, "cannot read the file");
  }
  auto *text = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) probe_failure(path, "not enough memory to read the file");
  const size_t got = fread(text, 1, static_cast<size_t>(length), file);
  text[got] = '\0';
  fclose(file);
  return text;
}

// Looks a key up (without regard to case) and checks its JSON type.
const cJSON *find_item(const char *path, const cJSON *object, const char *key,
                       cJSON_bool (*is_kind)(const cJSON *), const char *kind) {
  const cJSON *item = cJSON_GetObjectItem(object, key);
  if (item == nullptr || !is_kind(item)) {
    char what[256];
    snprintf(what, sizeof what, "key \"%s\" is missing or is not %s", key, kind);
    probe_failure(path, what);
  }
  return item;
}

double number_of(const char *path, const cJSON *object, const char *key) {
  return find_item(path, object, key, cJSON_IsNumber, "a number")->valuedouble;
}

// The JSON library's integer view of a number: the fraction is dropped.
int integer_of(const char *path, const cJSON *object, const char *key) {
  return find_item(path, object, key, cJSON_IsNumber, "a number")->valueint;
}

const char *text_of(const char *path, const cJSON *object, const char *key) {
  return find_item(path, object, key, cJSON_IsString, "a string")->valuestring;
}

const cJSON *object_of(const char *path, const cJSON *object, const char *key) {
  return find_item(path, object, key, cJSON_IsObject, "an object");
}

}  // namespace

probe_description read_probe(const char *path, bool verbose) {
  char *text = read_whole_file(path);
  cJSON *json = cJSON_Parse(text);
  if (json == nullptr) {
    printf("Error before: [%s]\n", cJSON_GetErrorPtr());
    fflush(stdout);  // keep it ahead of the line on standard error
    probe_failure(path, "the text is not valid JSON");
  }
  free(text);  // the document holds copies of every text it needs
  if (!cJSON_IsObject(json)) probe_failure(path, "the text is not a JSON object");
  if (verbose) fprintf(stderr, "array size %d\n", cJSON_GetArraySize(json));
  probe_description probe{};
  probe.document = json;
  probe.no_elements = integer_of(path, json, "no_elements");
  probe.no_sub_x = integer_of(path, json, "no_sub_x");
  probe.no_sub_y = integer_of(path, json, "no_sub_y");
  if (verbose)
    fprintf(stderr, "elements %d subX %d subY %d\n", probe.no_elements, probe.no_sub_x,
            probe.no_sub_y);
  probe.width = number_of(path, json, "width");
  if (verbose) fprintf(stderr, "width %f\n", probe.width);
  probe.height = number_of(path, json, "height");
  probe.kerf = number_of(path, json, "kerf");
  probe.Rconvex = number_of(path, json, "Rconvex");
  probe.Rfocus = number_of(path, json, "Rfocus");
  probe.convex_radius = number_of(path, json, "convex_radius");
  probe.elv_focus = number_of(path, json, "elv_focus");
  probe.pitch = number_of(path, json, "pitch");
  probe.fractionalBandwidth = number_of(path, json, "fractionalBandwidth");
  probe.centerFrequency = number_of(path, json, "centerFrequency");
  if (verbose) fprintf(stderr, "type %s\n", text_of(path, json, "probe_type"));
  const cJSON *commands = object_of(path, json, "commands");
  probe.th = text_of(path, commands, "Th");
  if (verbose) fprintf(stderr, "Th command %s\n", probe.th);
  if (verbose)
    fprintf(stderr, "impulse response command %s\n", text_of(path, commands, "impulseResponse"));
  const cJSON *impulse = object_of(path, json, "impulse_response");
  probe.f0 = integer_of(path, impulse, "f0");
  probe.phase = integer_of(path, impulse, "phase");
  probe.bw = integer_of(path, impulse, "bw");
  probe.wavetype = text_of(path, impulse, "wavetype");
  if (verbose) {
    fprintf(stderr, "f0 %f phase %f bw %f\n", probe.f0, probe.phase, probe.bw);
    fprintf(stderr, "wavetype %s\n", probe.wavetype);
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

// The pulse needs a centre frequency and bandwidth above zero and a sample
// count that fits an int.
void check_pulse_values(const probe_description &probe, const run_params &params) {
  if (!(std::isfinite(probe.centerFrequency) && probe.centerFrequency > 0))
    run_failure("probe description ./c52Fixed.json: \"centerFrequency\" must be a number above 0");
  if (!(std::isfinite(probe.fractionalBandwidth) && probe.fractionalBandwidth > 0))
    run_failure(
        "probe description ./c52Fixed.json: \"fractionalBandwidth\" must be a number above 0");
  const int64_t samples =
      gaussPulseLength(probe.fractionalBandwidth, probe.centerFrequency, params.fs);
  if (samples < 0 || samples > INT32_MAX)
    run_failure("the Gaussian pulse of the probe description needs too many samples");
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
            probe.th);
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
  check_pulse_values(probe, params);
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
