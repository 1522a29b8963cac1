// dynaSonvar.cpp - the run routine of the driver: creates the simulator
// state, sets its options and reads the probe description.
#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>

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
  return probe;
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
  (void)probe;
  (void)no_points;
  return 0;
}
