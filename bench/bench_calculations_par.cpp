// The parallel dispatcher with 1 and 2 threads (the second argument):
//  - hp of the example probe at 2,000 points, and at 10,000 points from 10 to
//    80 mm with attenuation (target: 10,000 points in 0.9 s, 2 threads);
//  - h of a 128-element linear array focused at 40 mm, elements cut into
//    scenario::kCutX x scenario::kCutY sub-rectangles, 1,000 points with x within +-20 mm and z
//    from 5 to 80 mm (target: 5,300 points/s, 2 threads);
//  - calc_scat_multi_parallel: 1,000 scatterers in 20 x 40 mm for a
//    64-element array, and 10,000 for a 128-element array (1 x 5
//    sub-elements; target 450,000 scatterer-element pairs/s, 2 threads);
//  - calc_scat_all_parallel: 100 scatterers, 16-element array.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include "support/scenarios.h"

namespace {

void run_function(benchmark::State &state, sys_con *sys, int code, aperture *ap,
                  std::vector<point3> points) {
  const int n = static_cast<int>(points.size());
  for (auto _ : state) {
    signal_rec **result = calc_function_parallel(sys, code, ap, ap, n, points.data());
    benchmark::DoNotOptimize(result[0]);
    scenario::free_results(sys, result, n);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_ParHpExampleProbe(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  sys_con *sys = scenario::state(static_cast<int>(state.range(1)));
  scenario::soft_tissue_attenuation(sys, state.range(2) != 0);
  aperture *ap = scenario::example_probe(sys);
  run_function(state, sys, 2, ap, scenario::field_points(n, 20e-3, 10e-3, 80e-3));
  scenario::release(sys, ap);
}
BENCHMARK(BM_ParHpExampleProbe)
    ->ArgNames({"points", "threads", "att"})
    ->Args({2000, 1, 0})
    ->Args({2000, 2, 0})
    ->Args({10000, 1, 1})
    ->Args({10000, 2, 1})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ParHLinear128(benchmark::State &state) {
  sys_con *sys = scenario::state(static_cast<int>(state.range(0)));
  aperture *ap = scenario::linear_probe(sys, 128, scenario::kCutX, scenario::kCutY);
  run_function(state, sys, 1, ap, scenario::field_points(1000, 20e-3, 5e-3, 80e-3));
  scenario::release(sys, ap);
}
BENCHMARK(BM_ParHLinear128)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Items are scatterer-element pairs.
void BM_ParScatMulti(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const int elements = static_cast<int>(state.range(1));
  sys_con *sys = scenario::state(static_cast<int>(state.range(2)));
  aperture *ap = scenario::linear_probe(sys, elements, 1, 5);
  std::vector<point3> scatterers;
  std::vector<double> amplitudes;
  scenario::random_scatterers(n, 20e-3, 20e-3, 40e-3, &scatterers, &amplitudes);
  for (auto _ : state) {
    std::vector<point3> p = scatterers;  // the calculation may reorder them
    std::vector<double> a = amplitudes;
    signal_rec **result = calc_scat_multi_parallel(sys, ap, ap, n, p.data(), a.data());
    benchmark::DoNotOptimize(result[0]);
    scenario::free_results(sys, result, elements);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n) * elements);
  scenario::release(sys, ap);
}
BENCHMARK(BM_ParScatMulti)
    ->ArgNames({"scatterers", "elements", "threads"})
    ->Args({1000, 64, 1})
    ->Args({1000, 64, 2})
    ->Args({10000, 128, 1})
    ->Args({10000, 128, 2})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Items are scatterers.
void BM_ParScatAll(benchmark::State &state) {
  const int n = 100, elements = 16;
  sys_con *sys = scenario::state(static_cast<int>(state.range(0)));
  aperture *ap = scenario::linear_probe(sys, elements, 1, 5);
  std::vector<point3> scatterers;
  std::vector<double> amplitudes;
  scenario::random_scatterers(n, 20e-3, 20e-3, 40e-3, &scatterers, &amplitudes);
  for (auto _ : state) {
    std::vector<point3> p = scatterers;
    std::vector<double> a = amplitudes;  // divided by fs in place
    signal_rec ***result = calc_scat_all_parallel(sys, ap, ap, n, p.data(), a.data(), 1);
    benchmark::DoNotOptimize(result[0]);
    for (int t = 0; t < elements; t++) scenario::free_results(sys, result[t], elements);
    free_memory(sys, result);
  }
  state.SetItemsProcessed(state.iterations() * n);
  scenario::release(sys, ap);
}
BENCHMARK(BM_ParScatAll)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// Peak resident memory of hp of the example probe at 100,000 points (run
// alone: the peak is the process's). Counters: the samples the results
// hold, the bytes their arrays take, and the peak resident set, MB.
void BM_HpPeakMemory(benchmark::State &state) {
  const int n = 100000;
  sys_con *sys = scenario::state(static_cast<int>(state.range(0)));
  aperture *ap = scenario::example_probe(sys);
  const std::vector<point3> points = scenario::field_points(n, 20e-3, 10e-3, 80e-3);
  double samples = 0, held = 0;
  for (auto _ : state) {
    signal_rec **result =
        calc_function_parallel(sys, 2, ap, ap, n, const_cast<point3 *>(points.data()));
    samples = held = 0;
    for (int k = 0; k < n; k++) {
      samples += result[k]->no_samples;
      held += 8.0 * result[k]->capacity;
    }
    scenario::free_results(sys, result, n);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["result_MB"] = 8 * samples / 1e6;
  state.counters["held_MB"] = held / 1e6;
  state.counters["peak_rss_MB"] = usage.ru_maxrss / 1e3;
  scenario::release(sys, ap);
}
BENCHMARK(BM_HpPeakMemory)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
