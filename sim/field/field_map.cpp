// field_map.cpp - field maps: h, hp or hhp at many points, each point's
// signal reduced in the thread's scratch and given back at once
// (calc_field_map here; the threaded form in dispatch/field_map_workers.cpp).
#include <algorithm>
#include <cmath>

#include "field/calculation.h"
#include "field/field_map.h"
#include "field/point_field.h"
#include "field/progress.h"
#include "general/checks.h"
#include "general/failure.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

void check_request(sys_con *sys, const char *call, const field_map_request &r) {
  if (r.quantity != SONVAR_CALC_H && r.quantity != SONVAR_CALC_HP && r.quantity != SONVAR_CALC_HHP)
    fail(sys,
         "%s: request quantity %d must be SONVAR_CALC_H (1), SONVAR_CALC_HP (2) or "
         "SONVAR_CALC_HHP (3)",
         call, r.quantity);
  constexpr int kKnown =
      SONVAR_MAP_PEAK | SONVAR_MAP_RMS | SONVAR_MAP_ENERGY | SONVAR_MAP_SPECTRUM | SONVAR_MAP_SPAN;
  if ((r.reductions & ~kKnown) != 0)
    fail(sys,
         "%s: request reductions %d holds an unknown flag (SONVAR_MAP_PEAK 1, RMS 2, ENERGY 4, "
         "SPECTRUM 8, SPAN 16)",
         call, r.reductions);
  if (r.reductions == 0) fail(sys, "%s: request reductions is 0: ask for at least one", call);
  if (r.reductions & SONVAR_MAP_RMS) {
    if (r.rms_window != SONVAR_RMS_COMMON && r.rms_window != SONVAR_RMS_FIXED)
      fail(sys, "%s: request rms_window %d must be SONVAR_RMS_COMMON (0) or SONVAR_RMS_FIXED (1)",
           call, r.rms_window);
    if (r.rms_window == SONVAR_RMS_FIXED) {
      if (r.window_samples < 1)
        fail(sys, "%s: request window_samples %lld must be at least 1", call,
             static_cast<long long>(r.window_samples));
      // Beyond these no signal can have a sample (starts stay within
      // kMaxStartSample, lengths within max_samples).
      const double lowest = -kMaxStartSample;
      const double highest = kMaxStartSample + static_cast<double>(sys->max_samples);
      if (static_cast<double>(r.window_first) + static_cast<double>(r.window_samples) <= lowest ||
          static_cast<double>(r.window_first) >= highest)
        fail(sys,
             "%s: the RMS window from sample %lld (%g s) lies outside every signal a "
             "calculation can form",
             call, static_cast<long long>(r.window_first), r.window_first / sys->fs);
    }
  }
  if (r.reductions & SONVAR_MAP_SPECTRUM) {
    if (r.no_frequencies < 1 || r.frequencies == nullptr)
      fail(sys, "%s: request no_frequencies %d: the spectrum needs at least one frequency", call,
           r.no_frequencies);
    for (int q = 0; q < r.no_frequencies; q++)
      if (!(r.frequencies[q] >= 0 && r.frequencies[q] <= sys->fs / 2))
        fail(sys, "%s: request frequencies[%d] %g Hz must be from 0 to fs/2 = %g Hz", call, q,
             r.frequencies[q], sys->fs / 2);
  }
}

void require_array(sys_con *sys, const char *call, const void *array, const char *name,
                   const char *flag) {
  if (array == nullptr)
    fail(sys, "%s: the result's %s array is NULL; SONVAR_MAP_%s asks for it", call, name, flag);
}

void check_arrays(sys_con *sys, const char *call, int flags, const field_map_result &out) {
  if (flags & SONVAR_MAP_PEAK) {
    require_array(sys, call, out.peak, "peak", "PEAK");
    require_array(sys, call, out.peak_time, "peak_time", "PEAK");
  }
  if (flags & SONVAR_MAP_RMS) require_array(sys, call, out.rms, "rms", "RMS");
  if (flags & SONVAR_MAP_ENERGY) require_array(sys, call, out.energy, "energy", "ENERGY");
  if (flags & SONVAR_MAP_SPECTRUM) require_array(sys, call, out.spectrum, "spectrum", "SPECTRUM");
  if (flags & SONVAR_MAP_SPAN) {
    require_array(sys, call, out.first_sample, "first_sample", "SPAN");
    require_array(sys, call, out.no_samples, "no_samples", "SPAN");
  }
}

}  // namespace

void begin_map(MapRun *run, sys_con *sys, const char *call, aperture *transmit, aperture *receive,
               std::int64_t n, const point3 *points, const field_map_request *request,
               const field_map_result *out) {
  check_state(sys, call);
  if (request == nullptr) fail(sys, "%s: the request is NULL", call);
  if (out == nullptr) fail(sys, "%s: the result record is NULL", call);
  check_request(sys, call, *request);
  check_arrays(sys, call, request->reductions, *out);
  if (n < 1)
    fail(sys, "%s: n %lld: a field map needs at least one point", call, static_cast<long long>(n));
  const int quantity = request->quantity;
  check_calculation(sys, call, transmit, quantity == SONVAR_CALC_HHP ? receive : transmit, n,
                    points, nullptr, false);
  store_relaxed(&sys->last_calc_type, quantity - SONVAR_CALC_H + SONVAR_LAST_H);
  run->sys = sys;
  run->call = call;
  run->transmit = transmit;
  run->receive = quantity == SONVAR_CALC_HHP ? receive : transmit;
  run->n = n;
  run->points = points;
  run->out = *out;
  run->plan = make_map_plan(sys, *request);
  run->start = time(nullptr);
  run->pulse = quantity_pulse(sys, quantity, run->transmit, run->receive);
}

void map_blocks(MapRun *run, MapShare *share, bool reports) {
  sys_con *sys = run->sys;
  PointField field = start_point_field(sys, run->call, run->plan.quantity, run->transmit,
                                       run->receive, run->pulse, run->n);
  ProgressClock clock;
  clock.start = clock.current = clock.last_shown = run->start;
  while (!run->stop.load(std::memory_order_relaxed)) {
    const std::int64_t first = run->next.fetch_add(kMapBlock, std::memory_order_relaxed);
    if (first >= run->n) break;
    const std::int64_t end = std::min(run->n, first + kMapBlock);
    for (std::int64_t i = first; i < end; i++) {
      signal_rec *signal = point_signal(&field, i, run->points[i]);
      reduce_point_signal(sys, run->plan, signal, i, run->out, &share->extent);
      release_if_present(sys, signal);
    }
    const std::int64_t done = run->done.fetch_add(end - first, std::memory_order_relaxed);
    if (reports) clock.point_done(sys, done + (end - first) - 1, run->n);
  }
  end_point_field(&field);
}

void finish_map(MapRun *run, const SignalExtent &extent) {
  sys_con *sys = run->sys;
  const MapPlan &plan = run->plan;
  if ((plan.flags & SONVAR_MAP_RMS) && !plan.fixed_window)
    finish_common_rms(extent, run->n, run->out);
  display_final_time(sys, run->start);
  release_if_present(sys, run->pulse);
  run->pulse = nullptr;
  if (plan.fixed_window && (extent.end <= plan.window_first || extent.first >= plan.window_end)) {
    const double fs = sys->fs;
    if (extent.end > extent.first)
      fail(sys,
           "%s: the RMS window [%g, %g) s (samples %lld to %lld) lies outside the points' "
           "signals, which lie within [%g, %g) s",
           run->call, plan.window_first / fs, plan.window_end / fs,
           static_cast<long long>(plan.window_first), static_cast<long long>(plan.window_end - 1),
           extent.first / fs, extent.end / fs);
    fail(sys, "%s: the RMS window [%g, %g) s lies outside the signals: no point has one", run->call,
         plan.window_first / fs, plan.window_end / fs);
  }
}

SONVAR_CALL int64_t calc_field_map(sys_con *sys, aperture *transmit, aperture *receive, int64_t n,
                                   const point3 *points, const field_map_request *request,
                                   const field_map_result *out) try {
  SONVAR_ENTER_CALCULATION(sys);
  MapRun run;
  begin_map(&run, sys, __func__, transmit, receive, n, points, request, out);
  MapShare share;
  map_blocks(&run, &share, true);
  finish_map(&run, share.extent);
  return n;
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
