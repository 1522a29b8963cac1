// field_map_accuracy.h - the accuracy of field maps (docs/accuracy.md): the
// RMS of hp per point of the two maps of the speed comparison, computed
// with coarser cuts and sampling frequencies, against a reference; each
// row one cut and fs, with its errors over the map and its time per point.
#ifndef SONVAR_FIELD_MAP_ACCURACY_H
#define SONVAR_FIELD_MAP_ACCURACY_H

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sonvar.h"
#include "support/accuracy_reference.h"

namespace map_accuracy {

constexpr double kC = 1540.0;
constexpr double kTwoPi = 6.283185307179586;
// Sampling frequency of the references.
constexpr double kReferenceFs = 400e6;

// A Gaussian-modulated sine of centre f0 and fractional bandwidth (-6 dB),
// cut where its envelope falls to -40 dB, and `cycles` of a sine at f0, as
// the speed comparison sets them (bench/compare_cases.cpp), at fs.
inline std::vector<double> gaussian_impulse(double f0, double bandwidth, double fs) {
  const double b = f0 * bandwidth;
  const double a = -b * b / (8 * std::log(std::pow(10.0, -0.3)));
  const double v = 1 / (kTwoPi * kTwoPi * a);
  const int n = 2 * static_cast<int>(fs * std::sqrt(-2 * v * std::log(1e-2))) + 1;
  std::vector<double> s(static_cast<size_t>(n));
  for (int j = 0; j < n; j++) {
    const double t = (j - n / 2) / fs;
    s[static_cast<size_t>(j)] = std::exp(-t * t / (2 * v)) * std::sin(kTwoPi * f0 * t);
  }
  return s;
}
inline std::vector<double> sine_cycles(double f0, double cycles, double fs) {
  std::vector<double> s(static_cast<size_t>(cycles * fs / f0));
  for (size_t j = 0; j < s.size(); j++) s[j] = std::sin(kTwoPi * f0 * j / fs);
  return s;
}

struct Pulse {
  double f0, bandwidth, cycles;
};

inline signal_rec *signal_of(sys_con *sys, const std::vector<double> &v) {
  signal_rec *s = alloc_signal(sys, static_cast<int>(v.size()), 0);
  std::copy(v.begin(), v.end(), s->values);
  return s;
}

// One map: its probe cut 1 x `cut` on a state of the map's fs (the pulse
// sampled at it), its points, and its reference: the exact response of
// flat elements (`elements`, the independent polygon reference of the
// accuracy table) or, for curved elements, the probe cut 1 x reference_cut.
struct MapCase {
  std::string name;
  std::function<aperture *(sys_con *, int cut)> build;
  Pulse pulse;
  std::vector<point3> points;
  std::vector<accuracy::Element> elements;
  int reference_cut = 0;
  int benchmark_cut = 0;  // the cut of the speed comparison
};

inline std::vector<point3> grid(int columns, int rows, double half_width, double z0, double z1) {
  std::vector<point3> points;
  for (int c = 0; c < columns; c++)
    for (int r = 0; r < rows; r++)
      points.push_back(
          {-half_width + 2 * half_width * c / (columns - 1), 0.0, z0 + (z1 - z0) * r / (rows - 1)});
  return points;
}

// (a) The 128-element convex probe with its elevation lens (radius
// 49.57 mm, focus 60 mm in elevation, transmit focus 40 mm), 3.57 MHz, 79%,
// one cycle; 13 x 9 points, x +-20 mm, z 5 to 80 mm.
inline MapCase convex_case(int columns = 13, int rows = 9) {
  MapCase c;
  c.name = "(a) convex probe, elevation lens";
  c.pulse = {3.57e6, 0.79, 1};
  c.build = [](sys_con *sys, int cut) {
    return xdc_convex_focused_array(sys, 128, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3, 1, cut,
                                    point3{0, 0, 40e-3});
  };
  c.points = grid(columns, rows, 20e-3, 5e-3, 80e-3);
  c.reference_cut = 128;
  c.benchmark_cut = 10;
  return c;
}

// (b) The 64-element phased array (0.27 x 13 mm, pitch 0.3 mm, flat),
// steered 20 degrees and focused at 50 mm, 2.5 MHz, 60%, two cycles; 13 x 9
// points, x +-30 mm, z 5 to 80 mm. Each element's delay |f| - |f - e| over
// c enters the reference as an exact time shift.
inline MapCase phased_case(int columns = 13, int rows = 9) {
  constexpr int kElements = 64;
  constexpr double kWidth = 0.27e-3, kHeight = 13e-3, kPitch = 0.3e-3, kFocus = 50e-3;
  const double steer = kTwoPi * 20 / 360;
  const point3 f{kFocus * std::sin(steer), 0, kFocus * std::cos(steer)};
  MapCase c;
  c.name = "(b) phased array, steered 20 degrees";
  c.pulse = {2.5e6, 0.6, 2};
  c.build = [f](sys_con *sys, int cut) {
    return xdc_linear_array(sys, kElements, kWidth, kHeight, kPitch - kWidth, 1, cut, f);
  };
  for (int i = 0; i < kElements; i++) {
    const double x = (i - (kElements - 1) / 2.0) * kPitch;
    const double delay = (std::hypot(f.x, f.z) - std::hypot(f.x - x, f.z)) / kC;
    c.elements.push_back({{{{x - kWidth / 2, -kHeight / 2},
                            {x + kWidth / 2, -kHeight / 2},
                            {x + kWidth / 2, kHeight / 2},
                            {x - kWidth / 2, kHeight / 2}}},
                          delay});
  }
  c.points = grid(columns, rows, 30e-3, 5e-3, 80e-3);
  c.benchmark_cut = 12;
  return c;
}

inline sys_con *map_state(double fs) {
  sys_con *sys = sonvar_init(1);
  set_sonvar(sys, "show_times", 0);
  set_sonvar(sys, "c", kC);
  set_sonvar(sys, "fs", fs);
  set_sonvar(sys, "threads", 1);
  return sys;
}

// The RMS of hp per point over a window that holds every signal, up to the
// window's length (the same for every map): sqrt of the energy. The field
// map of the probe cut 1 x cut at fs; the time per point in *micros.
inline std::vector<double> library_rms(const MapCase &c, int cut, double fs, double *micros) {
  sys_con *sys = map_state(fs);
  aperture *ap = c.build(sys, cut);
  xdc_impulse(sys, ap, signal_of(sys, gaussian_impulse(c.pulse.f0, c.pulse.bandwidth, fs)));
  xdc_excitation(sys, ap, signal_of(sys, sine_cycles(c.pulse.f0, c.pulse.cycles, fs)));
  std::vector<double> energy(c.points.size());
  field_map_request request{SONVAR_CALC_HP, SONVAR_MAP_ENERGY, 0, 0, 0, 0, nullptr};
  field_map_result out{};
  out.energy = energy.data();
  const auto start = std::chrono::steady_clock::now();
  calc_field_map(sys, ap, nullptr, static_cast<int64_t>(c.points.size()), c.points.data(), &request,
                 &out);
  const auto stop = std::chrono::steady_clock::now();
  if (micros != nullptr)
    *micros = std::chrono::duration<double, std::micro>(stop - start).count() / c.points.size();
  xdc_free(sys, ap);
  sonvar_free(sys);
  for (double &e : energy) e = std::sqrt(e);
  return energy;
}

// The reference RMS: for flat elements hp = h * impulse * excitation / fs^2
// from the polygon reference of h at kReferenceFs (no library code); else
// the probe cut 1 x reference_cut at kReferenceFs.
inline std::vector<double> reference_rms(const MapCase &c) {
  if (c.elements.empty()) return library_rms(c, c.reference_cut, kReferenceFs, nullptr);
  const double fs = kReferenceFs;
  const std::vector<double> pulse =
      sonvar_test::direct_convolution(gaussian_impulse(c.pulse.f0, c.pulse.bandwidth, fs),
                                      sine_cycles(c.pulse.f0, c.pulse.cycles, fs));
  std::vector<double> rms;
  for (const point3 &p : c.points) {
    const accuracy::Signal h = accuracy::reference_response(c.elements, p, kC, fs);
    const std::vector<double> hp = sonvar_test::direct_convolution(h.v, pulse);
    double energy = 0;
    for (double v : hp) energy += (v / (fs * fs)) * (v / (fs * fs));
    rms.push_back(std::sqrt(energy / fs));
  }
  return rms;
}

struct MapRow {
  std::string case_name;
  int cut = 0;
  double fs = 0;
  double map_error = 0;  // largest |RMS - reference| over the map's largest reference RMS
  double l2 = 0;         // relative L2 of the RMS map
  double within = 0;     // largest relative error where the reference is within 20 dB of its top
  double micros = 0;     // time per point, one thread
};

inline MapRow compare_maps(const std::string &name, int cut, double fs,
                           const std::vector<double> &got, const std::vector<double> &ref,
                           double micros) {
  MapRow row{name, cut, fs, 0, 0, 0, micros};
  const double top = *std::max_element(ref.begin(), ref.end());
  double diff = 0, norm = 0;
  for (size_t i = 0; i < ref.size(); i++) {
    const double d = std::fabs(got[i] - ref[i]);
    row.map_error = std::max(row.map_error, d / top);
    if (ref[i] >= top / 10) row.within = std::max(row.within, d / ref[i]);
    diff += d * d;
    norm += ref[i] * ref[i];
  }
  row.l2 = std::sqrt(diff / norm);
  return row;
}

// Every cut at 100 MHz and every fs at the benchmark cut, against the case's
// reference.
inline std::vector<MapRow> run_map_case(const MapCase &c, const std::vector<int> &cuts,
                                        const std::vector<double> &rates) {
  const std::vector<double> ref = reference_rms(c);
  std::vector<MapRow> rows;
  const auto add = [&](int cut, double fs) {
    double micros = 0;
    const std::vector<double> got = library_rms(c, cut, fs, &micros);
    rows.push_back(compare_maps(c.name, cut, fs, got, ref, micros));
  };
  for (int cut : cuts) add(cut, 100e6);
  for (double fs : rates)
    if (fs != 100e6) add(c.benchmark_cut, fs);
  return rows;
}

inline std::string format_map_table(const std::vector<MapRow> &rows) {
  std::string out =
      "| map | cut | fs | largest error / largest RMS | rel. L2 | largest error within -20 dB "
      "| time per point |\n|---|---|---|---|---|---|---|\n";
  char line[512];
  for (const MapRow &r : rows) {
    std::snprintf(line, sizeof line, "| %s | 1 x %d | %.0f MHz | %.1e | %.1e | %.1e | %.0f us |\n",
                  r.case_name.c_str(), r.cut, r.fs / 1e6, r.map_error, r.l2, r.within, r.micros);
    out += line;
  }
  return out;
}

}  // namespace map_accuracy

#endif  // SONVAR_FIELD_MAP_ACCURACY_H
