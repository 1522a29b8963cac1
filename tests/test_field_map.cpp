// Tests of the field maps (calc_field_map, calc_field_map_parallel): the
// reductions against those of the full signals of calc_h, calc_hp and
// calc_hhp summed here in long double, the spectrum against a direct
// transform, independence of the thread count, bounded memory and the
// refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "support/scenarios.h"
#include "support/test_util.h"

using namespace sonvar_test;

namespace {

constexpr double kFs = 100e6;

// Result arrays for n points and `frequencies` spectrum values each.
struct MapArrays {
  std::vector<double> peak, peak_time, rms, energy, spectrum;
  std::vector<int64_t> first, count;
  MapArrays(size_t n, size_t frequencies)
      : peak(n), peak_time(n), rms(n), energy(n), spectrum(n * frequencies), first(n), count(n) {}
  field_map_result out() {
    return {peak.data(),     peak_time.data(), rms.data(),  energy.data(),
            spectrum.data(), first.data(),     count.data()};
  }
};

constexpr int kAll = SONVAR_MAP_PEAK | SONVAR_MAP_RMS | SONVAR_MAP_ENERGY | SONVAR_MAP_SPAN;

// The same reductions of full signals, in long double and sample order.
struct Reference {
  double peak = 0, peak_time = NAN, energy = 0, window_squares = 0;
  int64_t first = 0, count = 0;
};
Reference reduce(const signal_rec *s, int64_t w0, int64_t w1) {
  Reference r;
  if (s == nullptr) return r;
  long double all = 0, inside = 0;
  for (int j = 0; j < s->no_samples; j++) {
    const double v = s->values[j];
    if (std::fabs(v) > r.peak) r.peak = std::fabs(v), r.peak_time = (s->start_sample + j) / kFs;
    all += static_cast<long double>(v) * v;
    if (s->start_sample + j >= w0 && s->start_sample + j < w1)
      inside += static_cast<long double>(v) * v;
  }
  r.energy = static_cast<double>(all / kFs);
  r.window_squares = static_cast<double>(inside);
  r.first = s->start_sample;
  r.count = s->no_samples;
  return r;
}

class FieldMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys = quiet_state();
    set_sonvar(sys, "show_times", 0);
    ap = xdc_linear_array(sys, 16, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.03});
    scenario::set_pulse(sys, ap);
    receive = xdc_linear_array(sys, 6, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.02});
    scenario::set_pulse(sys, receive);
    // Near and far points, on and off the axis, one beside the aperture
    // (h reaches it late and weakly).
    for (int k = 0; k < 77; k++)
      points.push_back({-12e-3 + 0.3e-3 * k, 0.5e-3 * (k % 3), 4e-3 + 0.7e-3 * k});
    points.push_back({0.2, 0, -0.05});
  }
  void TearDown() override {
    xdc_free(sys, ap);
    xdc_free(sys, receive);
    release_state(sys);
  }

  signal_rec **full(int quantity) {
    const int n = static_cast<int>(points.size());
    if (quantity == SONVAR_CALC_H) return calc_h(sys, ap, n, points.data());
    if (quantity == SONVAR_CALC_HP) return calc_hp(sys, ap, n, points.data());
    return calc_hhp(sys, ap, receive, n, points.data());
  }

  int64_t map(const field_map_request &request, MapArrays *arrays, bool parallel) {
    const field_map_result out = arrays->out();
    const int64_t n = static_cast<int64_t>(points.size());
    return parallel ? calc_field_map_parallel(sys, ap, receive, n, points.data(), &request, &out)
                    : calc_field_map(sys, ap, receive, n, points.data(), &request, &out);
  }

  sys_con *sys = nullptr;
  aperture *ap = nullptr, *receive = nullptr;
  std::vector<point3> points;
};

// Every reduction equals that of the full signal: the peak and its time
// exactly (the same samples), sums of squares to 1e-12 (another order), the
// RMS over the common axis and over a fixed window; h, hp and hhp, with and
// without attenuation, on one and on three threads.
TEST_F(FieldMapTest, ReductionsEqualThoseOfTheFullSignals) {
  const size_t n = points.size();
  const int held = signals_in_use(sys);
  for (const bool attenuation : {false, true}) {
    scenario::soft_tissue_attenuation(sys, attenuation);
    for (const int quantity : {SONVAR_CALC_H, SONVAR_CALC_HP, SONVAR_CALC_HHP}) {
      signal_rec **signals = full(quantity);
      int64_t first = INT64_MAX, end = INT64_MIN;
      for (size_t i = 0; i < n; i++)
        if (signals[i] != nullptr) {
          first = std::min<int64_t>(first, signals[i]->start_sample);
          end = std::max<int64_t>(end, signals[i]->start_sample + signals[i]->no_samples);
        }
      // A window across the middle of point 20's signal.
      const int64_t w0 = signals[20]->start_sample + signals[20]->no_samples / 2 - 100;
      const int64_t w1 = w0 + 257;
      for (const int threads : {1, 3}) {
        set_sonvar(sys, "threads", threads);
        for (const int window : {SONVAR_RMS_COMMON, SONVAR_RMS_FIXED}) {
          const std::string what = "quantity " + std::to_string(quantity) + " attenuation " +
                                   std::to_string(attenuation) + " threads " +
                                   std::to_string(threads) + " window " + std::to_string(window);
          const field_map_request request{quantity, kAll, window, w0, w1 - w0, 0, nullptr};
          MapArrays got(n, 0);
          ASSERT_EQ(map(request, &got, threads > 1), static_cast<int64_t>(n)) << what;
          EXPECT_EQ(sys->last_calc_type, quantity - 1) << what;
          for (size_t i = 0; i < n; i++) {
            const Reference ref = reduce(signals[i], w0, w1);
            const std::string at = what + " point " + std::to_string(i);
            EXPECT_EQ(got.peak[i], ref.peak) << at;
            if (ref.peak > 0)
              EXPECT_EQ(got.peak_time[i], ref.peak_time) << at;
            else
              EXPECT_TRUE(std::isnan(got.peak_time[i])) << at;
            EXPECT_NEAR(got.energy[i], ref.energy, 1e-12 * ref.energy) << at;
            const double rms = window == SONVAR_RMS_COMMON
                                   ? std::sqrt(ref.energy * kFs / (end - first))
                                   : std::sqrt(ref.window_squares / (w1 - w0));
            EXPECT_NEAR(got.rms[i], rms, 1e-12 * rms) << at;
            EXPECT_EQ(got.first[i], ref.first) << at;
            EXPECT_EQ(got.count[i], ref.count) << at;
          }
        }
      }
      free_results(sys, signals, static_cast<int>(n));
    }
  }
  EXPECT_EQ(signals_in_use(sys), held);  // the apertures' pulses
}

// |sum v_j exp(-2 pi i f t_j)| / fs against the direct sum in long double,
// at DC, Nyquist and in between; 1e-12 of the largest magnitude (the tables
// and the block phases round, the direct sum's phases too).
TEST_F(FieldMapTest, SpectrumIsTheDirectTransformOfTheSignal) {
  const std::vector<double> f = {0.0, 1.3e6, 3.57e6, 7.123456e6, kFs / 2};
  const size_t n = points.size();
  signal_rec **signals = full(SONVAR_CALC_HP);
  MapArrays got(n, f.size());
  const field_map_request request{
      SONVAR_CALC_HP, SONVAR_MAP_SPECTRUM, 0, 0, 0, static_cast<int32_t>(f.size()), f.data()};
  ASSERT_EQ(map(request, &got, false), static_cast<int64_t>(n));
  for (size_t i = 0; i < n; i++) {
    std::vector<double> ref(f.size());
    double largest = 0;
    for (size_t q = 0; q < f.size(); q++) {
      std::complex<long double> sum = 0;
      for (int j = 0; j < signals[i]->no_samples; j++) {
        const long double phase = -2.0L * M_PIl * f[q] * (signals[i]->start_sample + j) / kFs;
        sum += static_cast<long double>(signals[i]->values[j]) *
               std::complex<long double>(std::cos(phase), std::sin(phase));
      }
      ref[q] = static_cast<double>(std::abs(sum) / kFs);
      largest = std::max(largest, ref[q]);
    }
    for (size_t q = 0; q < f.size(); q++)
      EXPECT_NEAR(got.spectrum[i * f.size() + q], ref[q], 1e-12 * largest)
          << "point " << i << " f " << f[q];
  }
  free_results(sys, signals, static_cast<int>(n));
}

// The values do not depend on the thread count (blocks of points go to
// whichever thread is free), to the bit.
TEST_F(FieldMapTest, ValuesDoNotDependOnTheThreadCount) {
  const std::vector<double> f = {2e6, 5e6};
  const size_t n = points.size();
  const field_map_request request{SONVAR_CALC_HHP, kAll | SONVAR_MAP_SPECTRUM, 0, 0, 0, 2,
                                  f.data()};
  MapArrays one(n, 2);
  map(request, &one, false);
  for (const int threads : {2, 4, 7}) {
    set_sonvar(sys, "threads", threads);
    MapArrays got(n, 2);
    map(request, &got, true);
    for (auto [a, b] : {std::pair{&one.peak, &got.peak},
                        {&one.peak_time, &got.peak_time},
                        {&one.rms, &got.rms},
                        {&one.energy, &got.energy},
                        {&one.spectrum, &got.spectrum}})
      EXPECT_EQ(std::memcmp(a->data(), b->data(), a->size() * sizeof(double)), 0) << threads;
  }
}

// Memory: the pool's high-water mark does not grow with the number of
// points (one point's signals at a time per thread), unlike calc_hp's.
TEST_F(FieldMapTest, PoolMemoryDoesNotGrowWithThePoints) {
  const field_map_request request{SONVAR_CALC_HP, kAll, 0, 0, 0, 0, nullptr};
  std::vector<int64_t> high;
  for (const int copies : {1, 8}) {
    sys_con *state = quiet_state();
    set_sonvar(state, "show_times", 0);
    set_sonvar(state, "threads", 2);
    aperture *probe = xdc_linear_array(state, 16, 0.4e-3, 5e-3, 0.05e-3, 1, 3, point3{0, 0, 0.03});
    scenario::set_pulse(state, probe);
    std::vector<point3> many;
    for (int c = 0; c < copies; c++) many.insert(many.end(), points.begin(), points.end());
    MapArrays got(many.size(), 0);
    const field_map_result out = got.out();
    calc_field_map_parallel(state, probe, nullptr, static_cast<int64_t>(many.size()), many.data(),
                            &request, &out);
    high.push_back(state->max_signal_bytes);
    xdc_free(state, probe);
    release_state(state);
  }
  EXPECT_LE(high[1], high[0] + 64 * 1024) << high[0] << " then " << high[1];
}

// The process's resident set in bytes from /proc/self/status ("VmRSS:" now,
// "VmHWM:" its peak since the last reset_peak_resident).
double status_bytes(const char *key) {
  FILE *f = std::fopen("/proc/self/status", "r");
  char line[256];
  double kib = -1;
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, key, std::strlen(key)) == 0) kib = std::atof(line + std::strlen(key));
  if (f != nullptr) std::fclose(f);
  return kib * 1024;
}
bool reset_peak_resident() {
  FILE *f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return false;
  const bool written = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && written;
}

// Memory of the whole process, heap and pool alike: the peak resident set
// of a field map of 16,000 points rises above the set before the call by at
// most 2 MB more than that of 1,000 points does (the result arrays are
// resident before); hp's signals at those points, kept, would take about
// 30 MB.
TEST_F(FieldMapTest, PeakResidentSetDoesNotGrowWithThePoints) {
  set_sonvar(sys, "threads", 2);
  const field_map_request request{SONVAR_CALC_HP, kAll, 0, 0, 0, 0, nullptr};
  std::vector<double> rise;
  double samples = 0;
  for (const int n : {1000, 16000}) {
    std::vector<point3> many;
    for (int k = 0; k < n; k++)
      many.push_back({-10e-3 + 20e-3 * (k % 100) / 99, 0.0, 5e-3 + 55e-3 * (k / 100) / (n / 100)});
    MapArrays got(static_cast<size_t>(n), 0);
    const field_map_result out = got.out();
    ASSERT_TRUE(reset_peak_resident());
    const double before = status_bytes("VmRSS:");
    ASSERT_EQ(calc_field_map_parallel(sys, ap, nullptr, n, many.data(), &request, &out), n);
    rise.push_back(status_bytes("VmHWM:") - before);
    samples = 0;
    for (const int64_t c : got.count) samples += static_cast<double>(c);
  }
  EXPECT_LE(rise[1], rise[0] + 2e6) << rise[0] << " then " << rise[1];
  EXPECT_GT(samples * sizeof(double), 25e6);
}

// Each refusal names the call and the argument, before anything is
// computed; a fixed window that meets no signal is refused after.
TEST_F(FieldMapTest, BadRequestsAreRefusedWithTheirArgument) {
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN);
  const double bad_frequency = 60e6;
  const field_map_request good{SONVAR_CALC_HP, SONVAR_MAP_PEAK, 0, 0, 0, 0, nullptr};
  struct Case {
    field_map_request request;
    int64_t n;
    bool arrays;
    const char *text;
  };
  const Case cases[] = {
      {{7, SONVAR_MAP_PEAK, 0, 0, 0, 0, nullptr},
       5,
       true,
       "request quantity 7 must be SONVAR_CALC_H (1), SONVAR_CALC_HP (2) or SONVAR_CALC_HHP (3)"},
      {{SONVAR_CALC_HP, 64, 0, 0, 0, 0, nullptr},
       5,
       true,
       "request reductions 64 holds an unknown flag (SONVAR_MAP_PEAK 1, RMS 2, ENERGY 4, "
       "SPECTRUM 8, SPAN 16)"},
      {{SONVAR_CALC_HP, 0, 0, 0, 0, 0, nullptr},
       5,
       true,
       "request reductions is 0: ask for at least one"},
      {good, 0, true, "n 0: a field map needs at least one point"},
      {good, 5, false, "the result's peak array is NULL; SONVAR_MAP_PEAK asks for it"},
      {{SONVAR_CALC_HP, SONVAR_MAP_RMS, 3, 0, 0, 0, nullptr},
       5,
       true,
       "request rms_window 3 must be SONVAR_RMS_COMMON (0) or SONVAR_RMS_FIXED (1)"},
      {{SONVAR_CALC_HP, SONVAR_MAP_RMS, 1, 100, 0, 0, nullptr},
       5,
       true,
       "request window_samples 0 must be at least 1"},
      {{SONVAR_CALC_HP, SONVAR_MAP_RMS, 1, -1000000000, 10, 0, nullptr},
       5,
       true,
       "the RMS window from sample -1000000000 (-10 s) lies outside every signal a calculation "
       "can form"},
      {{SONVAR_CALC_HP, SONVAR_MAP_SPECTRUM, 0, 0, 0, 0, nullptr},
       5,
       true,
       "request no_frequencies 0: the spectrum needs at least one frequency"},
      {{SONVAR_CALC_HP, SONVAR_MAP_SPECTRUM, 0, 0, 0, 1, &bad_frequency},
       5,
       true,
       "request frequencies[0] 6e+07 Hz must be from 0 to fs/2 = 5e+07 Hz"},
      {{SONVAR_CALC_HP, SONVAR_MAP_RMS, 1, 10, 20, 0, nullptr},
       5,
       true,
       "the RMS window [1e-07, 3e-07) s (samples 10 to 29) lies outside the points' signals, "
       "which lie within [5.92e-06, 1.183e-05) s"},
  };
  for (const Case &c : cases) {
    MapArrays arrays(5, 1);
    field_map_result out = arrays.out();
    if (!c.arrays) out.peak = nullptr;
    for (const bool parallel : {false, true}) {
      const char *call = parallel ? "calc_field_map_parallel" : "calc_field_map";
      const int64_t done =
          parallel ? calc_field_map_parallel(sys, ap, nullptr, c.n, points.data(), &c.request, &out)
                   : calc_field_map(sys, ap, nullptr, c.n, points.data(), &c.request, &out);
      EXPECT_EQ(done, 0) << c.text;
      EXPECT_EQ(std::string(sonvar_last_error(sys)),
                std::string("Fatal error: ") + call + ": " + c.text + " \n");
    }
  }
}

// A failure in any thread comes back once, on the calling thread, with its
// text; the state computes again afterwards. Failed threads leave blocks
// behind, so this runs in a child that ends without the leak check.
TEST_F(FieldMapTest, FailureOfAWorkerComesBackOnce) {
  const auto fails_once_then_computes = [this] {
    sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
    set_sonvar(sys, "threads", 2);
    set_sonvar(sys, "use_att", 1);
    set_sonvar(sys, "freq_att", 0.05);
    std::vector<point3> far(200, point3{0, 0, 0.02});
    far[150].z = 400.0;  // the attenuation filter outgrows every transform
    MapArrays arrays(far.size(), 0);
    const field_map_result out = arrays.out();
    const field_map_request request{SONVAR_CALC_HP, kAll, 0, 0, 0, 0, nullptr};
    std::string caught;
    try {
      calc_field_map_parallel(sys, ap, nullptr, 200, far.data(), &request, &out);
    } catch (const sonvar::Error &error) {
      caught = error.what();
    }
    far[150].z = 0.02;
    const bool same =
        caught ==
            "Fatal error: attenuation: at a distance of 400 m, freq_att 0.05 dB/(m Hz) spreads "
            "the pulse over a transform of 1073741825 samples; at most max_samples 4194304 \n" &&
        calc_field_map_parallel(sys, ap, nullptr, 200, far.data(), &request, &out) == 200;
    if (!same) fprintf(stderr, "caught: [%s]\n", caught.c_str());
    return same;
  };
  EXPECT_EXIT(_exit(fails_once_then_computes() ? 0 : 1), testing::ExitedWithCode(0), "");
}

}  // namespace
