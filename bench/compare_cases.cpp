// The cases of the speed comparison (scripts/bench_compare.sh). They
// use only the public calls, so that the same file builds against an older
// revision's library and against the working tree's. Every case runs one
// iteration; the script repeats and interleaves the runs.
//
//  - ScatMulti: per-element echoes of a 128-element convex probe (C5-2-like:
//    0.46 mm elements, kerf 0.048 mm, height 13.5 mm, radius 49.57 mm,
//    elevation focus 60 mm, 1 x 10 sub-elements), transmit focus at 40 mm,
//    scatterers uniform in x +-20 mm, z 5 to 80 mm; items are
//    scatterer x element pairs.
//  - HpMap: hp of the same probe on a 125 x 80 grid (x +-20 mm, z 5 to
//    80 mm); items are points.
//  - BmodeLine: one B-mode line of a 128-element linear array (pitch
//    0.3 mm, width 0.27 mm, height 5 mm, elevation focus 18 mm, 1 x 5
//    sub-elements), 64 active elements, transmit focus 25 mm, dynamic
//    receive focus, 20,000 scatterers in x +-10 mm, z 10 to 50 mm; items
//    are scatterers.
//  - HLinear: h of the 128-element linear array of the benchmark report
//    (0.48 x 13.5 mm, kerf 0.028 mm, 1 x 28 cut, focus 40 mm) at 1,000
//    points, x +-20 mm, z 5 to 80 mm; items are points.
//  - HpPeakMemory: hp of the convex probe at 100,000 points; counters give
//    the result samples and the process's peak resident set.
//  - ScatMultiUser: the per-element echoes of the convex probe set up as a
//    user coming from a frequency-domain toolbox sets them up: the transmit
//    delays (focus at 40 mm) handed over as one time line, a second aperture
//    of the same geometry with zero delays for receive, a zero-phase impulse
//    response of 487 samples (spectrum exp(-ln 2 |2 (f - f0) / B|^4.5), B
//    79% of f0, tails to 1e-6 of the peak), one cycle of excitation,
//    scatterers in x +-20 mm, z 10 to 60 mm; items are pairs; counters
//    give the result samples and the process's peak resident set.
//  - FieldMapConvex (a): peak, RMS and energy of hp per point of the convex
//    probe on the 125 x 80 grid; FieldMapPhased (b): the same for a
//    64-element phased array (2.5 MHz, pitch 0.3 mm, 0.27 x 13 mm elements
//    cut 1 x 12, steered 20 degrees and focused at 50 mm) on a 241 x 301
//    grid (x +-30 mm, z 5 to 80 mm, 72,541 points). With the field-map
//    calls (SONVAR_HAS_FIELD_MAP) one call of calc_field_map_parallel;
//    without them, today's way: calc_function_parallel on batches of at
//    most 10,000 points, each signal reduced and released. Items are
//    points; the counter gives the process's peak resident set.
//  - MachineTwoThreads: no library call; each thread multiplies and adds
//    complex arrays of its own that stay in its core's cache (like the
//    products of the frame spectra), nothing shared. Its 2T/1T is what the
//    machine gives two threads in that run: on a virtual machine whose two
//    cores are busy elsewhere it falls well below 2, and every case's
//    2T/1T with it. Items are complex multiply-adds.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "sonvar.h"

namespace {

constexpr double kF0 = 3.57e6;  // centre frequency, Hz
constexpr double kFs = 100e6;
constexpr double kC = 1540;
constexpr double kTwoPi = 6.283185307179586;

sys_con *new_state(int threads) {
  sys_con *sys = sonvar_init(-1);
  set_sonvar(sys, "threads", threads);
  set_sonvar(sys, "show_times", 0);
  set_sonvar(sys, "fs", kFs);
  set_sonvar(sys, "c", kC);
  return sys;
}

void release_state(sys_con *sys) {
  free_signal_memory(sys);
  free(sys);
}

// Gaussian-modulated sine at kF0, 79% fractional bandwidth (-6 dB), cut
// where the envelope falls to -40 dB.
signal_rec *gaussian_impulse(sys_con *sys) {
  const double b = kF0 * 0.79;
  const double a = -b * b / (8 * std::log(std::pow(10.0, -0.3)));
  const double v = 1 / (kTwoPi * kTwoPi * a);
  const double tc = std::sqrt(-2 * v * std::log(1e-2));
  const int n = 2 * static_cast<int>(kFs * tc) + 1;
  signal_rec *s = alloc_signal(sys, n, 0);
  for (int j = 0; j < n; j++) {
    const double t = (j - n / 2) / kFs;
    s->values[j] = std::exp(-t * t / (2 * v)) * std::sin(kTwoPi * kF0 * t);
  }
  return s;
}

// One cycle of a sine at kF0.
signal_rec *one_cycle(sys_con *sys) {
  const int n = static_cast<int>(kFs / kF0);
  signal_rec *s = alloc_signal(sys, n, 0);
  for (int j = 0; j < n; j++) s->values[j] = std::sin(kTwoPi * kF0 * j / kFs);
  return s;
}

void set_pulse(sys_con *sys, aperture *ap) {
  xdc_impulse(sys, ap, gaussian_impulse(sys));
  xdc_excitation(sys, ap, one_cycle(sys));
}

aperture *convex_probe(sys_con *sys) {
  aperture *ap = xdc_convex_focused_array(sys, 128, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3, 1,
                                          10, point3{0.0, 0.0, 40e-3});
  set_pulse(sys, ap);
  return ap;
}

// Apodization 1 on the 64 central elements of 128, 0 elsewhere.
void central_64(sys_con *sys, aperture *ap) {
  double *values = static_cast<double *>(alloc_memory(sys, 128, sizeof(double)));
  for (int k = 0; k < 128; k++) values[k] = (k >= 32 && k < 96) ? 1.0 : 0.0;
  const double time = 0.0;
  xdc_apodization(sys, ap, 1, &time, &values);
}

aperture *bmode_array(sys_con *sys, bool dynamic) {
  aperture *ap =
      xdc_focused_array(sys, 128, 0.27e-3, 5e-3, 0.03e-3, 18e-3, 1, 5, point3{0.0, 0.0, 25e-3});
  set_pulse(sys, ap);
  central_64(sys, ap);
  if (dynamic) xdc_dynamic_focus(sys, ap, 0.0, 0.0, 0.0);
  return ap;
}

// n x-z points on a columns x rows grid, x within +-half_width, z from z0
// to z1, column by column.
std::vector<point3> grid(int columns, int rows, double half_width, double z0, double z1) {
  std::vector<point3> points;
  for (int c = 0; c < columns; c++)
    for (int r = 0; r < rows; r++)
      points.push_back(
          {-half_width + 2 * half_width * c / (columns - 1), 0.0, z0 + (z1 - z0) * r / (rows - 1)});
  return points;
}

// n scatterers uniform in x +-half_width, y 0, z0 to z1, normal amplitudes;
// a fixed seed so that every build sees the same set.
void scatterers(int n, double half_width, double z0, double z1, std::vector<point3> *points,
                std::vector<double> *amplitudes) {
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> g(0.0, 1.0);
  for (int k = 0; k < n; k++) {
    const double x = (2 * u(rng) - 1) * half_width;
    points->push_back({x, 0.0, z0 + u(rng) * (z1 - z0)});
    amplitudes->push_back(g(rng));
  }
}

// The impulse response of the user's set-up: the zero-phase pulse of the
// amplitude spectrum exp(-ln 2 |2 (f - f0) / B|^4.5) (-6 dB over B = 79% of
// f0), by the midpoint rule over 0 to 3 f0, cut where it stays below 1e-6
// of its peak (487 samples at 100 MHz).
signal_rec *user_impulse(sys_con *sys) {
  const double B = 0.79 * kF0, df = 3 * kF0 / 4000;
  const int half = 400;
  std::vector<double> h(2 * half + 1);
  for (int j = 0; j <= half; j++) {
    double sum = 0;
    for (int k = 0; k < 4000; k++) {
      const double f = (k + 0.5) * df;
      sum += std::exp(-std::log(2.0) * std::pow(std::fabs(2 * (f - kF0) / B), 4.5)) *
             std::cos(kTwoPi * f * j / kFs);
    }
    h[half + j] = h[half - j] = sum;
  }
  int lo = 0;
  while (std::fabs(h[lo]) < 1e-6 * h[half]) lo++;
  const int n = 2 * (half - lo) + 1;
  signal_rec *s = alloc_signal(sys, n, 0);
  for (int j = 0; j < n; j++) s->values[j] = h[lo + j] / h[half];
  return s;
}

// An aperture of the convex probe's geometry whose focus is the delays
// given (one time line from 0 s), with the user's pulse.
aperture *user_probe(sys_con *sys, const std::vector<double> &delays) {
  aperture *ap = xdc_convex_focused_array(sys, 128, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3, 1,
                                          10, point3{0.0, 0.0, 40e-3});
  xdc_impulse(sys, ap, user_impulse(sys));
  xdc_excitation(sys, ap, one_cycle(sys));
  double *line = static_cast<double *>(alloc_memory(sys, 128, sizeof(double)));
  for (int i = 0; i < 128; i++) line[i] = delays[i];
  const double time = 0.0;
  xdc_focus_times(sys, ap, 1, &time, &line);
  return ap;
}

// Transmit delays that focus the probe at (0, 0, 40 mm) as such a user
// forms them: the latest element (the nearest the focus) fires at 0.
std::vector<double> user_focus_delays(const aperture *ap) {
  const int n = ap->no_elements;
  std::vector<double> path(n), delays(n);
  double longest = 0;
  for (int i = 0; i < n; i++) {
    const point3 c = ap->elements[i].center;
    path[i] = std::sqrt(c.x * c.x + c.y * c.y + (c.z - 40e-3) * (c.z - 40e-3));
    longest = std::max(longest, path[i]);
  }
  for (int i = 0; i < n; i++) delays[i] = (longest - path[i]) / kC;
  return delays;
}

void free_array(sys_con *sys, signal_rec **result, int n) {
  for (int k = 0; k < n; k++)
    if (result[k] != nullptr) free_signal(sys, result[k]);
  free_memory(sys, result);
}

// 1,000 and 10,000 scatterers on 1 and 2 threads, one iteration each.
void scatterer_runs(benchmark::internal::Benchmark *b) {
  b->ArgNames({"scatterers", "threads"});
  for (int n : {1000, 10000})
    for (int threads : {1, 2}) b->Args({n, threads});
  b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

// 1 and 2 threads, one iteration each.
void thread_runs(benchmark::internal::Benchmark *b) {
  b->ArgName("threads")->Arg(1)->Arg(2);
  b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

void BM_CmpScatMulti(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  sys_con *sys = new_state(static_cast<int>(state.range(1)));
  aperture *ap = convex_probe(sys);
  std::vector<point3> points;
  std::vector<double> amplitudes;
  scatterers(n, 20e-3, 5e-3, 80e-3, &points, &amplitudes);
  for (auto _ : state) {
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    signal_rec **result = calc_scat_multi_parallel(sys, ap, ap, n, p.data(), a.data());
    benchmark::DoNotOptimize(result[0]);
    free_array(sys, result, 128);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n) * 128);
  xdc_free(sys, ap);
  release_state(sys);
}
BENCHMARK(BM_CmpScatMulti)->Apply(scatterer_runs);

void BM_CmpScatMultiUser(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  sys_con *sys = new_state(static_cast<int>(state.range(1)));
  aperture *probe = convex_probe(sys);
  aperture *transmit = user_probe(sys, user_focus_delays(probe));
  aperture *receive = user_probe(sys, std::vector<double>(128, 0.0));
  xdc_free(sys, probe);
  std::vector<point3> points;
  std::vector<double> amplitudes;
  scatterers(n, 20e-3, 10e-3, 60e-3, &points, &amplitudes);
  double samples = 0;
  for (auto _ : state) {
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    signal_rec **result = calc_scat_multi_parallel(sys, transmit, receive, n, p.data(), a.data());
    benchmark::DoNotOptimize(result[0]);
    samples = 0;
    for (int k = 0; k < 128; k++) samples += result[k] != nullptr ? result[k]->no_samples : 0;
    free_array(sys, result, 128);
  }
  // The process's peak resident set against the result's samples (the
  // first run of a process).
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["result_MB"] = 8 * samples / 1e6;
  state.counters["peak_rss_MB"] = usage.ru_maxrss / 1e3;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n) * 128);
  xdc_free(sys, transmit);
  xdc_free(sys, receive);
  release_state(sys);
}
BENCHMARK(BM_CmpScatMultiUser)->Apply(scatterer_runs);

void run_field(benchmark::State &state, int code, aperture *ap, sys_con *sys,
               std::vector<point3> points) {
  const int n = static_cast<int>(points.size());
  for (auto _ : state) {
    signal_rec **result = calc_function_parallel(sys, code, ap, ap, n, points.data());
    benchmark::DoNotOptimize(result[0]);
    free_array(sys, result, n);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_CmpHpMap(benchmark::State &state) {
  sys_con *sys = new_state(static_cast<int>(state.range(0)));
  aperture *ap = convex_probe(sys);
  run_field(state, 2, ap, sys, grid(125, 80, 20e-3, 5e-3, 80e-3));
  xdc_free(sys, ap);
  release_state(sys);
}
BENCHMARK(BM_CmpHpMap)->Apply(thread_runs);

void BM_CmpBmodeLine(benchmark::State &state) {
  const int n = 20000;
  sys_con *sys = new_state(static_cast<int>(state.range(0)));
  aperture *transmit = bmode_array(sys, false);
  aperture *receive = bmode_array(sys, true);
  std::vector<point3> points;
  std::vector<double> amplitudes;
  scatterers(n, 10e-3, 10e-3, 50e-3, &points, &amplitudes);
  for (auto _ : state) {
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    signal_rec *line = calc_scat_parallel(sys, transmit, receive, n, p.data(), a.data());
    benchmark::DoNotOptimize(line);
    free_signal(sys, line);
  }
  state.SetItemsProcessed(state.iterations() * n);
  xdc_free(sys, transmit);
  xdc_free(sys, receive);
  release_state(sys);
}
BENCHMARK(BM_CmpBmodeLine)->Apply(thread_runs);

void BM_CmpHLinear(benchmark::State &state) {
  sys_con *sys = new_state(static_cast<int>(state.range(0)));
  aperture *ap =
      xdc_linear_array(sys, 128, 0.48e-3, 13.5e-3, 0.028e-3, 1, 28, point3{0.0, 0.0, 40e-3});
  set_pulse(sys, ap);
  run_field(state, 1, ap, sys, grid(20, 50, 20e-3, 5e-3, 80e-3));
  xdc_free(sys, ap);
  release_state(sys);
}
BENCHMARK(BM_CmpHLinear)->Apply(thread_runs);

// Run alone (the peak is the process's own).
void BM_CmpHpPeakMemory(benchmark::State &state) {
  const int columns = 250, rows = 400;  // 100,000 points
  sys_con *sys = new_state(static_cast<int>(state.range(0)));
  aperture *ap = convex_probe(sys);
  std::vector<point3> points = grid(columns, rows, 20e-3, 5e-3, 80e-3);
  const int n = columns * rows;
  double samples = 0;
  for (auto _ : state) {
    signal_rec **result = calc_function_parallel(sys, 2, ap, ap, n, points.data());
    samples = 0;
    for (int k = 0; k < n; k++) samples += result[k]->no_samples;
    free_array(sys, result, n);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["result_MB"] = 8 * samples / 1e6;
  state.counters["peak_rss_MB"] = usage.ru_maxrss / 1e3;
  state.SetItemsProcessed(state.iterations() * n);
  xdc_free(sys, ap);
  release_state(sys);
}
BENCHMARK(BM_CmpHpPeakMemory)->Apply(thread_runs);

// Field maps: peak, RMS over the common time axis and energy per point.
struct MapValues {
  std::vector<double> peak, peak_time, rms, energy;
  explicit MapValues(size_t n) : peak(n), peak_time(n), rms(n), energy(n) {}
};

#ifdef SONVAR_HAS_FIELD_MAP
void field_map(sys_con *sys, aperture *ap, const std::vector<point3> &points, MapValues *v) {
  const field_map_request request{SONVAR_CALC_HP,
                                  SONVAR_MAP_PEAK | SONVAR_MAP_RMS | SONVAR_MAP_ENERGY,
                                  SONVAR_RMS_COMMON,
                                  0,
                                  0,
                                  0,
                                  nullptr};
  const field_map_result out{
      v->peak.data(), v->peak_time.data(), v->rms.data(), v->energy.data(), nullptr, nullptr,
      nullptr};
  calc_field_map_parallel(sys, ap, nullptr, static_cast<int64_t>(points.size()), points.data(),
                          &request, &out);
}
#else
void field_map(sys_con *sys, aperture *ap, const std::vector<point3> &points, MapValues *v) {
  const int n = static_cast<int>(points.size()), batch = 10000;
  std::vector<point3> p = points;
  int64_t first = INT64_MAX, end = INT64_MIN;
  for (int b = 0; b < n; b += batch) {
    const int count = std::min(batch, n - b);
    signal_rec **result = calc_function_parallel(sys, 2, ap, ap, count, p.data() + b);
    for (int k = 0; k < count; k++) {
      const signal_rec *s = result[k];
      double peak = 0, sum = 0;
      int at = 0;
      for (int j = 0; j < s->no_samples; j++) {
        if (std::fabs(s->values[j]) > peak) peak = std::fabs(s->values[j]), at = j;
        sum += s->values[j] * s->values[j];
      }
      v->peak[b + k] = peak;
      v->peak_time[b + k] = (s->start_sample + at) / kFs;
      v->energy[b + k] = sum / kFs;
      v->rms[b + k] = sum;
      first = std::min<int64_t>(first, s->start_sample);
      end = std::max<int64_t>(end, s->start_sample + s->no_samples);
    }
    free_array(sys, result, count);
  }
  for (double &r : v->rms) r = std::sqrt(r / (end - first));
}
#endif

void run_map(benchmark::State &state, sys_con *sys, aperture *ap, std::vector<point3> points) {
  MapValues values(points.size());
  for (auto _ : state) {
    field_map(sys, ap, points, &values);
    benchmark::DoNotOptimize(values.rms.data());
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MB"] = usage.ru_maxrss / 1e3;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(points.size()));
}

void BM_CmpFieldMapConvex(benchmark::State &state) {
  sys_con *sys = new_state(static_cast<int>(state.range(0)));
  aperture *ap = convex_probe(sys);
  run_map(state, sys, ap, grid(125, 80, 20e-3, 5e-3, 80e-3));
  xdc_free(sys, ap);
  release_state(sys);
}
BENCHMARK(BM_CmpFieldMapConvex)->Apply(thread_runs);

// Gaussian-modulated sine at 2.5 MHz, 60% bandwidth, cut at -40 dB, and two
// cycles of excitation, on the 64-element phased array.
aperture *phased_array(sys_con *sys) {
  const double f0 = 2.5e6, b = f0 * 0.6, steer = 20 * kTwoPi / 360, focus = 50e-3;
  aperture *ap = xdc_linear_array(sys, 64, 0.27e-3, 13e-3, 0.03e-3, 1, 12,
                                  point3{focus * std::sin(steer), 0.0, focus * std::cos(steer)});
  const double a = -b * b / (8 * std::log(std::pow(10.0, -0.3)));
  const double v = 1 / (kTwoPi * kTwoPi * a);
  const int n = 2 * static_cast<int>(kFs * std::sqrt(-2 * v * std::log(1e-2))) + 1;
  signal_rec *impulse = alloc_signal(sys, n, 0);
  for (int j = 0; j < n; j++) {
    const double t = (j - n / 2) / kFs;
    impulse->values[j] = std::exp(-t * t / (2 * v)) * std::sin(kTwoPi * f0 * t);
  }
  const int m = static_cast<int>(2 * kFs / f0);
  signal_rec *excitation = alloc_signal(sys, m, 0);
  for (int j = 0; j < m; j++) excitation->values[j] = std::sin(kTwoPi * f0 * j / kFs);
  xdc_impulse(sys, ap, impulse);
  xdc_excitation(sys, ap, excitation);
  return ap;
}

void BM_CmpFieldMapPhased(benchmark::State &state) {
  sys_con *sys = new_state(static_cast<int>(state.range(0)));
  aperture *ap = phased_array(sys);
  run_map(state, sys, ap, grid(241, 301, 30e-3, 5e-3, 80e-3));
  xdc_free(sys, ap);
  release_state(sys);
}
BENCHMARK(BM_CmpFieldMapPhased)->Apply(thread_runs);

// Complex multiply-adds y += a b over arrays of 1,024 values, `rounds`
// times; a value of the result, so that the work is kept.
double multiply_add_rounds(int rounds) {
  constexpr int kValues = 1024;
  std::vector<double> ar(kValues, 1.0), ai(kValues, 0.5), br(kValues, 0.999), bi(kValues, 1e-3);
  std::vector<double> yr(kValues, 0.0), yi(kValues, 0.0);
  for (int r = 0; r < rounds; r++) {
    for (int k = 0; k < kValues; k++) {
      yr[k] += ar[k] * br[k] - ai[k] * bi[k];
      yi[k] += ar[k] * bi[k] + ai[k] * br[k];
    }
    ar[static_cast<std::size_t>(r % kValues)] += 1e-9;  // a new product each round
  }
  return yr[1] + yi[2];
}

void BM_CmpMachineTwoThreads(benchmark::State &state) {
  const int threads = static_cast<int>(state.range(0));
  constexpr int kRounds = 400000;
  std::vector<double> kept(static_cast<std::size_t>(threads));
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
      workers.emplace_back(
          [&kept, t] { kept[static_cast<std::size_t>(t)] = multiply_add_rounds(kRounds); });
    for (std::thread &w : workers) w.join();
    benchmark::DoNotOptimize(kept.data());
  }
  state.SetItemsProcessed(state.iterations() * threads * int64_t{kRounds} * 1024);
}
BENCHMARK(BM_CmpMachineTwoThreads)->Apply(thread_runs);

}  // namespace
