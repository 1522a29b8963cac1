// calculation_test.h - the fixture of the field calculation tests: a quiet
// state, an aperture of hand-placed elements, the delays and apodizations
// at a point, and random signals.
#ifndef SONVAR_TEST_CALCULATION_TEST_H
#define SONVAR_TEST_CALCULATION_TEST_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <vector>

#include "field/focusing.h"
#include "sonvar.h"
#include "support/hand_aperture.h"
#include "support/test_util.h"

namespace sonvar_test {

class CalculationsTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = quiet_state(); }
  void TearDown() override {
    if (ap != nullptr) free_hand_aperture(sys, ap);
    release_state(sys);
  }

  // Elements with centres at the given x positions, y = z = 0.
  aperture *line_of_elements(const std::vector<double> &xs) {
    std::vector<HandElement> elements(xs.size());
    for (size_t i = 0; i < xs.size(); i++) elements[i].center = {xs[i], 0.0, 0.0};
    ap = hand_aperture(sys, elements);
    return ap;
  }

  void evaluate(double x, double y, double z) {
    delays.assign(ap->no_elements, -99.0);
    apodization.assign(ap->no_elements, -99.0);
    sonvar::find_delays_and_apodization(sys, ap, delays.data(), apodization.data(), x, y, z);
  }

  sys_con *sys = nullptr;
  aperture *ap = nullptr;
  std::vector<double> delays, apodization;

  // A pool signal of n random values in [-1, 1] starting at `start`.
  signal_rec *random_signal(int n, int start) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    signal_rec *s = alloc_signal(sys, n, start);
    for (int j = 0; j < n; j++) s->values[j] = value(rng);
    return s;
  }

  void release(std::initializer_list<signal_rec *> signals) {
    for (signal_rec *s : signals) free_signal(sys, s);
  }

  std::mt19937 rng{42};
};

}  // namespace sonvar_test

#endif  // SONVAR_TEST_CALCULATION_TEST_H
