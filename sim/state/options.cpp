// options.cpp - set_sonvar and sonvar_get_option: the named options of a
// state (state/option_table.cpp), their checks and their texts.
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "general/failure.h"
#include "general/messages.h"
#include "state/host.h"
#include "state/option_table.h"

namespace sonvar {

namespace {

// Refuses a value outside the range of an option whose range set_sonvar
// checks: a value outside it would make every later calculation meaningless
// (a negative speed of sound gives responses before t = 0, a NaN attenuation
// NaN samples).
void check_option_value(sys_con *sys, const sonvar_option &option, double value) {
  if (!option.refused_outside) return;
  const char *name = option.name;
  if (option.kind == SONVAR_OPTION_INTEGER) {
    if (!(value >= option.minimum && value <= option.maximum && value == std::floor(value)))
      fail(sys, "set_sonvar: %s %g must be a whole number from %.0f to %.0f", name, value,
           option.minimum, option.maximum);
    return;
  }
  const char *space = option.unit[0] != '\0' ? " " : "";
  if (std::isinf(option.minimum)) {
    if (!std::isfinite(value))
      fail(sys, "set_sonvar: %s %g%s%s must be finite", name, value, space, option.unit);
    return;
  }
  const bool above = option.minimum_excluded != 0;
  if (!(std::isfinite(value) && (value > 0 || (!above && value == 0))))
    fail(sys, "set_sonvar: %s %g%s%s must be finite and %s", name, value, space, option.unit,
         above ? "above 0" : "0 or more");
}

// The option's name in lower case, cut to a buffer that no option name
// fills: a longer name can match no option and is reported cut.
struct LowerName {
  static constexpr std::size_t kBuffer = 1024;
  char text[kBuffer];
  bool too_long;
  explicit LowerName(const char *name) {
    const std::size_t length = strnlen(name, kBuffer);
    too_long = length >= kBuffer;
    const std::size_t kept = too_long ? kBuffer - 1 : length;
    for (std::size_t i = 0; i < kept; i++)
      text[i] = static_cast<char>(tolower(static_cast<unsigned char>(name[i])));
    text[kept] = '\0';
  }
  const OptionEntry *entry() const { return too_long ? nullptr : find_option(text); }
};

[[noreturn]] void unknown_option(sys_con *sys, const char *lower) {
  std::string text;
  append_formatted(&text, "Trying to set option: %s \n", lower);
  text += "Fatal error: Error: Option not found in program \n";
  fail_text(sys, text);
}

}  // namespace

SONVAR_CALL void set_sonvar(sys_con *sys, const char *name, double value) try {
  SONVAR_ENTER(sys);
  const LowerName lower(name);
  if (sys->debug) {
    std::string line;
    append_formatted(&line, "Setting option %s in program to %10.4f \n", lower.text, value);
    print_message(sys, line.c_str());
  }
  const OptionEntry *entry = lower.entry();
  if (entry == nullptr) unknown_option(sys, lower.text);
  check_option_value(sys, entry->info, value);
  entry->store(sys, value);
  if (entry->after != nullptr) entry->after(sys);
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL double sonvar_get_option(sys_con *sys, const char *name) try {
  SONVAR_ENTER(sys);
  const LowerName lower(name);
  const OptionEntry *entry = lower.entry();
  if (entry == nullptr) fail(sys, "sonvar_get_option: unknown option %s", lower.text);
  return entry->read(sys);
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
