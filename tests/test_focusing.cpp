// Tests of the focusing delays and apodizations at a field point.
#include <gtest/gtest.h>

#include <cmath>

#include "field/focusing.h"
#include "support/calculation_test.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using namespace sonvar_test;  // the shared helpers, oracles and fixture

namespace {
TEST_F(CalculationsTest, FixedEntriesApplyAtAllTimes) {
  line_of_elements({-1e-3, 0.0, 2e-3});
  for (int i = 0; i < 3; i++) {
    ap->focus_line->delays[i] = 1e-7 * (i + 1);
    ap->apodization_line->values[i] = 0.5 * i;
  }
  for (double z : {1e-3, 0.1}) {
    evaluate(0.0, 0.0, z);
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(delays[i], 1e-7 * (i + 1));
      EXPECT_EQ(apodization[i], 0.5 * i);
    }
  }
}

TEST_F(CalculationsTest, TimeLinesAreLookedUpByEachElementsTimeOfFlight) {
  // Element 0 at the origin, element 1 at x = 30 mm: for a point at
  // z = 10 mm their times of flight are z/c and sqrt(z^2 + 30^2)/c.
  line_of_elements({0.0, 30e-3});
  const double z = 10e-3;
  const double tau0 = z / sys->c;
  focus_entry *second = sonvar_test::add_focus_entry(sys, ap, tau0);  // starts exactly at tau0
  apodization_entry *apod2 = sonvar_test::add_apodization_entry(sys, ap, tau0);
  for (int i = 0; i < 2; i++) {
    ap->focus_line->delays[i] = 1.0;
    second->delays[i] = 2.0;
    ap->apodization_line->values[i] = 0.25;
    apod2->values[i] = 0.75;
  }
  evaluate(0.0, 0.0, z);
  // tau equal to the entry's time: the earlier entry still applies.
  EXPECT_EQ(delays[0], 1.0);
  EXPECT_EQ(apodization[0], 0.25);
  // The far element's tau is larger: the second entry applies.
  EXPECT_EQ(delays[1], 2.0);
  EXPECT_EQ(apodization[1], 0.75);
  // Strictly beyond the entry's time (next representable height).
  evaluate(0.0, 0.0, std::nextafter(z, 1.0));
  EXPECT_EQ(delays[0], 2.0);
  EXPECT_EQ(apodization[0], 0.75);
  // The first entry rules whatever its own time.
  ap->focus_line->time = 1.0;
  evaluate(0.0, 0.0, z);
  EXPECT_EQ(delays[0], 1.0);
}

TEST_F(CalculationsTest, DynamicFocusAlongTheAxisAndQuantization) {
  line_of_elements({0.0, 5e-3});
  ap->focus_line->dynamic = 1;
  free_memory(sys, ap->focus_line->delays);
  ap->focus_line->delays = nullptr;
  ap->fixed_focus = 0;
  const double z = 40e-3, c = sys->c;
  const double kSteer = M_PI / 6;
  evaluate(0.0, 0.0, z);
  // Element 0 at the reference point: focus at distance d = z on the axis.
  EXPECT_NEAR(delays[0], 0.0, 1e-18);
  // Element 1: d = its distance to the point; focus at (0, 0, d).
  const double d = std::hypot(5e-3, z);
  EXPECT_NEAR(delays[1], d / c - std::hypot(5e-3, d) / c, 1e-18);
  // Steered 30 deg in the z-x plane: the focus lies on the steered ray.
  ap->focus_line->angle_zx = kSteer;
  evaluate(0.0, 0.0, z);
  EXPECT_NEAR(delays[0], 0.0, 1e-18);
  EXPECT_NEAR(delays[1], d / c - std::hypot(5e-3 - d * std::sin(kSteer), d * std::cos(kSteer)) / c,
              1e-18);
  // Quantized to 10 ns: nearest multiple, halves going up.
  ap->focus_line->angle_zx = 0.0;
  ap->quantize_delays = 1;
  ap->quantization = 10e-9;
  evaluate(0.0, 0.0, z);
  const double exact = d / c - std::hypot(5e-3, d) / c;
  EXPECT_NEAR(delays[1], std::floor(exact / 10e-9 + 0.5) * 10e-9, 1e-20);
  EXPECT_NE(delays[1], exact);
  // A zero step leaves the delay unquantized (no division by zero).
  ap->quantization = 0.0;
  evaluate(0.0, 0.0, z);
  EXPECT_NEAR(delays[1], exact, 1e-20);
}

TEST_F(CalculationsTest, FocusAtPointPutsOneDynamicFocusOnTheFieldPoint) {
  // With the option every element's focus is the point at the field
  // point's distance from the reference along the focus direction: for a
  // point on that ray each element's delay plus its time of flight is the
  // reference's time of flight, |P - ref| / c.
  line_of_elements({-9e-3, -2e-3, 0.0, 4e-3, 12e-3});
  ap->focus_line->dynamic = 1;
  free_memory(sys, ap->focus_line->delays);
  ap->focus_line->delays = nullptr;
  ap->fixed_focus = 0;
  set_sonvar(sys, "focus_at_point", 1);
  const double c = sys->c;
  const double centres[] = {-9e-3, -2e-3, 0.0, 4e-3, 12e-3};
  for (const double steer : {0.0, M_PI / 6}) {
    ap->focus_line->angle_zx = steer;
    for (const double r : {5e-3, 10e-3, 40e-3}) {
      const point3 p{r * std::sin(steer), 0.0, r * std::cos(steer)};
      evaluate(p.x, p.y, p.z);
      for (int i = 0; i < 5; i++)
        EXPECT_NEAR(delays[i] + std::hypot(p.x - centres[i], p.z) / c, r / c, 1e-18)
            << "element " << i << ", steer " << steer << ", r " << r;
    }
  }
  // Off the ray the focus stays on it, at the point's distance.
  ap->focus_line->angle_zx = 0.0;
  evaluate(6e-3, 0.0, 8e-3);
  EXPECT_NEAR(delays[4], 10e-3 / c - std::hypot(12e-3, 10e-3) / c, 1e-18);
  // Off again: the element's own distance, as before.
  set_sonvar(sys, "focus_at_point", 0);
  evaluate(0.0, 0.0, 10e-3);
  const double d = std::hypot(12e-3, 10e-3);
  EXPECT_NEAR(delays[4], d / c - std::hypot(12e-3, d) / c, 1e-18);
}

TEST_F(CalculationsTest, DynamicApodizationWindows) {
  // Reference at the origin, direction z, F = 1: r = 2 lateral / depth.
  line_of_elements({0.0, 0.99 * 5e-3, 5e-3, 6e-3});
  ap->dynamic_apodization = 1;
  ap->apod_direction = {0.0, 0.0, 1.0};
  ap->f_number = 1.0;
  const double expected_099[] = {(1 - std::cos(1.99 * M_PI)) / 2,
                                 0.54 - 0.46 * std::cos(1.99 * M_PI),
                                 0.42 - 0.5 * std::cos(1.99 * M_PI) + 0.08 * std::cos(3.98 * M_PI)};
  for (int kind = 1; kind <= 3; kind++) {
    ap->apod_window = kind;
    evaluate(0.0, 0.0, 10e-3);
    EXPECT_NEAR(apodization[0], 1.0, 1e-15) << kind;  // r = 0
    EXPECT_NEAR(apodization[1], expected_099[kind - 1], 1e-9) << kind;
    EXPECT_EQ(apodization[2], 0.0) << kind;  // r = 1
    EXPECT_EQ(apodization[3], 0.0) << kind;  // r > 1
  }
  ap->apod_window = 2;
  evaluate(0.0, 0.0, 10e-3);
  EXPECT_NEAR(apodization[1], 0.08, 0.001);
  // On the reference plane (axial 0): on-axis element 1, others off.
  evaluate(3e-3, 0.0, 0.0);
  EXPECT_NEAR(apodization[0], 1.0, 1e-15);
  EXPECT_EQ(apodization[1], 0.0);
  // The depth is measured along the direction from the reference point.
  ap->apod_reference = {0.0, 0.0, -10e-3};
  evaluate(0.0, 0.0, 0.0);
  EXPECT_NEAR(apodization[1], expected_099[1], 1e-9);
}

TEST_F(CalculationsTest, UnknownWindowAndEmptyTimeLinesStopTheProgram) {
  line_of_elements({0.0});
  ap->dynamic_apodization = 1;
  ap->apod_window = 4;
  EXPECT_FATAL(evaluate(0.0, 0.0, 1e-2),
               "^Internal error: Unknown apdoization function in dynamic apodization$");
  ap->dynamic_apodization = 0;
  apodization_entry *kept = ap->apodization_line;
  ap->apodization_line = nullptr;
  EXPECT_FATAL(evaluate(0.0, 0.0, 1e-2),
               "^Fatal error: The apodization time line of the aperture holds no entry; set an "
               "apodization first \n$");
  ap->apodization_line = kept;
  focus_entry *focus = ap->focus_line;
  ap->focus_line = nullptr;
  EXPECT_FATAL(
      evaluate(0.0, 0.0, 1e-2),
      "^Fatal error: The focus time line of the aperture holds no entry; set a focus first \n$");
  ap->focus_line = focus;
}

}  // namespace
