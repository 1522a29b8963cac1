// field_map_workers.cpp - calc_field_map_parallel: the calling thread and
// threads - 1 workers take blocks of points from one counter until all are
// done, each with its own scratch; a point's values do not depend on which
// thread computed it.
#include <algorithm>
#include <string>
#include <vector>

#include "field/field_map.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

struct MapThread {
  MapRun *run;
  MapShare *share;
};

// One thread's share of the blocks; a failure stays on its record and
// stops the others from taking more blocks. Nothing unwinds out of it.
void take_blocks(MapRun *run, MapShare *share, bool reports) {
  try {
    map_blocks(run, share, reports);
  } catch (...) {
    run->stop.store(true, std::memory_order_relaxed);
    share->failed = true;
    try {
      share->failure = failure_text();
    } catch (...) {
      share->failure.clear();
    }
  }
}

void *map_thread(void *argument) {
  auto *thread = static_cast<MapThread *>(argument);
  const CallScope scope(thread->run->sys);
  take_blocks(thread->run, thread->share, false);
  return nullptr;
}

}  // namespace

SONVAR_CALL int64_t calc_field_map_parallel(sys_con *sys, aperture *transmit, aperture *receive,
                                            int64_t n, const point3 *points,
                                            const field_map_request *request,
                                            const field_map_result *out) try {
  SONVAR_ENTER_CALCULATION(sys);
  MapRun run;
  begin_map(&run, sys, __func__, transmit, receive, n, points, request, out);
  const int T =
      static_cast<int>(std::min<std::int64_t>(sys->threads, (n + kMapBlock - 1) / kMapBlock));
  std::vector<MapShare> shares;
  std::vector<MapThread> threads;
  std::vector<pthread_t> handles;
  std::vector<char> started;
  allocating(sys, "the field map's thread records", [&] {
    shares.resize(static_cast<std::size_t>(std::max(T, 1)));
    threads.resize(shares.size());
    handles.resize(shares.size());
    started.resize(shares.size(), 0);
  });
  for (int k = 1; k < T; k++) {
    threads[k] = {&run, &shares[k]};
    const int status = th_lib_start_thread(&handles[k], map_thread, &threads[k]);
    started[k] = status == 0;
    if (status != 0)
      print_formatted(sys, 256,
                      "Sonvar warning: worker thread %d of the field map could not be started "
                      "(error %d); the other threads take its points\n",
                      k, status);
  }
  take_blocks(&run, &shares[0], true);
  for (int k = 1; k < T; k++)
    if (started[k]) th_lib_wait_for_threads(&handles[k], 1);
  SignalExtent extent;
  for (const MapShare &share : shares) {
    if (share.failed)
      fail_text(sys, share.failure.empty()
                         ? "Fatal error: A worker thread of the calculation failed \n"
                         : share.failure);
    extent.merge(share.extent);
  }
  finish_map(&run, extent);
  return n;
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
