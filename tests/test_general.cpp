// Messages, the index assertion, the locked heap and the signal pool.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "threads/thread_lib.h"
#include "sonvar.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using sonvar_test::capture_stdout;
using sonvar_test::stdout_to_stderr;

class GeneralTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = sonvar_test::quiet_state(); }
  void TearDown() override { sonvar_test::release_state(sys); }

  // Bytes of every record on the free list.
  int64_t free_list_bytes() const {
    int64_t total = 0;
    for (const signal_rec *s = sys->free_signals; s != nullptr; s = s->next) total += s->bytes;
    return total;
  }
  int free_list_length() const {
    int n = 0;
    for (const signal_rec *s = sys->free_signals; s != nullptr; s = s->next) n++;
    return n;
  }
  sys_con *sys = nullptr;
};

TEST_F(GeneralTest, MessagesAreWrittenUnchanged) {
  EXPECT_EQ(capture_stdout([&] { print_message(sys, "50% done\n"); }), "50% done\n");
  EXPECT_FATAL(print_error_message("no newline here"), "^no newline here$");
}

TEST_F(GeneralTest, AssertIndexReportsAndStops) {
  EXPECT_EQ(capture_stdout([&] { assert_index(sys, 0, 5, "here"); }), "");
  EXPECT_EQ(capture_stdout([&] { assert_index(sys, 4, 5, "here"); }), "");
  EXPECT_FATAL(
      assert_index(sys, 5, 5, "table lookup"),
      "^Assertion violation at: table lookup \nAssertion violation: Index larger than allowed. "
      "Is 5 can be 4 \nProgram stopped due to assertion violation\n$");
  EXPECT_FATAL(assert_index(sys, -1, 5, "p"),
               "Assertion violation: Index smaller than allowed. Is -1 can be 0 \n");
  // The limit test comes first: a negative index not below a negative limit
  // is reported as too large.
  EXPECT_FATAL(assert_index(sys, -1, -5, "p"), "Index larger than allowed. Is -1 can be -6 \n");
  // A place text longer than the 256-byte line is cut, not overflowed.
  const std::string place(600, 'q');
  EXPECT_FATAL(assert_index(sys, 9, 1, place.c_str()),
               "^Assertion violation at: q{231}Assertion violation: Index");
}

TEST_F(GeneralTest, AllocMemoryIsZeroFilled) {
  auto *block = static_cast<unsigned char *>(alloc_memory(sys, 1000, 3));
  ASSERT_NE(block, nullptr);
  int nonzero = 0;
  for (int k = 0; k < 3000; k++) nonzero += block[k] != 0;
  EXPECT_EQ(nonzero, 0);
  free_memory(sys, block);
  free_memory(sys, nullptr);
}

TEST_F(GeneralTest, CheckedAllocationNamesWhatFailed) {
  EXPECT_FATAL(
      sonvar::alloc_array<double>(sys, UINT64_C(1) << 60, "the test table"),
      "Fatal error: Not possible to allocate memory for the test table \\(1152921504606846976 "
      "x 8 bytes\\) \n$");
}

// Under an address-space limit a request of 100,000,000 samples cannot get
// its value array. alloc_signal names the pool's next number (a new record
// has already taken the one before it), extend_signal the signal it grows.
TEST_F(GeneralTest, FailedValueArrayNamesTheNextSignalNumber) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit below allows";
#else
  struct Case {
    const char *what;
    std::function<void()> request;
    int number;
  };
  const std::vector<Case> cases = {
      {"new record", [&] { alloc_signal(sys, 100000000, 0); }, 1},
      {"reused record",
       [&] {
         free_signal(sys, alloc_signal(sys, 10, 0));
         alloc_signal(sys, 100000000, 0);
       },
       1},
      {"extended signal", [&] { extend_signal(sys, alloc_signal(sys, 10, 0), 100000000, 0); }, 0},
  };
  sys->max_samples = SONVAR_LARGEST_MAX_SAMPLES;  // the heap, not the bound, refuses
  for (const Case &c : cases) {
    EXPECT_FATAL(
        {
          long pages = 0;
          FILE *statm = fopen("/proc/self/statm", "r");
          if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) exit(2);
          fclose(statm);
          rlimit limit;
          limit.rlim_cur = limit.rlim_max =
              static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (64 << 20));
          setrlimit(RLIMIT_AS, &limit);
          c.request();
        },
        "^FATAL ERROR: Not possible to allocate data storage for signal\n             Allocate "
        "signal " +
            std::to_string(c.number) +
            ", bytes=800000048 \\(100000000 samples\\)\n             Total number of bytes "
            "reserved is 800000048\nProgram terminated\n$")
        << c.what;
  }
#endif
}

TEST_F(GeneralTest, ReuseKeepsLargerArray) {
  signal_rec *a = alloc_signal(sys, 100, 7);
  EXPECT_EQ(a->bytes, 848);
  EXPECT_EQ(sys->signal_bytes, 848);
  for (int j = 0; j < 100; j++) a->values[j] = j + 1.0;
  const uint32_t number = a->number;
  free_signal(sys, a);
  signal_rec *b = alloc_signal(sys, 50, -3);
  EXPECT_EQ(b, a);
  EXPECT_EQ(b->number, number);
  EXPECT_EQ(b->capacity, 100);
  EXPECT_EQ(b->bytes, 848);
  EXPECT_EQ(b->no_samples, 50);
  EXPECT_EQ(b->start_sample, -3);
  EXPECT_EQ(b->in_use, 1);
  EXPECT_EQ(b->next, nullptr);
  for (int j = 0; j < 50; j++) EXPECT_EQ(b->values[j], 0.0) << j;
  EXPECT_EQ(b->values[50], 51.0);  // beyond n the reused array is untouched
  EXPECT_EQ(sys->signal_bytes, 848);
  EXPECT_EQ(sys->signal_alloc_calls, 2);
  EXPECT_EQ(sys->next_signal_number, 1);
  free_signal(sys, b);
}

TEST_F(GeneralTest, ReuseGrowsSmallArray) {
  signal_rec *a = alloc_signal(sys, 50, 0);
  EXPECT_EQ(sys->signal_bytes, 448);
  free_signal(sys, a);
  signal_rec *b = alloc_signal(sys, 100, 0);
  EXPECT_EQ(b, a);
  EXPECT_EQ(b->capacity, 100);
  EXPECT_EQ(b->bytes, 848);
  EXPECT_EQ(sys->signal_bytes, 848);
  EXPECT_EQ(sys->max_signal_bytes, 848);
  free_signal(sys, b);
}

TEST_F(GeneralTest, FreeListIsLastInFirstOut) {
  signal_rec *a = alloc_signal(sys, 10, 0);
  signal_rec *b = alloc_signal(sys, 10, 0);
  EXPECT_EQ(a->number, 0u);
  EXPECT_EQ(b->number, 1u);
  free_signal(sys, a);
  free_signal(sys, b);
  EXPECT_EQ(alloc_signal(sys, 5, 0), b);
  EXPECT_EQ(alloc_signal(sys, 5, 0), a);
  EXPECT_EQ(sys->signal_alloc_calls, 4);
  EXPECT_EQ(sys->next_signal_number, 2);
  free_signal(sys, a);
  free_signal(sys, b);
  free_signal_memory(sys);
  EXPECT_EQ(sys->signal_bytes, 0);
  EXPECT_EQ(sys->free_signals, nullptr);
  EXPECT_EQ(sys->max_signal_bytes, 2 * 8 * 16);
}

TEST_F(GeneralTest, ExtendSignalKeepsOrClearsSamples) {
  signal_rec *s = alloc_signal(sys, 10, 0);
  for (int j = 0; j < 10; j++) s->values[j] = 1.0 + j;
  extend_signal(sys, s, 4, 20);
  EXPECT_EQ(s->no_samples, 4);
  EXPECT_EQ(s->start_sample, 20);
  extend_signal(sys, s, 10, 21);  // within capacity: samples beyond the old count kept
  EXPECT_EQ(s->values[9], 10.0);
  const int64_t before = sys->signal_bytes;
  extend_signal(sys, s, 30, 5);
  EXPECT_EQ(s->capacity, 30);
  EXPECT_EQ(s->bytes, 8 * 30 + 48);
  EXPECT_EQ(sys->signal_bytes, before + 8 * 20);
  for (int j = 0; j < 30; j++) EXPECT_EQ(s->values[j], 0.0);
  free_signal(sys, s);
}

TEST_F(GeneralTest, BadLengthsAreFatal) {
  EXPECT_FATAL(alloc_signal(sys, 0, 0),
               "^FATAL ERROR: Number of samples is negative or 0. It is 0\nProgram terminated\n$");
  signal_rec *s = alloc_signal(sys, 3, 0);
  EXPECT_FATAL(extend_signal(sys, s, -2, 0), "It is -2\nProgram terminated\n$");
  free_signal(sys, s);
}

TEST_F(GeneralTest, DoubleReleaseIsFatalAndReadsOnlyTheArray) {
  signal_rec *s = alloc_signal(sys, 2, 4);
  s->values[0] = 1.5;
  s->values[1] = -2.0;
  free_signal(sys, s);
  EXPECT_FATAL(
      free_signal(sys, s),
      "^ERROR: Signal has been previously freed\nSignal number 0, Number of bytes 64 \n"
      "Start sample 4, Number of samples 2, Max. samples 2, Sampling frequency   100.0000 MHz  \n"
      "First 5 values: 1.500000e\\+00  -2.000000e\\+00         none        none        none  \n"
      "Internal Error 100: Freeing of already released signal$");
}

TEST_F(GeneralTest, DebugLinesOfThePool) {
  sys->debug = 1;
  const std::string made = capture_stdout([&] {
    signal_rec *s = alloc_signal(sys, 4, 2);
    free_signal(sys, s);
  });
  std::istringstream lines(made);
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 7u) << made;
  EXPECT_EQ(got[0], "Allocate signal with 4 samples, Signal starts at sample 2 ");
  EXPECT_EQ(got[1],
            "------  No new signal available. New signal allocated with 80 bytes, New total 80 ");
  EXPECT_EQ(got[2], "Allocate signal number 0, bytes=80 (4 samples), total number of bytes is 80");
  EXPECT_EQ(got[3], "Signal starts at 2.000000e-08 ");
  EXPECT_EQ(got[4], "Signal number 0 placed on the free list ");
  EXPECT_EQ(got[5].rfind("Free signal 0, address ", 0), 0u);
  EXPECT_NE(got[5].find(", bytes=80, total number of bytes is 80"), std::string::npos);
  EXPECT_EQ(got[6], "Signal starts at sample 2  and contained 4 samples");
  const std::string reused = capture_stdout([&] { free_signal(sys, alloc_signal(sys, 9, 0)); });
  EXPECT_NE(reused.find("=====> Extending signal 0 from 4 to 9 samples with 120 bytes, New total "
                        "120, Max bytes 120\nReusing signal number 0 \n"),
            std::string::npos)
      << reused;
}

TEST_F(GeneralTest, StoreSignalWritesOneValuePerLine) {
  signal_rec *s = alloc_signal(sys, 2, 0);
  s->values[0] = 0.25;
  s->values[1] = -3e-9;
  const std::string path = testing::TempDir() + "sonvar_store_signal.txt";
  store_signal(path.c_str(), s);
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(text.str(), "   2.500000e-01 \n  -3.000000e-09 \n");
  EXPECT_EQ(capture_stdout([&] { store_signal("/nonexistent-dir/x.txt", s); }),
            "Sonvar error: Cannot create the file /nonexistent-dir/x.txt to store a signal\n");
  free_signal(sys, s);
}

namespace {

struct StressWork {
  sys_con *sys;
  unsigned seed;
  int rounds;
};

void *allocate_and_free(void *argument) {
  auto *work = static_cast<StressWork *>(argument);
  std::mt19937 random(work->seed);
  std::vector<signal_rec *> held;
  for (int k = 0; k < work->rounds; k++) {
    if (held.size() < 8 && random() % 3 != 0) {
      signal_rec *s = alloc_signal(work->sys, 1 + static_cast<int>(random() % 2000), 0);
      s->values[s->no_samples - 1] = 1.0;  // every sample slot is ours to write
      held.push_back(s);
    } else if (!held.empty()) {
      free_signal(work->sys, held.back());
      held.pop_back();
    }
  }
  for (signal_rec *s : held) free_signal(work->sys, s);
  return nullptr;
}

}  // namespace

TEST_F(GeneralTest, ConcurrentAllocateAndFreeKeepCountersExact) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<StressWork> work;
  for (int t = 0; t < kThreads; t++) work.push_back({sys, 17u + t, kRounds});
  std::vector<pthread_t> threads;
  for (int t = 0; t < kThreads; t++)
    threads.push_back(th_lib_create_new_thread(allocate_and_free, &work[t]));
  th_lib_wait_for_threads(threads.data(), kThreads);
  // Every signal is back: the free list holds every record ever made and
  // the byte count is exactly the sum of their charges.
  EXPECT_EQ(free_list_length(), sys->next_signal_number);
  EXPECT_EQ(free_list_bytes(), sys->signal_bytes);
  EXPECT_GE(sys->max_signal_bytes, sys->signal_bytes);
  int calls = 0;
  for (int t = 0; t < kThreads; t++) {
    std::mt19937 random(17u + t);
    size_t held = 0;
    for (int k = 0; k < kRounds; k++) {
      if (held < 8 && random() % 3 != 0) {
        random();
        held++;
        calls++;
      } else if (held > 0) {
        held--;
      }
    }
  }
  EXPECT_EQ(sys->signal_alloc_calls, calls);
}
