// State creation, options, the configuration report and the fatal exit.
#include <climits>
#include <cmath>
#include <string>

#include "general/failure.h"
#include "general/messages.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using sonvar_test::capture_stdout;
using sonvar_test::stdout_to_stderr;

class SonvarMainTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = sonvar_test::quiet_state(); }
  void TearDown() override { sonvar_test::release_state(sys); }
  sys_con *sys = nullptr;
};

namespace {

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

}  // namespace

TEST_F(SonvarMainTest, BannerIsBoxedAndMutexLineAlwaysFollows) {
  sys_con *loud = nullptr;
  const std::string out = capture_stdout([&] { loud = sonvar_init(0); });
  const std::vector<std::string> lines = split_lines(out);
  ASSERT_EQ(lines.size(), 14u) << out;
  EXPECT_EQ(lines[0], "      *------------------------------------------------------------*");
  EXPECT_EQ(lines[2], "      *                      S O N V A R pro                       *");
  EXPECT_EQ(lines[4], "      *              Simulator for ultrasound systems              *");
  EXPECT_EQ(lines[6].substr(0, 21), "      *    Licensee: ");
  EXPECT_EQ(lines[7].substr(0, 20), "      *    Version: ");
  EXPECT_EQ(lines[8].substr(0, 20), "      *    Program: ");
  EXPECT_EQ(lines[9].substr(0, 23), "      *    Build date: ");
  EXPECT_EQ(lines[10], "      *         Professional parallel multi-core version           *");
  EXPECT_EQ(lines[12], lines[0]);
  for (int k = 0; k < 13; k++) EXPECT_EQ(lines[k].size(), 68u) << "banner line " << k + 1;
  EXPECT_EQ(lines[13], "Multi-core mutexs have been initialized ");
  EXPECT_EQ(loud->quiet, 0);
  sonvar_test::release_state(loud);

  sys_con *silent = nullptr;
  EXPECT_EQ(capture_stdout([&] { silent = sonvar_init(-1); }),
            "Multi-core mutexs have been initialized \n");
  EXPECT_EQ(silent->quiet, -1);
  sonvar_test::release_state(silent);
}

TEST_F(SonvarMainTest, DefaultsAreWritten) {
  EXPECT_EQ(sys->use_rectangles, 1);
  EXPECT_EQ(sys->use_triangles, 0);
  EXPECT_EQ(sys->c, 1540.0);
  EXPECT_EQ(sys->fs, 100000000.0);
  EXPECT_EQ(sys->tau_m, 20.0);
  EXPECT_EQ(sys->z, 1540000.0);
  EXPECT_EQ(sys->bdiva, 5.2);
  EXPECT_EQ(sys->dz, 0.0005);
  EXPECT_EQ(sys->internal_state, 1);
  EXPECT_EQ(sys->show_times, 1);
  EXPECT_EQ(sys->time_interval, 5);
  EXPECT_EQ(sys->threads, 4);
  EXPECT_EQ(sys->free_signals, nullptr);
}

TEST_F(SonvarMainTest, RoundedIntegerOptions) {
  struct Case {
    double value;
    int32_t threads;
  };
  // floor(value + 0.5); zero or less gives one thread; NaN counts as 0 and
  // huge values are clamped to the 32-bit range.
  const Case cases[] = {{0, 1}, {-3, 1},  {0.4, 1},          {2.5, 3},
                        {7, 7}, {NAN, 1}, {1e12, INT32_MAX}, {-1e12, 1}};
  for (const Case &c : cases) {
    set_sonvar(sys, "threads", c.value);
    EXPECT_EQ(sys->threads, c.threads) << "threads " << c.value;
  }
  // int16 fields keep the low 16 bits of the clamped value.
  set_sonvar(sys, "fast_integration", 65537.0);
  EXPECT_EQ(sys->fast_integration, 1);
  set_sonvar(sys, "accurate_time_calc", 1e12);
  EXPECT_EQ(sys->accurate_time_calc, -1);
  set_sonvar(sys, "accurate_time_calc", NAN);
  EXPECT_EQ(sys->accurate_time_calc, 0);
}

TEST_F(SonvarMainTest, ShowTimesSetsSwitchAndInterval) {
  struct Case {
    double value;
    int16_t show;
    int32_t interval;
  };
  const Case cases[] = {{1, 1, 5}, {2, 1, 5}, {10, 1, 10}, {2.6, 1, 3}, {0, 0, 5}, {-4, 0, 5}};
  for (const Case &c : cases) {
    set_sonvar(sys, "show_times", c.value);
    EXPECT_EQ(sys->show_times, c.show) << c.value;
    EXPECT_EQ(sys->time_interval, c.interval) << c.value;
  }
}

TEST_F(SonvarMainTest, ElementKindOptionsExcludeEachOther) {
  set_sonvar(sys, "use_lines", 1);
  EXPECT_EQ(sys->use_lines, 1);
  EXPECT_EQ(sys->use_rectangles, 0);
  set_sonvar(sys, "use_triangles", 1);
  EXPECT_EQ(sys->use_triangles, 1);
  EXPECT_EQ(sys->use_lines, 0);
  EXPECT_EQ(sys->use_rectangles, 0);
  set_sonvar(sys, "use_triangles", 0);  // clears only itself
  EXPECT_EQ(sys->use_triangles, 0);
  EXPECT_EQ(sys->use_rectangles, 0);
  set_sonvar(sys, "use_rectangles", 1);
  EXPECT_EQ(sys->use_rectangles, 1);
}

TEST_F(SonvarMainTest, PlainValuesAndCaseInsensitiveNames) {
  set_sonvar(sys, "FS", 40e6);
  EXPECT_EQ(sys->fs, 40e6);
  set_sonvar(sys, "Freq_Att", 5e-5);
  EXPECT_EQ(sys->freq_att, 5e-5);
  set_sonvar(sys, "ATT_f0", 3e6);
  EXPECT_EQ(sys->att_f0, 3e6);
  set_sonvar(sys, "C", 1480);
  EXPECT_EQ(sys->c, 1480.0);
  set_sonvar(sys, "use_att", 0.3);  // not rounded: any non-zero value switches it on
  EXPECT_EQ(sys->use_att, 1);
  set_sonvar(sys, "use_att", 0);
  EXPECT_EQ(sys->use_att, 0);
  set_sonvar(sys, "use_att", NAN);
  EXPECT_EQ(sys->use_att, 1);
  for (const char *name : {"att", "tau_m", "z", "dz", "bdiva"}) set_sonvar(sys, name, 2.25);
  EXPECT_EQ(sys->att, 2.25);
  EXPECT_EQ(sys->tau_m, 2.25);
  EXPECT_EQ(sys->z, 2.25);
  EXPECT_EQ(sys->dz, 2.25);
  EXPECT_EQ(sys->bdiva, 2.25);
}

TEST_F(SonvarMainTest, SamplingFrequencyWarningOnlyWhenNotQuiet) {
  EXPECT_EQ(capture_stdout([&] { set_sonvar(sys, "fs", 50e6); }), "");
  sys->quiet = 0;
  EXPECT_EQ(capture_stdout([&] { set_sonvar(sys, "fs", 50e6); }),
            "Warning:  Remember to set all pulses in apertures for the new sampling frequency\n");
}

TEST_F(SonvarMainTest, DebugPrintsSettingLine) {
  set_sonvar(sys, "debug", 1);
  EXPECT_EQ(capture_stdout([&] { set_sonvar(sys, "C", 1500); }),
            "Setting option c in program to  1500.0000 \n");
}

TEST_F(SonvarMainTest, UnknownOptionIsFatal) {
  EXPECT_FATAL(
      set_sonvar(sys, "Speed", 1),
      "^Trying to set option: speed \nFatal error: Error: Option not found in program \n$");
  sys->debug = 1;
  EXPECT_FATAL(set_sonvar(sys, "nope", 2),
               "^Setting option nope in program to     2.0000 \nTrying to set option: nope \n");
}

TEST_F(SonvarMainTest, OverlongNameIsUnknownWithoutOverflow) {
  const std::string name(1500, 'C');  // would be "c" for every character
  EXPECT_FATAL(set_sonvar(sys, name.c_str(), 1), "Fatal error: Error: Option not found in program");
  const std::string longest(1023, 'x');
  EXPECT_FATAL(set_sonvar(sys, longest.c_str(), 1), "Trying to set option: x{1023} \n");
}

TEST_F(SonvarMainTest, ConfigurationReportByteForByte) {
  set_sonvar(sys, "use_att", 1);
  set_sonvar(sys, "att", 5005);
  set_sonvar(sys, "freq_att", 5e-5);
  set_sonvar(sys, "att_f0", 100.1e6);
  sys->signal_bytes = 3LL * 1048576 + 512 * 1024;
  sys->max_signal_bytes = 3221225472LL + 1536;  // beyond the 32-bit range
  sys->signal_alloc_calls = 12;
  sys->next_signal_number = 7;
  const std::string expected =
      "Current Sonvar configuration:\n"
      "\n"
      "    Version: 0.1.0 - spatial impulse response core, Program: sonvar-pthreads64\n"
      "\n"
      "    Parallel multi-thread version, running with 4 threads\n"
      "    Licensee: open research and teaching use\n"
      "    Number of apertures in operation:            0\n"
      "    Apertures to be defined uses rectangles:     1\n"
      "    Apertures to be defined uses triangles:      0\n"
      "    Apertures to be defined uses bounding lines: 0\n"
      "\n"
      "    Program uses accurate time calculation for rectangles: 0\n"
      "    Program uses fast integration for lines and triangles:  0\n"
      "\n"
      "    Speed of sound:      1540.0000 m/s \n"
      "    Sampling frequency:   100.0000 MHz \n"
      "    Whether to use attenuation: 1\n"
      "    Frequency independent attenuation is:   5005.0000 dB/m\n"
      "    Frequency dependent attenuation around   100.1000 MHz is     0.0001 dB/[m Hz]\n"
      "    Constant tau_m used in attenuation calculation:         20.0000\n"
      "\n"
      "    Step in propagation for non-linear imaging:  5.000000e-04 m \n"
      "    Characteristic acoustic impedance:           1.540000e+06 kg/[m^2 s] \n"
      "    Non-linearity parameter B/A:                     5.2000  \n"
      "\n"
      "    Number of bytes reserved for signals:                3 Mbytes 512.0 kBytes\n"
      "    Maximum number of bytes for signals:              3072 Mbytes   1.5 kBytes\n"
      "    Number of times signal allocation was called:   12\n"
      "    Number for next signal to be used:              7\n"
      "    Internal state of the program:                  1\n"
      "    Debug mode enabled:                             0\n"
      "    Last calculation type done:                     0\n"
      "    Whether calculation time should be shown:       1\n"
      "    Seconds between showing times                   5 s\n"
      "\n"
      "A boolean value of 1 indicates true, 0 indicates false\n";
  EXPECT_EQ(capture_stdout([&] { sonvar_info(sys); }), expected);
  sys->signal_bytes = 0;
  sys->max_signal_bytes = 0;
}

TEST_F(SonvarMainTest, AccuracyOptionsAreOffByDefaultAndReportedOnlyWhenOn) {
  EXPECT_EQ(sys->exact_integration, 0);
  EXPECT_EQ(sys->focus_at_point, 0);
  EXPECT_EQ(sys->band_limited, 0);
  const std::string plain = capture_stdout([&] { sonvar_info(sys); });
  EXPECT_EQ(plain.find("exact integration"), std::string::npos);
  EXPECT_EQ(plain.find("field point"), std::string::npos);
  set_sonvar(sys, "Exact_Integration", 2.6);
  set_sonvar(sys, "focus_at_point", 1);
  set_sonvar(sys, "band_limited", 1);
  EXPECT_EQ(sys->exact_integration, 1);
  EXPECT_EQ(sys->focus_at_point, 1);
  const std::string fast_line = "    Program uses fast integration for lines and triangles:  0\n";
  const std::string added =
      "    Program uses exact integration for lines and triangles: 1\n"
      "    Rectangle responses are band-limited samples:           1\n"
      "    Dynamic focus is placed at the field point:             1\n";
  std::string expected = plain;
  expected.insert(expected.find(fast_line) + fast_line.size(), added);
  EXPECT_EQ(capture_stdout([&] { sonvar_info(sys); }), expected);
  set_sonvar(sys, "exact_integration", 0.4);
  set_sonvar(sys, "focus_at_point", 0);
  set_sonvar(sys, "band_limited", 0);
  EXPECT_EQ(capture_stdout([&] { sonvar_info(sys); }), plain);
}

TEST_F(SonvarMainTest, DebugTextAndFatalExit) {
  EXPECT_EQ(capture_stdout([] { sonvar_debug("hello"); }), "Sonvar debug message: hello \n");
  EXPECT_FATAL(error_message("broken"), "^Fatal error: broken \n$");
}

// The option table lists exactly the options set_sonvar takes: each name
// once, its default the value of a new state, read back by name; the ranges
// set_sonvar checks are refused at their edge, the others are only
// described (set_sonvar rounds and clamps those as it always has).
TEST_F(SonvarMainTest, OptionTableDescribesEveryOptionOfSetSonvar) {
  const std::vector<std::string> known = {"use_rectangles",
                                          "use_triangles",
                                          "use_lines",
                                          "accurate_time_calc",
                                          "fast_integration",
                                          "exact_integration",
                                          "band_limited",
                                          "focus_at_point",
                                          "c",
                                          "fs",
                                          "use_att",
                                          "att",
                                          "freq_att",
                                          "att_f0",
                                          "tau_m",
                                          "z",
                                          "bdiva",
                                          "dz",
                                          "debug",
                                          "show_times",
                                          "threads",
                                          "max_samples"};
  ASSERT_EQ(sonvar_option_count(), static_cast<int>(known.size()));
  EXPECT_EQ(sonvar_option_at(-1), nullptr);
  EXPECT_EQ(sonvar_option_at(sonvar_option_count()), nullptr);
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
  for (int i = 0; i < sonvar_option_count(); i++) {
    const sonvar_option &o = *sonvar_option_at(i);
    EXPECT_EQ(o.name, known[static_cast<size_t>(i)]);
    EXPECT_EQ(sonvar_get_option(sys, o.name), o.default_value) << o.name;
    EXPECT_TRUE(o.minimum <= o.default_value && o.default_value <= o.maximum) << o.name;
    EXPECT_GT(std::string(o.description).size(), 10u) << o.name;
    if (o.kind == SONVAR_OPTION_FLAG) {
      EXPECT_TRUE(o.minimum == 0 && o.maximum == 1) << o.name;
    }
    set_sonvar(sys, o.name, o.default_value);
    EXPECT_EQ(sonvar_get_option(sys, o.name), o.default_value) << o.name;
    if (!o.refused_outside || std::isinf(o.minimum)) continue;
    const double below = o.minimum_excluded ? o.minimum : std::nextafter(o.minimum, -HUGE_VAL);
    EXPECT_THROW(set_sonvar(sys, o.name, below), sonvar::Error) << o.name;
  }
  std::string caught;
  try {
    sonvar_get_option(sys, "Speed");
  } catch (const sonvar::Error &e) {
    caught = e.what();
  }
  EXPECT_EQ(caught, "Fatal error: sonvar_get_option: unknown option speed \n");
  set_sonvar(sys, "THREADS", -5);  // described as 1 .. 1024, taken and clamped
  EXPECT_EQ(sonvar_get_option(sys, "threads"), 1);
  set_sonvar(sys, "show_times", 12);
  EXPECT_EQ(sonvar_get_option(sys, "Show_Times"), 1);
}
