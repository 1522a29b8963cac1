// Channel data of a plane-wave sequence against calc_scat_multi, with 1 and
// 2 threads (the argument): a 128-element linear array (0.27 x 5 mm
// elements, kerf 0.03 mm, 1 x 5 sub-elements) fires 5 plane waves from -10
// to +10 degrees (transmit delays x sin(angle) / c, apodization 1) at 10,000
// scatterers in x +-19 mm, y +-2 mm, z 5 to 60 mm; the receive aperture is
// the same array with zero delays (raw channels). fs 100 MHz, impulse
// response a 5 MHz Gaussian of 20% bandwidth cut at -40 dB (2.3 us), one
// cycle of excitation.
//  - BM_ChannelsPlaneWaves: each iteration computes the 5 transmits by
//    calc_scat_channels into one matrix, then by calc_scat_multi_parallel;
//    the manual time is the channel data's, the counters give both rates in
//    scatterer-element-transmit triples per second and their ratio
//    (channels over calc_scat_multi; cpu_ratio the same of process
//    processor time), measured interleaved.
//  - BM_ChannelsPeakMemory: in a child process (fresh heap, malloc_trim),
//    the resident memory the matrix and the 5 transmits add, against the
//    matrix's size (peak_over_result).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/scenarios.h"

namespace {

constexpr int kElements = 128;
constexpr int kTransmits = 5;
constexpr int kScatterers = 10000;

// A 5 MHz Gaussian-modulated sine of 20% fractional bandwidth (at -6 dB),
// cut where its envelope falls to -40 dB.
signal_rec *narrow_impulse(sys_con *sys) {
  const double f0 = 5e6, sigma_f = f0 * 0.2 / 2 / std::sqrt(2 * std::log(2.0));
  const double sigma_t = 1 / (scenario::kTwoPi * sigma_f);
  const int half = static_cast<int>(std::ceil(sigma_t * std::sqrt(2 * std::log(100.0)) * sys->fs));
  signal_rec *s = alloc_signal(sys, 2 * half + 1, 0);
  for (int j = 0; j < 2 * half + 1; j++) {
    const double t = (j - half) / sys->fs;
    s->values[j] = std::exp(-t * t / (2 * sigma_t * sigma_t)) * std::sin(scenario::kTwoPi * f0 * t);
  }
  return s;
}

aperture *array(sys_con *sys) {
  aperture *ap = xdc_linear_array(sys, kElements, 0.27e-3, 5e-3, 0.03e-3, 1, 5, {0, 0, 0.02});
  xdc_impulse(sys, ap, narrow_impulse(sys));
  signal_rec *excitation = alloc_signal(sys, 21, 0);
  for (int j = 0; j < 21; j++)
    excitation->values[j] = std::sin(scenario::kTwoPi * 5e6 * j / sys->fs);
  xdc_excitation(sys, ap, excitation);
  return ap;
}

// Replaces the aperture's focus by the given delays (or zeros) and its
// apodization by ones.
void set_delays(sys_con *sys, aperture *ap, double angle) {
  double *delays = static_cast<double *>(alloc_memory(sys, kElements, sizeof(double)));
  double *ones = static_cast<double *>(alloc_memory(sys, kElements, sizeof(double)));
  for (int i = 0; i < kElements; i++) {
    delays[i] = ap->elements[i].center.x * std::sin(angle) / sys->c;
    ones[i] = 1.0;
  }
  const double t0 = 0.0;
  xdc_focus_times(sys, ap, 1, &t0, &delays);
  xdc_apodization(sys, ap, 1, &t0, &ones);
}

double angle(int w) {
  return (-10.0 + 5.0 * w) * M_PI / 180;
}

struct PlaneWaveCase {
  explicit PlaneWaveCase(int threads)
      : sys(scenario::state(threads)), tx(array(sys)), rx(array(sys)) {
    std::mt19937_64 rng(2025);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int k = 0; k < kScatterers; k++) {
      points.push_back({38e-3 * u(rng), 4e-3 * u(rng), 32.5e-3 + 55e-3 * u(rng)});
      amplitudes.push_back(g(rng));
    }
    set_delays(sys, rx, 0.0);
    // The matrix spans every echo of the sequence: calc_scat_multi's own extent.
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int w = 0; w < kTransmits; w++) {
      set_delays(sys, tx, angle(w));
      signal_rec **r = multi();
      for (int j = 0; j < kElements; j++) {
        if (r[j] == nullptr) continue;
        lo = std::min<int64_t>(lo, r[j]->start_sample);
        hi = std::max<int64_t>(hi, r[j]->start_sample + r[j]->no_samples);
      }
      scenario::free_results(sys, r, kElements);
    }
    first = lo;
    rows = hi - lo;
  }
  ~PlaneWaveCase() {
    xdc_free(sys, rx);
    scenario::release(sys, tx);
  }
  signal_rec **multi() {
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    return calc_scat_multi_parallel(sys, tx, rx, kScatterers, p.data(), a.data());
  }
  void channels(std::vector<double> *matrix) {
    std::fill(matrix->begin(), matrix->end(), 0.0);
    for (int w = 0; w < kTransmits; w++) {
      set_delays(sys, tx, angle(w));
      const int64_t dropped =
          calc_scat_channels(sys, tx, rx, kScatterers, points.data(), amplitudes.data(),
                             matrix->data() + w * rows * kElements, first, rows, rows);
      if (dropped != 0) std::abort();  // the matrix covers every echo
    }
  }
  sys_con *sys;
  aperture *tx, *rx;
  std::vector<point3> points;
  std::vector<double> amplitudes;
  int64_t first = 0, rows = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time of the whole process (every thread), s.
double process_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void BM_ChannelsPlaneWaves(benchmark::State &state) {
  PlaneWaveCase c(static_cast<int>(state.range(0)));
  std::vector<double> matrix(static_cast<std::size_t>(c.rows) * kElements * kTransmits);
  double channels = 0, multi = 0, channels_cpu = 0, multi_cpu = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    double cpu = process_seconds();
    c.channels(&matrix);
    const double a = seconds_since(start);
    channels_cpu += process_seconds() - cpu;
    start = std::chrono::steady_clock::now();
    cpu = process_seconds();
    for (int w = 0; w < kTransmits; w++) {
      set_delays(c.sys, c.tx, angle(w));
      scenario::free_results(c.sys, c.multi(), kElements);
    }
    multi += seconds_since(start);
    multi_cpu += process_seconds() - cpu;
    channels += a;
    state.SetIterationTime(a);
  }
  const double triples =
      static_cast<double>(state.iterations()) * kScatterers * kElements * kTransmits;
  state.counters["channels_per_s"] = triples / channels;
  state.counters["multi_per_s"] = triples / multi;
  state.counters["ratio"] = multi / channels;
  state.counters["cpu_ratio"] = multi_cpu / channels_cpu;
  state.SetItemsProcessed(static_cast<int64_t>(triples));
}
BENCHMARK(BM_ChannelsPlaneWaves)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One field of /proc/self/status, bytes.
double status_bytes(const char *field) {
  FILE *f = fopen("/proc/self/status", "r");
  char line[256];
  double kb = 0;
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, field, std::strlen(field)) == 0)
      kb = std::atof(line + std::strlen(field) + 1);
  if (f != nullptr) fclose(f);
  return kb * 1024;
}

void BM_ChannelsPeakMemory(benchmark::State &state) {
  const int threads = static_cast<int>(state.range(0));
  double figures[3] = {0, 0, 0};  // peak growth, matrix bytes, ok
  for (auto _ : state) {
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) std::abort();
    const pid_t child = fork();
    if (child == 0) {
      close(pipe_fd[0]);
      PlaneWaveCase c(threads);
      malloc_trim(0);
      FILE *clear = fopen("/proc/self/clear_refs", "w");  // 5: resets the peak to the current
      if (clear != nullptr) fputs("5", clear), fclose(clear);
      const double base = status_bytes("VmRSS:");
      std::vector<double> matrix(static_cast<std::size_t>(c.rows) * kElements * kTransmits);
      c.channels(&matrix);
      const double out[3] = {status_bytes("VmHWM:") - base,
                             static_cast<double>(matrix.size() * sizeof(double)), 1.0};
      if (write(pipe_fd[1], out, sizeof out) != sizeof out) _exit(1);
      _exit(0);
    }
    close(pipe_fd[1]);
    if (read(pipe_fd[0], figures, sizeof figures) != sizeof figures) figures[2] = 0;
    close(pipe_fd[0]);
    waitpid(child, nullptr, 0);
  }
  if (figures[2] != 1.0) state.SkipWithError("the child process failed");
  state.counters["peak_MB"] = figures[0] / 1e6;
  state.counters["result_MB"] = figures[1] / 1e6;
  state.counters["peak_over_result"] = figures[0] / figures[1];
}
BENCHMARK(BM_ChannelsPeakMemory)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
