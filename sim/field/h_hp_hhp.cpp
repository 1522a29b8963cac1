// h_hp_hhp.cpp - the field calculations calc_h, calc_hp and calc_hhp: one
// signal per field point.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "field/attenuation.h"
#include "field/calculation.h"
#include "field/point_response.h"
#include "field/progress.h"
#include "field/pulse.h"
#include "general/checks.h"
#include "general/memory.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// h with the frequency-dependent attenuation: the response filtered through
// its own spectrum, kept at the full transform length, with one more 1/fs.
signal_rec *attenuated_h(sys_con *sys, signal_rec *R) {
  signal_rec *F = Find_FFT(sys, R, Find_N(R->no_samples, 0));
  signal_rec *A = Attenuate_pulse(sys, R, &F, R->start_sample, R->no_samples, 0);
  signal_rec *result = Inverse_FFT(A, A->no_samples);
  const double scale = 1 / sys->fs;
  for (int j = 0; j < result->no_samples; j++) result->values[j] *= scale;
  free_signal(sys, R);
  free_signal(sys, F);
  return result;
}

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

// The start of a field calculation: the checks, its kind in
// last_calc_type, the array of n results and the scratch block
// (`excitations`: the elements' own excitations applied).
struct FieldStart {
  signal_rec **result;
  calc_memory_block *block;
};
FieldStart begin_field(sys_con *sys, const char *call, int kind, aperture *transmit,
                       aperture *receive, int n, const point3 *points, bool excitations) {
  check_calculation(sys, call, transmit, receive, n, points, nullptr, false);
  store_relaxed(&sys->last_calc_type, kind);
  signal_rec **result = new_result_array(sys, n);
  return {result, new_block(sys, transmit, receive, excitations)};
}

// The result at point i (p) from the point's response: (response *
// pulse)/fs, checked and cut to its samples.
signal_rec *pulse_result(sys_con *sys, const char *call, signal_rec *response, signal_rec *pulse,
                         PulseSpectra *spectra, int i, point3 p) {
  signal_rec *result = convolve_with_pulse(sys, response, pulse, spectra);
  check_finite_result(sys, call, result, i, p);
  fit_to_samples(sys, result);
  return result;
}

}  // namespace

SONVAR_CALL signal_rec **calc_h(sys_con *sys, aperture *ap, int n, const point3 *points) try {
  SONVAR_ENTER_CALCULATION(sys);
  const auto [result, block] = begin_field(sys, __func__, SONVAR_LAST_H, ap, ap, n, points, false);
  ProgressClock clock;
  for (int i = 0; i < n; i++) {
    signal_rec *R = calc_response_mem(sys, block, ap, points[i].x, points[i].y, points[i].z);
    result[i] = (sys->use_att && R != nullptr) ? attenuated_h(sys, R) : R;
    check_finite_result(sys, __func__, result[i], i, points[i]);
    clock.point_done(sys, i, n);
  }
  free_memory_block(sys, block);
  display_final_time(sys, clock.start);
  return result;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec **calc_hp(sys_con *sys, aperture *ap, int n, const point3 *points) try {
  SONVAR_ENTER_CALCULATION(sys);
  const auto [result, block] = begin_field(sys, __func__, SONVAR_LAST_HP, ap, ap, n, points, true);
  signal_rec *pulse = emitted_pulse(sys, ap);
  PulseSpectra spectra;
  ProgressClock clock;
  for (int i = 0; i < n; i++) {
    signal_rec *R = calc_response_mem(sys, block, ap, points[i].x, points[i].y, points[i].z);
    result[i] = pulse_result(sys, __func__, R, pulse, &spectra, i, points[i]);
    release_if_present(sys, R);
    clock.point_done(sys, i, n);
  }
  end_calculation(sys, clock, block, pulse);
  spectra.release(sys);
  return result;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec **calc_hhp(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                  const point3 *points) try {
  SONVAR_ENTER_CALCULATION(sys);
  const auto [result, block] =
      begin_field(sys, __func__, SONVAR_LAST_HHP, transmit, receive, n, points, true);
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  PulseSpectra spectra;
  const bool shared = transmit == receive;
  ProgressClock clock;
  for (int i = 0; i < n; i++) {
    const point3 p = points[i];
    signal_rec *Rt = calc_response_mem(sys, block, transmit, p.x, p.y, p.z);
    signal_rec *Rr = shared ? Rt : calc_response_mem(sys, block, receive, p.x, p.y, p.z);
    // The pulse-echo response needs both paths: one missing, nothing returns.
    signal_rec *Q = (Rt != nullptr && Rr != nullptr) ? fast_convolute(sys, Rt, Rr) : nullptr;
    result[i] = pulse_result(sys, __func__, Q, pulse, &spectra, i, p);
    release_if_present(sys, Q);
    release_if_present(sys, Rt);
    if (!shared) release_if_present(sys, Rr);
    clock.point_done(sys, i, n);
  }
  end_calculation(sys, clock, block, pulse);
  spectra.release(sys);
  return result;
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
