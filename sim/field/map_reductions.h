// map_reductions.h - the reductions a field map keeps of each point's
// signal (map_reductions.cpp): peak and its time, sums of squares over the
// signal and over a window, spectrum magnitudes at given frequencies.
#ifndef SONVAR_FIELD_MAP_REDUCTIONS_H
#define SONVAR_FIELD_MAP_REDUCTIONS_H

#include <cstdint>
#include <vector>

#include "sonvar.h"

namespace sonvar {

// A field map's request after its checks, shared read-only by the
// workers: the flags, the window and the spectrum's tables.
struct MapPlan {
  int quantity = 0;
  int flags = 0;
  bool fixed_window = false;                      // RMS over a fixed window (else the common one)
  std::int64_t window_first = 0, window_end = 0;  // FIXED: samples [first, end)
  int frequencies = 0;
  // Per frequency: f / fs, and cos and sin of 2 pi f k / fs for the k of
  // one block of the spectrum's sum (kSpectrumBlock values each).
  std::vector<double> cycles_per_sample, block_cos, block_sin;
};

// Samples of one block of the spectrum's sum: within a block the phase
// comes from the table, from block to block from one sine and cosine.
constexpr int kSpectrumBlock = 64;

// The plan of a checked request (its frequencies' tables made here).
MapPlan make_map_plan(const sys_con *sys, const field_map_request &request);

// The extent of the signals a worker has reduced, for the common window and
// the check of a fixed one.
struct SignalExtent {
  std::int64_t first = INT64_MAX;  // earliest first sample of any signal
  std::int64_t end = INT64_MIN;    // latest end (last sample + 1)
  void merge(const SignalExtent &other);
};

// Writes the reductions of point i's signal (NULL: no signal) into out and
// widens the extent. With the common window, out->rms[i] holds the sum of
// squares until finish_common_rms.
void reduce_point_signal(const sys_con *sys, const MapPlan &plan, const signal_rec *signal,
                         std::int64_t i, const field_map_result &out, SignalExtent *extent);

// The root mean square over the common time axis of all n points from the
// sums of squares reduce_point_signal left in out.rms.
void finish_common_rms(const SignalExtent &extent, std::int64_t n, const field_map_result &out);

}  // namespace sonvar

#endif  // SONVAR_FIELD_MAP_REDUCTIONS_H
