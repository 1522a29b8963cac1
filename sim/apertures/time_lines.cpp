// time_lines.cpp - the focus and apodization time lines of an aperture:
// their entries, their release, and the calls that replace them
// (xdc_focus, xdc_dynamic_focus, xdc_center_focus, xdc_focus_times,
// xdc_apodization, xdc_dynamic_apodization).
#include <cmath>
#include <cstring>
#include <vector>

#include "apertures/time_lines.h"
#include "base/points.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

// Links `entry` into a time line. The first entry always stays first; any
// other goes after the last entry behind the first whose time is smaller,
// which puts it before entries of the same time.
template <typename Entry>
void link_entry(Entry **line, Entry *entry, int16_t *fixed_flag, int16_t flag_when_alone) {
  if (*line == nullptr) {
    *line = entry;
    *fixed_flag = flag_when_alone;
    return;
  }
  *fixed_flag = 0;
  Entry *prev = *line;
  while (prev->next != nullptr && entry->time > prev->next->time) prev = prev->next;
  entry->next = prev->next;
  prev->next = entry;
}

}  // namespace

void subtract_delay(int count, double *values, int quantize, double step, double reference) {
  // A step of zero or less has no multiples to round to; it means no
  // quantization rather than NaN delays.
  const bool rounded = quantize != 0 && step > 0;
  for (int i = 0; i < count; i++) {
    const double delay = reference - values[i];
    values[i] = rounded ? std::floor(delay / step + 0.5) * step : delay;
  }
}

void insert_focus(sys_con *sys, aperture *ap, int dynamic, double time, double angle_zx,
                  double angle_zy, point3 point) {
  focus_entry *entry = alloc_array<focus_entry>(sys, 1, "a focus entry");
  entry->time = time;
  entry->dynamic = dynamic ? 1 : 0;
  entry->next = nullptr;
  if (dynamic) {
    entry->angle_zx = angle_zx;
    entry->angle_zy = angle_zy;
  } else {
    entry->point = point;
    entry->delays = alloc_array<double>(sys, ap->no_elements, "focus delays");
    for (int i = 0; i < ap->no_elements; i++)
      entry->delays[i] = distance(ap->elements[i].center, point) / sys->c;
    const double reference = distance(ap->focus_reference, point) / sys->c;
    subtract_delay(ap->no_elements, entry->delays, ap->quantize_delays, ap->quantization,
                   reference);
  }
  link_entry(&ap->focus_line, entry, &ap->fixed_focus, static_cast<int16_t>(dynamic ? 0 : 1));
}

void insert_focus_times(sys_con *sys, aperture *ap, double *delays, double time) {
  focus_entry *entry = alloc_array<focus_entry>(sys, 1, "a focus entry");
  entry->time = time;
  entry->dynamic = 0;
  entry->delays = delays;
  entry->next = nullptr;
  link_entry(&ap->focus_line, entry, &ap->fixed_focus, static_cast<int16_t>(1));
}

void insert_apodization(sys_con *sys, aperture *ap, double *values, double time) {
  apodization_entry *entry = alloc_array<apodization_entry>(sys, 1, "an apodization entry");
  entry->time = time;
  entry->values = values;
  entry->next = nullptr;
  link_entry(&ap->apodization_line, entry, &ap->fixed_apodization, static_cast<int16_t>(1));
}

namespace {

// Releases a time line; arrays listed in `keep` (handed back in by the
// caller of a replacing call) are left alone because the new line takes
// them over.
template <typename Entry>
void release_line(sys_con *sys, Entry **line, double *Entry::*array,
                  const std::vector<double *> &keep) {
  Entry *entry = *line;
  while (entry != nullptr) {
    Entry *next = entry->next;
    bool kept = false;
    for (double *k : keep) kept = kept || k == entry->*array;
    if (!kept) free_memory(sys, entry->*array);
    free_memory(sys, entry);
    entry = next;
  }
  *line = nullptr;
}

// The arrays a replacing call hands over, each once: an array given twice
// is copied for its later entries so that every entry owns its own array.
std::vector<double *> owned_arrays(sys_con *sys, int count, double **arrays, int length,
                                   const char *what) {
  std::vector<double *> owned;
  for (int i = 0; i < count; i++) {
    double *array = arrays[i];
    for (int j = 0; j < i; j++)
      if (arrays[j] == arrays[i]) {
        array = alloc_array<double>(sys, length, what);
        if (length > 0) std::memcpy(array, arrays[i], length * sizeof(double));
        break;
      }
    owned.push_back(array);
  }
  return owned;
}

// The per-element arrays of a time line.
template <typename Entry>
std::vector<double *> line_arrays(const Entry *entry, double *Entry::*array,
                                  std::vector<double *> more = {}) {
  for (; entry != nullptr; entry = entry->next) more.push_back(entry->*array);
  return more;
}

}  // namespace

// An array that a caller handed to both time lines is released with the
// last line that holds it, so that it is never released twice.
void free_focus_time_line(sys_con *sys, aperture *ap) {
  allocating(sys, "the list of time-line arrays", [&] {
    release_line(sys, &ap->focus_line, &focus_entry::delays,
                 line_arrays(ap->apodization_line, &apodization_entry::values));
  });
}

void free_apodization_time_line(sys_con *sys, aperture *ap) {
  allocating(sys, "the list of time-line arrays", [&] {
    release_line(sys, &ap->apodization_line, &apodization_entry::values,
                 line_arrays(ap->focus_line, &focus_entry::delays));
  });
}

namespace {

// The values the time-line calls take over: times and every per-element
// value finite, no array missing; checked before anything changes hands.
void require_line_values(sys_con *sys, const char *call, const aperture *ap, int count,
                         const double *times, double *const *arrays, const char *what) {
  check_aperture(sys, call, ap);
  if (count < 0) fail(sys, "%s: count %d is negative", call, count);
  if (count > 0 && (times == nullptr || arrays == nullptr))
    fail(sys, "%s: times or %s are NULL for %d entries", call, what, count);
  for (int i = 0; i < count; i++) {
    if (!std::isfinite(times[i]))
      fail(sys, "%s: time %d is %g s; it must be finite", call, i, times[i]);
    if (arrays[i] == nullptr) fail(sys, "%s: %s of entry %d are NULL", call, what, i);
    for (int e = 0; e < ap->no_elements; e++)
      if (!std::isfinite(arrays[i][e]))
        fail(sys, "%s: %s of entry %d, element %d, is %g; it must be finite", call, what, i, e + 1,
             arrays[i][e]);
  }
}

}  // namespace

SONVAR_CALL void xdc_focus(sys_con *sys, aperture *ap, int count, const double *times,
                           const point3 *points) try {
  SONVAR_ENTER(sys);
  check_aperture(sys, "xdc_focus", ap);
  check_state(sys, "xdc_focus");
  if (count < 0) fail(sys, "xdc_focus: count %d is negative", count);
  if (count > 0 && (times == nullptr || points == nullptr))
    fail(sys, "xdc_focus: times or points are NULL for %d entries", count);
  for (int i = 0; i < count; i++) {
    require_finite(sys, "xdc_focus", "time", times[i]);
    require_finite_point(sys, "xdc_focus", "focus point", points[i]);
  }
  free_focus_time_line(sys, ap);
  for (int i = 0; i < count; i++) insert_focus(sys, ap, 0, times[i], 0.0, 0.0, points[i]);
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL void xdc_dynamic_focus(sys_con *sys, aperture *ap, double time, double angle_zx,
                                   double angle_zy) try {
  SONVAR_ENTER(sys);
  check_aperture(sys, "xdc_dynamic_focus", ap);
  require_finite(sys, "xdc_dynamic_focus", "time", time);
  require_finite(sys, "xdc_dynamic_focus", "angle_zx", angle_zx);
  require_finite(sys, "xdc_dynamic_focus", "angle_zy", angle_zy);
  free_focus_time_line(sys, ap);
  insert_focus(sys, ap, 1, time, angle_zx, angle_zy, point3{0.0, 0.0, 0.0});
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL void xdc_center_focus(sys_con *sys, aperture *ap, point3 point) {
  check_aperture(sys, "xdc_center_focus", ap);
  require_finite_point(sys, "xdc_center_focus", "point", point);
  ap->focus_reference = point;
}

namespace {

// Replaces the focus line (focus: the arrays are delays) or the
// apodization line (values, and dynamic apodization off) by `count` entries
// that take the caller's arrays over; an array given twice is copied for its
// later entries, and the arrays the other line holds stay with it.
void replace_time_line(sys_con *sys, const char *call, aperture *ap, int count, const double *times,
                       double **arrays, bool focus) {
  require_line_values(sys, call, ap, count, times, arrays, focus ? "delays" : "values");
  allocating(sys, focus ? "the focus time line" : "the apodization time line", [&] {
    const std::vector<double *> owned = owned_arrays(sys, count, arrays, ap->no_elements,
                                                     focus ? "focus delays" : "apodization values");
    if (focus) {
      release_line(sys, &ap->focus_line, &focus_entry::delays,
                   line_arrays(ap->apodization_line, &apodization_entry::values, owned));
    } else {
      release_line(sys, &ap->apodization_line, &apodization_entry::values,
                   line_arrays(ap->focus_line, &focus_entry::delays, owned));
      ap->dynamic_apodization = 0;
    }
    for (int i = 0; i < count; i++) {
      if (focus)
        insert_focus_times(sys, ap, owned[i], times[i]);
      else
        insert_apodization(sys, ap, owned[i], times[i]);
    }
  });
}

}  // namespace

SONVAR_CALL void xdc_focus_times(sys_con *sys, aperture *ap, int count, const double *times,
                                 double **delays) try {
  SONVAR_ENTER(sys);
  replace_time_line(sys, __func__, ap, count, times, delays, true);
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL void xdc_apodization(sys_con *sys, aperture *ap, int count, const double *times,
                                 double **values) try {
  SONVAR_ENTER(sys);
  replace_time_line(sys, __func__, ap, count, times, values, false);
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL void xdc_dynamic_apodization(sys_con *sys, aperture *ap, int window_kind,
                                         double f_number, point3 reference, point3 direction) {
  const char *call = "xdc_dynamic_apodization";
  check_aperture(sys, call, ap);
  if (!(std::isfinite(f_number) && f_number > 0))
    fail(sys, "%s: f_number %g must be finite and above 0", call, f_number);
  require_finite_point(sys, call, "reference", reference);
  require_finite_point(sys, call, "direction", direction);
  ap->fixed_apodization = 0;
  ap->dynamic_apodization = 1;
  ap->apod_reference = reference;
  ap->apod_direction = direction;
  ap->f_number = f_number;
  ap->apod_window = window_kind;
}

}  // namespace sonvar
