// options.cpp - set_sonvar: the named options of a state, their ranges and
// the rounding of the integer ones.
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "general/failure.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

// The physical range of the double options: a value outside it would make
// every later calculation meaningless (a negative speed of sound gives
// responses before t = 0, a NaN attenuation NaN samples), so it is refused
// when it is set.
struct OptionRange {
  const char *key;
  const char *unit;
  bool zero_allowed;  // false: above 0; true: 0 or more
  bool any_sign;      // only finiteness is required
};

constexpr OptionRange kRanges[] = {
    {"c", "m/s", false, false},        {"fs", "Hz", false, false},
    {"att", "dB/m", true, false},      {"freq_att", "dB/(m Hz)", true, false},
    {"att_f0", "Hz", true, false},     {"tau_m", "", true, true},
    {"z", "kg/(m^2 s)", false, false}, {"dz", "m", false, false},
    {"bdiva", "", true, true}};

void check_option_value(sys_con *sys, const char *name, double value) {
  for (const OptionRange &range : kRanges) {
    if (strcmp(name, range.key) != 0) continue;
    const char *space = range.unit[0] != '\0' ? " " : "";
    if (range.any_sign && !std::isfinite(value))
      fail(sys, "set_sonvar: %s %g%s%s must be finite", name, value, space, range.unit);
    if (!range.any_sign &&
        !(std::isfinite(value) && (value > 0 || (range.zero_allowed && value == 0))))
      fail(sys, "set_sonvar: %s %g%s%s must be finite and %s", name, value, space, range.unit,
           range.zero_allowed ? "0 or more" : "above 0");
    return;
  }
  if (strcmp(name, "max_samples") == 0 &&
      !(value >= SONVAR_MIN_MAX_SAMPLES && value <= SONVAR_LARGEST_MAX_SAMPLES &&
        value == std::floor(value)))
    fail(sys, "set_sonvar: max_samples %g must be a whole number from %d to %d", value,
         SONVAR_MIN_MAX_SAMPLES, SONVAR_LARGEST_MAX_SAMPLES);
}

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

void set_show_times(sys_con *sys, double value) {
  const int32_t r = rounded(value);
  sys->show_times = r > 0 ? 1 : 0;
  sys->time_interval = (sys->show_times == 1 && r > 2) ? r : 5;
}

// Sets a double or integer option; returns false when the name is unknown.
bool set_named_option(sys_con *sys, const char *name, double value) {
  struct DoubleOption {
    const char *key;
    double sys_con::*field;
  };
  static constexpr DoubleOption kPlain[] = {
      {"att", &sys_con::att},       {"freq_att", &sys_con::freq_att},
      {"att_f0", &sys_con::att_f0}, {"tau_m", &sys_con::tau_m},
      {"z", &sys_con::z},           {"dz", &sys_con::dz},
      {"bdiva", &sys_con::bdiva}};
  if (strcmp(name, "use_att") == 0) {
    sys->use_att = value != 0.0 ? 1 : 0;  // NaN != 0 holds: NaN switches it on
    return true;
  }
  for (const DoubleOption &option : kPlain)
    if (strcmp(name, option.key) == 0) {
      sys->*option.field = value;
      return true;
    }
  if (strcmp(name, "debug") == 0) {
    sys->debug = rounded16(value);
  } else if (strcmp(name, "threads") == 0) {
    const int32_t threads = rounded(value);
    sys->threads = threads <= 0 ? 1 : threads;
  } else if (strcmp(name, "accurate_time_calc") == 0) {
    sys->accurate_time_calc = rounded16(value);
  } else if (strcmp(name, "fast_integration") == 0) {
    sys->fast_integration = rounded16(value);
  } else if (strcmp(name, "exact_integration") == 0) {
    sys->exact_integration = rounded16(value) != 0 ? 1 : 0;
  } else if (strcmp(name, "focus_at_point") == 0) {
    sys->focus_at_point = rounded16(value) != 0 ? 1 : 0;
  } else if (strcmp(name, "show_times") == 0) {
    set_show_times(sys, value);
  } else if (strcmp(name, "use_rectangles") == 0) {
    sys->use_rectangles = rounded16(value);
    if (sys->use_rectangles != 0) sys->use_lines = sys->use_triangles = 0;
  } else if (strcmp(name, "use_triangles") == 0) {
    sys->use_triangles = rounded16(value);
    if (sys->use_triangles != 0) sys->use_lines = sys->use_rectangles = 0;
  } else if (strcmp(name, "use_lines") == 0) {
    sys->use_lines = rounded16(value);
    if (sys->use_lines != 0) sys->use_triangles = sys->use_rectangles = 0;
  } else if (strcmp(name, "max_samples") == 0) {
    sys->max_samples = static_cast<int64_t>(value);
  } else if (strcmp(name, "c") == 0) {
    sys->c = value;
  } else if (strcmp(name, "fs") == 0) {
    sys->fs = value;
    if (sys->quiet == 0)
      print_message(sys,
                    "Warning:  Remember to set all pulses in apertures for the new sampling "
                    "frequency\n");
  } else {
    return false;
  }
  return true;
}

}  // namespace

SONVAR_CALL void set_sonvar(sys_con *sys, const char *name, double value) try {
  SONVAR_ENTER(sys);
  constexpr std::size_t kNameBuffer = 1024;
  char lower[kNameBuffer];
  const std::size_t length = strnlen(name, kNameBuffer);
  // A name that does not fit the buffer can match no option; it is reported
  // (cut to the buffer) as unknown instead of overflowing it.
  const bool too_long = length >= kNameBuffer;
  const std::size_t kept = too_long ? kNameBuffer - 1 : length;
  for (std::size_t i = 0; i < kept; i++)
    lower[i] = static_cast<char>(tolower(static_cast<unsigned char>(name[i])));
  lower[kept] = '\0';
  if (sys->debug) {
    std::string line;
    append_formatted(&line, "Setting option %s in program to %10.4f \n", lower, value);
    print_message(sys, line.c_str());
  }
  if (!too_long) check_option_value(sys, lower, value);
  if (!too_long && set_named_option(sys, lower, value)) return;
  std::string text;
  append_formatted(&text, "Trying to set option: %s \n", lower);
  text += "Fatal error: Error: Option not found in program \n";
  fail_text(sys, text);
}
SONVAR_LEAVE_VOID(sys)

}  // namespace sonvar
