// Line-bounded elements: the aperture sum over the same 64-element linear
// array as the triangle benchmark (rectangles of 1 x 4 sub-elements per
// element, here converted to line-bounded elements) at the same 100 points
// from 20 to 60 mm depth, with Romberg and with the fast three-point
// integration of the arc angle.
#include <benchmark/benchmark.h>

#include <vector>

#include "dispatch/scratch_block.h"
#include "lines/lines.h"
#include "sonvar.h"

using namespace sonvar;  // the library internals under test

namespace {

constexpr int kElements = 64;
constexpr int kSubY = 4;
constexpr double kPitch = 0.3e-3;
constexpr double kWidth = 0.25e-3;
constexpr double kHeight = 5e-3;

// Column-major rectangle table (19 columns) of the linear array.
aperture *linear_array_of_lines(sys_con *sys) {
  const int rows = kElements * kSubY;
  std::vector<double> table(static_cast<size_t>(rows) * 19, 0.0);
  std::vector<double> centers(static_cast<size_t>(kElements) * 3, 0.0);
  auto cell = [&](int r, int k) -> double & { return table[r + static_cast<size_t>(k) * rows]; };
  const double sub_h = kHeight / kSubY;
  int r = 0;
  for (int e = 0; e < kElements; e++) {
    const double x0 = (e - (kElements - 1) / 2.0) * kPitch - kWidth / 2;
    centers[e] = x0 + kWidth / 2;
    for (int s = 0; s < kSubY; s++, r++) {
      const double y0 = -kHeight / 2 + s * sub_h;
      const double corners[4][2] = {
          {x0, y0}, {x0, y0 + sub_h}, {x0 + kWidth, y0 + sub_h}, {x0 + kWidth, y0}};
      cell(r, 0) = e + 1;
      for (int k = 0; k < 4; k++) {
        cell(r, 1 + 3 * k) = corners[k][0];
        cell(r, 2 + 3 * k) = corners[k][1];
      }
      cell(r, 13) = 1.0;
      cell(r, 14) = kWidth;
      cell(r, 15) = sub_h;
      cell(r, 16) = x0 + kWidth / 2;
      cell(r, 17) = y0 + sub_h / 2;
    }
  }
  return xdc_rectangles(sys, table.data(), rows, centers.data(), point3{0.0, 0.0, 40e-3});
}

void BM_CalcLines(benchmark::State &state) {
  sys_con *sys = sonvar_init(-1);
  set_sonvar(sys, "use_lines", 1);
  set_sonvar(sys, "fast_integration", static_cast<double>(state.range(0)));
  aperture *ap = linear_array_of_lines(sys);
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  std::vector<point3> points;
  for (int k = 0; k < 100; k++)
    points.push_back({(k % 10 - 4.5) * 1e-3, 0.0, 20e-3 + 40e-3 * k / 99.0});
  for (auto _ : state) {
    for (const point3 &p : points) {
      signal_rec *s = calc_lines(sys, block, ap, p.x, p.y, p.z);
      benchmark::DoNotOptimize(s->values);
      free_signal(sys, s);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(points.size()));
  free_memory_block(sys, block);
  xdc_free(sys, ap);
}
BENCHMARK(BM_CalcLines)->ArgName("fast")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
