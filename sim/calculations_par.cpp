// calculations_par.cpp - per-calculation scratch data and the parallel
// dispatcher of the field calculations.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "sonvar.h"

// ===========================================================================
// Calculation scratch block
// ===========================================================================

namespace {

// Length of a fresh working signal; the calculations grow it when needed.
constexpr int kWorkingSamples = 1000;

struct ElementCounts {
  int rectangles = 0;        // most rectangles in one physical element
  int triangles = 0;         // most triangles in one physical element
  int lines = 0;             // most bounding lines of one line element
  int arrival_times = 0;     // most arrival times of one line element
  int physical = 0;          // physical elements
  int total_rectangles = 0;  // most rectangles of one aperture
};

void scan_aperture(const aperture *ap, ElementCounts *counts) {
  counts->physical = std::max(counts->physical, ap->no_elements);
  long long total = 0;
  for (int i = 0; i < ap->no_elements; i++) {
    const physical_element &element = ap->elements[i];
    total += element.no_rectangles;
    counts->rectangles = std::max(counts->rectangles, element.no_rectangles);
    counts->triangles = std::max(counts->triangles, element.no_triangles);
    for (int k = 0; k < element.no_line_elements; k++) {
      const line_element &line = element.line_elements[k];
      counts->lines = std::max(counts->lines, line.no_lines);
      // Corners, feet of perpendiculars and the projection point.
      counts->arrival_times =
          std::max(counts->arrival_times, line.no_crossings + line.no_lines + 1);
    }
  }
  counts->total_rectangles =
      static_cast<int>(std::max<long long>(counts->total_rectangles, std::min(total, 1LL << 30)));
}

// Rectangle records of one batch: enough for whole elements of a typical
// array at once (a 128-element array cut 1 x 10), never fewer than the
// largest element holds.
constexpr int kBatchRecords = 2048;

void take_signals(sys_con *sys, signal_rec **slots, int first, int count) {
  for (int k = first; k < count; k++)
    if (slots[k] == nullptr) slots[k] = alloc_signal(sys, kWorkingSamples, 0);
}

line_solution *new_line_scratch(sys_con *sys, int max_lines, int arrival_times) {
  const int n = 2 * max_lines + 1;
  auto *scratch = sonvar::alloc_array<line_solution>(sys, 1, "line scratch record");
  scratch->times =
      sonvar::alloc_array<double>(sys, std::max(n, arrival_times), "line scratch arrival times");
  scratch->angles = sonvar::alloc_array<double>(sys, n, "line scratch angles");
  scratch->angle_index = sonvar::alloc_array<int>(sys, n, "line scratch angle indices");
  scratch->crossings_of_circle =
      sonvar::alloc_array<circle_crossing *>(sys, n, "line scratch crossing list");
  for (int k = 0; k < n; k++)
    scratch->crossings_of_circle[k] =
        sonvar::alloc_array<circle_crossing>(sys, 1, "line scratch crossing record");
  return scratch;
}

void free_line_scratch(sys_con *sys, line_solution *scratch, int max_lines) {
  if (scratch == nullptr) return;
  const int n = 2 * max_lines + 1;
  for (int k = 0; k < n; k++) free_memory(sys, scratch->crossings_of_circle[k]);
  free_memory(sys, scratch->crossings_of_circle);
  free_memory(sys, scratch->angle_index);
  free_memory(sys, scratch->angles);
  free_memory(sys, scratch->times);
  free_memory(sys, scratch);
}

}  // namespace

calc_memory_block *pre_allocate_memory(sys_con *sys, aperture *ap1, aperture *ap2) try {
  SONVAR_ENTER(sys);
  ElementCounts counts;
  scan_aperture(ap1, &counts);
  if (ap2 != ap1) scan_aperture(ap2, &counts);

  auto *block = sonvar::alloc_array<calc_memory_block>(sys, 1, "calculation scratch block");
  block->max_rectangles = counts.rectangles;
  block->max_lines = counts.lines;
  block->max_triangles = counts.triangles;
  block->single_element = 0;
  block->no_delay = 0;
  block->delays_current = 0;
  if (counts.rectangles > 0) {
    // Room for the rectangles of several elements at once (element_timings).
    const int records =
        std::max(counts.rectangles, std::min(counts.total_rectangles, kBatchRecords));
    block->batch_capacity = records;
    block->unit_vectors =
        sonvar::alloc_array<rect_unit_vector>(sys, records, "rectangle unit vectors");
    block->timings = sonvar::alloc_array<rect_timing>(sys, records, "rectangle timings");
    block->batch_rects =
        sonvar::alloc_array<const rect_element *>(sys, records, "rectangle batch pointers");
    block->batch_delays = sonvar::alloc_array<double>(sys, records, "rectangle batch delays");
    take_signals(sys, block->rect_signals, 0, 3);
    block->batch_offsets =
        sonvar::alloc_array<int32_t>(sys, std::max(counts.physical, 1), "rectangle batch offsets");
    block->batch_list =
        sonvar::alloc_array<int32_t>(sys, std::max(counts.physical, 1), "rectangle batch list");
  }
  if (counts.lines > 0) {
    take_signals(sys, block->rect_signals, 1, 3);
    block->line_scratch = new_line_scratch(sys, counts.lines, counts.arrival_times);
  }
  if (counts.triangles > 0) {
    take_signals(sys, block->tri_signals, 0, 3);
    block->tri_times = sonvar::alloc_array<triangle_times>(sys, 1, "triangle timing record");
    block->tri_corners = sonvar::alloc_array<point3>(sys, 3, "triangle corner buffer");
  }
  const int n = std::max(counts.physical, 1);
  block->delays = sonvar::alloc_array<double>(sys, n, "element delays");
  block->element_order = sonvar::alloc_array<int32_t>(sys, n, "element order");
  block->apodizations = sonvar::alloc_array<double>(sys, n, "element apodizations");
  return block;
}
SONVAR_LEAVE(sys)

void free_memory_block(sys_con *sys, calc_memory_block *block) {
  if (block == nullptr) return;
  free_memory(sys, block->unit_vectors);
  free_memory(sys, block->timings);
  free_memory(sys, block->batch_rects);
  free_memory(sys, block->batch_delays);
  free_memory(sys, block->batch_offsets);
  free_memory(sys, block->batch_list);
  free_line_scratch(sys, block->line_scratch, block->max_lines);
  free_memory(sys, block->tri_times);
  free_memory(sys, block->tri_corners);
  free_memory(sys, block->delays);
  free_memory(sys, block->element_order);
  free_memory(sys, block->apodizations);
  // Each slot holds its own signal (the line response shares the second and
  // third rectangle slots rather than taking signals of its own), so every
  // signal goes back exactly once.
  for (signal_rec *&slot : block->rect_signals)
    if (slot != nullptr) free_signal(sys, slot), slot = nullptr;
  for (signal_rec *&slot : block->tri_signals)
    if (slot != nullptr) free_signal(sys, slot), slot = nullptr;
  free_memory(sys, block);
}

// ===========================================================================
// End of calculation scratch block
// ===========================================================================

// ===========================================================================
// Parallel calculation dispatcher
// ===========================================================================
//
// The points are cut into contiguous chunks, one per worker; each worker runs
// the single-threaded calculation on its chunk with a scratch block of its
// own, and the calling thread joins the results after all workers are done.

namespace {

// Runs a worker's calculation. A failure stays on the worker's record (the
// dispatcher hands the first one back on the calling thread once every
// worker has ended); nothing may unwind out of a thread's entry function.
template <typename Body>
void run_worker(thread_work *work, Body body) {
  const sonvar::CallScope scope(work->sys);
  try {
    body();
  } catch (...) {
    const std::string text = sonvar::failure_text();
    work->failed = 1;
    try {
      auto *copy = static_cast<char *>(alloc_memory(work->sys, text.size() + 1, 1));
      if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
      work->failure = copy;
    } catch (...) {
      work->failure = nullptr;
    }
  }
}

}  // namespace

void *calc_h_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->array_result = calc_h(work->sys, work->aperture1, work->no_points, work->points);
  });
  return nullptr;
}

void *calc_hp_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->array_result = calc_hp(work->sys, work->aperture1, work->no_points, work->points);
  });
  return nullptr;
}

void *calc_hhp_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->array_result =
        calc_hhp(work->sys, work->aperture1, work->aperture2, work->no_points, work->points);
  });
  return nullptr;
}

void *calc_scat_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->scatter_result = calc_scat(work->sys, work->aperture1, work->aperture2, work->no_points,
                                     work->points, work->amplitudes);
  });
  return nullptr;
}

void *calc_scat_multi_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->array_result = calc_scat_multi(work->sys, work->aperture1, work->aperture2,
                                         work->no_points, work->points, work->amplitudes);
  });
  return nullptr;
}

void *calc_scat_all_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->nested_result =
        calc_scat_all(work->sys, work->aperture1, work->aperture2, work->no_points, work->points,
                      work->amplitudes, work->dec_factor);
  });
  return nullptr;
}

void *scatter_leaves_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->partials = scatter_leaf_sums(
        work->sys, work->aperture1, work->aperture2, work->per_element, work->no_points,
        work->points, work->amplitudes, work->leaves, work->first_leaf, work->end_leaf);
  });
  return nullptr;
}

void *pair_leaves_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    work->partials = pair_leaf_sums(work->sys, work->aperture1, work->aperture2, work->no_points,
                                    work->points, work->amplitudes, work->dec_factor, work->leaves,
                                    work->first_leaf, work->end_leaf);
  });
  return nullptr;
}

void *scatter_pulse_call(void *argument) {
  auto *work = static_cast<thread_work *>(argument);
  run_worker(work, [work] {
    scatter_apply_pulse(work->sys, work->aperture1, work->aperture2, work->merged_sums,
                        work->first_sum, work->end_sum);
  });
  return nullptr;
}

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
  run.work = sonvar::alloc_array<thread_work>(sys, run.T, "the worker records");
  run.handles = sonvar::alloc_array<pthread_t>(sys, run.T, "the worker thread handles");
  run.started = sonvar::alloc_array<int>(sys, run.T, "the worker start flags");
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
  sonvar::print_error_message(sys, text);
}

// Starts every worker in index order. A worker whose thread cannot be
// started computes its chunk on the calling thread instead, so the result
// is the same; then waits for the started ones.
void run_workers(sys_con *sys, SplitRun *run, WorkerEntry entry) {
  for (int i = 0; i < run->T; i++) {
    const int status = th_lib_start_thread(&run->handles[i], entry, &run->work[i]);
    run->started[i] = status == 0;
    if (status != 0) {
      sonvar::print_formatted(sys, 256,
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
    case 1:
      return calc_h_call;
    case 2:
      return calc_hp_call;
    case 3:
      return calc_hhp_call;
    default:
      return nullptr;
  }
}

}  // namespace

signal_rec **calc_function_parallel(sys_con *sys, int function_code, aperture *ap1, aperture *ap2,
                                    int N, point3 *points) try {
  SONVAR_ENTER(sys);
  if (runs_directly(N, sys, 5)) {
    switch (function_code) {
      case 1:
        return calc_h(sys, ap1, N, points);
      case 2:
        return calc_hp(sys, ap1, N, points);
      case 3:
        return calc_hhp(sys, ap1, ap2, N, points);
      default:
        sonvar::print_error_message(
            sys,
            "Internal Error 6: Illegal function_code found in calc_function_parallel, module "
            "calculations_par");
    }
  }
  const WorkerEntry entry = entry_for(function_code);
  if (entry == nullptr)
    sonvar::print_error_message(
        sys,
        "Internal Error 5: Illegal function_code found in calc_function_parallel, module "
        "calculations_par");
  // Checked here, on the calling thread, before any worker starts.
  sonvar::check_calculation(sys, "calc_function_parallel", ap1, function_code == 3 ? ap2 : ap1, N,
                            points, nullptr, false);
  SplitRun run = prepare_split(sys, ap1, ap2, N, points, nullptr, 0);
  run_workers(sys, &run, entry);
  signal_rec **result = sonvar::alloc_array<signal_rec *>(sys, N, "the array of result signals");
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
                                double *amplitudes, int per_element, WorkerEntry entry) {
  const int leaves = scatter_leaves(run->T);
  for (int i = 0; i < run->T; i++) {
    thread_work &w = run->work[i];
    w.points = points;
    w.amplitudes = amplitudes;
    w.no_points = N;
    w.leaves = leaves;
    w.first_leaf = static_cast<int>(static_cast<long long>(i) * leaves / run->T);
    w.end_leaf = static_cast<int>(static_cast<long long>(i + 1) * leaves / run->T);
    w.per_element = per_element;
  }
  run_workers(sys, run, entry);
  scatter_partials **shares =
      sonvar::alloc_array<scatter_partials *>(sys, run->T, "the workers' partial sums");
  for (int i = 0; i < run->T; i++) {
    shares[i] = run->work[i].partials;
    run->work[i].partials = nullptr;
  }
  return shares;
}

// The summed or per-element scattering over split leaves.
signal_rec **split_scattering(sys_con *sys, aperture *ap1, aperture *ap2, int N, point3 *points,
                              double *amplitudes, int per_element) {
  SplitRun run = prepare_split(sys, ap1, ap2, N, points, amplitudes, 0);
  scatter_partials **shares =
      split_leaves(sys, &run, N, points, amplitudes, per_element, scatter_leaves_call);
  int elements = 0;
  signal_rec **result = scatter_merge(sys, shares, run.T, &elements);
  free_memory(sys, shares);
  // The pulse on every per-element sum is a transform convolution of the
  // whole echo length each, a tenth of a per-element run of 1,000
  // scatterers: the workers share it out as they shared the leaves.
  if (elements < 2 * run.T) {
    scatter_apply_pulse(sys, ap1, ap2, result, 0, elements);
  } else {
    for (int i = 0; i < run.T; i++) {
      thread_work &w = run.work[i];
      w.merged_sums = result;
      w.first_sum = static_cast<int>(static_cast<long long>(i) * elements / run.T);
      w.end_sum = static_cast<int>(static_cast<long long>(i + 1) * elements / run.T);
    }
    run_workers(sys, &run, scatter_pulse_call);
  }
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

signal_rec *calc_scat_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N, point3 *points,
                               double *amplitudes) try {
  SONVAR_ENTER(sys);
  if (runs_directly(N, sys, 5)) return calc_scat(sys, ap1, ap2, N, points, amplitudes);
  sonvar::check_calculation(sys, "calc_scat_parallel", ap1, ap2, N, points, amplitudes, true);
  // The sum is formed in the order a direct run takes (nearest and farthest
  // first over all N), from a copy; the caller's arrays are reordered chunk
  // by chunk, as the workers of a split run have always left them.
  point3 *ordered = sonvar::alloc_array<point3>(sys, N, "the ordered scatterers");
  double *weights = sonvar::alloc_array<double>(sys, N, "the ordered amplitudes");
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

signal_rec **calc_scat_multi_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                      point3 *points, double *amplitudes) try {
  SONVAR_ENTER(sys);
  if (runs_directly(N, sys, 1)) return calc_scat_multi(sys, ap1, ap2, N, points, amplitudes);
  sonvar::check_calculation(sys, "calc_scat_multi_parallel", ap1, ap2, N, points, amplitudes, true);
  return split_scattering(sys, ap1, ap2, N, points, amplitudes, 1);
}
SONVAR_LEAVE(sys)

signal_rec ***calc_scat_all_parallel(sys_con *sys, aperture *ap1, aperture *ap2, int N,
                                     point3 *points, double *amplitudes, int dec_factor) try {
  SONVAR_ENTER(sys);
  if (runs_directly(N, sys, 10000))
    return calc_scat_all(sys, ap1, ap2, N, points, amplitudes, dec_factor);
  sonvar::check_calculation(sys, "calc_scat_all_parallel", ap1, ap2, N, points, amplitudes, true);
  if (dec_factor < 1) error_message("calc_scat_all: the decimation factor must be 1 or more");
  // As calc_scat_parallel: the sums in a direct run's order, from a copy.
  point3 *ordered = sonvar::alloc_array<point3>(sys, N, "the ordered scatterers");
  double *weights = sonvar::alloc_array<double>(sys, N, "the ordered amplitudes");
  std::copy(points, points + N, ordered);
  std::copy(amplitudes, amplitudes + N, weights);
  calc_scat_all_order(sys, N, ordered, weights);
  SplitRun run = prepare_split(sys, ap1, ap2, N, ordered, weights, dec_factor);
  scatter_partials **shares = split_leaves(sys, &run, N, ordered, weights, 0, pair_leaves_call);
  signal_rec ***sum = pair_finish(sys, ap1, ap2, shares, run.T, dec_factor);
  free_memory(sys, shares);
  release_split(sys, &run);
  free_memory(sys, ordered);
  free_memory(sys, weights);
  order_chunks(sys, N, points, amplitudes, true, calc_scat_all_order);
  return sum;
}
SONVAR_LEAVE(sys)
