// field_map.h - one field map, shared by the threads that compute it
// (field_map.cpp): the checks of a request, its plan and pulse, the work
// of one thread over blocks of points, and the common end.
#ifndef SONVAR_FIELD_FIELD_MAP_H
#define SONVAR_FIELD_FIELD_MAP_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "field/map_reductions.h"
#include "sonvar.h"

namespace sonvar {

// Points a thread takes at a time.
constexpr std::int64_t kMapBlock = 32;

// One field map: read by every thread; only the counters change.
struct MapRun {
  sys_con *sys = nullptr;
  const char *call = nullptr;
  aperture *transmit = nullptr;
  aperture *receive = nullptr;
  std::int64_t n = 0;
  const point3 *points = nullptr;
  field_map_result out = {};
  MapPlan plan;
  signal_rec *pulse = nullptr;        // hp and hhp: the calculation's pulse
  std::atomic<std::int64_t> next{0};  // first point of the next block to take
  std::atomic<std::int64_t> done{0};  // points finished (for the progress report)
  std::atomic<bool> stop{false};      // a thread failed: no more blocks are taken
  std::time_t start = 0;              // the clock at the start, for the report
};

// What one thread of a field map leaves: the extent of its signals and,
// when it failed, the failure's text.
struct MapShare {
  SignalExtent extent;
  bool failed = false;
  std::string failure;
};

// The checks of a field map's arguments (each refusal one line naming
// `call` and the argument), then its plan and pulse in *run, and its kind
// in last_calc_type.
void begin_map(MapRun *run, sys_con *sys, const char *call, aperture *transmit, aperture *receive,
               std::int64_t n, const point3 *points, const field_map_request *request,
               const field_map_result *out);

// Takes blocks of points until none is left (or another thread failed):
// each point's signal is formed in this thread's scratch, reduced into the
// result and given back. The thread that `reports` prints the progress.
void map_blocks(MapRun *run, MapShare *share, bool reports);

// After every thread: the common RMS, the check that a fixed window met a
// signal, the final time and the pulse given back.
void finish_map(MapRun *run, const SignalExtent &extent);

}  // namespace sonvar

#endif  // SONVAR_FIELD_FIELD_MAP_H
