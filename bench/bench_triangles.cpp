// Triangle elements: the aperture sum over a 64-element linear array whose
// rectangles (1 x 4 sub-elements per element) are converted to triangles,
// at 100 points from 20 to 60 mm depth, with Romberg and with the fast
// three-point integration of the crossing angles.
#include <benchmark/benchmark.h>

#include <vector>

#include "dispatch/scratch_block.h"
#include "triangles/triangles.h"
#include "sonvar.h"

using namespace sonvar;  // the library internals under test

namespace {

constexpr int kElements = 64;
constexpr double kWidth = 0.25e-3;
constexpr double kKerf = 0.05e-3;
constexpr double kHeight = 5e-3;

void BM_CalcTriangles(benchmark::State &state) {
  sys_con *sys = sonvar_init(-1);
  set_sonvar(sys, "use_triangles", 1);
  set_sonvar(sys, "fast_integration", static_cast<double>(state.range(0)));
  aperture *ap = xdc_linear_array(sys, kElements, kWidth, kHeight, kKerf, 1, 4, {0.0, 0.0, 40e-3});
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  if (block->max_triangles != 8 || block->max_rectangles != 0)
    state.SkipWithError("the array was not converted to 8 triangles per element");
  std::vector<point3> points;
  for (int k = 0; k < 100; k++)
    points.push_back({(k % 10 - 4.5) * 1e-3, 0.0, 20e-3 + 40e-3 * k / 99.0});
  for (auto _ : state) {
    for (const point3 &p : points) {
      signal_rec *s = calc_triangles(sys, block, ap, p.x, p.y, p.z);
      benchmark::DoNotOptimize(s->values);
      free_signal(sys, s);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(points.size()));
  free_memory_block(sys, block);
  xdc_free(sys, ap);
}
BENCHMARK(BM_CalcTriangles)->ArgName("fast")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
