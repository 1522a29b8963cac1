// progress.cpp - the progress and timing report of the field and
// scattering calculations, printed only when show_times is on.
#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>

#include "field/progress.h"
#include "general/messages.h"

namespace sonvar {

namespace {

constexpr std::size_t kProgressLine = 256;
constexpr std::size_t kFinalLine = 128;

// A duration in hours, minutes and seconds, for the hours formats.
struct HoursSplit {
  double hours, minutes, seconds;
};

// The split of a duration of more than an hour (seconds), or nothing.
std::optional<HoursSplit> in_hours(double total) {
  if (!(total > 3600)) return std::nullopt;
  const double hours = std::floor(total / 3600);
  const double minutes = std::floor((total - 3600 * hours) / 60);
  const double seconds = total - 60 * std::floor(total / 60);
  return HoursSplit{hours, minutes, seconds};
}

void print_estimate(sys_con *sys, double total) {
  if (const std::optional<HoursSplit> split = in_hours(total)) {
    print_formatted(sys, kProgressLine,
                    "Calculation will take roughly %3.0f hours, %2.0f minutes %2.0f "
                    "seconds to complete%26s\n",
                    split->hours, split->minutes, split->seconds, "");
  } else {
    const double minutes = std::floor(total / 60);
    print_formatted(sys, kProgressLine,
                    "Calculation will take roughly %3.0f minutes %2.0f seconds to complete%39s\n",
                    minutes, total - 60 * minutes, "");
  }
}

void print_progress(sys_con *sys, double percent, double remaining) {
  if (const std::optional<HoursSplit> split = in_hours(remaining)) {
    print_formatted(sys, kProgressLine,
                    "%6.1f %% performed (roughly %3.0f hours, %2.0f minutes %2.0f seconds "
                    "remaining)\r",
                    percent, split->hours, split->minutes, split->seconds);
  } else if (remaining > 60) {
    const double minutes = std::floor(remaining / 60);
    print_formatted(sys, kProgressLine,
                    "%6.1f %% performed (roughly %2.0f minutes %2.0f seconds remaining)%15s\r",
                    percent, minutes, remaining - 60 * minutes, "");
  } else {
    print_formatted(sys, kProgressLine,
                    "%6.1f %% performed (roughly %2.0f seconds remaining)%29s\r", percent,
                    remaining, "");
  }
}

}  // namespace

void display_calculation_time_at(sys_con *sys, time_t now, time_t t_start, time_t *current,
                                 time_t *last_shown, int *estimate_shown, std::int64_t i,
                                 std::int64_t n) {
  if (!sys->show_times) return;
  *current = now;
  const time_t elapsed = now - t_start;
  const double per_point = static_cast<double>(elapsed) / (i + 1);
  const double remaining = (n - i - 1) * per_point;
  if (elapsed > 30 && *estimate_shown == 0 && remaining > 30.0) {
    print_estimate(sys, per_point * n);
    *estimate_shown = 1;
  }
  if (now - *last_shown > sys->time_interval) {
    print_progress(sys, static_cast<double>(i + 1) / n * 100, remaining);
    *last_shown = now;
  }
}

void display_calculation_time(sys_con *sys, time_t t_start, time_t *current, time_t *last_shown,
                              int *estimate_shown, std::int64_t i, std::int64_t n) {
  if (!sys->show_times) return;
  display_calculation_time_at(sys, time(nullptr), t_start, current, last_shown, estimate_shown, i,
                              n);
}

void display_final_time_at(sys_con *sys, time_t now, time_t t_start) {
  if (!sys->show_times) return;
  const double used = static_cast<double>(now - t_start);
  if (!(used > 1)) return;
  if (const std::optional<HoursSplit> split = in_hours(used)) {
    print_formatted(sys, kFinalLine,
                    " %3.0f hours, %2.0f minutes %2.0f seconds used for the "
                    "calculation%27s\n",
                    split->hours, split->minutes, split->seconds, "");
  } else if (used > 60) {
    const double minutes = std::floor(used / 60);
    print_formatted(sys, kFinalLine, "%2.0f minutes %2.0f seconds used for the calculation%27s\n",
                    minutes, used - 60 * minutes, "");
  } else {
    print_formatted(sys, kFinalLine, "%2.0f seconds used for the calculation%27s\n", used, "");
  }
}

void display_final_time(sys_con *sys, time_t t_start) {
  if (!sys->show_times) return;
  display_final_time_at(sys, time(nullptr), t_start);
}

}  // namespace sonvar
