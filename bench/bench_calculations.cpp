// Field calculations on one thread: hp of the example convex probe (128
// elements, 1 x 5 sub-elements) at 1,000 points from 10 to 80 mm depth with
// and without attenuation, and h of a 192-element linear array (1 x 10
// sub-elements) at 1,000 points. Figures are points per second (real time).
#include <benchmark/benchmark.h>

#include "support/scenarios.h"

namespace {

constexpr int kPoints = 1000;

void BM_HpExampleProbe(benchmark::State &state) {
  sys_con *sys = scenario::state(1);
  scenario::soft_tissue_attenuation(sys, state.range(0) != 0);
  aperture *ap = scenario::example_probe(sys);
  const std::vector<point3> points = scenario::field_points(kPoints, 20e-3, 10e-3, 80e-3);
  for (auto _ : state) {
    signal_rec **result = calc_hp(sys, ap, kPoints, points.data());
    benchmark::DoNotOptimize(result[0]);
    scenario::free_results(sys, result, kPoints);
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
  scenario::release(sys, ap);
}
BENCHMARK(BM_HpExampleProbe)
    ->ArgName("att")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_HLinear192(benchmark::State &state) {
  sys_con *sys = scenario::state(1);
  aperture *ap = scenario::linear_probe(sys, 192, 1, 10);
  const std::vector<point3> points = scenario::field_points(kPoints, 20e-3, 10e-3, 80e-3);
  for (auto _ : state) {
    signal_rec **result = calc_h(sys, ap, kPoints, points.data());
    benchmark::DoNotOptimize(result[0]);
    scenario::free_results(sys, result, kPoints);
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
  scenario::release(sys, ap);
}
BENCHMARK(BM_HLinear192)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
