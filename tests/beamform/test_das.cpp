// Tests of the beamformer (beamform/) through its public calls: the image
// against a plain delay-and-sum written here from the time convention of
// sonvar_beamform.h (a direct loop over pixels, transmits and elements), for
// every transmit kind, RF and IQ, both interpolations, every window and
// grid kind; the same image for any thread count and vector width; and
// refused input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sonvar_beamform.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
using cplx = std::complex<double>;

struct Case {
  // Data: packed [frame][transmit][channel][sample], IQ as pairs.
  std::vector<double> values;
  sonvar_bf_channel_data data{};
  std::vector<double> positions, theta, phi;
  sonvar_bf_probe probe{};
  std::vector<sonvar_bf_transmit> transmits;
  std::vector<std::vector<double>> delays, apodizations;
  std::vector<double> axes[3], points;
  sonvar_bf_grid grid{};
  sonvar_bf_options options{};

  void fill(int samples, int transmit_count, int frames, bool iq, unsigned seed) {
    data.iq = iq;
    data.samples = samples;
    data.channels = static_cast<int64_t>(positions.size() / 3);
    data.transmits = transmit_count;
    data.frames = frames;
    data.fs = 20e6;
    data.initial_time = 1.1e-6;
    data.sound_speed = 1540;
    data.modulation_frequency = iq ? 5e6 : 0;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(-1, 1);
    values.resize(static_cast<size_t>(samples * data.channels * transmit_count * frames) *
                  (iq ? 2 : 1));
    for (double &v : values) v = uniform(random);
    data.values = values.data();
    probe.elements = data.channels;
    probe.positions = positions.data();
    probe.theta = theta.empty() ? nullptr : theta.data();
    probe.phi = phi.empty() ? nullptr : phi.data();
    sonvar_bf_default_options(&options);
  }

  void linear_array(int n, double pitch) {
    for (int i = 0; i < n; i++)
      positions.insert(positions.end(), {(i - (n - 1) / 2.0) * pitch, 0, 0});
  }

  void matrix_array(int nx, int ny, double pitch) {
    for (int j = 0; j < ny; j++)
      for (int i = 0; i < nx; i++)
        positions.insert(positions.end(),
                         {(i - (nx - 1) / 2.0) * pitch, (j - (ny - 1) / 2.0) * pitch, 0});
  }

  // A convex array with its apex at the origin: radius R, elements every
  // `step` rad, each facing away from the centre (0, 0, -R).
  void convex_array(int n, double radius, double step) {
    for (int i = 0; i < n; i++) {
      const double a = (i - (n - 1) / 2.0) * step;
      positions.insert(positions.end(), {radius * std::sin(a), 0, radius * std::cos(a) - radius});
      theta.push_back(a);
      phi.push_back(0);
    }
  }

  void cartesian(std::vector<double> x, std::vector<double> y, std::vector<double> z) {
    axes[0] = std::move(x), axes[1] = std::move(y), axes[2] = std::move(z);
    grid.kind = SONVAR_BF_GRID_CARTESIAN;
    for (int i = 0; i < 3; i++) grid.count[i] = static_cast<int64_t>(axes[i].size());
    for (int i = 0; i < 3; i++) grid.axis[i] = axes[i].empty() ? nullptr : axes[i].data();
    if (axes[1].empty()) grid.count[1] = 1;
  }

  // Transmit pointers are set when the transmits are complete.
  sonvar_bf_transmit &add(int kind) {
    transmits.push_back(sonvar_bf_transmit{});
    transmits.back().kind = kind;
    return transmits.back();
  }

  std::vector<double> run(int32_t *status = nullptr) {
    int64_t count = 0;
    EXPECT_EQ(sonvar_bf_image_values(nullptr, &data, &grid, &options, &count), SONVAR_BF_OK);
    std::vector<double> image(static_cast<size_t>(count), -7.0);
    sonvar_bf_error error{};
    const int32_t code =
        sonvar_bf_das(&error, &data, &probe, transmits.data(), &grid, &options, image.data());
    if (status)
      *status = code;
    else
      EXPECT_EQ(code, SONVAR_BF_OK) << error.text;
    return image;
  }
};

std::vector<double> steps(double first, double step, int n) {
  std::vector<double> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) v[static_cast<size_t>(i)] = first + i * step;
  return v;
}

// ---- The plain delay-and-sum -------------------------------------------

double dist(const double *a, const double *b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

double norm3(const double *a) {
  return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
}

double tau_tx(const sonvar_bf_transmit &t, const double *p, const double *positions, int64_t n,
              double c) {
  const double *s = t.source;
  switch (t.kind) {
    case SONVAR_BF_PLANE:
      return (p[2] * std::cos(t.azimuth) * std::cos(t.elevation) +
              p[0] * std::sin(t.azimuth) * std::cos(t.elevation) + p[1] * std::sin(t.elevation)) /
             c;
    case SONVAR_BF_DIVERGING:
      return (dist(p, s) - norm3(s)) / c;
    case SONVAR_BF_FOCUSED:
      return p[2] < s[2] ? (norm3(s) - dist(p, s)) / c : (norm3(s) + dist(p, s)) / c;
    case SONVAR_BF_ELEMENT:
      return (norm3(s) + dist(p, s)) / c;
    default: {
      double first = 1e300;
      for (int64_t i = 0; i < n; i++)
        if (!t.apodization || t.apodization[i] != 0)
          first = std::min(first, t.delays[i] + dist(p, positions + 3 * i) / c);
      return first;
    }
  }
}

// Where the wave reaches, for a flat 1-D array on z = 0: the straight line
// that carries the wave to the pixel crosses the array within the firing
// elements (an element's own cone by the F-number).
bool reached(const sonvar_bf_transmit &t, const double *p, const Case &k) {
  if (!k.options.transmit_apodization) return true;
  double lo = 1e300, hi = -1e300;
  for (int64_t i = 0; i < k.probe.elements; i++)
    if (!t.apodization || t.apodization[i] != 0)
      lo = std::min(lo, k.positions[3 * i]), hi = std::max(hi, k.positions[3 * i]);
  const double *s = t.source;
  double x0;
  switch (t.kind) {
    case SONVAR_BF_PLANE:
      x0 = p[0] - p[2] * std::tan(t.azimuth);
      break;
    case SONVAR_BF_DIVERGING:
    case SONVAR_BF_FOCUSED:
      x0 = s[0] + (p[0] - s[0]) * (0 - s[2]) / (p[2] - s[2]);
      break;
    case SONVAR_BF_ELEMENT:
      return p[2] > 0 && std::fabs(p[0] - s[0]) <= p[2] / (2 * k.options.f_number);
    default:
      return true;
  }
  return x0 >= lo && x0 <= hi;
}

double window(int kind, double alpha, double rho) {
  if (kind == SONVAR_BF_HANNING) return 0.5 + 0.5 * std::cos(kPi * rho);
  if (kind == SONVAR_BF_TUKEY) {
    const double x = (rho + 1) / 2;  // 0 .. 1 across the aperture
    if (x < alpha / 2) return 0.5 * (1 - std::cos(2 * kPi * x / alpha));
    if (x > 1 - alpha / 2) return 0.5 * (1 - std::cos(2 * kPi * (1 - x) / alpha));
  }
  return 1;
}

// Keys' cubic convolution kernel (a = -1/2).
double keys(double x) {
  x = std::fabs(x);
  if (x <= 1) return 1.5 * x * x * x - 2.5 * x * x + 1;
  if (x < 2) return -0.5 * x * x * x + 2.5 * x * x - 4 * x + 2;
  return 0;
}

// The receive weight of element i at pixel p: the offsets across and along
// the element and along its normal, from its rotation.
double receive_weight(const Case &k, int64_t i, const double *p) {
  const double *r = &k.positions[3 * i];
  const double th = k.theta.empty() ? 0 : k.theta[i], ph = k.phi.empty() ? 0 : k.phi[i];
  const double d[3] = {p[0] - r[0], p[1] - r[1], p[2] - r[2]};
  // Turn by -theta about y, then by -phi about x.
  const double x1 = d[0] * std::cos(th) - d[2] * std::sin(th);
  const double z1 = d[0] * std::sin(th) + d[2] * std::cos(th);
  const double y2 = d[1] * std::cos(ph) - z1 * std::sin(ph);
  const double z2 = d[1] * std::sin(ph) + z1 * std::cos(ph);
  const sonvar_bf_options &o = k.options;
  double half = z2 / (2 * o.f_number);
  half = std::max(half, o.min_aperture / 2);
  if (o.max_aperture > 0) half = std::min(half, o.max_aperture / 2);
  bool two_d = false;
  for (int64_t j = 0; j < k.probe.elements; j++) two_d = two_d || k.positions[3 * j + 1] != r[1];
  if (z2 <= 0 || std::fabs(x1) > half || (two_d && std::fabs(y2) > half)) return 0;
  double w = window(o.window, o.tukey_alpha, x1 / half);
  if (two_d) w *= window(o.window, o.tukey_alpha, y2 / half);
  return w;
}

// The trace value at fractional sample kf (0 outside the recorded samples).
cplx read(const Case &k, const double *trace, double kf) {
  const int64_t n = k.data.samples;
  const int step = k.data.iq ? 2 : 1;
  const auto at = [&](int64_t j) {
    return k.data.iq ? cplx(trace[2 * j], trace[2 * j + 1]) : cplx(trace[j], 0);
  };
  cplx v;
  const int64_t j = static_cast<int64_t>(std::floor(kf));
  if (k.options.interpolation == SONVAR_BF_LINEAR) {
    if (kf < 0 || kf >= n - 1) return 0;
    v = at(j) * (1 - (kf - j)) + at(j + 1) * (kf - j);
  } else {
    if (kf < 1 || kf >= n - 2) return 0;
    for (int64_t m = j - 1; m <= j + 2; m++) v += at(m) * keys(kf - m);
  }
  (void)step;
  if (k.data.iq) {
    const double t = k.data.initial_time + kf / k.data.fs;
    v *= std::exp(cplx(0, 2 * kPi * k.data.modulation_frequency * t));
  }
  return v;
}

std::vector<double> pixel_list(const Case &k) {
  std::vector<double> p;
  const sonvar_bf_grid &g = k.grid;
  if (g.kind == SONVAR_BF_GRID_POINTS) return k.points;
  for (int64_t i2 = 0; i2 < g.count[2]; i2++)
    for (int64_t i1 = 0; i1 < g.count[1]; i1++)
      for (int64_t i0 = 0; i0 < g.count[0]; i0++) {
        const double a0 = g.axis[0][i0], a1 = g.axis[1] ? g.axis[1][i1] : 0, a2 = g.axis[2][i2];
        if (g.kind == SONVAR_BF_GRID_CARTESIAN) {
          p.insert(p.end(), {a0, a1, a2});
        } else {
          p.insert(p.end(),
                   {g.apex[0] + a2 * std::cos(a1) * std::sin(a0), g.apex[1] + a2 * std::sin(a1),
                    g.apex[2] + a2 * std::cos(a1) * std::cos(a0)});
        }
      }
  return p;
}

std::vector<double> reference_das(const Case &k) {
  const std::vector<double> pixels = pixel_list(k);
  const int64_t np = static_cast<int64_t>(pixels.size() / 3);
  const int64_t nt = k.data.transmits, nc = k.data.channels, ns = k.data.samples;
  const int64_t images = k.options.compound ? 1 : nt, per = k.data.iq ? 2 : 1;
  std::vector<double> image(static_cast<size_t>(k.data.frames * images * np * per));
  const double c = k.data.sound_speed;
  for (int64_t f = 0; f < k.data.frames; f++)
    for (int64_t p = 0; p < np; p++) {
      const double *px = &pixels[3 * p];
      for (int64_t w = 0; w < nt; w++) {
        const sonvar_bf_transmit &t = k.transmits[w];
        if (!reached(t, px, k)) continue;
        const double tx = tau_tx(t, px, k.positions.data(), nc, c);
        cplx sum = 0;
        for (int64_t r = 0; r < nc; r++) {
          const double weight = receive_weight(k, r, px);
          if (weight == 0) continue;
          const double kf =
              (tx + dist(px, &k.positions[3 * r]) / c - t.delay - k.data.initial_time) * k.data.fs;
          const double *trace = k.values.data() + ((f * nt + w) * nc + r) * ns * per;
          sum += weight * read(k, trace, kf);
        }
        double *out = &image[((f * images + (k.options.compound ? 0 : w)) * np + p) * per];
        out[0] += sum.real();
        if (per == 2) out[1] += sum.imag();
      }
    }
  return image;
}

double peak(const std::vector<double> &v) {
  double m = 0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

// The image agrees with the plain delay-and-sum to 1e-10 of its peak.
void expect_reference(const Case &k, const std::vector<double> &image, const std::string &what) {
  const std::vector<double> ref = reference_das(k);
  ASSERT_EQ(image.size(), ref.size()) << what;
  ASSERT_GT(peak(ref), 0) << what;
  double worst = 0;
  for (size_t i = 0; i < ref.size(); i++) worst = std::max(worst, std::fabs(image[i] - ref[i]));
  EXPECT_LE(worst, 1e-10 * peak(ref))
      << what << ": largest deviation " << worst / peak(ref) << " of the peak";
}

// A 32-element linear array, 2-D grid 40 x 40 pixels from 2 to 28 mm.
Case linear_case(bool iq, int transmits, unsigned seed) {
  Case k;
  k.linear_array(32, 0.3e-3);
  k.fill(720, transmits, 1, iq, seed);
  k.cartesian(steps(-6.0123e-3, 0.3117e-3, 40), {}, steps(2.0171e-3, 0.6521e-3, 40));
  return k;
}

// ---- Tests --------------------------------------------------------------

TEST(BeamformDas, EveryTransmitKindAgreesWithThePlainSum) {
  for (bool iq : {false, true}) {
    Case k = linear_case(iq, 6, 11);
    k.add(SONVAR_BF_PLANE).azimuth = 0.21;
    k.add(SONVAR_BF_PLANE).azimuth = -0.13;
    sonvar_bf_transmit &d = k.add(SONVAR_BF_DIVERGING);
    d.source[0] = 1e-3, d.source[2] = -8e-3, d.delay = 0.4e-6;
    // Focused 0.05 mm above the pixel (16, 20): it lies beyond the focus.
    sonvar_bf_transmit &f = k.add(SONVAR_BF_FOCUSED);
    f.source[0] = -1.0251e-3, f.source[2] = 15.0091e-3, f.delay = -0.3e-6;
    sonvar_bf_transmit &e = k.add(SONVAR_BF_ELEMENT);
    std::copy(&k.positions[3 * 7], &k.positions[3 * 7] + 3, e.source);
    k.add(SONVAR_BF_CUSTOM);
    k.delays.push_back(std::vector<double>(32));
    k.apodizations.push_back(std::vector<double>(32, 1.0));
    for (int i = 0; i < 32; i++) k.delays[0][i] = 1e-7 * std::sin(0.4 * i);
    k.apodizations[0][3] = 0;
    k.transmits[5].delays = k.delays[0].data();
    k.transmits[5].apodization = k.apodizations[0].data();
    // Apodization of firing elements also narrows the plane wave's reach.
    k.apodizations.push_back(std::vector<double>(32, 1.0));
    std::fill(k.apodizations[1].begin(), k.apodizations[1].begin() + 10, 0.0);
    k.transmits[1].apodization = k.apodizations[1].data();
    for (int compound : {1, 0}) {
      k.options.compound = compound;
      expect_reference(k, k.run(), std::string(iq ? "IQ" : "RF") + (compound ? " compound" : ""));
    }
  }
}

TEST(BeamformDas, InterpolationWindowsAndApertureLimitsAgreeWithThePlainSum) {
  for (bool iq : {false, true}) {
    Case k = linear_case(iq, 2, 12);
    k.add(SONVAR_BF_PLANE).azimuth = 0.1;
    k.add(SONVAR_BF_DIVERGING).source[2] = -5e-3;
    for (int interpolation : {SONVAR_BF_LINEAR, SONVAR_BF_CUBIC})
      for (int window : {SONVAR_BF_RECT, SONVAR_BF_HANNING, SONVAR_BF_TUKEY}) {
        k.options.interpolation = interpolation;
        k.options.window = window;
        k.options.tukey_alpha = 0.37;
        k.options.f_number = 1.1;
        k.options.min_aperture = 2.9e-3;
        k.options.max_aperture = 6.1e-3;
        k.options.transmit_apodization = window != SONVAR_BF_TUKEY;
        expect_reference(k, k.run(),
                         (iq ? "IQ" : "RF") + std::string(" interpolation ") +
                             std::to_string(interpolation) + " window " + std::to_string(window));
      }
  }
}

TEST(BeamformDas, ConvexSectorMatrixVolumeAndPointListAgreeWithThePlainSum) {
  {  // A convex array on a polar grid about its centre of curvature.
    Case k;
    k.convex_array(24, 20e-3, 0.02);
    k.fill(900, 2, 1, false, 13);
    k.add(SONVAR_BF_DIVERGING).source[2] = -25e-3;
    sonvar_bf_transmit &e = k.add(SONVAR_BF_ELEMENT);
    std::copy(&k.positions[3 * 5], &k.positions[3 * 5] + 3, e.source);
    k.options.transmit_apodization = 0;
    k.axes[0] = steps(-0.25, 0.0123, 41);
    k.axes[2] = steps(21.1e-3, 0.47e-3, 37);
    k.grid.kind = SONVAR_BF_GRID_POLAR;
    k.grid.count[0] = 41, k.grid.count[1] = 1, k.grid.count[2] = 37;
    k.grid.axis[0] = k.axes[0].data(), k.grid.axis[2] = k.axes[2].data();
    k.grid.apex[2] = -20e-3;
    expect_reference(k, k.run(), "convex");
  }
  {  // A flat array whose elements lie at two depths.
    Case k = linear_case(false, 1, 20);
    for (size_t i = 2; i < k.positions.size(); i += 6) k.positions[i] = -0.1e-3;
    k.add(SONVAR_BF_PLANE).azimuth = 0.1;
    k.options.transmit_apodization = 0;
    expect_reference(k, k.run(), "two depths");
  }
  {  // A matrix array onto a volume, plane waves steered in both directions.
    Case k;
    k.matrix_array(8, 6, 0.4e-3);
    k.fill(700, 2, 1, true, 14);
    sonvar_bf_transmit &a = k.add(SONVAR_BF_PLANE);
    a.azimuth = 0.1, a.elevation = -0.15;
    sonvar_bf_transmit &b = k.add(SONVAR_BF_FOCUSED);
    b.source[1] = 0.5e-3, b.source[2] = 12e-3;
    k.options.transmit_apodization = 0;
    k.options.window = SONVAR_BF_HANNING;
    k.options.f_number = 0.8;
    k.cartesian(steps(-2.013e-3, 0.311e-3, 13), steps(-1.57e-3, 0.29e-3, 11),
                steps(3.1e-3, 0.7e-3, 17));
    const std::vector<double> volume = k.run();
    expect_reference(k, volume, "volume");
    // The same pixels as a list give the same values bit for bit.
    k.points = pixel_list(k);
    k.grid = sonvar_bf_grid{};
    k.grid.kind = SONVAR_BF_GRID_POINTS;
    k.grid.count[0] = static_cast<int64_t>(k.points.size() / 3), k.grid.count[1] = 1;
    k.grid.count[2] = 1;
    k.grid.points = k.points.data();
    EXPECT_EQ(k.run(), volume);
  }
}

TEST(BeamformDas, SameImageForAnyThreadCountVectorWidthFrameGroupAndLayout) {
  Case k = linear_case(false, 3, 15);
  k.add(SONVAR_BF_PLANE).azimuth = 0.05;
  k.add(SONVAR_BF_PLANE).azimuth = -0.2;
  k.add(SONVAR_BF_DIVERGING).source[2] = -4e-3;
  k.options.window = SONVAR_BF_HANNING;
  k.options.threads = 1;
  k.options.vector_width = SONVAR_BF_VECTOR_SCALAR;
  const std::vector<double> reference = k.run();
  for (int threads : {1, 2, 3, 7})
    for (int width : {SONVAR_BF_VECTOR_SCALAR, SONVAR_BF_VECTOR_4, SONVAR_BF_VECTOR_8}) {
      if (width > sonvar_bf_widest_vector()) continue;
      k.options.threads = threads, k.options.vector_width = width;
      EXPECT_EQ(k.run(), reference) << threads << " threads, " << width << " lanes";
    }
  // Eleven frames (more than one group): each frame's image is that of its
  // own data alone. A layout with gaps between the traces reads the same.
  Case many = linear_case(true, 3, 16);
  many.transmits = k.transmits;
  many.fill(720, 3, 11, true, 17);
  many.options.interpolation = SONVAR_BF_CUBIC;
  const std::vector<double> all = many.run();
  const int64_t per_frame = static_cast<int64_t>(all.size() / 11);
  const int64_t trace = 2 * 720, per_data_frame = 3 * 32 * trace;
  Case one = many;
  one.data.frames = 1;
  one.data.channel_stride = 721;  // in complex samples
  for (int f : {0, 8, 10}) {
    std::vector<double> gapped(static_cast<size_t>(3 * 32 * 721 * 2));
    for (int t = 0; t < 3 * 32; t++)
      std::memcpy(&gapped[t * 721 * 2], &many.values[f * per_data_frame + t * trace],
                  sizeof(double) * trace);
    one.data.values = gapped.data();
    const std::vector<double> alone = one.run();
    EXPECT_TRUE(std::equal(alone.begin(), alone.end(), all.begin() + f * per_frame)) << f;
  }
}

TEST(BeamformDas, IqImageMatchesTheRfImageOfTheSameEchoes) {
  // One echo, a 5 MHz Gaussian pulse at the two-way time of a point at
  // (1 mm, 0, 12 mm) on every channel: the IQ image (the analytic signal
  // mixed down by 4 MHz) is the RF image plus i times its quadrature, so
  // their real parts agree to the cubic interpolation error of the RF at 16
  // samples a period.
  Case rf, iq;
  for (Case *k : {&rf, &iq}) {
    k->linear_array(16, 0.3e-3);
    k->fill(1600, 1, 1, k == &iq, 18);
    k->data.fs = 80e6;
    k->data.modulation_frequency = k == &iq ? 4e6 : 0;
    k->add(SONVAR_BF_PLANE);
    k->options.interpolation = SONVAR_BF_CUBIC;
    k->cartesian(steps(-1.5e-3, 0.05e-3, 61), {}, steps(11e-3, 0.02e-3, 101));
    const double target[3] = {1e-3, 0, 12e-3};
    for (int64_t r = 0; r < 16; r++) {
      const double tau = (target[2] + dist(target, &k->positions[3 * r])) / 1540;
      for (int64_t j = 0; j < 1600; j++) {
        const double t = k->data.initial_time + j / k->data.fs - tau;
        const double envelope = std::exp(-t * t / (2 * 0.15e-6 * 0.15e-6));
        const cplx analytic = envelope * std::exp(cplx(0, 2 * kPi * 5e6 * t));
        const cplx mixed = analytic * std::exp(cplx(0, -2 * kPi * 4e6 * (t + tau)));
        if (k == &iq) {
          k->values[2 * (r * 1600 + j)] = mixed.real();
          k->values[2 * (r * 1600 + j) + 1] = mixed.imag();
        } else {
          k->values[r * 1600 + j] = analytic.real();
        }
      }
    }
  }
  const std::vector<double> a = rf.run(), b = iq.run();
  double worst = 0, top = 0, top_iq = 0;
  size_t at = 0;
  for (size_t p = 0; p < a.size(); p++) {
    worst = std::max(worst, std::fabs(a[p] - b[2 * p]));
    top = std::max(top, std::fabs(a[p]));
    const double magnitude = std::hypot(b[2 * p], b[2 * p + 1]);
    if (magnitude > top_iq) top_iq = magnitude, at = p;
  }
  EXPECT_LE(worst, 2e-3 * top) << worst / top;
  // The envelope peaks at the point: x = 1 mm (column 50), z = 12 mm (row 50).
  EXPECT_EQ(at % 61, 50u);
  EXPECT_EQ(at / 61, 50u);
  EXPECT_NEAR(top_iq, 16.0, 0.05);
}

TEST(BeamformDas, RefusesBadInputNamingTheArgumentAndWritesNothing) {
  Case k = linear_case(false, 1, 19);
  k.add(SONVAR_BF_PLANE);
  const auto refused = [&](int32_t code, const std::string &text) {
    std::vector<double> image(40 * 40, -7.0);
    sonvar_bf_error error{};
    EXPECT_EQ(sonvar_bf_das(&error, &k.data, &k.probe, k.transmits.data(), &k.grid, &k.options,
                            image.data()),
              code);
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(std::string(error.text), text);
    EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](double v) { return v == -7.0; }));
  };
  k.options.f_number = 0;
  refused(SONVAR_BF_BAD_ARGUMENT, "f_number: must be above 0, got 0");
  k.options.f_number = -1;
  refused(SONVAR_BF_BAD_ARGUMENT, "f_number: must be above 0, got -1");
  k.options.f_number = 1.5;
  k.probe.elements = 31;
  refused(SONVAR_BF_BAD_ARGUMENT, "probe.elements: 31 elements for 32 channels of data");
  k.probe.elements = 32;
  k.values[5 * 720 + 17] = NAN;
  refused(SONVAR_BF_BAD_ARGUMENT,
          "data.values: not finite (nan) at sample 17, channel 5, transmit 0, frame 0");
  k.values[5 * 720 + 17] = 0;
  k.positions[3 * 4 + 2] = INFINITY;
  refused(SONVAR_BF_BAD_ARGUMENT, "probe.positions: value 14 is not finite (inf)");
  k.positions[3 * 4 + 2] = 0;
  k.transmits[0].kind = SONVAR_BF_DIVERGING;
  k.transmits[0].source[2] = 1e-3;
  refused(SONVAR_BF_BAD_ARGUMENT,
          "transmits[0].source: a diverging wave's virtual source must "
          "lie behind the array (z < 0), got z = 0.001");
  k.transmits[0].kind = SONVAR_BF_PLANE;
  k.axes[2][3] = NAN;
  refused(SONVAR_BF_BAD_ARGUMENT, "grid.axis[2] (z): value 3 is not finite (nan)");
  k.axes[2][3] = 1e-3;
  k.options.max_image_bytes = 12799;
  refused(SONVAR_BF_TOO_LARGE,
          "grid: the image would need 12800 bytes (1600 pixels x 1 images x 1 frames x 8 bytes), "
          "more than the limit of 12799 bytes");
  k.options.max_image_bytes = 0;
  // Larger than any memory: refused by the size check before anything else.
  k.grid.count[0] = 1 << 30, k.grid.count[2] = 1 << 30;
  int64_t values = -1;
  sonvar_bf_error error{};
  EXPECT_EQ(sonvar_bf_image_values(&error, &k.data, &k.grid, &k.options, &values),
            SONVAR_BF_TOO_LARGE);
  EXPECT_EQ(values, 0);
  EXPECT_EQ(std::string(error.text).substr(0, 52),
            "grid: the image would need 9223372036854775808 bytes");
}

}  // namespace
