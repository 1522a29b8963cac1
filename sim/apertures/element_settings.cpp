// element_settings.cpp - what is set per physical element after
// construction: the apodization and delay of its mathematical elements
// (ele_apodization, ele_delay), its own excitation (ele_waveform), and the
// aperture's impulse response and excitation (xdc_impulse, xdc_excitation).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

// What writing one physical element's values came to.
enum class SetResult { kDone, kTooFewValues, kNotFinite };

// Writes `values` into the apodization or delay of every mathematical
// element of one physical element (whichever kind it holds). Nothing is
// written when there are fewer values than mathematical elements, or when
// one of the values it would use is not finite (a NaN weight or delay would
// make every later response NaN).
SetResult set_sub_elements(physical_element &element, int no_values, const double *values,
                           bool delays) {
  auto apply = [&](auto *subs, int count) {
    if (count > no_values) return SetResult::kTooFewValues;
    for (int j = 0; j < count; j++)
      if (!std::isfinite(values[j])) return SetResult::kNotFinite;
    for (int j = 0; j < count; j++) (delays ? subs[j].delay : subs[j].apodization) = values[j];
    return SetResult::kDone;
  };
  if (element.no_rectangles > 0) return apply(element.rectangles, element.no_rectangles);
  if (element.no_triangles > 0) return apply(element.triangles, element.no_triangles);
  if (element.no_line_elements > 0) return apply(element.line_elements, element.no_line_elements);
  return SetResult::kDone;
}

void set_elements(aperture *ap, int count, const int *element_numbers, int no_values,
                  double **values, bool delays) {
  const char *what = delays ? "delay" : "apodization";
  if (ap == nullptr || (count > 0 && (element_numbers == nullptr || values == nullptr))) {
    printf(
        "Sonvar error: NULL aperture, element numbers or values when setting mathematical "
        "element %s\n",
        what);
    fflush(stdout);
    return;
  }
  for (int i = 0; i < count; i++) {
    const int n = element_numbers[i];
    std::string line;
    const SetResult result =
        (n <= 0 || n > ap->no_elements) ? SetResult::kDone
        : values[i] == nullptr
            ? SetResult::kTooFewValues
            : set_sub_elements(ap->elements[n - 1], no_values, values[i], delays);
    if (n <= 0 || n > ap->no_elements)
      append_formatted(
          &line, "Sonvar error: Illegal element number when setting mathematical element %s\n",
          what);
    else if (result == SetResult::kTooFewValues)
      append_formatted(&line, "Sonvar error: Not enough values to set mathematical element %s\n",
                       what);
    else if (result == SetResult::kNotFinite)
      append_formatted(&line,
                       "Sonvar error: Value that is not finite when setting mathematical "
                       "element %s of element %d\n",
                       what, n);
    // The call takes no state; the aperture names the one that made it.
    if (!line.empty()) print_message(ap->state, line.c_str());
  }
}

signal_rec *copy_signal(sys_con *sys, const signal_rec *signal) {
  signal_rec *copy = alloc_signal(sys, signal->no_samples, signal->start_sample);
  std::memcpy(copy->values, signal->values, signal->no_samples * sizeof(double));
  return copy;
}

// True when the aperture already owns `signal` somewhere.
bool owns_signal(const aperture *ap, const signal_rec *signal) {
  if (signal == ap->impulse_response || signal == ap->excitation) return true;
  for (int n = 0; n < ap->no_elements; n++)
    if (ap->elements[n].excitation == signal) return true;
  return false;
}

// Puts `signal` into `slot`: the aperture takes it over and gives its
// previous signal back to the pool. A signal that is already in the slot is
// kept; one the aperture owns elsewhere is copied, so that no signal is ever
// owned (and released) twice.
void hand_over_signal(sys_con *sys, aperture *ap, signal_rec **slot, signal_rec *signal,
                      const char *call) {
  check_aperture(sys, call, ap);
  if (signal == nullptr || signal->in_use == 0)
    fail(nullptr, "%s: the signal handed over is not in use (never allocated or already released)",
         call);
  for (int j = 0; j < signal->no_samples; j++)
    if (!std::isfinite(signal->values[j]))
      fail(sys, "%s: sample %d of the signal is %g; it must be finite", call, j, signal->values[j]);
  if (signal == *slot) return;
  signal_rec *taken = owns_signal(ap, signal) ? copy_signal(sys, signal) : signal;
  if (*slot != nullptr) free_signal(sys, *slot);
  *slot = taken;
}

}  // namespace

SONVAR_CALL void ele_apodization(aperture *ap, int count, const int *element_numbers, int no_values,
                                 double **values) {
  set_elements(ap, count, element_numbers, no_values, values, false);
}

SONVAR_CALL void ele_delay(aperture *ap, int count, const int *element_numbers, int no_values,
                           double **values) {
  set_elements(ap, count, element_numbers, no_values, values, true);
}

SONVAR_CALL void ele_waveform(sys_con *sys, aperture *ap, int count, const int *element_numbers,
                              int no_samples, double **samples) try {
  SONVAR_ENTER(sys);
  const char *call = "ele_waveform";
  check_aperture(sys, call, ap);
  if (count > 0 && (element_numbers == nullptr || samples == nullptr))
    fail(sys, "%s: element numbers or samples are NULL for %d elements", call, count);
  for (int i = 0; i < count; i++) {
    if (no_samples < 1 || no_samples > sys->max_samples)
      fail(sys, "%s: no_samples %d must be from 1 to max_samples %lld", call, no_samples,
           static_cast<long long>(sys->max_samples));
    if (samples[i] == nullptr) fail(sys, "%s: the samples of entry %d are NULL", call, i);
    for (int j = 0; j < no_samples; j++)
      if (!std::isfinite(samples[i][j]))
        fail(sys, "%s: sample %d of entry %d is %g; it must be finite", call, j, i, samples[i][j]);
  }
  for (int i = 0; i < count; i++) {
    const int n = element_numbers[i];
    if (n <= 0 || n > ap->no_elements) {
      print_message(
          sys, "Sonvar error: Illegal element number when setting physical element waveform\n");
      continue;
    }
    ap->individual_excitation = 1;
    physical_element &element = ap->elements[n - 1];
    if (element.excitation != nullptr) free_signal(sys, element.excitation);
    element.excitation = alloc_signal(sys, no_samples, 0);
    std::memcpy(element.excitation->values, samples[i], no_samples * sizeof(double));
    element.has_excitation = 1;
  }
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL void xdc_impulse(sys_con *sys, aperture *ap, signal_rec *signal) try {
  SONVAR_ENTER(sys);
  hand_over_signal(sys, ap, &ap->impulse_response, signal, "xdc_impulse");
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL void xdc_excitation(sys_con *sys, aperture *ap, signal_rec *signal) try {
  SONVAR_ENTER(sys);
  hand_over_signal(sys, ap, &ap->excitation, signal, "xdc_excitation");
}
SONVAR_LEAVE_VOID(sys)

}  // namespace sonvar
