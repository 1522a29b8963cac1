// Tests of the rectangle response: timings, trapezoids, tilts, batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "dispatch/scratch_block.h"
#include "field/rect_columns.h"
#include "field/rect_response.h"
#include "field/rect_timing.h"
#include "apertures/geometry.h"
#include "base/points.h"
#include "base/simd.h"
#include "pool/spare_scratch.h"
#include "support/calculation_test.h"
#include "support/oracles.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using namespace sonvar_test;  // the shared helpers, oracles and fixture

namespace {
constexpr double kFs = 100e6;
constexpr double kC = 1540.0;

double sum_of(const signal_rec *s) {
  double total = 0;
  for (int j = 0; j < s->no_samples; j++) total += s->values[j];
  return total;
}

// One square element of side `side` cut into `cuts` x `cuts` rectangles,
// centred at the origin, focused at (0, 0, 30 mm).
aperture *square(sys_con *sys, double side, int cuts) {
  return xdc_linear_array(sys, 1, side, side, 0.0, cuts, cuts, point3{0, 0, 0.03});
}
TEST_F(CalculationsTest, OnAxisRectangleGivesOneSample) {
  // A point on the normal axis of an untilted rectangle: T0 = T1 = 0, so the
  // whole weighted area arrives in the sample whose interval holds t0.
  aperture *rect = square(sys, 1e-3, 1);
  const point3 p{0, 0, 0.02};
  signal_rec **h = calc_h(sys, rect, 1, &p);
  ASSERT_NE(h[0], nullptr);
  const double t0 = 0.02 / kC;
  const int k0 = static_cast<int>(std::floor(t0 * kFs + 0.5));
  int nonzero = 0;
  for (int j = 0; j < h[0]->no_samples; j++) {
    if (h[0]->values[j] == 0.0) continue;
    nonzero++;
    EXPECT_EQ(h[0]->start_sample + j, k0);
    // weighted area fs / W, W = 2 pi c times the sample's time.
    const double expected = 1e-6 * kFs / (2 * M_PI * kC * k0 / kFs);
    EXPECT_NEAR(h[0]->values[j], expected, 1e-12 * expected);
  }
  EXPECT_EQ(nonzero, 1);
  free_results(sys, h, 1);
  xdc_free(sys, rect);
}

TEST_F(CalculationsTest, RectanglesConvergeToTheExactTriangleResponse) {
  // Rectangles are a far-field approximation: cut finely enough, a 4 x 4 mm
  // square at 30 mm depth gives the exact (triangle) response. The time
  // integral is within 0.5 % even uncut (0.15 %); the signal needs 10 x 10
  // cuts to come within 2 % L2 on axis (1.25 %; 6 x 6 suffice 5 mm off
  // axis), where an uncut square is off by 250 %.
  aperture *exact = xdc_convert(sys, square(sys, 4e-3, 1));
  aperture *coarse = square(sys, 4e-3, 1);
  aperture *fine = square(sys, 4e-3, 10);
  for (const point3 p : {point3{0, 0, 0.03}, point3{0.005, 0, 0.03}}) {
    signal_rec **ref = calc_h(sys, exact, 1, &p);
    signal_rec **rough = calc_h(sys, coarse, 1, &p);
    signal_rec **got = calc_h(sys, fine, 1, &p);
    // The exact time integral: (1/2pi) * integral dS / R over the square.
    double integral = 0;
    constexpr int kGrid = 400;
    const double step = 4e-3 / kGrid;
    for (int a = 0; a < kGrid; a++)
      for (int b = 0; b < kGrid; b++) {
        const double x = -2e-3 + (a + 0.5) * step, y = -2e-3 + (b + 0.5) * step;
        integral += step * step / std::sqrt(sqr(p.x - x) + sqr(p.y - y) + sqr(p.z));
      }
    integral /= 2 * M_PI;
    // The triangle integration converges to 1e-3 of each step's estimate.
    EXPECT_NEAR(sum_of(ref[0]) / kFs, integral, 1e-4 * integral) << "triangles at x " << p.x;
    EXPECT_NEAR(sum_of(rough[0]) / kFs, integral, 5e-3 * integral) << "uncut at x " << p.x;
    EXPECT_NEAR(sum_of(got[0]) / kFs, integral, 5e-3 * integral) << "10 x 10 at x " << p.x;
    EXPECT_LT(relative_l2(got[0], ref[0]), 0.02) << "10 x 10 at x " << p.x;
    EXPECT_LT(relative_l2(got[0], ref[0]), relative_l2(rough[0], ref[0])) << p.x;
    free_results(sys, ref, 1);
    free_results(sys, rough, 1);
    free_results(sys, got, 1);
  }
  xdc_free(sys, exact);
  xdc_free(sys, coarse);
  xdc_free(sys, fine);
}

// A w x h rectangle centred at `centre`, turned by `xz` about the y axis
// and then by `yz` about the x axis, corners in the aperture's order.
rect_element turned_rectangle(double w, double h, double xz, double yz, point3 centre) {
  rect_element rect{};
  const double local[4][2] = {{-w / 2, -h / 2}, {-w / 2, h / 2}, {w / 2, h / 2}, {w / 2, -h / 2}};
  auto place = [&](double u, double v) {
    // Turn (u, v, 0) about y by xz, then about x by yz.
    const double x = u * std::cos(xz), z1 = -u * std::sin(xz);
    const double y = v * std::cos(yz) - z1 * std::sin(yz), z = v * std::sin(yz) + z1 * std::cos(yz);
    return point3{centre.x + x, centre.y + y, centre.z + z};
  };
  for (int k = 0; k < 4; k++) rect.corners[k] = place(local[k][0], local[k][1]);
  rect.center = centre;
  rect.apodization = 1.0;
  calculate_vectors(&rect);
  return rect;
}

// One physical element: the rectangle `rect` cut into nx x ny rectangles.
aperture *cut_rectangle(sys_con *sys, double w, double h, double xz, point3 centre, int nx,
                        int ny) {
  std::vector<double> table(19 * nx * ny, 0.0);
  const int rows = nx * ny;
  const double cx = std::cos(xz), sx = std::sin(xz);
  for (int i = 0; i < nx; i++)
    for (int j = 0; j < ny; j++) {
      const int r = i * ny + j;
      auto at = [&](int column) -> double & { return table[r + column * rows]; };
      const double u0 = -w / 2 + i * w / nx, u1 = u0 + w / nx;
      const double v0 = -h / 2 + j * h / ny, v1 = v0 + h / ny;
      const double corners[4][2] = {{u0, v0}, {u0, v1}, {u1, v1}, {u1, v0}};
      at(0) = 1;
      for (int k = 0; k < 4; k++) {
        at(1 + 3 * k) = centre.x + corners[k][0] * cx;
        at(2 + 3 * k) = centre.y + corners[k][1];
        at(3 + 3 * k) = centre.z - corners[k][0] * sx;
      }
      at(13) = 1.0;
      at(14) = w / nx;
      at(15) = h / ny;
      at(16) = centre.x + (u0 + u1) / 2 * cx;
      at(17) = centre.y + (v0 + v1) / 2;
      at(18) = centre.z - (u0 + u1) / 2 * sx;
    }
  double centres[3] = {centre.x, centre.y, centre.z};
  aperture *ap = nullptr;
  capture_stdout([&] { ap = xdc_rectangles(sys, table.data(), rows, centres, {0, 0, 1}); });
  return ap;
}

TEST_F(CalculationsTest, SingleTiltTakesTheSameRotationAsTwoTilts) {
  // A second tilt of 1e-14 rad switches to the doubly tilted branch; the
  // direction cosines must not jump (they once did by 1/cos of the tilt).
  rect_unit_vector one{}, two{};
  const point3 points[] = {{0.01, 0.004, 0.03}, {-0.02, 0.0, 0.01}, {0.0, -0.015, 0.05}};
  for (int degrees = -60; degrees <= 60; degrees += 10)
    for (const bool about_y : {true, false}) {
      const double a = degrees * M_PI / 180;
      const point3 c{0.003, -0.002, 0.001};
      const rect_element single = about_y ? turned_rectangle(0.4e-3, 5e-3, a, 0, c)
                                          : turned_rectangle(0.4e-3, 5e-3, 0, a, c);
      const rect_element both = about_y ? turned_rectangle(0.4e-3, 5e-3, a, 1e-14, c)
                                        : turned_rectangle(0.4e-3, 5e-3, 1e-14, a, c);
      EXPECT_EQ(single.doubly_tilted, 0);
      EXPECT_EQ(both.doubly_tilted, degrees == 0 ? 0 : 1);
      for (const point3 &p : points) {
        unit_vec_calc_mem(sys, &one, 1, &single, 0.0, p.x, p.y, p.z);
        unit_vec_calc_mem(sys, &two, 1, &both, 0.0, p.x, p.y, p.z);
        EXPECT_NEAR(one.local_x, two.local_x, 1e-12)
            << degrees << (about_y ? " about y" : " about x");
        EXPECT_NEAR(one.local_y, two.local_y, 1e-12)
            << degrees << (about_y ? " about y" : " about x");
      }
    }
}

TEST_F(CalculationsTest, TiltedRectangleConvergesToItsTrianglesAsItIsCut) {
  // The outermost element of a convex array (0.4 x 5 mm, tilted 37 degrees
  // in x-z only), seen at 40 mm and 40 or 60 degrees from its normal. With
  // the true direction cosines the far-field error falls as the square of
  // the cut (observed L2: 2.1 %, 0.49 %, 0.13 %, 0.033 % at 40 degrees); with
  // cosines 1/cos(tilt) too large it fell only as the cut (28 %, 17 %, 9 %,
  // 4 %) and the uncut directivity was 3 to 5 dB low.
  const double tilt = 37 * M_PI / 180;
  const point3 centre{0.03, 0.0, -0.01};
  aperture *exact = xdc_convert(sys, cut_rectangle(sys, 0.4e-3, 5e-3, tilt, centre, 1, 1));
  for (const double off : {40.0, 60.0}) {
    const double a = tilt + off * M_PI / 180;
    const point3 p{centre.x + 0.04 * std::sin(a), 0.0, centre.z + 0.04 * std::cos(a)};
    signal_rec **ref = calc_h(sys, exact, 1, &p);
    double previous = 0.0;
    for (const int n : {1, 2, 4, 8}) {
      aperture *cut = cut_rectangle(sys, 0.4e-3, 5e-3, tilt, centre, n, 4 * n);
      signal_rec **got = calc_h(sys, cut, 1, &p);
      const double error = relative_l2(got[0], ref[0]);
      if (n == 1) {
        EXPECT_LT(error, 0.03) << off << " degrees uncut";
      } else {
        EXPECT_LT(error, previous / 3) << off << " degrees, " << n << " cuts";
      }
      previous = error;
      free_results(sys, got, 1);
      xdc_free(sys, cut);
    }
    free_results(sys, ref, 1);
  }
  xdc_free(sys, exact);
}

TEST_F(CalculationsTest, FocusAtPointMatchesAFixedFocusOnTheTarget) {
  // A 64-element aperture at 10 mm: the dynamic focus with the option gives
  // the field of a fixed focus placed on the target; without it the outer
  // elements focus beyond the point and the peak drops (observed -2.8 dB).
  aperture *fixed = xdc_linear_array(sys, 64, 0.25e-3, 5e-3, 0.05e-3, 1, 1, {0, 0, 10e-3});
  aperture *dynamic = xdc_linear_array(sys, 64, 0.25e-3, 5e-3, 0.05e-3, 1, 1, {0, 0, 10e-3});
  xdc_dynamic_focus(sys, dynamic, 0.0, 0.0, 0.0);
  const point3 target{0, 0, 10e-3};
  signal_rec **ref = calc_h(sys, fixed, 1, &target);
  signal_rec **plain = calc_h(sys, dynamic, 1, &target);
  set_sonvar(sys, "focus_at_point", 1);
  signal_rec **at_point = calc_h(sys, dynamic, 1, &target);
  expect_signal_near(at_point[0], ref[0]->start_sample, values_of(ref[0]), 1e-12, "at the point");
  auto peak = [](const signal_rec *s) {
    return *std::max_element(s->values, s->values + s->no_samples);
  };
  EXPECT_LT(20 * std::log10(peak(plain[0]) / peak(ref[0])), -1.0);
  free_results(sys, ref, 1);
  free_results(sys, plain, 1);
  free_results(sys, at_point, 1);
  xdc_free(sys, fixed);
  xdc_free(sys, dynamic);
}

// A sum over the aperture works out only its weighted elements' delays:
// dynamic focus along z from the origin with every other element at weight
// 0 gives the field of the same delays (the focus at each element's own
// distance from the point) handed over as a static focus.
TEST_F(CalculationsTest, DynamicFocusWithElementsAtWeightZeroMatchesItsDelaysGivenStatically) {
  const int n = 32;
  const point3 p{3e-3, 1e-3, 12e-3};
  aperture *dynamic = xdc_linear_array(sys, n, 0.25e-3, 5e-3, 0.05e-3, 1, 3, {0, 0, 20e-3});
  aperture *fixed = xdc_linear_array(sys, n, 0.25e-3, 5e-3, 0.05e-3, 1, 3, {0, 0, 20e-3});
  xdc_dynamic_focus(sys, dynamic, 0.0, 0.0, 0.0);
  const double c = 1540.0;
  double *weights[2], *delays = static_cast<double *>(alloc_memory(sys, n, sizeof(double)));
  for (double *&w : weights) w = static_cast<double *>(alloc_memory(sys, n, sizeof(double)));
  for (int i = 0; i < n; i++) {
    weights[0][i] = weights[1][i] = i % 2 == 0 ? 1.0 + 0.01 * i : 0.0;
    // The focus on the axis at the element's distance d from the point:
    // d / c - |centre - focus| / c.
    const point3 e = dynamic->elements[i].center;
    const double d = std::sqrt(sqr(p.x - e.x) + sqr(p.y - e.y) + sqr(p.z - e.z));
    delays[i] = d / c - std::sqrt(sqr(e.x) + sqr(e.y) + sqr(d - e.z)) / c;
  }
  const double time = 0.0;
  xdc_apodization(sys, dynamic, 1, &time, &weights[0]);
  xdc_apodization(sys, fixed, 1, &time, &weights[1]);
  xdc_focus_times(sys, fixed, 1, &time, &delays);
  signal_rec **got = calc_h(sys, dynamic, 1, &p);
  signal_rec **want = calc_h(sys, fixed, 1, &p);
  expect_signal_near(got[0], want[0]->start_sample, values_of(want[0]), 1e-12, "dynamic");
  free_results(sys, got, 1);
  free_results(sys, want, 1);
  xdc_free(sys, dynamic);
  xdc_free(sys, fixed);
}

TEST_F(CalculationsTest, AccurateTimingAgreesInTheFarField) {
  aperture *ap = square(sys, 1e-3, 1);
  const point3 p{0.02, 0.005, 0.1};
  signal_rec **plain = calc_h(sys, ap, 1, &p);
  set_sonvar(sys, "accurate_time_calc", 1);
  signal_rec **accurate = calc_h(sys, ap, 1, &p);
  EXPECT_NEAR(sum_of(accurate[0]), sum_of(plain[0]), 1e-3 * sum_of(plain[0]));
  EXPECT_LT(relative_l2(accurate[0], plain[0]), 0.05);
  free_results(sys, plain, 1);
  free_results(sys, accurate, 1);
  xdc_free(sys, ap);
}
TEST_F(CalculationsTest, ExactTimeStepReproducesTheRunningSumOfSampleTimes) {
  // The rectangle windows take o0 + j d instead of the running sum o += dt
  // wherever exact_time_step allows it; every step it returns must give the
  // running sum bit for bit, across the depths of a field (1 us to 200 us)
  // and sampling rates, and it must refuse windows that cross a power of two.
  int exact = 0;
  for (const double fs : {100e6, 40e6, 123.456e6, 1e9})
    for (int s = 100; s < 20000; s += 37) {
      const double dt = 1 / fs;
      const double o0 = (s + 0.5) * dt;
      const int n = 1 + s % 300;
      const double d = exact_time_step(o0, dt, n);
      int e0 = 0, e1 = 0;
      std::frexp(o0, &e0);
      std::frexp(o0 + n * dt, &e1);
      if (e0 != e1) {
        EXPECT_EQ(d, 0.0) << "window crosses 2^" << e0 << " at fs " << fs;
      }
      if (d == 0) continue;
      exact++;
      double o = o0;
      for (int j = 0; j <= n; j++, o += dt)
        ASSERT_EQ(o0 + j * d, o) << "fs " << fs << " s " << s << " j " << j;
    }
  EXPECT_GT(exact, 1000);  // the common case takes the exact step
  EXPECT_EQ(exact_time_step(-1e-6, 1e-8, 10), 0.0);
}

// The far-field timings round whole vectors by arithmetic (v + 2^52 - 2^52
// and a correction); each lane must be std::floor and std::ceil bit for
// bit: both zeros, halves (ties to even), the last doubles below 1 and
// below 2^52, integers from 2^52 on, subnormals, infinities, NaN, and
// values of every magnitude.
TEST(VectorLanes, FloorAndCeilAreThoseOfTheMathLibrary) {
  std::vector<double> values = {0.0,          -0.0,         0.5,      -0.5,        1.5,
                                -1.5,         2.5,          -2.5,     1 - 0x1p-53, -(1 - 0x1p-53),
                                0x1p52 - 0.5, 0.5 - 0x1p52, 0x1p52,   -0x1p52,     0x1p52 + 2,
                                0x1p53 + 2,   1e300,        -1e300,   1e-300,      -1e-300,
                                5e-324,       -5e-324,      INFINITY, -INFINITY,   NAN,
                                3.0,          -3.0,         1e-8};
  for (int k = 0; k < 2000; k++) {
    const double magnitude = std::ldexp(1.0, k % 120 - 60);
    values.push_back((k % 2 ? -1 : 1) * magnitude * (1 + std::sin(k) * 0.999));
  }
  while (values.size() % 8 != 0) values.push_back(0.25);
  const auto same = [](double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
  };
  for (std::size_t i = 0; i < values.size(); i += 8) {
    const Lanes8 v8 = load<Lanes8>(values.data() + i);
    const Lanes4 v4 = load<Lanes4>(values.data() + i);
    const Lanes8 f8 = floor(v8), c8 = ceil(v8);
    const Lanes4 f4 = floor(v4), c4 = ceil(v4);
    for (int q = 0; q < 8; q++) {
      const double v = values[i + q];
      EXPECT_TRUE(same(f8[q], std::floor(v))) << "floor of " << v << " gave " << f8[q];
      EXPECT_TRUE(same(c8[q], std::ceil(v))) << "ceil of " << v << " gave " << c8[q];
      if (q < 4) {
        EXPECT_TRUE(same(f4[q], std::floor(v)) && same(c4[q], std::ceil(v))) << v;
      }
    }
  }
}

// The rectangles of several elements share one batch of timings; batches
// that hold fewer elements (down to one, and splits that leave part of a
// four empty) must give the same bits for the sum and for every element.
TEST_F(CalculationsTest, RectangleBatchesOfAnySizeGiveTheSameResponses) {
  aperture *ap = xdc_convex_focused_array(sys, 12, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3, 1,
                                          5, {0, 0, 40e-3});
  const point3 p{3e-3, 1e-3, 35e-3};
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  ASSERT_EQ(block->batch_capacity, 60);  // the whole aperture in one batch
  std::vector<signal_rec *> ref(12);
  signal_rec *ref_sum = rectangle_elements_and_sum(sys, block, ap, p.x, p.y, p.z, ref.data());
  for (const int capacity : {5, 7, 13}) {
    block->batch_capacity = capacity;
    std::vector<signal_rec *> got(12);
    signal_rec *sum = rectangle_elements_and_sum(sys, block, ap, p.x, p.y, p.z, got.data());
    signal_rec *direct = calc_rectangles_mem(sys, block, ap, p.x, p.y, p.z);
    for (int i = 0; i <= 12; i++) {
      const signal_rec *g = i < 12 ? got[i] : sum, *r = i < 12 ? ref[i] : ref_sum;
      SCOPED_TRACE("capacity " + std::to_string(capacity) + " signal " + std::to_string(i));
      ASSERT_EQ(g->start_sample, r->start_sample);
      ASSERT_EQ(g->no_samples, r->no_samples);
      EXPECT_EQ(std::memcmp(g->values, r->values, sizeof(double) * r->no_samples), 0);
    }
    EXPECT_EQ(std::memcmp(direct->values, ref_sum->values, sizeof(double) * ref_sum->no_samples),
              0);
    for (signal_rec *s : got) free_signal(sys, s);
    free_signal(sys, sum);
    free_signal(sys, direct);
  }
  for (signal_rec *s : ref) free_signal(sys, s);
  free_signal(sys, ref_sum);
  free_memory_block(sys, block);
  xdc_free(sys, ap);
}

TEST_F(CalculationsTest, RectangleTimingsFourAtATimeEqualOneAtATime) {
  // Elements tilted one way and both ways (and fours that mix the two: a
  // 1 x 9 cut leaves the middle rectangle of a convex element, the first of
  // its second four, untilted in elevation), cut into counts that do and do
  // not fill the last four, seen from near the face to 80 mm and far off the
  // axis: every field the rectangle response uses is the same double.
  aperture *aps[] = {xdc_convex_focused_array(sys, 4, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3,
                                              1, 10, {0, 0, 40e-3}),
                     xdc_convex_focused_array(sys, 4, 0.46e-3, 13.5e-3, 0.048e-3, 49.57e-3, 60e-3,
                                              1, 9, {0, 0, 40e-3}),
                     xdc_focused_array(sys, 4, 0.27e-3, 5e-3, 0.03e-3, 18e-3, 2, 3, {0, 0, 25e-3}),
                     xdc_linear_array(sys, 4, 0.48e-3, 13.5e-3, 0.028e-3, 1, 7, {0, 0, 40e-3})};
  const point3 points[] = {
      {0, 0, 0.2e-3}, {1e-3, 2e-3, 5e-3}, {-20e-3, 0, 30e-3}, {5e-3, -6e-3, 80e-3}};
  std::vector<rect_unit_vector> u1(64), u4(64);
  std::vector<rect_timing> t1(64), t4(64);
  for (aperture *ap : aps) {
    for (int e = 0; e < ap->no_elements; e++) {
      const physical_element &el = ap->elements[e];
      for (const point3 &p : points) {
        rectangle_timings(sys, el.rectangles, el.no_rectangles, 1.5e-7 * e, p.x, p.y, p.z,
                          u1.data(), t1.data(), 0);
        rectangle_timings(sys, el.rectangles, el.no_rectangles, 1.5e-7 * e, p.x, p.y, p.z,
                          u4.data(), t4.data(), 1);
        for (int k = 0; k < el.no_rectangles; k++) {
          SCOPED_TRACE("element " + std::to_string(e) + " rectangle " + std::to_string(k));
          EXPECT_EQ(std::memcmp(&u1[k], &u4[k], sizeof u1[k]), 0);
          EXPECT_EQ(std::memcmp(&t1[k], &t4[k], sizeof t1[k]), 0);
        }
      }
    }
    xdc_free(sys, ap);
  }
}

}  // namespace

namespace {

// The summed rectangle response at p on a fresh block (its own columns).
std::vector<double> rectangle_sum(sys_con *sys, aperture *ap, point3 p, int *start, int *pairs) {
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  signal_rec *sum = calc_rectangles_mem(sys, block, ap, p.x, p.y, p.z);
  *pairs = block->rect_columns[0]->pairs;
  *start = sum->start_sample;
  std::vector<double> values = values_of(sum);
  free_signal(sys, sum);
  free_memory_block(sys, block);
  return values;
}

}  // namespace

// In the plane y = 0 one rectangle of each mirrored pair stands for both:
// the response equals that of every rectangle (taken at y = 1e-300, where
// no pair is used and the geometry is the same to the last bit) to 1e-12 of
// the peak. (The two of a pair have timings a few units in the last place
// apart, and a trapezoid's value at a sample next to a break time is formed
// from the difference of two absolute times, which keeps about 1e-13 of
// it; 7e-14 is the largest seen here.) Steered, with a sub-element weight
// that breaks one pair, with tilted (elevation-focused) rectangles, cut
// evenly and oddly.
TEST_F(CalculationsTest, MirroredRectanglesGiveTheResponseOfAll) {
  struct Case {
    const char *name;
    aperture *ap;
    int pairs;
  };
  aperture *flat = xdc_linear_array(sys, 8, 0.3e-3, 6e-3, 0.05e-3, 2, 6, point3{0.004, 0, 0.03});
  aperture *odd = xdc_focused_array(sys, 8, 0.3e-3, 6e-3, 0.05e-3, 0.02, 1, 5, point3{0, 0, 0.03});
  aperture *broken = xdc_linear_array(sys, 8, 0.3e-3, 6e-3, 0.05e-3, 1, 4, point3{0, 0, 0.03});
  std::vector<double> weights = {1, 1, 1, 0.5};
  double *rows[] = {weights.data()};
  const int first_element = 1;
  ele_apodization(broken, 1, &first_element, 4, rows);
  for (const Case &c : {Case{"flat 2 x 6", flat, 8 * 6}, Case{"focused 1 x 5", odd, 8 * 2},
                        Case{"one weight changed", broken, 8 * 2 - 1}}) {
    for (const point3 p : {point3{0.002, 0, 0.01}, point3{-0.01, 0, 0.035}}) {
      int start = 0, reference_start = 0, pairs = 0, same_pairs = 0;
      const std::vector<double> got = rectangle_sum(sys, c.ap, p, &start, &pairs);
      const std::vector<double> ref =
          rectangle_sum(sys, c.ap, point3{p.x, 1e-300, p.z}, &reference_start, &same_pairs);
      EXPECT_EQ(pairs, c.pairs) << c.name;
      EXPECT_EQ(same_pairs, c.pairs) << c.name;
      ASSERT_EQ(start, reference_start) << c.name;
      ASSERT_EQ(got.size(), ref.size()) << c.name;
      double peak = 0, error = 0;
      for (size_t j = 0; j < ref.size(); j++) {
        peak = std::max(peak, std::fabs(ref[j]));
        error = std::max(error, std::fabs(got[j] - ref[j]));
      }
      EXPECT_LE(error, 1e-12 * peak) << c.name << " at x " << p.x;
      EXPECT_GT(peak, 0) << c.name;
    }
  }
  for (aperture *ap : {flat, odd, broken}) xdc_free(sys, ap);
}

namespace {

std::vector<double> one_point_h(sys_con *sys, aperture *ap, point3 p) {
  signal_rec **result = calc_h(sys, ap, 1, &p);
  std::vector<double> values = values_of(result[0]);
  values.insert(values.begin(), result[0]->start_sample);
  free_signal(sys, result[0]);
  free_memory(sys, result);
  return values;
}

}  // namespace

// The rectangle and timing columns of a calculation go back to the state
// and serve the next one: a call of one point after the first takes no
// array of its own (the kept ones neither change nor grow in number), gives
// the same bits, also after a larger calculation that made the mirrored
// table too; xdc_free hands them to the heap.
TEST_F(CalculationsTest, CalculationsReuseTheColumnsTheStateKeeps) {
  aperture *ap = xdc_linear_array(sys, 8, 0.3e-3, 6e-3, 0.05e-3, 2, 6, point3{0, 0, 0.03});
  const point3 p{1e-3, 0, 20e-3};
  EXPECT_EQ(spare_scratch_count(sys).arrays, 0);
  const std::vector<double> first = one_point_h(sys, ap, p);
  const SpareScratchCount kept = spare_scratch_count(sys);
  EXPECT_EQ(kept.arrays, 2);  // every rectangle's columns, the timing columns
  EXPECT_GE(kept.bytes, 8u * 96 * (14 + 16));
  EXPECT_EQ(one_point_h(sys, ap, p), first);
  EXPECT_EQ(spare_scratch_count(sys).arrays, kept.arrays);
  EXPECT_EQ(spare_scratch_count(sys).bytes, kept.bytes);
  std::vector<point3> points(kMirrorPoints, p);
  signal_rec **many = calc_h(sys, ap, static_cast<int>(points.size()), points.data());
  for (size_t i = 0; i < points.size(); i++) free_signal(sys, many[i]);
  free_memory(sys, many);
  EXPECT_EQ(spare_scratch_count(sys).arrays, 3);  // and the mirrored table
  EXPECT_EQ(one_point_h(sys, ap, p), first);
  EXPECT_EQ(spare_scratch_count(sys).arrays, 3);
  xdc_free(sys, ap);
  EXPECT_EQ(spare_scratch_count(sys).arrays, 0);
}

// A kept array comes back zero-filled as a new one, the smallest that
// fits; the state keeps sixteen and drops the smallest beyond them.
TEST_F(CalculationsTest, KeptScratchArraysFitZeroedAndBounded) {
  std::vector<unsigned char *> arrays;
  for (int k = 1; k <= 17; k++) {
    arrays.push_back(static_cast<unsigned char *>(take_scratch(sys, 1000u * k, "test")));
    std::memset(arrays.back(), 0xA5, 1000u * k);
  }
  for (unsigned char *a : arrays) give_back_scratch(sys, a);
  EXPECT_EQ(spare_scratch_count(sys).arrays, 16);
  EXPECT_EQ(spare_scratch_count(sys).bytes, 1000u * (17 * 18 / 2 - 1));  // without the 1000
  auto *again = static_cast<unsigned char *>(take_scratch(sys, 2500, "test"));
  EXPECT_EQ(again, arrays[2]);  // the 3000 bytes
  EXPECT_EQ(std::count(again, again + 3000, 0), 2500);
  give_back_scratch(sys, again);
  release_spare_scratch(sys);
  EXPECT_EQ(spare_scratch_count(sys).arrays, 0);
}
