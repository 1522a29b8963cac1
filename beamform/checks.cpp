// checks.cpp - every argument of a call checked, in the order the header
// lists them, and the plan of the call built from them. A failure names the
// argument ("argument: what is wrong") and leaves the image untouched.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "internal.h"

namespace sonvar_bf {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kMaxThreads = 1024;

[[noreturn]] void fail(const std::string &argument, const std::string &what,
                       int32_t code = SONVAR_BF_BAD_ARGUMENT) {
  throw Failure{code, argument + ": " + what};
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void require_finite(double value, const std::string &name) {
  if (!std::isfinite(value)) fail(name, "must be finite, got " + number(value));
}

void require_positive(double value, const std::string &name) {
  require_finite(value, name);
  if (!(value > 0)) fail(name, "must be above 0, got " + number(value));
}

void require_non_negative(double value, const std::string &name) {
  require_finite(value, name);
  if (value < 0) fail(name, "must be 0 or more, got " + number(value));
}

void require_flag(int32_t value, const std::string &name) {
  if (value != 0 && value != 1) fail(name, "must be 0 or 1, got " + std::to_string(value));
}

void require_values(const double *values, int64_t count, const std::string &name) {
  if (!values) fail(name, "missing");
  for (int64_t i = 0; i < count; i++)
    if (!std::isfinite(values[i]))
      fail(name, "value " + std::to_string(i) + " is not finite (" + number(values[i]) + ")");
}

void require_counts(const sonvar_bf_channel_data *data, const sonvar_bf_options &options) {
  if (!data) fail("data", "missing");
  require_flag(data->iq, "data.iq");
  const int64_t least = options.interpolation == SONVAR_BF_CUBIC ? 4 : 2;
  if (data->samples < least || data->samples > std::numeric_limits<int32_t>::max())
    fail("data.samples", "must lie from " + std::to_string(least) + " (" +
                             (least == 4 ? "cubic" : "linear") +
                             " interpolation) to 2^31 - 1, got " + std::to_string(data->samples));
  if (data->channels < 1) fail("data.channels", "must be 1 or more");
  if (data->transmits < 1) fail("data.transmits", "must be 1 or more");
  if (data->frames < 1) fail("data.frames", "must be 1 or more");
}

void require_options(const sonvar_bf_options &o) {
  require_positive(o.f_number, "f_number");
  require_non_negative(o.min_aperture, "min_aperture");
  require_non_negative(o.max_aperture, "max_aperture");
  if (o.max_aperture > 0 && o.max_aperture < o.min_aperture)
    fail("max_aperture", "must be 0 (no limit) or at least min_aperture (" +
                             number(o.min_aperture) + "), got " + number(o.max_aperture));
  if (o.window != SONVAR_BF_RECT && o.window != SONVAR_BF_HANNING && o.window != SONVAR_BF_TUKEY)
    fail("window", "must be SONVAR_BF_RECT, _HANNING or _TUKEY, got " + std::to_string(o.window));
  require_finite(o.tukey_alpha, "tukey_alpha");
  if (!(o.tukey_alpha > 0 && o.tukey_alpha <= 1))
    fail("tukey_alpha", "must lie in (0, 1], got " + number(o.tukey_alpha));
  if (o.interpolation != SONVAR_BF_LINEAR && o.interpolation != SONVAR_BF_CUBIC)
    fail("interpolation",
         "must be SONVAR_BF_LINEAR or SONVAR_BF_CUBIC, got " + std::to_string(o.interpolation));
  require_flag(o.compound, "compound");
  require_flag(o.transmit_apodization, "transmit_apodization");
  require_non_negative(o.transmit_margin, "transmit_margin");
  if (o.threads < 0 || o.threads > kMaxThreads)
    fail("threads", "must lie from 0 (one per processor) to " + std::to_string(kMaxThreads) +
                        ", got " + std::to_string(o.threads));
  const int32_t w = o.vector_width;
  if (w != SONVAR_BF_VECTOR_AUTO && w != SONVAR_BF_VECTOR_SCALAR && w != SONVAR_BF_VECTOR_4 &&
      w != SONVAR_BF_VECTOR_8)
    fail("vector_width", "must be 0, 1, 4 or 8, got " + std::to_string(w));
  if (w > widest_vector())
    fail("vector_width", std::to_string(w) + " lanes are not available here (at most " +
                             std::to_string(widest_vector()) + ")");
  require_non_negative(o.max_image_bytes, "max_image_bytes");
}

// The grid's kind and counts (its values are read once the image's size
// has been accepted).
void require_grid_shape(const sonvar_bf_grid *grid) {
  if (!grid) fail("grid", "missing");
  const int32_t kind = grid->kind;
  if (kind != SONVAR_BF_GRID_CARTESIAN && kind != SONVAR_BF_GRID_POLAR &&
      kind != SONVAR_BF_GRID_POINTS)
    fail("grid.kind",
         "must be SONVAR_BF_GRID_CARTESIAN, _POLAR or _POINTS, got " + std::to_string(kind));
  for (int i = 0; i < 3; i++)
    if (grid->count[i] < 1)
      fail("grid.count[" + std::to_string(i) + "]",
           "must be 1 or more, got " + std::to_string(grid->count[i]));
  if (kind == SONVAR_BF_GRID_POINTS) {
    if (grid->count[1] != 1 || grid->count[2] != 1)
      fail("grid.count", "a point grid must have count[1] = count[2] = 1");
    return;
  }
  // The product of the counts must stay countable; the image size check
  // says how large it may be.
  if (grid->count[0] > std::numeric_limits<int64_t>::max() / grid->count[1] ||
      grid->count[0] * grid->count[1] > std::numeric_limits<int64_t>::max() / grid->count[2])
    fail("grid.count", "too many pixels to count", SONVAR_BF_TOO_LARGE);
}

void require_grid_values(const sonvar_bf_grid *grid) {
  const int32_t kind = grid->kind;
  if (kind == SONVAR_BF_GRID_POINTS) {
    require_values(grid->points, 3 * grid->count[0], "grid.points");
    return;
  }
  static const char *const names[2][3] = {
      {"grid.axis[0] (x)", "grid.axis[1] (y)", "grid.axis[2] (z)"},
      {"grid.axis[0] (azimuth)", "grid.axis[1] (elevation)", "grid.axis[2] (radius)"}};
  const int polar = kind == SONVAR_BF_GRID_POLAR;
  for (int i = 0; i < 3; i++) {
    if (i == 1 && !grid->axis[1] && grid->count[1] == 1) continue;
    require_values(grid->axis[i], grid->count[i], names[polar][i]);
  }
  if (polar)
    for (int i = 0; i < 3; i++) require_finite(grid->apex[i], "grid.apex");
}

// The grid's pixels and the values of the whole image, refused beyond the
// memory limit with the size the image would need.
int64_t image_values(const sonvar_bf_channel_data *data, const sonvar_bf_grid *grid,
                     const sonvar_bf_options &options, int64_t *pixels_out) {
  const int64_t pixels = grid->count[0] * grid->count[1] * grid->count[2];
  const int64_t images = options.compound ? 1 : data->transmits;
  const int64_t per_value = data->iq ? 16 : 8;
  const long double bytes = static_cast<long double>(pixels) * images * data->frames * per_value;
  double limit = options.max_image_bytes;
  if (limit == 0)
    limit =
        static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
  if (bytes > limit || bytes > static_cast<long double>(std::numeric_limits<int64_t>::max() / 2)) {
    char text[400];
    std::snprintf(text, sizeof text,
                  "the image would need %.0Lf bytes (%lld pixels x %lld images x %lld frames x "
                  "%lld bytes), more than the limit of %.0f bytes",
                  bytes, static_cast<long long>(pixels), static_cast<long long>(images),
                  static_cast<long long>(data->frames), static_cast<long long>(per_value), limit);
    fail("grid", text, SONVAR_BF_TOO_LARGE);
  }
  if (pixels_out) *pixels_out = pixels;
  return static_cast<int64_t>(bytes) / 8;
}

void require_data_values(const sonvar_bf_channel_data *data, const Plan &plan) {
  if (!data->values) fail("data.values", "missing");
  const int64_t step = data->iq ? 2 : 1, per_sample = step;
  for (int64_t f = 0; f < plan.frames; f++)
    for (int64_t t = 0; t < plan.transmits; t++)
      for (int64_t c = 0; c < plan.channels; c++) {
        const double *trace = plan.values + f * plan.frame_stride + t * plan.transmit_stride +
                              c * plan.channel_stride;
        for (int64_t k = 0; k < plan.samples * per_sample; k++)
          if (!std::isfinite(trace[k]))
            fail("data.values", std::string("not finite (") + number(trace[k]) + ") at sample " +
                                    std::to_string(k / step) + ", channel " + std::to_string(c) +
                                    ", transmit " + std::to_string(t) + ", frame " +
                                    std::to_string(f));
      }
}

void require_probe(const sonvar_bf_probe *probe, int64_t channels) {
  if (!probe) fail("probe", "missing");
  if (probe->elements != channels)
    fail("probe.elements", std::to_string(probe->elements) + " elements for " +
                               std::to_string(channels) + " channels of data");
  require_values(probe->positions, 3 * probe->elements, "probe.positions");
  if (probe->theta) require_values(probe->theta, probe->elements, "probe.theta");
  if (probe->phi) require_values(probe->phi, probe->elements, "probe.phi");
}

void require_transmit(const sonvar_bf_transmit &t, int64_t elements, const std::string &name) {
  require_finite(t.delay, name + ".delay");
  if (t.apodization) require_values(t.apodization, elements, name + ".apodization");
  switch (t.kind) {
    case SONVAR_BF_PLANE:
      require_finite(t.azimuth, name + ".azimuth");
      require_finite(t.elevation, name + ".elevation");
      if (!(std::fabs(t.azimuth) < kPi / 2))
        fail(name + ".azimuth", "must lie within +-pi/2, got " + number(t.azimuth));
      if (!(std::fabs(t.elevation) < kPi / 2))
        fail(name + ".elevation", "must lie within +-pi/2, got " + number(t.elevation));
      return;
    case SONVAR_BF_DIVERGING:
    case SONVAR_BF_FOCUSED:
    case SONVAR_BF_ELEMENT:
      require_values(t.source, 3, name + ".source");
      if (t.kind == SONVAR_BF_DIVERGING && !(t.source[2] < 0))
        fail(name + ".source",
             "a diverging wave's virtual source must lie behind the array "
             "(z < 0), got z = " +
                 number(t.source[2]));
      if (t.kind == SONVAR_BF_FOCUSED && !(t.source[2] > 0))
        fail(name + ".source",
             "a focused wave's focus must lie in front of the array (z > 0), "
             "got z = " +
                 number(t.source[2]));
      return;
    case SONVAR_BF_CUSTOM: {
      require_values(t.delays, elements, name + ".delays");
      bool any = false;
      for (int64_t i = 0; i < elements; i++) any = any || !t.apodization || t.apodization[i] != 0;
      if (!any) fail(name + ".apodization", "no element fires");
      return;
    }
    default:
      fail(name + ".kind",
           "must be SONVAR_BF_PLANE, _DIVERGING, _FOCUSED, _ELEMENT or _CUSTOM, "
           "got " +
               std::to_string(t.kind));
  }
}

std::vector<Element> elements_of(const sonvar_bf_probe &probe, bool *flat, bool *two_d) {
  std::vector<Element> elements(static_cast<size_t>(probe.elements));
  double y_lo = std::numeric_limits<double>::infinity(), y_hi = -y_lo;
  *flat = true;
  for (size_t i = 0; i < elements.size(); i++) {
    const double *p = probe.positions + 3 * i;
    const double theta = probe.theta ? probe.theta[i] : 0.0, phi = probe.phi ? probe.phi[i] : 0.0;
    *flat = *flat && theta == 0 && phi == 0;
    const double st = std::sin(theta), ct = std::cos(theta), sp = std::sin(phi), cp = std::cos(phi);
    elements[i] =
        Element{p[0], p[1], p[2], ct, 0.0, -st, -st * sp, cp, -ct * sp, st * cp, sp, ct * cp};
    y_lo = std::min(y_lo, p[1]), y_hi = std::max(y_hi, p[1]);
  }
  *two_d = y_hi > y_lo;
  return elements;
}

// kLine, kPlane or kGeneral (see kernel.h).
int geometry_of(const Plan &plan) {
  bool same_y = true, same_z = true;
  for (const Element &e : plan.elements) {
    same_y = same_y && e.y == plan.elements[0].y;
    same_z = same_z && e.z == plan.elements[0].z;
  }
  if (!plan.flat || !same_z) return kGeneral;
  return same_y ? kLine : kPlane;
}

}  // namespace

sonvar_bf_options options_or_defaults(const sonvar_bf_options *options) {
  sonvar_bf_options o;
  sonvar_bf_default_options(&o);
  return options ? *options : o;
}

int64_t checked_image_values(const sonvar_bf_channel_data *data, const sonvar_bf_grid *grid,
                             const sonvar_bf_options &options) {
  require_options(options);
  require_counts(data, options);
  require_grid_shape(grid);
  return image_values(data, grid, options, nullptr);
}

Plan make_plan(const sonvar_bf_channel_data *data, const sonvar_bf_probe *probe,
               const sonvar_bf_transmit *transmits, const sonvar_bf_grid *grid,
               const sonvar_bf_options &options) {
  require_options(options);
  require_counts(data, options);
  Plan plan;
  plan.iq = data->iq != 0;
  plan.samples = static_cast<int32_t>(data->samples);
  plan.channels = data->channels, plan.transmits = data->transmits, plan.frames = data->frames;
  // Strides in doubles; 0 takes the packed layout.
  const int64_t step = plan.iq ? 2 : 1;
  const int64_t channel = data->channel_stride ? data->channel_stride : data->samples;
  const int64_t transmit = data->transmit_stride ? data->transmit_stride : channel * data->channels;
  const int64_t frame = data->frame_stride ? data->frame_stride : transmit * data->transmits;
  plan.channel_stride = channel * step, plan.transmit_stride = transmit * step;
  plan.frame_stride = frame * step;
  plan.values = data->values;
  require_positive(data->fs, "data.fs");
  require_finite(data->initial_time, "data.initial_time");
  require_positive(data->sound_speed, "data.sound_speed");
  if (plan.iq) require_non_negative(data->modulation_frequency, "data.modulation_frequency");
  plan.fs = data->fs, plan.initial_time = data->initial_time;
  plan.modulation_frequency = plan.iq ? data->modulation_frequency : 0.0;
  plan.sound_speed = data->sound_speed;
  require_probe(probe, data->channels);
  if (!transmits) fail("transmits", "missing");
  for (int64_t t = 0; t < data->transmits; t++)
    require_transmit(transmits[t], probe->elements, "transmits[" + std::to_string(t) + "]");
  require_grid_shape(grid);
  image_values(data, grid, options, &plan.pixels);
  require_grid_values(grid);
  require_data_values(data, plan);

  plan.elements = elements_of(*probe, &plan.flat, &plan.two_d);
  plan.geometry = geometry_of(plan);
  plan.grid = *grid;
  plan.compound = options.compound != 0;
  plan.images = plan.compound ? 1 : plan.transmits;
  plan.interpolation = options.interpolation;
  plan.aperture = Aperture{
      1 / (2 * options.f_number), options.min_aperture / 2,
      options.max_aperture > 0 ? options.max_aperture / 2 : std::numeric_limits<double>::infinity(),
      options.window, options.tukey_alpha};
  plan.threads = options.threads;
  plan.vector_width = options.vector_width ? options.vector_width : widest_vector();
  for (int64_t t = 0; t < data->transmits; t++)
    plan.transmit_plans.push_back(plan_transmit(
        plan, transmits[t], options.transmit_apodization != 0, options.transmit_margin));
  return plan;
}

}  // namespace sonvar_bf
