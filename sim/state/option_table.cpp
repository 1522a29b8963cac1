// option_table.cpp - the one table of the state's named options: what each
// means, its kind, default and valid range (what hosts read through
// sonvar_option_at), and how set_sonvar stores it and sonvar_get_option
// reads it back.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "general/messages.h"
#include "state/host.h"
#include "state/option_table.h"

namespace sonvar {

namespace {

// floor(value + 0.5) as a 32-bit integer: NaN counts as 0 and values beyond
// the int32 range are clamped (a cast of such a double is undefined).
int32_t rounded(double value) {
  const double r = std::floor(value + 0.5);
  if (std::isnan(r)) return 0;
  if (r >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (r <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  return static_cast<int32_t>(r);
}

// An int16 option keeps the low 16 bits of the rounded value.
int16_t rounded16(double value) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(rounded(value))));
}

template <double sys_con::*Field>
void store_real(sys_con *sys, double value) {
  sys->*Field = value;
}

template <int16_t sys_con::*Field>
void store_rounded16(sys_con *sys, double value) {
  sys->*Field = rounded16(value);
}

// A switch of two values: any rounded value but 0 is on.
template <int16_t sys_con::*Field>
void store_switch(sys_con *sys, double value) {
  sys->*Field = rounded16(value) != 0 ? 1 : 0;
}

template <auto Field>
double read_field(const sys_con *sys) {
  return static_cast<double>(sys->*Field);
}

void store_use_att(sys_con *sys, double value) {
  sys->use_att = value != 0.0 ? 1 : 0;  // NaN != 0 holds: NaN switches it on
}

void store_threads(sys_con *sys, double value) {
  const int32_t threads = rounded(value);
  sys->threads = threads <= 0 ? 1 : threads;
}

void store_show_times(sys_con *sys, double value) {
  const int32_t r = rounded(value);
  sys->show_times = r > 0 ? 1 : 0;
  sys->time_interval = (sys->show_times == 1 && r > 2) ? r : 5;
}

void store_max_samples(sys_con *sys, double value) {
  sys->max_samples = static_cast<int64_t>(value);
}

// Choosing one kind of mathematical element clears the other two.
void only_rectangles(sys_con *sys) {
  if (sys->use_rectangles != 0) sys->use_lines = sys->use_triangles = 0;
}
void only_triangles(sys_con *sys) {
  if (sys->use_triangles != 0) sys->use_lines = sys->use_rectangles = 0;
}
void only_lines(sys_con *sys) {
  if (sys->use_lines != 0) sys->use_triangles = sys->use_rectangles = 0;
}

void warn_about_pulses(sys_con *sys) {
  if (sys->quiet == 0)
    print_message(sys,
                  "Warning:  Remember to set all pulses in apertures for the new sampling "
                  "frequency\n");
}

constexpr double kNone = HUGE_VAL;
constexpr double kThreadsMost = 1024;

// Entries a kind: a flag {0, 1}, a real range, an integer range.
constexpr sonvar_option flag(const char *name, double default_value, const char *text) {
  return {name, SONVAR_OPTION_FLAG, default_value, 0, 1, 0, 0, "", text};
}
constexpr sonvar_option real(const char *name, double default_value, double minimum, int excluded,
                             const char *unit, const char *text) {
  return {name, SONVAR_OPTION_REAL, default_value, minimum, kNone, excluded, 1, unit, text};
}

const OptionEntry kOptions[] = {
    {flag("use_rectangles", 1,
          "New apertures are made of rectangles (setting it clears use_triangles and "
          "use_lines)."),
     store_rounded16<&sys_con::use_rectangles>, only_rectangles,
     read_field<&sys_con::use_rectangles>},
    {flag("use_triangles", 0,
          "New apertures are converted to triangles (setting it clears use_rectangles and "
          "use_lines)."),
     store_rounded16<&sys_con::use_triangles>, only_triangles, read_field<&sys_con::use_triangles>},
    {flag("use_lines", 0,
          "New apertures are converted to elements bounded by lines (setting it clears "
          "use_rectangles and use_triangles)."),
     store_rounded16<&sys_con::use_lines>, only_lines, read_field<&sys_con::use_lines>},
    {flag("accurate_time_calc", 0,
          "Rectangles use the accurate calculation of their arrival times instead of the "
          "far-field approximation."),
     store_rounded16<&sys_con::accurate_time_calc>, nullptr,
     read_field<&sys_con::accurate_time_calc>},
    {flag("fast_integration", 0, "Triangles and line elements use the fast integration."),
     store_rounded16<&sys_con::fast_integration>, nullptr, read_field<&sys_con::fast_integration>},
    {flag("exact_integration", 0,
          "Triangle and line responses are the exact sample means of h, line elements on the "
          "absolute sampling grid (docs/accuracy.md)."),
     store_switch<&sys_con::exact_integration>, nullptr, read_field<&sys_con::exact_integration>},
    {flag("band_limited", 0,
          "Rectangle responses are sampled through a band-limiting kernel instead of as interval "
          "means, so that echoes move continuously with a point (docs/accuracy.md)."),
     store_switch<&sys_con::band_limited>, nullptr, read_field<&sys_con::band_limited>},
    {flag("focus_at_point", 0,
          "A dynamic focus lies at the field point's own distance from the focus reference, the "
          "same for all elements."),
     store_switch<&sys_con::focus_at_point>, nullptr, read_field<&sys_con::focus_at_point>},
    {real("c", 1540.0, 0, 1, "m/s", "Speed of sound."), store_real<&sys_con::c>, nullptr,
     read_field<&sys_con::c>},
    {real("fs", 100e6, 0, 1, "Hz",
          "Sampling frequency; set it before giving apertures their pulses."),
     store_real<&sys_con::fs>, warn_about_pulses, read_field<&sys_con::fs>},
    {flag("use_att", 0, "Calculations apply the attenuation."), store_use_att, nullptr,
     read_field<&sys_con::use_att>},
    {real("att", 0.0, 0, 0, "dB/m", "Frequency-independent attenuation."),
     store_real<&sys_con::att>, nullptr, read_field<&sys_con::att>},
    {real("freq_att", 0.0, 0, 0, "dB/(m Hz)",
          "Frequency-dependent attenuation (0.5 dB/(cm MHz) is 50e-6)."),
     store_real<&sys_con::freq_att>, nullptr, read_field<&sys_con::freq_att>},
    {real("att_f0", 0.0, 0, 0, "Hz", "Centre frequency of the frequency-dependent attenuation."),
     store_real<&sys_con::att_f0>, nullptr, read_field<&sys_con::att_f0>},
    {real("tau_m", 20.0, -kNone, 0, "", "Constant tau_m of the attenuation's dispersion."),
     store_real<&sys_con::tau_m>, nullptr, read_field<&sys_con::tau_m>},
    {real("z", 1540000.0, 0, 1, "kg/(m^2 s)", "Characteristic acoustic impedance."),
     store_real<&sys_con::z>, nullptr, read_field<&sys_con::z>},
    {real("bdiva", 5.2, -kNone, 0, "", "Non-linearity parameter B/A."), store_real<&sys_con::bdiva>,
     nullptr, read_field<&sys_con::bdiva>},
    {real("dz", 0.0005, 0, 1, "m", "Propagation step of non-linear imaging."),
     store_real<&sys_con::dz>, nullptr, read_field<&sys_con::dz>},
    {flag("debug", 0, "Print the library's debug lines."), store_rounded16<&sys_con::debug>,
     nullptr, read_field<&sys_con::debug>},
    {{"show_times", SONVAR_OPTION_INTEGER, 1, 0, INT32_MAX, 0, 0, "s",
      "Progress report of the calculations: 0 off, 1 or 2 every 5 s, more: every that many "
      "seconds (reads back as 0 or 1)."},
     store_show_times,
     nullptr,
     read_field<&sys_con::show_times>},
    {{"threads", SONVAR_OPTION_INTEGER, 4, 1, kThreadsMost, 0, 0, "",
      "Worker threads of the parallel calculations (set_sonvar takes values below 1 as 1)."},
     store_threads,
     nullptr,
     read_field<&sys_con::threads>},
    {{"max_samples", SONVAR_OPTION_INTEGER, SONVAR_DEFAULT_MAX_SAMPLES, SONVAR_MIN_MAX_SAMPLES,
      SONVAR_LARGEST_MAX_SAMPLES, 0, 1, "samples",
      "Longest response, signal or transform a calculation may need."},
     store_max_samples,
     nullptr,
     read_field<&sys_con::max_samples>},
};

constexpr int kCount = static_cast<int>(sizeof kOptions / sizeof kOptions[0]);

}  // namespace

const OptionEntry *find_option(const char *name) {
  for (const OptionEntry &entry : kOptions)
    if (strcmp(name, entry.info.name) == 0) return &entry;
  return nullptr;
}

void write_option_defaults(sys_con *sys) {
  for (const OptionEntry &entry : kOptions) entry.store(sys, entry.info.default_value);
}

SONVAR_CALL int sonvar_option_count(void) {
  return kCount;
}

SONVAR_CALL const sonvar_option *sonvar_option_at(int index) {
  return index >= 0 && index < kCount ? &kOptions[index].info : nullptr;
}

}  // namespace sonvar
