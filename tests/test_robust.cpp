// Bad input to the library: every case is refused through the failure path
// with one line naming the call, the argument and the value.
#include <functional>
#include <string>

#include "support/test_util.h"

namespace {

const point3 kFocus{0, 0, 0.02};

struct Refusal {
  const char *what;
  std::function<void(sys_con *)> call;
  std::string message;
};

}  // namespace

TEST(RobustTest, BadGeometryOptionsAndPointsAreRefusedByName) {
  const point3 far{0, 0, 1e6};
  const point3 nan_point{0, NAN, 0.01};
  const Refusal cases[] = {
      {"width 0", [](sys_con *s) { xdc_linear_array(s, 4, 0, 5e-3, 0, 1, 1, kFocus); },
       "xdc_linear_array: width 0 m must be finite and above 0"},
      {"infinite height",
       [](sys_con *s) { xdc_linear_array(s, 4, 1e-3, INFINITY, 0, 1, 1, kFocus); },
       "xdc_linear_array: height inf m must be finite and above 0"},
      {"negative kerf", [](sys_con *s) { xdc_linear_array(s, 4, 1e-3, 5e-3, -1e-4, 1, 1, kFocus); },
       "xdc_linear_array: kerf -0.0001 m must be finite and 0 or more"},
      {"focus below half height",
       [](sys_con *s) { xdc_focused_array(s, 4, 1e-3, 20e-3, 0, 5e-3, 1, 1, kFocus); },
       "xdc_focused_array: Rfocus 0.005 m must be at least half the elevation height 0.02 m"},
      {"element wider than the radius",
       [](sys_con *s) { xdc_convex_array(s, 4, 0.06, 5e-3, 0, 0.05, 1, 1, kFocus); },
       "xdc_convex_array: width 0.06 m must not exceed Rconvex 0.05 m"},
      {"arc over 180 degrees",
       [](sys_con *s) { xdc_convex_array(s, 180, 9.9e-3, 5e-3, 0, 0.04957, 1, 1, kFocus); },
       "xdc_convex_array: 180 elements of width 0.0099 m and kerf 0 m span 2073.68 degrees of the "
       "convex radius 0.04957 m; at most 180"},
      {"radius 0", [](sys_con *s) { xdc_piston(s, 0, 1e-3); },
       "xdc_piston: radius 0 m must be finite and above 0"},
      {"NaN focus",
       [](sys_con *s) {
         xdc_linear_array(s, 2, 1e-3, 5e-3, 0, 1, 1, point3{NAN, 0, 0});
       },
       "xdc_linear_array: focus (nan, 0, 0) m must be finite"},
      {"c 0", [](sys_con *s) { set_sonvar(s, "c", 0); },
       "set_sonvar: c 0 m/s must be finite and above 0"},
      {"fs NaN", [](sys_con *s) { set_sonvar(s, "fs", NAN); },
       "set_sonvar: fs nan Hz must be finite and above 0"},
      {"negative freq_att", [](sys_con *s) { set_sonvar(s, "freq_att", -1e300); },
       "set_sonvar: freq_att -1e+300 dB/(m Hz) must be finite and 0 or more"},
      {"max_samples too small", [](sys_con *s) { set_sonvar(s, "max_samples", 10); },
       "set_sonvar: max_samples 10 must be a whole number from 4096 to 268435456"},
      {"NULL aperture", [](sys_con *s) { calc_h(s, nullptr, 1, &kFocus); },
       "calc_h: the aperture is NULL"},
      {"NULL points",
       [](sys_con *s) {
         aperture *ap = xdc_linear_array(s, 2, 1e-3, 5e-3, 0, 1, 1, kFocus);
         calc_hp(s, ap, 3, nullptr);
       },
       "calc_hp: the points are NULL for 3 points"},
      {"NaN point",
       [&](sys_con *s) {
         aperture *ap = xdc_linear_array(s, 2, 1e-3, 5e-3, 0, 1, 1, kFocus);
         calc_h(s, ap, 1, &nan_point);
       },
       "calc_h: point 0 (0, nan, 0.01) m must be finite"},
      {"point 1e6 m away",
       [&](sys_con *s) {
         aperture *ap = xdc_linear_array(s, 1, 1e-3, 5e-3, 0, 1, 1, kFocus);
         calc_h(s, ap, 1, &far);
       },
       "rectangle response of physical element 1 at the point (0, 0, 1e+06) m would start at "
       "649.351 s (sample 64935064934), 1e+06 m away; starts are limited to 536870912 samples"},
      {"attenuation gain overflows at 10 m",
       [](sys_con *s) {
         aperture *ap = xdc_linear_array(s, 1, 1e-3, 5e-3, 0, 1, 1, kFocus);
         set_sonvar(s, "att_f0", 100.1e6);
         set_sonvar(s, "freq_att", 5e-5);
         set_sonvar(s, "use_att", 1);
         const point3 p{0, 0, 10};
         calc_hp(s, ap, 1, &p);
       },
       "attenuation: at a distance of 10 m, freq_att 5e-05 dB/(m Hz) around att_f0 "
       "1.001e+08 Hz amplifies the lowest frequencies by 50050 dB; above 6000 dB the field "
       "overflows"},
      {"released twice",
       [](sys_con *s) {
         aperture *ap = xdc_linear_array(s, 1, 1e-3, 5e-3, 0, 1, 1, kFocus);
         xdc_free(s, ap);
         xdc_free(s, ap);
       },
       "xdc_free: the aperture at"},
  };
  for (const Refusal &c : cases) {
    sys_con *sys = sonvar_test::quiet_state();
    sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
    sonvar_set_output(sys, sonvar_discard_output, nullptr);
    std::string caught;
    try {
      [[maybe_unused]] sonvar_test::LeaksAllowed leaks;
      c.call(sys);
    } catch (const sonvar::Error &e) {
      caught = e.what();
    }
    EXPECT_EQ(caught.rfind("Fatal error: " + c.message, 0), 0u) << c.what << ": " << caught;
    sonvar_test::release_state(sys);
  }
}

TEST(RobustTest, NanApodizationIsRefusedAndChangesNothing) {
  sys_con *sys = sonvar_test::quiet_state();
  aperture *ap = xdc_linear_array(sys, 2, 1e-3, 5e-3, 0, 2, 1, kFocus);
  double values[2] = {0.5, NAN};
  double *rows[1] = {values};
  const int element = 1;
  const std::string out =
      sonvar_test::capture_stdout([&] { ele_apodization(ap, 1, &element, 2, rows); });
  EXPECT_EQ(out,
            "Sonvar error: Value that is not finite when setting mathematical element "
            "apodization of element 1\n");
  EXPECT_EQ(ap->elements[0].rectangles[0].apodization, 1.0);
  xdc_free(sys, ap);
  sonvar_test::release_state(sys);
}
