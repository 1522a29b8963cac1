// progress.h - the progress and timing report of a calculation
// (progress.cpp).
#ifndef SONVAR_FIELD_PROGRESS_H
#define SONVAR_FIELD_PROGRESS_H

#include <cstdint>
#include <ctime>

#include "sonvar.h"
#include "state/host.h"

namespace sonvar {

/* Progress after point i (from 0) of n, only when show_times is on: writes
 * the current time into *current, prints the one-time estimate of the whole
 * calculation's duration and, every time_interval seconds, the share done and
 * the remaining time (lines end in a carriage return). The caller keeps
 * t_start, *current, *last_shown (initially t_start) and *estimate_shown
 * (initially 0) per calculation. */
void display_calculation_time(sys_con *sys, time_t t_start, time_t *current, time_t *last_shown,
                              int *estimate_shown, std::int64_t i, std::int64_t n);

/* The same with the clock reading `now` given by the caller. */
void display_calculation_time_at(sys_con *sys, time_t now, time_t t_start, time_t *current,
                                 time_t *last_shown, int *estimate_shown, std::int64_t i,
                                 std::int64_t n);

/* Prints the time a calculation used, when show_times is on and it took
 * more than a second. */
void display_final_time(sys_con *sys, time_t t_start);

/* The same with the clock reading `now` given by the caller. */
void display_final_time_at(sys_con *sys, time_t now, time_t t_start);

// Clock readings of one calculation's progress report. A point done is also
// where a calculation stops when the host has asked it to
// (sonvar_set_interrupt).
struct ProgressClock {
  time_t start = time(nullptr);
  time_t current = start;
  time_t last_shown = start;
  int estimate_shown = 0;
  void point_done(sys_con *sys, std::int64_t i, std::int64_t n) {
    stop_if_interrupted(sys);
    display_calculation_time(sys, start, &current, &last_shown, &estimate_shown, i, n);
  }
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_PROGRESS_H
