// dispatcher.cpp - the parallel dispatcher of the field and scattering
// calculations.
//
// The points are cut into contiguous chunks, one per worker; each worker runs
// the single-threaded calculation on its chunk with a scratch block of its
// own, and the calling thread joins the results after all workers are done.
// The summed and per-element scattering share out leaves instead, whose sums
// merge in leaf order whatever the thread count.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "dispatch/dispatcher.h"
#include "field/calculation.h"
#include "field/scattering.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

using WorkerEntry = void *(*)(void *);

// One split run: T workers over N points.
struct SplitRun {
  int T = 0;
  thread_work *work = nullptr;
  pthread_t *handles = nullptr;
  int *started = nullptr;  // 1 when the worker runs on a thread of its own
};

// Fills the worker records: q = N / T points each, the rest to the last.
SplitRun prepare_split(sys_con *sys, aperture *ap1, aperture *ap2, int N, point3 *points,
                       double *amplitudes, int dec_factor) {
  SplitRun run;
  run.T = sys->threads;
  run.work = alloc_array<thread_work>(sys, run.T, "the worker records");
  run.handles = alloc_array<pthread_t>(sys, run.T, "the worker thread handles");
  run.started = alloc_array<int>(sys, run.T, "the worker start flags");
  const int q = N / run.T;
  for (int i = 0; i < run.T; i++) {
    thread_work &w = run.work[i];
    w.sys = sys;
    w.aperture1 = ap1;
    w.aperture2 = ap2;
    w.no_points = i < run.T - 1 ? q : N - (run.T - 1) * q;
    w.points = points + static_cast<long>(i) * q;
    w.amplitudes = amplitudes != nullptr ? amplitudes + static_cast<long>(i) * q : nullptr;
    w.dec_factor = dec_factor;
    w.worker_index = i;
  }
  return run;
}

void release_split(sys_con *sys, SplitRun *run) {
  free_memory(sys, run->work);
  free_memory(sys, run->handles);
  free_memory(sys, run->started);
}

void release_signals(sys_con *sys, signal_rec **signals, int count) {
  if (signals == nullptr) return;
  for (int k = 0; k < count; k++)
    if (signals[k] != nullptr) free_signal(sys, signals[k]);
  free_memory(sys, signals);
}

// Gives back what a worker that finished has returned; `entry` tells what
// its array result holds.
void release_result(sys_con *sys, thread_work *w, WorkerEntry entry) {
  if (w->scatter_result != nullptr) free_signal(sys, w->scatter_result);
  if (w->partials != nullptr) free_scatter_partials(sys, w->partials);
  const int per_result = entry == calc_scat_multi_call ? w->aperture2->no_elements : w->no_points;
  release_signals(sys, w->array_result, per_result);
  if (w->nested_result != nullptr) {
    for (int i = 0; i < w->aperture1->no_elements; i++)
      release_signals(sys, w->nested_result[i], w->aperture2->no_elements);
    free_memory(sys, w->nested_result);
  }
}

// After every worker has ended: when one failed, the results of those that
// finished and the split run's records go back, and the first failure (by
// worker index) is raised once, here on the calling thread. What the failed
// workers had taken stays allocated.
void settle_workers(sys_con *sys, SplitRun *run, WorkerEntry entry) {
  int first = -1;
  for (int i = 0; i < run->T && first < 0; i++)
    if (run->work[i].failed) first = i;
  if (first < 0) return;
  const std::string text = run->work[first].failure != nullptr
                               ? run->work[first].failure
                               : "Fatal error: A worker thread of the calculation failed \n";
  for (int i = 0; i < run->T; i++) {
    if (!run->work[i].failed) release_result(sys, &run->work[i], entry);
    free_memory(sys, run->work[i].failure);
  }
  release_split(sys, run);
  fail_text(sys, text);
}

// Starts every worker in index order. A worker whose thread cannot be
// started computes its chunk on the calling thread instead, so the result
// is the same; then waits for the started ones.
void run_workers(sys_con *sys, SplitRun *run, WorkerEntry entry) {
  for (int i = 0; i < run->T; i++) {
    const int status = th_lib_start_thread(&run->handles[i], entry, &run->work[i]);
    run->started[i] = status == 0;
    if (status != 0) {
      print_formatted(sys, 256,
                      "Sonvar warning: worker thread %d could not be started (error %d); "
                      "its %d points are computed on the calling thread\n",
                      i, status, run->work[i].no_points);
      entry(&run->work[i]);
    }
  }
  for (int i = 0; i < run->T; i++)
    if (run->started[i]) th_lib_wait_for_threads(&run->handles[i], 1);
  settle_workers(sys, run, entry);
}

// The thresholds compare in 64 bits so that a huge thread count cannot
// overflow them.
bool runs_directly(int N, sys_con *sys, long long per_thread) {
  return static_cast<long long>(N) <= per_thread * static_cast<long long>(sys->threads);
}

WorkerEntry entry_for(int function_code) {
  switch (function_code) {
    case SONVAR_CALC_H:
      return calc_h_call;
    case SONVAR_CALC_HP:
      return calc_hp_call;
    case SONVAR_CALC_HHP:
      return calc_hhp_call;
    default:
      return nullptr;
  }
}

}  // namespace

SONVAR_CALL signal_rec **calc_function_parallel(sys_con *sys, int function_code, aperture *ap1,
                                                aperture *ap2, int N, point3 *points) try {
  SONVAR_ENTER_CALCULATION(sys);
  if (runs_directly(N, sys, 5)) {
    switch (function_code) {
      case SONVAR_CALC_H:
        return calc_h(sys, ap1, N, points);
      case SONVAR_CALC_HP:
        return calc_hp(sys, ap1, N, points);
      case SONVAR_CALC_HHP:
        return calc_hhp(sys, ap1, ap2, N, points);
      default:
        fail_text(sys,
                  "Internal Error 6: Illegal function_code found in calc_function_parallel, module "
                  "calculations_par");
    }
  }
  const WorkerEntry entry = entry_for(function_code);
  if (entry == nullptr)
    fail_text(sys,
              "Internal Error 5: Illegal function_code found in calc_function_parallel, module "
              "calculations_par");
  // Checked here, on the calling thread, before any worker starts.
  check_calculation(sys, "calc_function_parallel", ap1,
                    function_code == SONVAR_CALC_HHP ? ap2 : ap1, N, points, nullptr, false);
  SplitRun run = prepare_split(sys, ap1, ap2, N, points, nullptr, 0);
  run_workers(sys, &run, entry);
  signal_rec **result = alloc_array<signal_rec *>(sys, N, "the array of result signals");
  int k = 0;
  for (int i = 0; i < run.T; i++) {
    for (int j = 0; j < run.work[i].no_points; j++) result[k++] = run.work[i].array_result[j];
    free_memory(sys, run.work[i].array_result);
  }
  release_split(sys, &run);
  return result;
}
SONVAR_LEAVE(sys)

namespace {

// A split run over leaves: every worker sees all N points and sums its
// share of the leaves (in `entry`). Returns the shares in leaf order for the
// caller to merge; merged in that order, the sum is that of a direct run
// whatever the thread count.
scatter_partials **split_leaves(sys_con *sys, SplitRun *run, int N, point3 *points,
                                double *amplitudes, WorkerEntry entry) {
  const int leaves = scatter_leaves(run->T);
  for (int i = 0; i < run->T; i++) {
    thread_work &w = run->work[i];
    w.points = points;
    w.amplitudes = amplitudes;
    w.no_points = N;
    w.leaves = leaves;
    w.first_leaf = static_cast<int>(static_cast<long long>(i) * leaves / run->T);
    w.end_leaf = static_cast<int>(static_cast<long long>(i + 1) * leaves / run->T);
  }
  run_workers(sys, run, entry);
  scatter_partials **shares =
      alloc_array<scatter_partials *>(sys, run->T, "the workers' partial sums");
  for (int i = 0; i < run->T; i++) {
    shares[i] = run->work[i].partials;
    run->work[i].partials = nullptr;
  }
  return shares;
}

// The summed or per-element scattering: the workers take the leaves one at
// a time, the calling thread merges their sums in leaf order.
signal_rec **split_scattering(sys_con *sys, aperture *ap1, aperture *ap2, int N, point3 *points,
                              double *amplitudes, int per_element) {
  SplitRun run = prepare_split(sys, ap1, ap2, N, points, amplitudes, 0);
  ScatterLeaves plan;
  std::vector<int> order;
  plan_leaves(sys, &plan, per_element, N, points, amplitudes, run.T, &order);
  for (int i = 0; i < run.T; i++) {
    run.work[i].leaf_plan = &plan;
    run.work[i].per_element = per_element;
  }
  try {
    run_workers(sys, &run, scatter_leaves_call);
  } catch (...) {
    free_leaves(sys, ap2, &plan);
    throw;
  }
  const int elements = per_element ? ap2->no_elements : 1;
  if (elements < 2 * run.T) {
    int merged = 0;
    signal_rec **result = merge_leaves(sys, ap2, &plan, &merged);
    scatter_apply_pulse(sys, ap1, ap2, result, 0, merged);
    release_split(sys, &run);
    return result;
  }
  // Merging the leaves' per-element sums and the pulse on each (a transform
  // convolution of the whole echo length, a tenth of a per-element run of
  // 1,000 scatterers) go element by element: the workers share them out.
  signal_rec **result = alloc_array<signal_rec *>(sys, elements, "the array of result signals");
  for (int i = 0; i < run.T; i++) {
    thread_work &w = run.work[i];
    w.merged_sums = result;
    w.first_sum = static_cast<int>(static_cast<long long>(i) * elements / run.T);
    w.end_sum = static_cast<int>(static_cast<long long>(i + 1) * elements / run.T);
  }
  try {
    run_workers(sys, &run, scatter_pulse_call);
  } catch (...) {
    for (int j = 0; j < elements; j++) release_if_present(sys, result[j]);
    free_memory(sys, result);
    free_leaves(sys, ap2, &plan);
    throw;
  }
  free_leaves(sys, ap2, &plan);  // only the leaves' arrays are left
  release_split(sys, &run);
  return result;
}

// The caller's arrays after a split run, as the workers of a split run
// have always left them: each chunk of N / T ordered as a direct run of
// that chunk orders it (`order`), and for the all-pairs calculation each
// amplitude divided by fs.
void order_chunks(sys_con *sys, int N, point3 *points, double *amplitudes, bool divide,
                  void (*order)(sys_con *, int, point3 *, double *)) {
  const int T = sys->threads, q = N / T;
  for (int i = 0; i < T; i++)
    order(sys, i < T - 1 ? q : N - (T - 1) * q, points + static_cast<long>(i) * q,
          amplitudes + static_cast<long>(i) * q);
  if (divide)
    for (int i = 0; i < N; i++) amplitudes[i] /= sys->fs;
}

void summed_order(sys_con *, int n, point3 *points, double *amplitudes) {
  calc_scat_order(n, points, amplitudes);
}

}  // namespace

SONVAR_CALL signal_rec *calc_scat_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                           point3 *points, double *amplitudes) try {
  SONVAR_ENTER_CALCULATION(sys);
  if (runs_directly(N, sys, 5)) return calc_scat(sys, ap1, ap2, N, points, amplitudes);
  check_calculation(sys, "calc_scat_parallel", ap1, ap2, N, points, amplitudes, true);
  // The sum is formed in the order a direct run takes (nearest and farthest
  // first over all N), from a copy; the caller's arrays are reordered chunk
  // by chunk, as the workers of a split run have always left them.
  point3 *ordered = alloc_array<point3>(sys, N, "the ordered scatterers");
  double *weights = alloc_array<double>(sys, N, "the ordered amplitudes");
  std::copy(points, points + N, ordered);
  std::copy(amplitudes, amplitudes + N, weights);
  calc_scat_order(N, ordered, weights);
  signal_rec **sums = split_scattering(sys, ap1, ap2, N, ordered, weights, 0);
  free_memory(sys, ordered);
  free_memory(sys, weights);
  order_chunks(sys, N, points, amplitudes, false, summed_order);
  signal_rec *sum = sums[0];
  free_memory(sys, sums);
  return sum;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec **calc_scat_multi_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                                  point3 *points, double *amplitudes) try {
  SONVAR_ENTER_CALCULATION(sys);
  if (runs_directly(N, sys, 1)) return calc_scat_multi(sys, ap1, ap2, N, points, amplitudes);
  check_calculation(sys, "calc_scat_multi_parallel", ap1, ap2, N, points, amplitudes, true);
  return split_scattering(sys, ap1, ap2, N, points, amplitudes, 1);
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec ***calc_scat_all_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                                 point3 *points, double *amplitudes,
                                                 int dec_factor) try {
  SONVAR_ENTER_CALCULATION(sys);
  if (runs_directly(N, sys, 10000))
    return calc_scat_all(sys, ap1, ap2, N, points, amplitudes, dec_factor);
  check_calculation(sys, "calc_scat_all_parallel", ap1, ap2, N, points, amplitudes, true);
  if (dec_factor < 1) fail(sys, "calc_scat_all: the decimation factor must be 1 or more");
  // As calc_scat_parallel: the sums in a direct run's order, from a copy.
  point3 *ordered = alloc_array<point3>(sys, N, "the ordered scatterers");
  double *weights = alloc_array<double>(sys, N, "the ordered amplitudes");
  std::copy(points, points + N, ordered);
  std::copy(amplitudes, amplitudes + N, weights);
  calc_scat_all_order(sys, N, ordered, weights);
  SplitRun run = prepare_split(sys, ap1, ap2, N, ordered, weights, dec_factor);
  scatter_partials **shares = split_leaves(sys, &run, N, ordered, weights, pair_leaves_call);
  signal_rec ***sum = pair_finish(sys, ap1, ap2, shares, run.T, dec_factor);
  free_memory(sys, shares);
  release_split(sys, &run);
  free_memory(sys, ordered);
  free_memory(sys, weights);
  order_chunks(sys, N, points, amplitudes, true, calc_scat_all_order);
  return sum;
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
