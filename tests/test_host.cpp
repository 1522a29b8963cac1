// What a host controls: failures that come back instead of ending the
// process, the output channel, and the release of a state.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "apertures/time_lines.h"
#include "field/progress.h"
#include "general/failure.h"
#include "sonvar.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

namespace {

using sonvar_test::capture_stdout;
using sonvar_test::LeaksAllowed;
using sonvar_test::stdout_to_stderr;

struct FailureLog {
  int calls = 0;
  std::string text;
};

void log_failure(void *user_data, const char *message) {
  auto *log = static_cast<FailureLog *>(user_data);
  log->calls++;
  log->text = message;
}

void collect(void *user_data, const char *text) {
  static_cast<std::vector<std::string> *>(user_data)->push_back(text);
}

std::vector<point3> line_of_points(int n) {
  std::vector<point3> points;
  for (int i = 0; i < n; i++) points.push_back({-0.004 + 0.0004 * i, 0.0, 0.02 + 0.0005 * i});
  return points;
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys = sonvar_test::quiet_state();
    set_sonvar(sys, "threads", 2);
    ap = xdc_linear_array(sys, 8, 0.3e-3, 4e-3, 0.05e-3, 1, 2, point3{0, 0, 0.025});
    points = line_of_points(20);  // more than 5 points a thread: a split run
    reference = calc_function_parallel(sys, SONVAR_CALC_H, ap, ap, 20, points.data());
  }
  void TearDown() override {
    release(reference);
    xdc_free(sys, ap);
    sonvar_test::release_state(sys);
  }
  void release(signal_rec **signals) {
    for (int i = 0; i < 20; i++)
      if (signals[i] != nullptr) free_signal(sys, signals[i]);
    free_memory(sys, signals);
  }
  // A split h calculation on the state after a failure gives the same
  // signals as before it (the same arithmetic, so exactly the same).
  void expect_state_still_calculates(const std::string &what) {
    signal_rec **again = calc_function_parallel(sys, SONVAR_CALC_H, ap, ap, 20, points.data());
    ASSERT_NE(again, nullptr) << what;
    for (int i = 0; i < 20; i++) {
      const signal_rec *ref = reference[i];
      sonvar_test::expect_signal_near(
          again[i], ref->start_sample,
          std::vector<double>(ref->values, ref->values + ref->no_samples), 0.0, what);
    }
    release(again);
  }
  // Empties the apodization time line: every point of a calculation fails.
  void empty_apodization() { free_apodization_time_line(sys, ap); }
  void restore_apodization() {
    double times[1] = {0.0};
    auto *ones = static_cast<double *>(alloc_memory(sys, ap->no_elements, sizeof(double)));
    for (int n = 0; n < ap->no_elements; n++) ones[n] = 1.0;
    double *values[1] = {ones};
    xdc_apodization(sys, ap, 1, times, values);
  }

  sys_con *sys = nullptr;
  aperture *ap = nullptr;
  std::vector<point3> points;
  signal_rec **reference = nullptr;
};

// One case a family of fatal paths: the failing call (true when it returned
// the neutral value) and the text the default mode prints.
struct FailureCase {
  const char *family;
  std::function<bool(sys_con *, signal_rec *)> call;
  std::string text;
};

const std::vector<FailureCase> &failure_cases() {
  static const std::vector<FailureCase> cases = {
      {"option",
       [](sys_con *sys, signal_rec *) {
         set_sonvar(sys, "NoSuchOption", 1.0);
         return true;
       },
       "Trying to set option: nosuchoption \nFatal error: Error: Option not found in program \n"},
      {"sample count",
       [](sys_con *sys, signal_rec *) { return alloc_signal(sys, -2, 0) == nullptr; },
       "FATAL ERROR: Number of samples is negative or 0. It is -2\nProgram terminated\n"},
      {"allocation",
       [](sys_con *sys, signal_rec *) {
         return xdc_linear_array(sys, INT_MAX, 1e-4, 1e-3, 1e-5, 1, 1, point3{0, 0, 0.02}) ==
                nullptr;
       },
       "Fatal error: Not possible to allocate memory for physical elements (2147483647 x " +
           std::to_string(sizeof(physical_element)) + " bytes) \n"},
      {"assertion",
       [](sys_con *sys, signal_rec *) {
         assert_index(sys, 5, 5, "table lookup");
         return true;
       },
       "Assertion violation at: table lookup \nAssertion violation: Index larger than allowed. Is "
       "5 can be 4 \nProgram stopped due to assertion violation\n"},
      {"pool",
       [](sys_con *sys, signal_rec *released) {
         free_signal(sys, released);
         return true;
       },
       "ERROR: Signal has been previously freed\nSignal number 77, Number of bytes 32816 \nStart "
       "sample 3, Number of samples 4096, Max. samples 4096, Sampling frequency   100.0000 MHz  "
       "\nFirst 5 values: 1.500000e+00  -2.000000e+00   0.000000e+00  0.000000e+00  "
       "0.000000e+00  \nInternal Error 100: Freeing of already released signal"},
      {"dispatcher",
       [](sys_con *sys, signal_rec *) {
         return calc_function_parallel(sys, 4, nullptr, nullptr, 0, nullptr) == nullptr;
       },
       "Internal Error 6: Illegal function_code found in calc_function_parallel, module "
       "calculations_par"},
  };
  return cases;
}

// A released signal as the pool keeps it, for the double release: longer
// than any signal of the fixture's calculations, so that its array is made
// for it, and numbered by hand, so that the text does not depend on the
// pool's history.
signal_rec *released_signal(sys_con *sys) {
  signal_rec *s = alloc_signal(sys, 4096, 3);
  s->values[0] = 1.5;
  s->values[1] = -2.0;
  s->number = 77;
  free_signal(sys, s);
  return s;
}

TEST_F(HostTest, EachFamilyThrowsItsTextAndTheStateGoesOn) {
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
  for (const FailureCase &c : failure_cases()) {
    signal_rec *released = released_signal(sys);
    std::string caught = "(nothing thrown)";
    const std::string out = capture_stdout([&] {
      [[maybe_unused]] LeaksAllowed leaks;
      try {
        c.call(sys, released);
      } catch (const sonvar::Error &e) {
        caught = e.what();
      }
    });
    EXPECT_EQ(caught, c.text) << c.family;
    EXPECT_EQ(out, "") << c.family << ": nothing is printed in this mode";
    EXPECT_STREQ(sonvar_last_error(sys), "") << c.family;
    expect_state_still_calculates(c.family);
  }
}

TEST_F(HostTest, EachFamilyReturnsNeutrallyAndCallsTheHandlerOnce) {
  FailureLog log;
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN);
  sonvar_set_failure_handler(sys, log_failure, &log);
  for (const FailureCase &c : failure_cases()) {
    signal_rec *released = released_signal(sys);
    log = FailureLog{};
    sonvar_clear_error(sys);
    bool neutral = false;
    const std::string out = capture_stdout([&] {
      [[maybe_unused]] LeaksAllowed leaks;
      neutral = c.call(sys, released);
    });
    EXPECT_TRUE(neutral) << c.family;
    EXPECT_EQ(log.calls, 1) << c.family;
    EXPECT_EQ(log.text, c.text) << c.family;
    EXPECT_EQ(sonvar_last_error(sys), c.text) << c.family;
    EXPECT_EQ(out, "") << c.family;
    expect_state_still_calculates(c.family);
  }
  sonvar_clear_error(sys);
  EXPECT_STREQ(sonvar_last_error(sys), "");
}

// The message modes hand over the same failures as the message alone: no
// line begins "Fatal error:" or says that the program stops.
TEST_F(HostTest, MessageModesHandOverTheMessageAlone) {
  const std::vector<std::string> messages = {
      "Trying to set option: nosuchoption\nError: Option not found in program",
      "Number of samples is negative or 0. It is -2",
      "Not possible to allocate memory for physical elements (2147483647 x " +
          std::to_string(sizeof(physical_element)) + " bytes)",
      "Assertion violation at: table lookup\nAssertion violation: Index larger than allowed. Is 5 "
      "can be 4",
      "ERROR: Signal has been previously freed\nSignal number 77, Number of bytes 32816\nStart "
      "sample 3, Number of samples 4096, Max. samples 4096, Sampling frequency   100.0000 MHz\n"
      "First 5 values: 1.500000e+00  -2.000000e+00   0.000000e+00  0.000000e+00  0.000000e+00\n"
      "Internal Error 100: Freeing of already released signal",
      "Internal Error 6: Illegal function_code found in calc_function_parallel, module "
      "calculations_par"};
  ASSERT_EQ(messages.size(), failure_cases().size());
  FailureLog log;
  sonvar_set_failure_handler(sys, log_failure, &log);
  for (size_t k = 0; k < messages.size(); k++) {
    const FailureCase &c = failure_cases()[k];
    sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW_MESSAGE);
    std::string caught = "(nothing thrown)";
    const std::string out = capture_stdout([&] {
      [[maybe_unused]] LeaksAllowed leaks;
      try {
        c.call(sys, released_signal(sys));
      } catch (const sonvar::Error &e) {
        caught = e.what();
      }
    });
    EXPECT_EQ(caught, messages[k]) << c.family;
    EXPECT_EQ(out, "") << c.family;
    sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN_MESSAGE);
    log = FailureLog{};
    capture_stdout([&] {
      [[maybe_unused]] LeaksAllowed leaks;
      EXPECT_TRUE(c.call(sys, released_signal(sys))) << c.family;
    });
    EXPECT_EQ(log.calls, 1) << c.family;
    EXPECT_EQ(log.text, messages[k]) << c.family;
    EXPECT_EQ(sonvar_last_error(sys), messages[k]) << c.family;
  }
  expect_state_still_calculates("after the message modes");
}

// Signals on the pool's free list; with the records the pool has made, the
// signals still handed out.
int free_signals(const sys_con *sys) {
  int n = 0;
  for (const signal_rec *s = sys->free_signals; s != nullptr; s = s->next) n++;
  return n;
}

// Bytes the heap has handed out and not taken back, less the pool's signals
// (which may grow in place as the pool reuses them): 0 where the
// sanitizer's allocator answers for the heap, whose leak check is the
// oracle there.
long heap_beyond_pool(const sys_con *sys) {
  const long heap = static_cast<long>(mallinfo2().uordblks);
  return heap == 0 ? 0 : heap - static_cast<long>(sys->signal_bytes);
}

// A calculation that fails gives back everything it took: after many failed
// split calculations of every kind (inside the workers, and interrupted) the
// pool holds every signal it made except those the fixture holds, and the
// heap has not grown (the sanitizer build checks the same with its leak
// check, no failure being excused). The interrupted ones stop with their
// text; cleared, the state calculates as before.
TEST_F(HostTest, FailedCalculationsGiveBackEverythingTheyTook) {
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
  std::vector<double> amplitudes(points.size(), 1.0);
  std::vector<point3> scatterers = points;
  const int n = static_cast<int>(points.size());
  const std::vector<std::function<void()>> calls = {
      [&] { calc_function_parallel(sys, SONVAR_CALC_HP, ap, ap, n, points.data()); },
      [&] { calc_function_parallel(sys, SONVAR_CALC_HHP, ap, ap, n, points.data()); },
      [&] { calc_scat_parallel(sys, ap, ap, n, scatterers.data(), amplitudes.data()); },
      [&] { calc_scat_multi_parallel(sys, ap, ap, n, scatterers.data(), amplitudes.data()); },
      [&] { calc_scat_all(sys, ap, ap, n, scatterers.data(), amplitudes.data(), 1); },
      [&] { calc_hp(sys, ap, n, points.data()); }};
  const auto fail_all = [&](const std::string &expected) {
    for (const auto &call : calls) {
      std::string caught;
      try {
        call();
      } catch (const sonvar::Error &e) {
        caught = e.what();
      }
      EXPECT_EQ(caught, expected);
      // Out: the reference's n signals and the aperture's impulse and excitation.
      EXPECT_EQ(free_signals(sys), sys->next_signal_number - n - 2);
    }
  };
  for (int round = 0; round < 2; round++) {  // the first round fills the pool
    const long before = heap_beyond_pool(sys);
    for (int k = 0; k < 20; k++) {
      sonvar_set_interrupt(sys, 1);
      fail_all("Fatal error: Calculation interrupted \n");
      sonvar_set_interrupt(sys, 0);
      empty_apodization();
      fail_all(
          "Fatal error: The apodization time line of the aperture holds no entry; set an "
          "apodization first \n");
      restore_apodization();
    }
    if (round == 1) {
      // A leak of one signal a failure would be megabytes; the allowance is the
      // few kB the C library keeps for the worker threads it starts and ends
      // (their stacks' bookkeeping varies from run to run).
      EXPECT_LE(heap_beyond_pool(sys), before + 16384) << "240 failures";
    }
  }
  expect_state_still_calculates("after the failures");
}

// The regular expression that matches exactly `text`.
std::string exactly(const std::string &text) {
  std::string re = "^";
  for (char ch : text) {
    if (std::string("\\.^$|()[]{}*+?").find(ch) != std::string::npos) re += '\\';
    re += ch;
  }
  return re + "$";
}

TEST_F(HostTest, DefaultModePrintsTheThrownTextAndExits) {
  for (const FailureCase &c : failure_cases()) {
    signal_rec *released = released_signal(sys);
    EXPECT_FATAL(c.call(sys, released), exactly(c.text)) << c.family;
  }
}

// A failure inside the workers of a split run comes back once, on the
// calling thread, after every worker has ended; then the state calculates
// again. Failed workers leave blocks behind, so each mode runs in a child
// that ends without the leak check.
TEST_F(HostTest, WorkerThreadFailureComesBackOnceInEachMode) {
  const std::string text =
      "Fatal error: The apodization time line of the aperture holds no entry; set an "
      "apodization first \n";
  EXPECT_EXIT(
      {
        sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
        empty_apodization();
        std::string caught;
        try {
          calc_function_parallel(sys, SONVAR_CALC_HP, ap, ap, 20, points.data());
        } catch (const sonvar::Error &e) {
          caught = e.what();
        }
        restore_apodization();
        signal_rec **again = calc_function_parallel(sys, SONVAR_CALC_H, ap, ap, 20, points.data());
        bool same = caught == text;
        for (int i = 0; i < 20; i++)
          for (int j = 0; j < reference[i]->no_samples; j++)
            same = same && again[i]->values[j] == reference[i]->values[j];
        if (!same) fprintf(stderr, "caught: [%s]\n", caught.c_str());
        _exit(same ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        FailureLog log;
        sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN);
        sonvar_set_failure_handler(sys, log_failure, &log);
        empty_apodization();
        signal_rec *scattered =
            calc_scat_parallel(sys, ap, ap, 20, points.data(), std::vector<double>(20, 1.0).data());
        restore_apodization();
        signal_rec **again = calc_function_parallel(sys, SONVAR_CALC_H, ap, ap, 20, points.data());
        bool same = scattered == nullptr && log.calls == 1 && log.text == text &&
                    sonvar_last_error(sys) == text && again != nullptr;
        for (int i = 0; same && i < 20; i++)
          for (int j = 0; j < reference[i]->no_samples; j++)
            same = same && again[i]->values[j] == reference[i]->values[j];
        if (!same) fprintf(stderr, "calls %d, text [%s]\n", log.calls, log.text.c_str());
        _exit(same ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// Only the second worker fails: its far points need a longer attenuation
// filter than any transform. The first worker's results go back to the pool
// (the address sanitizer would see one released twice) and the state then
// calculates as before.
TEST_F(HostTest, OneFailedWorkerThreadOfTwoComesBackOnce) {
  EXPECT_EXIT(
      {
        sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
        set_sonvar(sys, "use_att", 1);
        set_sonvar(sys, "freq_att", 0.05);
        std::vector<point3> mixed = points;
        for (int i = 10; i < 20; i++) mixed[i].z = 400.0;
        std::string caught;
        try {
          calc_function_parallel(sys, SONVAR_CALC_HP, ap, ap, 20, mixed.data());
        } catch (const sonvar::Error &e) {
          caught = e.what();
        }
        set_sonvar(sys, "use_att", 0);
        signal_rec **again = calc_function_parallel(sys, SONVAR_CALC_H, ap, ap, 20, points.data());
        bool same =
            caught ==
            "Fatal error: attenuation: at a distance of 400 m, freq_att 0.05 dB/(m Hz) spreads the "
            "pulse over a transform of 1073741825 samples; at most max_samples 4194304 \n";
        for (int i = 0; i < 20; i++)
          for (int j = 0; j < reference[i]->no_samples; j++)
            same = same && again[i]->values[j] == reference[i]->values[j];
        if (!same) fprintf(stderr, "caught: [%s]\n", caught.c_str());
        _exit(same ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// What a sink receives is exactly what standard output receives by default,
// in pieces that end a line (or a progress line's carriage return).
TEST_F(HostTest, SinkReceivesTheBytesOfStandardOutput) {
  const time_t t0 = 1000;
  struct Report {
    const char *what;
    std::function<void()> write;
  };
  const std::vector<Report> reports = {
      {"configuration report", [&] { sonvar_info(sys); }},
      {"progress report",
       [&] {
         time_t current = 0, last_shown = t0;
         int estimate_shown = 0;
         display_calculation_time_at(sys, t0 + 40, t0, &current, &last_shown, &estimate_shown, 9,
                                     100);
         display_final_time_at(sys, t0 + 75, t0);
       }},
      {"aperture report", [&] { xdc_show(sys, ap, SONVAR_SHOW_ALL); }},
      {"element error",
       [&] {
         int numbers[1] = {99};
         double value = 1.0;
         double *values[1] = {&value};
         ele_apodization(ap, 1, numbers, 1, values);
       }},
  };
  for (const Report &r : reports) {
    const std::string expected = capture_stdout(r.write);
    std::vector<std::string> pieces;
    sonvar_set_output(sys, collect, &pieces);
    EXPECT_EQ(capture_stdout(r.write), "") << r.what;
    sonvar_set_output(sys, nullptr, nullptr);
    std::string joined;
    for (const std::string &piece : pieces) {
      EXPECT_TRUE(!piece.empty() && (piece.back() == '\n' || piece.back() == '\r')) << r.what;
      joined += piece;
    }
    EXPECT_FALSE(expected.empty()) << r.what;
    EXPECT_EQ(joined, expected) << r.what;
  }
}

// A state made with the discarding sink prints nothing from its banner on,
// with debug lines and warnings switched on; a collecting sink gets the
// banner sonvar_init prints. Its release takes the pool's free signals along
// (the leak check of the sanitizer build sees what it would not).
TEST(HostOutputTest, DiscardingSinkSilencesAStateFromItsCreation) {
  const std::string out = capture_stdout([] {
    sys_con *s = sonvar_init_with_output(0, sonvar_discard_output, nullptr);
    set_sonvar(s, "debug", 1);
    set_sonvar(s, "fs", 50e6);
    sonvar_info(s);
    signal_rec *a = alloc_signal(s, 4, 0);
    signal_rec *b = alloc_signal(s, 9, 0);
    free_signal(s, a);
    free_signal(s, b);
    sonvar_free(s);
  });
  EXPECT_EQ(out, "");
  sys_con *plain = nullptr;
  const std::string banner = capture_stdout([&] { plain = sonvar_init(0); });
  std::vector<std::string> pieces;
  sys_con *hooked = nullptr;
  EXPECT_EQ(capture_stdout([&] { hooked = sonvar_init_with_output(0, collect, &pieces); }), "");
  std::string joined;
  for (const std::string &piece : pieces) joined += piece;
  EXPECT_EQ(joined, banner);
  sonvar_free(plain);
  sonvar_free(hooked);
  sonvar_free(nullptr);
}

}  // namespace
