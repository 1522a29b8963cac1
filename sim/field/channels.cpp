// channels.cpp - channel echoes: the per-element echoes of point scatterers
// added straight into a caller's matrix. The receive elements are shared
// out over the workers; each worker takes the scatterers nearest first in
// bands of range and adds the band's sums into its columns before the next
// band starts, so that it holds the frames and sums of one band only.
// Where the echoes go by frames, the workers share the transmit side of
// each batch (shared_transmit.h): every scatterer's transmit response is
// computed once, not once per worker.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "base/points.h"
#include "field/calculation.h"
#include "field/echo_columns.h"
#include "field/scatter_share.h"
#include "field/scattering.h"
#include "field/shared_transmit.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/meeting.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// A band of scatterers ends once their two-way range from the origin spans
// this many samples, provided it holds at least kBandScatterers: the sums of
// a band cover about its range plus the spread of the elements' distances.
constexpr double kBandSamples = 1024.0;
constexpr int kBandScatterers = 64;

// The scatterers in the order the echoes take them, and where each band
// ends.
struct Plan {
  std::vector<int> order;
  std::vector<int> band_ends;
};

Plan make_plan(sys_con *sys, int n, const point3 *points) {
  Plan plan;
  allocating(sys, "the order of the scatterers", [&] {
    std::vector<double> range(static_cast<std::size_t>(n));
    for (int i = 0; i < n; i++)
      range[i] = points[i].x * points[i].x + points[i].y * points[i].y + points[i].z * points[i].z;
    plan.order.resize(static_cast<std::size_t>(n));
    std::iota(plan.order.begin(), plan.order.end(), 0);
    std::stable_sort(plan.order.begin(), plan.order.end(),
                     [&](int u, int v) { return range[u] < range[v]; });
    for (double &r : range) r = std::sqrt(r);
    const double width = kBandSamples * sys->c / (2 * sys->fs);
    int start = 0;
    for (int k = 0; k < n; k++) {
      const bool full =
          k - start >= kBandScatterers && range[plan.order[k]] - range[plan.order[start]] > width;
      if (full) {
        plan.band_ends.push_back(k);
        start = k;
      }
    }
    if (n > 0) plan.band_ends.push_back(n);
  });
  return plan;
}

// One worker: the receive elements [first, end); with a shared transmit
// side, part `part` of the `parts` that meet.
struct Worker {
  sys_con *sys;
  aperture *transmit;
  aperture *receive;
  int first;
  int end;
  int n;
  const point3 *points;
  const double *amplitudes;
  const Plan *plan;
  EchoColumns columns;
  SharedTransmit *shared = nullptr;
  Meeting *meeting = nullptr;
  int part = 0, parts = 1;
  bool failed = false;
  std::string failure;
};

// The per-element echoes of a range of receive elements: one share, and the
// sums of the scatterers added since the last flush.
struct ElementEchoes {
  ElementEchoes(sys_con *sys, aperture *transmit, aperture *receive, int first, int end,
                EchoColumns *columns, bool shared_transmit)
      : share(sys, transmit, receive, true, first, end, shared_transmit),
        sums(new_result_array(sys, receive->no_elements)),
        sys(sys) {
    share.send_to(columns);
  }
  ~ElementEchoes() {
    for (int j = 0; j < share.elements(); j++) release_if_present(sys, sums[j]);
    free_memory(sys, sums);
  }
  ElementEchoes(const ElementEchoes &) = delete;
  ElementEchoes &operator=(const ElementEchoes &) = delete;

  void add(point3 p, double a, int i, int n) {
    share.add(p, a, sums);
    share.done(i, n);
  }

  ScatterShare share;
  signal_rec **sums;
  sys_con *sys;
};

// Moves the rows [lo, hi) (absolute samples) of column j into a new pool
// signal, leaving zeros.
signal_rec *take_rows(sys_con *sys, const EchoColumns &c, int j, int64_t lo, int64_t hi) {
  signal_rec *s = alloc_signal(sys, static_cast<int>(hi - lo), static_cast<int>(lo));
  double *column = c.out + static_cast<int64_t>(j) * c.stride;
  for (int64_t a = std::max(lo, c.first); a < std::min(hi, c.first + c.rows); a++) {
    s->values[a - lo] = column[a - c.first];
    column[a - c.first] = 0.0;
  }
  return s;
}

void run_pass(Worker *w, int first, int end);

// What a worker's columns held before the call: the echoes are formed in
// the columns and the pulse is applied to them there, so the prior values
// are set aside (each column's non-zero extent; nothing for a zero matrix)
// and the columns cleared, and they are added back once the echoes are
// complete, or when the worker fails.
class PriorContent {
 public:
  PriorContent(const EchoColumns &c, int first, int end) : c_(c), first_(first) {
    if (c.rows == 0) return;  // no matrix (it may be NULL)
    saved_.resize(static_cast<std::size_t>(end - first));
    for (int j = first; j < end; j++) {
      double *column = c.out + static_cast<int64_t>(j) * c.stride;
      int64_t lo = 0, hi = c.rows;
      while (lo < hi && column[lo] == 0.0) lo++;
      while (hi > lo && column[hi - 1] == 0.0) hi--;
      Column &s = saved_[static_cast<std::size_t>(j - first)];
      s.lo = lo;
      s.values.assign(column + lo, column + hi);
    }
    // Cleared once everything is saved, so that a failed allocation loses
    // nothing.
    for (int j = first; j < end; j++) {
      const Column &s = saved_[static_cast<std::size_t>(j - first)];
      double *column = c.out + static_cast<int64_t>(j) * c.stride + s.lo;
      std::fill(column, column + s.values.size(), 0.0);
    }
  }
  ~PriorContent() {
    for (std::size_t k = 0; k < saved_.size(); k++) {
      double *column = c_.out + static_cast<int64_t>(first_ + static_cast<int>(k)) * c_.stride;
      const Column &s = saved_[k];
      for (std::size_t i = 0; i < s.values.size(); i++) column[s.lo + i] += s.values[i];
    }
  }
  PriorContent(const PriorContent &) = delete;
  PriorContent &operator=(const PriorContent &) = delete;

 private:
  struct Column {
    int64_t lo = 0;
    std::vector<double> values;
  };
  const EchoColumns &c_;
  int first_;
  std::vector<Column> saved_;
};

// A worker forms the echoes of all its receive elements in one pass over
// the scatterers: the frames of a batch live only while one element's
// pairs of the batch go in, so their memory does not grow with the
// elements.
void run_worker(Worker *w) {
  const int elements = w->end - w->first;
  EchoColumns &columns = w->columns;
  allocating(w->sys, "the spans of the channel echoes", [&] {
    columns.lo.assign(static_cast<std::size_t>(elements), 0);
    columns.hi.assign(static_cast<std::size_t>(elements), 0);
  });
  // With attenuation each echo holds its pulse when it is added, so the
  // matrix is added into as it stands.
  std::unique_ptr<PriorContent> prior;
  if (!w->sys->use_att)
    prior = allocating(w->sys, "the prior content of the channel matrix",
                       [&] { return std::make_unique<PriorContent>(columns, w->first, w->end); });
  run_pass(w, w->first, w->end);
}

// The echoes of the worker's elements, each scatterer's transmit response
// its own.
void add_echoes_alone(Worker *w, ElementEchoes *echoes) {
  int k = 0;
  for (int band_end : w->plan->band_ends) {
    for (; k < band_end; k++) {
      const int i = w->plan->order[static_cast<std::size_t>(k)];
      echoes->add(w->points[i], w->amplitudes[i], k, w->n);
    }
    echoes->share.flush(echoes->sums, &w->columns);
  }
}

// The echoes of the worker's elements with the transmit side shared by the
// workers that meet, round by round (shared_transmit.h).
void add_echoes_shared(Worker *w, ElementEchoes *echoes) {
  SharedTransmit &shared = *w->shared;
  ScatterShare &share = echoes->share;
  for (;;) {
    shared.fill(&share);
    w->meeting->wait(SharedTransmit::compose, &shared);
    if (!shared.runs()) continue;
    share.transform_shared(shared.batch(), w->part, w->parts);
    w->meeting->wait(nullptr, nullptr);
    const std::vector<int> &members = shared.members();
    std::size_t s = 0;
    for (int k = shared.begin(); k < shared.end(); k++) {
      if (s < members.size() && members[s] == k) {
        const int i = w->plan->order[static_cast<std::size_t>(k)];
        share.add_receive(w->points[i], w->amplitudes[i]);
        s++;
      }
      share.done(k, w->n);
    }
    share.run_shared(*shared.batch(), &w->columns);
    if (shared.last()) return;
  }
}

void run_pass(Worker *w, int first, int end) {
  store_relaxed(&w->sys->last_calc_type, SONVAR_LAST_SCAT_MULTI);
  std::unique_ptr<ElementEchoes> echoes(allocating(w->sys, "the per-element echoes", [&] {
    return new ElementEchoes(w->sys, w->transmit, w->receive, first, end, &w->columns,
                             w->shared != nullptr);
  }));
  EchoColumns &columns = w->columns;
  if (w->shared != nullptr)
    add_echoes_shared(w, echoes.get());
  else
    add_echoes_alone(w, echoes.get());
  if (w->sys->use_att) return;  // the echoes already hold the pulse
  // The pulse, postponed to the end as calc_scat_multi postpones it, over
  // the samples the element's sums covered.
  for (int j = first; j < end; j++) {
    const std::size_t k = static_cast<std::size_t>(j - w->first);
    if (columns.lo[k] >= columns.hi[k]) continue;
    signal_rec *echo =
        echoes->share.finish(take_rows(w->sys, columns, j, columns.lo[k], columns.hi[k]));
    columns.add_rows(j, echo->start_sample, echo->values, echo->no_samples);
    free_signal(w->sys, echo);
  }
}

void *worker_entry(void *argument) {
  auto *w = static_cast<Worker *>(argument);
  const CallScope scope(w->sys);
  try {
    run_worker(w);
  } catch (const MeetingBroken &) {
    // Another worker failed and reports.
  } catch (...) {
    if (w->meeting != nullptr) w->meeting->leave();
    w->failed = true;
    try {
      w->failure = failure_text();
    } catch (...) {
      w->failure.clear();
    }
  }
  return nullptr;
}

void check_matrix(sys_con *sys, const double *out, int64_t first_sample, int64_t rows,
                  int64_t column_stride) {
  const char *call = "calc_scat_channels";
  if (rows < 0) fail(sys, "%s: rows %lld is negative", call, static_cast<long long>(rows));
  if (rows > 0 && out == nullptr) fail(sys, "%s: the matrix is NULL", call);
  if (column_stride < rows)
    fail(sys, "%s: the column stride %lld is below the rows %lld", call,
         static_cast<long long>(column_stride), static_cast<long long>(rows));
  if (first_sample < -static_cast<int64_t>(kMaxStartSample) ||
      first_sample > static_cast<int64_t>(kMaxStartSample))
    fail(sys, "%s: the first sample %lld lies beyond +-%.0f", call,
         static_cast<long long>(first_sample), kMaxStartSample);
}

}  // namespace

SONVAR_CALL int64_t calc_scat_channels(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                       const point3 *points, const double *amplitudes, double *out,
                                       int64_t first_sample, int64_t rows,
                                       int64_t column_stride) try {
  SONVAR_ENTER_CALCULATION(sys);
  check_calculation(sys, "calc_scat_channels", transmit, receive, n, points, amplitudes, true);
  check_matrix(sys, out, first_sample, rows, column_stride);
  const int elements = receive->no_elements;
  if (n == 0 || elements <= 0) return 0;
  const Plan plan = make_plan(sys, n, points);
  const int T = std::max(1, std::min(sys->threads, elements));
  std::vector<Worker> workers;
  std::vector<pthread_t> handles;
  std::vector<char> started;
  allocating(sys, "the workers of the channel echoes", [&] {
    workers.resize(static_cast<std::size_t>(T));
    handles.resize(static_cast<std::size_t>(T));
    started.assign(static_cast<std::size_t>(T), 0);
  });
  for (int i = 0; i < T; i++) {
    Worker &w = workers[static_cast<std::size_t>(i)];
    w.sys = sys;
    w.transmit = transmit;
    w.receive = receive;
    w.first = static_cast<int>(static_cast<long long>(i) * elements / T);
    w.end = static_cast<int>(static_cast<long long>(i + 1) * elements / T);
    w.n = n;
    w.points = points;
    w.amplitudes = amplitudes;
    w.plan = &plan;
    w.columns.out = out;
    w.columns.first = first_sample;
    w.columns.rows = rows;
    w.columns.stride = column_stride;
    w.columns.base = w.first;
  }
  // Where the echoes go by frames, the workers meet to share the transmit
  // side; the parts are those that run at once.
  std::unique_ptr<SharedTransmit> shared;
  std::unique_ptr<Meeting> meeting;
  if (T > 1 && ScatterShare::frames_by_transmit(sys, transmit, receive)) {
    shared = allocating(sys, "the shared transmit responses", [&] {
      return std::make_unique<SharedTransmit>(sys, n, points, &plan.order, &plan.band_ends);
    });
    meeting = allocating(sys, "the workers' meeting", [] { return std::make_unique<Meeting>(); });
    for (Worker &w : workers) {
      w.shared = shared.get();
      w.meeting = meeting.get();
    }
  }
  // The first share runs on the calling thread; one that cannot be started
  // on a thread of its own too, with the same result, after the others and
  // with its own transmit side.
  for (int i = 1; i < T; i++)
    started[i] = th_lib_start_thread(&handles[i], worker_entry, &workers[i]) == 0;
  if (meeting != nullptr) {
    int parts = 1;
    for (int i = 1; i < T; i++) {
      if (started[i]) {
        workers[i].part = parts++;
      } else {
        workers[i].shared = nullptr;
        workers[i].meeting = nullptr;
      }
    }
    for (Worker &w : workers) w.parts = parts;
    meeting->set_workers(parts);
  }
  worker_entry(&workers[0]);
  for (int i = 1; i < T; i++) {
    if (started[i])
      th_lib_wait_for_threads(&handles[i], 1);
    else
      worker_entry(&workers[i]);
  }
  // The first failure by worker index is raised once, here.
  int64_t dropped = 0;
  for (const Worker &w : workers) {
    if (w.failed)
      fail_text(sys, w.failure.empty() ? "Fatal error: A worker thread of the calculation failed \n"
                                       : w.failure);
    dropped += w.columns.dropped;
  }
  return dropped;
} catch (...) {
  settle_failure(sys);
  return -1;
}

}  // namespace sonvar
