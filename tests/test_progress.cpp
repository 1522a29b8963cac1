// Tests of the progress and timing report of a calculation.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "field/progress.h"
#include "support/calculation_test.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using namespace sonvar_test;  // the shared helpers, oracles and fixture

namespace {
// One progress call at `now` seconds after a start at 1000 s.
struct ProgressRun {
  time_t start = 1000, current = 0, last_shown = 1000;
  int estimate_shown = 0;
  std::string step(sys_con *sys, time_t elapsed, int i, int n) {
    return capture_stdout([&] {
      display_calculation_time_at(sys, start + elapsed, start, &current, &last_shown,
                                  &estimate_shown, i, n);
    });
  }
};

TEST_F(CalculationsTest, ProgressSilentWhenTimesAreOff) {
  set_sonvar(sys, "show_times", 0);
  ProgressRun run;
  run.current = 7;
  EXPECT_EQ(run.step(sys, 100, 0, 1000), "");
  EXPECT_EQ(run.current, 7);  // not even the clock is read
  EXPECT_EQ(capture_stdout([&] { display_final_time_at(sys, 5000, 1000); }), "");
}

TEST_F(CalculationsTest, ProgressLinesFollowTheInterval) {
  ProgressRun run;
  EXPECT_EQ(run.step(sys, 5, 0, 100), "");  // 5 s is not more than the interval
  EXPECT_EQ(run.current, 1005);
  // 6 s for 2 of 100 points: 3 s a point, 294 s left.
  EXPECT_EQ(
      run.step(sys, 6, 1, 100),
      "   2.0 % performed (roughly  4 minutes 54 seconds remaining)" + std::string(15, ' ') + "\r");
  EXPECT_EQ(run.last_shown, 1006);
  EXPECT_EQ(run.step(sys, 11, 2, 100), "");
  EXPECT_EQ(run.step(sys, 12, 89, 100),
            "  90.0 % performed (roughly  1 seconds remaining)" + std::string(29, ' ') + "\r");
}

TEST_F(CalculationsTest, EstimateIsPrintedOnceAfterThirtySeconds) {
  ProgressRun run;
  run.last_shown = run.start + 31;           // keep the progress lines out of the way
  EXPECT_EQ(run.step(sys, 30, 0, 100), "");  // not more than 30 s elapsed
  // 31 s for 1 of 125 points: 3875 s in all, 1 h 4 min 35 s.
  EXPECT_EQ(run.step(sys, 31, 0, 125),
            "Calculation will take roughly   1 hours,  4 minutes 35 seconds to complete" +
                std::string(26, ' ') + "\n");
  EXPECT_EQ(run.estimate_shown, 1);
  EXPECT_EQ(run.step(sys, 32, 1, 125), "");
  ProgressRun minutes;
  minutes.last_shown = minutes.start + 40;
  EXPECT_EQ(minutes.step(sys, 40, 3, 10),
            "Calculation will take roughly   1 minutes 40 seconds to complete" +
                std::string(39, ' ') + "\n");
  ProgressRun nearly_done;  // 30 s or less remaining: never an estimate
  nearly_done.last_shown = nearly_done.start + 60;
  EXPECT_EQ(nearly_done.step(sys, 60, 1, 3), "");
}

TEST_F(CalculationsTest, HoursFormatsSplitTheRemainingTime) {
  ProgressRun run;
  run.estimate_shown = 1;
  // 3725 s remaining: 1 hour, 2 minutes, 5 seconds.
  EXPECT_EQ(run.step(sys, 10, 1, 747),
            "   0.3 % performed (roughly   1 hours,  2 minutes  5 seconds remaining)\r");
}

TEST_F(CalculationsTest, FinalTimeFormats) {
  const auto final_line = [&](time_t used) {
    return capture_stdout([&] { display_final_time_at(sys, 1000 + used, 1000); });
  };
  const std::string pad(27, ' ');
  EXPECT_EQ(final_line(0), "");
  EXPECT_EQ(final_line(1), "");
  EXPECT_EQ(final_line(2), " 2 seconds used for the calculation" + pad + "\n");
  EXPECT_EQ(final_line(61), " 1 minutes  1 seconds used for the calculation" + pad + "\n");
  EXPECT_EQ(final_line(3725),
            "   1 hours,  2 minutes  5 seconds used for the calculation" + pad + "\n");
}

}  // namespace
