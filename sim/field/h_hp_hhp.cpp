// h_hp_hhp.cpp - the field calculations calc_h, calc_hp and calc_hhp: one
// signal per field point.
#include <algorithm>
#include <cstdint>

#include "field/calculation.h"
#include "field/point_field.h"
#include "field/progress.h"
#include "dispatch/scratch_block.h"
#include "general/checks.h"
#include "general/memory.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// A field result is formed in a transform buffer a power of two long, up to
// twice its samples. The caller keeps one per point, so the array is cut to
// the samples (the bytes charged to the pool fall with it): hp of many
// points then holds about the size of its samples, and the freed buffer is
// warm memory for the next point's transform.
void fit_to_samples(sys_con *sys, signal_rec *result) {
  const int n = result->no_samples;
  if (result->capacity - n <= n / 8) return;  // too little to gain for a copy
  double *values =
      alloc_signal_values(sys, static_cast<std::uint64_t>(n), "the samples of a field result");
  std::copy(result->values, result->values + n, values);
  {
    MutexGuard guard(&sys->signal_mutex);
    sys->signal_bytes -= 8 * (static_cast<std::int64_t>(result->capacity) - n);
  }
  free_memory(sys, result->values);
  result->values = values;
  result->capacity = n;
  result->bytes = 8 * (static_cast<std::int64_t>(n) + 6);
}

// One signal per point of `quantity`, after the checks, with its kind in
// last_calc_type; hp and hhp results are cut to their samples.
signal_rec **field_signals(sys_con *sys, const char *call, int quantity, aperture *transmit,
                           aperture *receive, int n, const point3 *points) {
  check_calculation(sys, call, transmit, receive, n, points, nullptr, false);
  store_relaxed(&sys->last_calc_type, quantity - SONVAR_CALC_H + SONVAR_LAST_H);
  signal_rec **result = new_result_array(sys, n);
  PointField field = start_point_field(sys, call, quantity, transmit, receive, nullptr, n);
  signal_rec *pulse = quantity_pulse(sys, quantity, transmit, receive);
  field.pulse = pulse;
  ProgressClock clock;
  for (int i = 0; i < n; i++) {
    result[i] = point_signal(&field, i, points[i]);
    if (pulse != nullptr) fit_to_samples(sys, result[i]);
    clock.point_done(sys, i, n);
  }
  display_final_time(sys, clock.start);
  // The block, then the pulse, then its spectra, in the order they have
  // always gone back to the pool.
  free_memory_block(sys, field.block);
  release_if_present(sys, pulse);
  field.spectra.release(sys);
  return result;
}

}  // namespace

SONVAR_CALL signal_rec **calc_h(sys_con *sys, aperture *ap, int n, const point3 *points) try {
  SONVAR_ENTER_CALCULATION(sys);
  return field_signals(sys, __func__, SONVAR_CALC_H, ap, ap, n, points);
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec **calc_hp(sys_con *sys, aperture *ap, int n, const point3 *points) try {
  SONVAR_ENTER_CALCULATION(sys);
  return field_signals(sys, __func__, SONVAR_CALC_HP, ap, ap, n, points);
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec **calc_hhp(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                  const point3 *points) try {
  SONVAR_ENTER_CALCULATION(sys);
  return field_signals(sys, __func__, SONVAR_CALC_HHP, transmit, receive, n, points);
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
