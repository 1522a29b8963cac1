// test_util.h - helpers shared by the test programs: states, captured
// output, death tests of the library's failures, signals and their release.
#ifndef SONVAR_TEST_UTIL_H
#define SONVAR_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "general/memory.h"
#include "support/results.h"
#include "sonvar.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace sonvar_test {

using namespace sonvar;  // the library internals under test

// The calls whose failures may leave blocks behind run with the leak check
// off on this thread (a failed call may leak what it had taken).
struct LeaksAllowed {
#if defined(__SANITIZE_ADDRESS__)
  LeaksAllowed() {
    __lsan_disable();
  }
  ~LeaksAllowed() {
    __lsan_enable();
  }
#endif
};

// Runs `body` and returns what it wrote on standard output.
inline std::string capture_stdout(const std::function<void()> &body) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// A quiet state (no banner) whose creation line is swallowed.
inline sys_con *quiet_state() {
  sys_con *sys = nullptr;
  capture_stdout([&] { sys = sonvar_init(1); });
  return sys;
}

// Tests release every state, so that LeakSanitizer sees every signal or
// block a test forgot. Signals still in use are reported.
inline void release_state(sys_con *sys) {
  sonvar_free(sys);
}

// Compares a signal with a reference: start sample and length first, then
// max|got - ref| / max|ref| against `tolerance` (absolute when ref is all 0).
inline void expect_signal_near(const signal_rec *got, int start_sample,
                               const std::vector<double> &ref, double tolerance,
                               const std::string &what) {
  ASSERT_NE(got, nullptr) << what;
  EXPECT_EQ(got->start_sample, start_sample) << what;
  ASSERT_EQ(got->no_samples, static_cast<int>(ref.size())) << what;
  double peak = 0.0;
  double error = 0.0;
  for (size_t j = 0; j < ref.size(); j++) {
    peak = std::max(peak, std::fabs(ref[j]));
    error = std::max(error, std::fabs(got->values[j] - ref[j]));
  }
  const double relative = peak > 0.0 ? error / peak : error;
  EXPECT_LE(relative, tolerance) << what << ": max error " << error << ", peak " << peak;
}

// Writes `text` to a file at `path`.
inline void write_file(const std::string &path, const std::string &text) {
  FILE *file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
}

// Sends standard output to standard error, where death tests look for the
// fatal messages that the library prints on standard output.
inline void stdout_to_stderr() {
  fflush(stdout);
  dup2(2, 1);
}

}  // namespace sonvar_test

// A program that ends with exit status `status`, having written text
// matching `message` (standard output, where the library writes, is moved
// to standard error, where the death test reads).
#define EXPECT_EXITS(statement, status, message) \
  EXPECT_EXIT(                                   \
      {                                          \
        sonvar_test::stdout_to_stderr();         \
        statement;                               \
      },                                         \
      testing::ExitedWithCode(status), message)

// A failure of the library in the default mode: the text and status 255.
#define EXPECT_FATAL(statement, message) EXPECT_EXITS(statement, 255, message)

#endif  // SONVAR_TEST_UTIL_H
