// Delay-and-sum rates of the beamformer (beamform/), in channel-pixel
// samples per second (channels x transmits x pixels / time), with 1 and 2
// threads (the last argument):
//  - 2-D RF (kind 0): a 128-element linear array (pitch 0.3 mm), 5 plane
//    waves from -0.1 to 0.1 rad, 400 x 400 pixels (x within +-19 mm, z from
//    5 to 45 mm), fs 40 MHz, linear interpolation, rectangular window;
//  - 3-D RF (kind 1): a 16 x 8 matrix array (pitch 0.3 mm, 128 elements), 5
//    plane waves steered in azimuth, 40 x 40 x 100 pixels (x within +-2 mm,
//    y within +-1 mm: where the waves reach; z from 5 to 45 mm), the same
//    sampling;
//  - 2-D IQ (kind 2): the 2-D case on IQ data at 10 MHz (f_m 5 MHz).
// Each with the default receive F-number 1.5 and the default transmit
// apodization (full 0), and with every sample summed (full 1: F-number 0.01
// and no transmit apodization, so that no pixel-element pair is skipped).
// Targets: >= 1e9 samples/s with 2 threads, 2 threads / 1 thread >= 1.85.
// Counters: data_MB and image_MB (the call's input and output) and
// extra_KiB, the resident memory the call added beyond them (peak during the
// last run over the resident size before it).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sonvar_beamform.h"

namespace {

struct Setup {
  std::vector<double> values, positions, x, y, z;
  std::vector<sonvar_bf_transmit> transmits;
  sonvar_bf_channel_data data{};
  sonvar_bf_probe probe{};
  sonvar_bf_grid grid{};
  sonvar_bf_options options{};
  std::vector<double> image;
};

std::vector<double> span(double first, double last, int n) {
  std::vector<double> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) v[static_cast<size_t>(i)] = first + (last - first) * i / (n - 1);
  return v;
}

void make(Setup &s, bool iq, bool volume, bool full, int threads) {
  if (volume) {
    for (int j = 0; j < 8; j++)
      for (int i = 0; i < 16; i++)
        s.positions.insert(s.positions.end(), {(i - 7.5) * 0.3e-3, (j - 3.5) * 0.3e-3, 0.0});
    s.x = span(-2e-3, 2e-3, 40), s.y = span(-1e-3, 1e-3, 40), s.z = span(5e-3, 45e-3, 100);
  } else {
    for (int i = 0; i < 128; i++)
      s.positions.insert(s.positions.end(), {(i - 63.5) * 0.3e-3, 0, 0});
    s.x = span(-19e-3, 19e-3, 400), s.z = span(5e-3, 45e-3, 400);
  }
  const double fs = iq ? 10e6 : 40e6;
  const int samples = static_cast<int>(62e-6 * fs);
  s.data.iq = iq;
  s.data.samples = samples, s.data.channels = 128, s.data.transmits = 5, s.data.frames = 1;
  s.data.fs = fs, s.data.sound_speed = 1540, s.data.modulation_frequency = iq ? 5e6 : 0;
  s.values.resize(static_cast<size_t>(samples) * 128 * 5 * (iq ? 2 : 1));
  std::mt19937_64 random(1);
  std::normal_distribution<double> normal;
  for (double &v : s.values) v = normal(random);
  s.data.values = s.values.data();
  for (int w = 0; w < 5; w++) {
    sonvar_bf_transmit t{};
    t.kind = SONVAR_BF_PLANE;
    t.azimuth = (w - 2) * 0.05;
    s.transmits.push_back(t);
  }
  s.probe.elements = 128, s.probe.positions = s.positions.data();
  s.grid.kind = SONVAR_BF_GRID_CARTESIAN;
  s.grid.count[0] = static_cast<int64_t>(s.x.size()), s.grid.axis[0] = s.x.data();
  s.grid.count[1] = volume ? static_cast<int64_t>(s.y.size()) : 1;
  s.grid.axis[1] = volume ? s.y.data() : nullptr;
  s.grid.count[2] = static_cast<int64_t>(s.z.size()), s.grid.axis[2] = s.z.data();
  sonvar_bf_default_options(&s.options);
  if (full) s.options.f_number = 0.01, s.options.transmit_apodization = 0;
  s.options.threads = threads;
  int64_t count = 0;
  sonvar_bf_image_values(nullptr, &s.data, &s.grid, &s.options, &count);
  s.image.assign(static_cast<size_t>(count), 0.0);
}

// Resident and peak resident memory of the process, KiB (Linux).
long status_kib(const char *field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, std::strlen(field), field) == 0)
      return std::stol(line.substr(std::strlen(field) + 1));
  return -1;
}

void reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

void BM_BeamformDas(benchmark::State &state) {
  const int kind = static_cast<int>(state.range(0));  // 0 RF 2-D, 1 RF 3-D, 2 IQ 2-D
  Setup s;
  make(s, kind == 2, kind == 1, state.range(1) != 0, static_cast<int>(state.range(2)));
  sonvar_bf_error error{};
  long before = 0, peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    reset_peak();
    before = status_kib("VmRSS:");
    state.ResumeTiming();
    if (sonvar_bf_das(&error, &s.data, &s.probe, s.transmits.data(), &s.grid, &s.options,
                      s.image.data()) != SONVAR_BF_OK) {
      state.SkipWithError(error.text);
      break;
    }
    state.PauseTiming();
    peak = status_kib("VmHWM:");
    state.ResumeTiming();
    benchmark::DoNotOptimize(s.image.data());
  }
  const double pixels =
      static_cast<double>(s.x.size() * (s.y.empty() ? 1 : s.y.size()) * s.z.size());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 128.0 * 5 * pixels));
  state.counters["data_MB"] = static_cast<double>(s.values.size()) * 8 / 1e6;
  state.counters["image_MB"] = static_cast<double>(s.image.size()) * 8 / 1e6;
  state.counters["extra_KiB"] = static_cast<double>(peak - before);
}
BENCHMARK(BM_BeamformDas)
    ->ArgNames({"kind", "full", "threads"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}, {1, 2}})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
