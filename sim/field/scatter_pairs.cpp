// scatter_pairs.cpp - the all-pairs scattering calculation calc_scat_all:
// the decimated echo of every transmit element received by every receive
// element, each element unfocused and unapodized.
#include <climits>

#include "dispatch/scratch_block.h"
#include "field/attenuation.h"
#include "field/calculation.h"
#include "field/point_response.h"
#include "field/progress.h"
#include "field/pulse.h"
#include "field/scattering.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "pool/ledger.h"
#include "state/host.h"

namespace sonvar {

namespace {

// Per-scatterer element responses of calc_scat_all.
struct PairSignals {
  signal_rec **T;   // transmit element responses
  signal_rec **R;   // receive element responses (T itself for one aperture)
  signal_rec **TP;  // (T * pulse)/fs, without attenuation
};

void element_responses(sys_con *sys, calc_memory_block *block, aperture *ap, point3 p,
                       signal_rec **out) {
  for (int e = 0; e < ap->no_elements; e++) {
    block->element_index = e;
    out[e] = calc_response_mem(sys, block, ap, p.x, p.y, p.z);
  }
}

// The decimated echo of transmit element t received by element r, times
// scale; NULL when either element has no response.
signal_rec *pair_echo(sys_con *sys, const PairSignals &s, int t, int r, signal_rec *pulse,
                      PulseSpectra *spectra, int D, double scale) {
  if (s.T[t] == nullptr || s.R[r] == nullptr) return nullptr;
  if (!sys->use_att) return Convolve_decimate(sys, s.R[r], s.TP[t], D, scale);
  // The spectrum of the length the pair's filter needs, so that it is
  // never renewed from one pair to the next.
  signal_rec **spectrum =
      spectra->attenuation(sys, pulse, 2 * s.T[t]->start_sample,
                           s.T[t]->no_samples + pulse->no_samples, s.R[r]->no_samples);
  signal_rec *A = attenuated_pulse(sys, s.T[t], s.R[r], pulse, spectrum);
  signal_rec *pair = Convolve_decimate(sys, s.R[r], A, D, scale);
  free_signal(sys, A);
  return pair;
}

void release_all(sys_con *sys, signal_rec **signals, int n) {
  for (int k = 0; k < n; k++) {
    release_if_present(sys, signals[k]);
    signals[k] = nullptr;
  }
}

}  // namespace

namespace {

// Adds the decimated echoes of one scatterer (amplitude a) of every element
// pair to sums, pair (t, r) at t * nr + r. The first scatterer of the whole
// calculation (`first`) computes every pair; the others of one shared
// aperture compute each pair once and add it to both of its slots (with
// attenuation the two directions differ slightly, so which scatterer is
// first stays what it has always been, whatever the leaves).
void add_pair_echoes(sys_con *sys, const PairSignals &s, int nt, int nr, bool shared, bool first,
                     signal_rec *pulse, PulseSpectra *spectra, int D, double a, signal_rec **sums) {
  for (int t = 0; t < nt; t++) {
    for (int r = (shared && !first) ? t : 0; r < nr; r++) {
      signal_rec **slot = &sums[static_cast<long>(t) * nr + r];
      if (first) {
        *slot = pair_echo(sys, s, t, r, pulse, spectra, D, a);
        continue;
      }
      signal_rec *pair = pair_echo(sys, s, t, r, pulse, spectra, D, 1.0);
      if (pair == nullptr) continue;
      if (shared && r > t) {
        // Reciprocity: the pair (t, r) is also the pair (r, t).
        signal_rec **mirror = &sums[static_cast<long>(r) * nr + t];
        *slot = sum_responses_decimated(sys, pair, *slot, D, 0, a);
        *mirror = sum_responses_decimated(sys, pair, *mirror, D, 1, a);
      } else {
        *slot = sum_responses_decimated(sys, pair, *slot, D, 1, a);
      }
    }
  }
}

int element_pairs(sys_con *sys, const aperture *transmit, const aperture *receive) {
  const long long pairs = static_cast<long long>(transmit->no_elements) * receive->no_elements;
  if (pairs > INT_MAX / 2)
    fail(sys, "calc_scat_all: %d x %d element pairs are too many", transmit->no_elements,
         receive->no_elements);
  return static_cast<int>(pairs);
}

}  // namespace

void calc_scat_all_order(sys_con *sys, int n, point3 *points, double *amplitudes) {
  if (n <= 10) return;
  sort_points(sys, n, points, amplitudes);
  swap_scatterers(points, amplitudes, 1, n - 1);
}

scatter_partials *pair_leaf_sums(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                 point3 *points, double *amplitudes, int D, int leaves, int first,
                                 int end) {
  const int nt = transmit->no_elements, nr = receive->no_elements;
  const bool shared = transmit == receive;
  auto *parts = alloc_array<scatter_partials>(sys, 1, "the partial scattering sums");
  parts->elements = element_pairs(sys, transmit, receive);
  PairSignals s{};
  s.T = new_result_array(sys, nt);
  s.R = shared ? s.T : new_result_array(sys, nr);
  s.TP = new_result_array(sys, nt);
  calc_memory_block *block = new_block(sys, transmit, receive, true);
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  PulseSpectra spectra;
  block->single_element = 1;
  block->no_delay = 1;
  ProgressClock clock;
  const int i0 = leaf_begin(n, leaves, first);
  const int count = leaf_end(n, leaves, end - 1) - i0;
  for (int leaf = first; leaf < end; leaf++) {
    signal_rec **sums = new_result_array(sys, parts->elements);
    for (int i = leaf_begin(n, leaves, leaf); i < leaf_end(n, leaves, leaf); i++) {
      amplitudes[i] /= sys->fs;
      element_responses(sys, block, transmit, points[i], s.T);
      if (!sys->use_att)
        for (int t = 0; t < nt; t++)
          s.TP[t] = s.T[t] ? fast_dft_convolute(
                                 sys, s.T[t], pulse,
                                 spectra.exact(sys, pulse,
                                               Find_N(s.T[t]->no_samples + pulse->no_samples, 0)))
                           : nullptr;
      if (!shared) element_responses(sys, block, receive, points[i], s.R);
      add_pair_echoes(sys, s, nt, nr, shared, i == 0, pulse, &spectra, D, amplitudes[i], sums);
      release_all(sys, s.T, nt);
      release_all(sys, s.TP, nt);
      if (!shared) release_all(sys, s.R, nr);
      clock.point_done(sys, i - i0, count);
    }
    push_node(sys, parts, 0, leaf, sums);
  }
  end_calculation(sys, clock, block, pulse);
  spectra.release(sys);
  free_memory(sys, s.T);
  if (!shared) free_memory(sys, s.R);
  free_memory(sys, s.TP);
  return parts;
}

signal_rec ***pair_finish(sys_con *sys, aperture *transmit, aperture *receive,
                          scatter_partials **shares, int count, int D) {
  const int nt = transmit->no_elements, nr = receive->no_elements;
  int pairs = 0;
  signal_rec **sums = scatter_merge(sys, shares, count, &pairs);
  signal_rec ***result =
      alloc_array<signal_rec **>(sys, nt > 0 ? nt : 1, "the element-pair results");
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  for (int t = 0; t < nt; t++) {
    result[t] = new_result_array(sys, nr);
    for (int r = 0; r < nr; r++) {
      result[t][r] = sums[static_cast<long>(t) * nr + r];
      // Pairs that never received an echo get zeros at the decimated rate.
      if (result[t][r] == nullptr) {
        result[t][r] = zeros_like(sys, pulse);
        result[t][r]->fs = sys->fs / D;
      }
    }
  }
  free_signal(sys, pulse);
  free_memory(sys, sums);
  return result;
}

SONVAR_CALL signal_rec ***calc_scat_all(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                        point3 *points, double *amplitudes, int D) try {
  SONVAR_ENTER_CALCULATION(sys);
  check_calculation(sys, "calc_scat_all", transmit, receive, n, points, amplitudes, true);
  if (D < 1) fail(sys, "calc_scat_all: the decimation factor must be 1 or more");
  calc_scat_all_order(sys, n, points, amplitudes);
  const int leaves = scatter_leaves(1);
  scatter_partials *parts =
      pair_leaf_sums(sys, transmit, receive, n, points, amplitudes, D, leaves, 0, leaves);
  return pair_finish(sys, transmit, receive, &parts, 1, D);
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
