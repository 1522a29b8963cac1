// results.h - the signals a calculation returns, for the tests and the
// benchmarks: their values, their release, the pool's count of those out.
#ifndef SONVAR_TEST_RESULTS_H
#define SONVAR_TEST_RESULTS_H

#include <vector>

#include "sonvar.h"

namespace sonvar_test {

// The values of a signal (an absent signal as none).
inline std::vector<double> values_of(const signal_rec *s) {
  if (s == nullptr) return {};
  return std::vector<double>(s->values, s->values + s->no_samples);
}

// Gives back every present signal of an array of results, then the array.
inline void free_results(sys_con *sys, signal_rec **results, int n) {
  for (int k = 0; k < n; k++)
    if (results[k] != nullptr) free_signal(sys, results[k]);
  free_memory(sys, results);
}

// Signals the pool has handed out and not had back.
inline int signals_in_use(const sys_con *sys) {
  int free_count = 0;
  for (const signal_rec *s = sys->free_signals; s != nullptr; s = s->next) free_count++;
  return sys->next_signal_number - free_count;
}

}  // namespace sonvar_test

#endif  // SONVAR_TEST_RESULTS_H
