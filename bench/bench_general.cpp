// Signal pool: the per-point loop of a calculation takes and returns signals
// without heap calls once the free list holds them.
#include <benchmark/benchmark.h>

#include "sonvar.h"

namespace {

void BM_PoolReuse(benchmark::State &state) {
  sys_con *sys = sonvar_init(1);
  const int samples = static_cast<int>(state.range(0));
  for (auto _ : state) {
    signal_rec *signal = alloc_signal(sys, samples, 0);
    benchmark::DoNotOptimize(signal->values);
    free_signal(sys, signal);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PoolReuse)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace
