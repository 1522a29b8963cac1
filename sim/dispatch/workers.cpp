// workers.cpp - the entry functions of the dispatcher's worker threads: each
// runs one calculation on its thread_work and keeps a failure on it.
#include <cstring>
#include <string>

#include "dispatch/dispatcher.h"
#include "field/scattering.h"
#include "state/host.h"

namespace sonvar {

namespace {

// Runs a worker's calculation. A failure stays on the worker's record (the
// dispatcher hands the first one back on the calling thread once every
// worker has ended); nothing may unwind out of a thread's entry function.
template <typename Body>
void run_worker(thread_work *work, Body body) {
  const CallScope scope(work->sys);
  try {
    body();
  } catch (...) {
    const std::string text = failure_text();
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
  run_worker(work,
             [work] { sum_leaves(work->sys, work->aperture1, work->aperture2, work->leaf_plan); });
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
    for (int j = work->first_sum; j < work->end_sum; j++)
      work->merged_sums[j] = merge_element_leaves(work->sys, work->leaf_plan, j);
    scatter_apply_pulse(work->sys, work->aperture1, work->aperture2, work->merged_sums,
                        work->first_sum, work->end_sum);
  });
  return nullptr;
}

}  // namespace sonvar
