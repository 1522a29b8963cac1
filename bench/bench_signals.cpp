// Signal processing: the per-point convolution with a cached pulse spectrum,
// the forward transform at typical lengths, and the summation of many
// shifted element responses into one.
#include <benchmark/benchmark.h>

#include <vector>

#include "sonvar.h"

namespace {

// Fills a signal with a smooth, non-trivial waveform.
void fill(signal_rec *s, double phase) {
  for (int j = 0; j < s->no_samples; j++) s->values[j] = 1.0 / (1.0 + j) + phase * (j % 7);
}

// One field point of hp: a 300-sample response convolved with a 200-sample
// pulse whose spectrum is cached (made before the loop, as a calculation
// makes it at its first point).
void BM_FastDftConvoluteCached(benchmark::State &state) {
  sys_con *sys = sonvar_init(1);
  signal_rec *pulse = alloc_signal(sys, 200, 0);
  signal_rec *response = alloc_signal(sys, 300, 1500);
  fill(pulse, 0.25);
  fill(response, -0.5);
  signal_rec *cached = Find_FFT(sys, pulse, Find_N(500, 0));
  for (auto _ : state) {
    signal_rec *y = fast_dft_convolute(sys, response, pulse, &cached);
    benchmark::DoNotOptimize(y->values);
    free_signal(sys, y);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FastDftConvoluteCached);

void BM_FindFFT(benchmark::State &state) {
  sys_con *sys = sonvar_init(1);
  const int N = static_cast<int>(state.range(0));
  signal_rec *s = alloc_signal(sys, N, 0);
  fill(s, 0.125);
  for (auto _ : state) {
    signal_rec *spectrum = Find_FFT(sys, s, N);
    benchmark::DoNotOptimize(spectrum->values);
    free_signal(sys, spectrum);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindFFT)->Arg(1024)->Arg(4096)->Arg(65536);

// 1,000 responses of 100 samples, each starting one sample later than the
// one before, added into one signal that grows to 1,099 samples.
void BM_AddResponsesShifted(benchmark::State &state) {
  constexpr int kSignals = 1000;
  sys_con *sys = sonvar_init(1);
  std::vector<signal_rec *> parts;
  for (int i = 0; i < kSignals; i++) {
    parts.push_back(alloc_signal(sys, 100, 2000 + i));
    fill(parts.back(), 0.001 * i);
  }
  for (auto _ : state) {
    signal_rec *sum = alloc_signal(sys, 100, 2000);
    for (signal_rec *part : parts) add_responses(sys, part, sum);
    benchmark::DoNotOptimize(sum->values);
    free_signal(sys, sum);
  }
  state.SetItemsProcessed(state.iterations() * kSignals);
}
BENCHMARK(BM_AddResponsesShifted);

}  // namespace
