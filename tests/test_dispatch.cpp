// Calculation scratch block (and the parallel dispatcher).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/hand_aperture.h"
#include "dispatch/dispatcher.h"
#include "dispatch/scratch_block.h"
#include "field/rect_response.h"
#include "field/scattering.h"
#include "lines/lines.h"
#include "threads/thread_lib.h"
#include "sonvar.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

// ===========================================================================
// Calculation scratch block
// ===========================================================================

namespace {

using sonvar_test::HandElement;

class CalculationsParTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = sonvar_test::quiet_state(); }
  void TearDown() override { sonvar_test::release_state(sys); }

  // Signals handed out and not yet returned: those created minus those on
  // the free list.
  int signals_out() {
    int free_count = 0;
    for (signal_rec *s = sys->free_signals; s != nullptr; s = s->next) free_count++;
    return sys->next_signal_number - free_count;
  }

  static std::vector<HandElement> rectangles(int elements, int per_element) {
    std::vector<HandElement> out(elements);
    for (auto &e : out) e.rectangles.resize(per_element, rect_element{});
    return out;
  }
  static std::vector<HandElement> triangles(int elements, int per_element) {
    std::vector<HandElement> out(elements);
    for (auto &e : out) e.triangles.resize(per_element, tri_element{});
    return out;
  }

  sys_con *sys = nullptr;
};

TEST_F(CalculationsParTest, RectangleApertureTakesThreeWorkingSignals) {
  auto elements = rectangles(3, 2);
  elements[1].rectangles.resize(5, rect_element{});
  aperture *ap = sonvar_test::hand_aperture(sys, elements);
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  EXPECT_EQ(block->max_rectangles, 5);
  EXPECT_EQ(block->max_triangles, 0);
  EXPECT_EQ(block->max_lines, 0);
  EXPECT_EQ(block->single_element, 0);
  EXPECT_EQ(block->no_delay, 0);
  EXPECT_EQ(signals_out(), 3);
  for (signal_rec *s : block->rect_signals) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->no_samples, 1000);
    EXPECT_EQ(s->start_sample, 0);
  }
  for (signal_rec *s : block->tri_signals) EXPECT_EQ(s, nullptr);
  EXPECT_EQ(block->tri_times, nullptr);
  EXPECT_EQ(block->line_scratch, nullptr);
  // The records cover the largest element, and here the whole aperture (9
  // rectangles) in one batch.
  EXPECT_EQ(block->batch_capacity, 9);
  block->batch_rows[8] = 1;
  block->batch_delays[8] = 1.0;
  for (int i = 0; i < 3; i++) block->delays[i] = block->apodizations[i] = i;
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, ap);
}

TEST_F(CalculationsParTest, TriangleApertureTakesTriangleScratchOnly) {
  aperture *ap = sonvar_test::hand_aperture(sys, triangles(2, 8));
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  EXPECT_EQ(block->max_rectangles, 0);
  EXPECT_EQ(block->max_triangles, 8);
  EXPECT_EQ(block->max_lines, 0);
  EXPECT_EQ(signals_out(), 3);
  for (signal_rec *s : block->rect_signals) EXPECT_EQ(s, nullptr);
  for (signal_rec *s : block->tri_signals) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->no_samples, 1000);
  }
  ASSERT_NE(block->tri_times, nullptr);
  ASSERT_NE(block->tri_corners, nullptr);
  block->tri_corners[2].z = 1.0;
  EXPECT_EQ(block->batch_rows, nullptr);
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, ap);
}

TEST_F(CalculationsParTest, TwoAperturesAreCoveredByTheLarger) {
  aperture *small = sonvar_test::hand_aperture(sys, rectangles(2, 3));
  aperture *large = sonvar_test::hand_aperture(sys, triangles(7, 4));
  calc_memory_block *block = pre_allocate_memory(sys, small, large);
  EXPECT_EQ(block->max_rectangles, 3);
  EXPECT_EQ(block->max_triangles, 4);
  EXPECT_EQ(signals_out(), 6);
  for (int i = 0; i < 7; i++) {  // the per-element arrays hold 7 entries
    block->delays[i] = 1.0;
    block->apodizations[i] = 1.0;
    block->element_order[i] = i;
  }
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, small);
  sonvar_test::free_hand_aperture(sys, large);
}

TEST_F(CalculationsParTest, LineScratchSharesTheRectangleSignals) {
  bounding_line lines[4] = {};
  line_element line{};
  line.lines = lines;
  line.no_lines = 4;
  line.no_crossings = 6;
  std::vector<HandElement> elements = rectangles(1, 2);
  elements.push_back(HandElement{});
  elements[1].lines.push_back(line);
  aperture *ap = sonvar_test::hand_aperture(sys, elements);
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  EXPECT_EQ(block->max_lines, 4);
  EXPECT_EQ(signals_out(), 3);  // the lines use the second and third
  ASSERT_NE(block->line_scratch, nullptr);
  line_solution *scratch = block->line_scratch;
  for (int k = 0; k < 9; k++) {  // 2 * 4 + 1 entries, each with its record
    scratch->angles[k] = 1.0;
    scratch->angle_index[k] = k;
    ASSERT_NE(scratch->crossings_of_circle[k], nullptr);
    EXPECT_EQ(scratch->crossings_of_circle[k]->include_forward, 0);
    EXPECT_EQ(scratch->crossings_of_circle[k]->a4, 0.0);
  }
  for (int k = 0; k < 11; k++) scratch->times[k] = 1.0;  // crossings + lines + 1
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  // Lines alone still take the second and third working signals.
  aperture *lines_only = sonvar_test::hand_aperture(sys, {elements[1]});
  block = pre_allocate_memory(sys, lines_only, lines_only);
  EXPECT_EQ(signals_out(), 2);
  EXPECT_EQ(block->rect_signals[0], nullptr);
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, lines_only);
  sonvar_test::free_hand_aperture(sys, ap);
}

}  // namespace

// ===========================================================================
// End of calculation scratch block
// ===========================================================================

// ---------------------------------------------------------------------------
// Parallel calculation dispatcher
// ---------------------------------------------------------------------------

namespace {

std::vector<point3> field_points(int n) {
  std::vector<point3> points;
  for (int i = 0; i < n; i++)
    points.push_back({-0.008 + 0.0007 * i, 0.0003 * (i % 4), 0.012 + 0.0015 * ((5 * i) % n)});
  return points;
}

void expect_same_signal(const signal_rec *got, const signal_rec *ref, double tolerance,
                        const std::string &what) {
  ASSERT_NE(ref, nullptr) << what;
  sonvar_test::expect_signal_near(got, ref->start_sample,
                                  std::vector<double>(ref->values, ref->values + ref->no_samples),
                                  tolerance, what);
}

void release(sys_con *sys, signal_rec **signals, int n) {
  for (int i = 0; i < n; i++) free_signal(sys, signals[i]);
  free_memory(sys, signals);
}

}  // namespace

TEST_F(CalculationsParTest, ConcurrentSplitRunsEqualTheDirectRun) {
  aperture *transmit = xdc_linear_array(sys, 16, 0.4e-3, 5e-3, 0.05e-3, 1, 2, point3{0, 0, 0.03});
  aperture *receive =
      xdc_convert(sys, xdc_linear_array(sys, 8, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.02}));
  for (int N : {20, 22, 41}) {
    std::vector<point3> points = field_points(N);
    for (int code = 1; code <= 3; code++) {
      set_sonvar(sys, "threads", 1);
      signal_rec **ref = code == 1   ? calc_h(sys, transmit, N, points.data())
                         : code == 2 ? calc_hp(sys, transmit, N, points.data())
                                     : calc_hhp(sys, transmit, receive, N, points.data());
      for (int T : {1, 2, 4}) {
        set_sonvar(sys, "threads", T);
        signal_rec **got = calc_function_parallel(sys, code, transmit, receive, N, points.data());
        for (int i = 0; i < N; i++)
          expect_same_signal(got[i], ref[i], 1e-12,
                             "code " + std::to_string(code) + " T " + std::to_string(T) + " N " +
                                 std::to_string(N) + " point " + std::to_string(i));
        release(sys, got, N);
      }
      release(sys, ref, N);
    }
  }
  xdc_free(sys, transmit);
  xdc_free(sys, receive);
}

TEST_F(CalculationsParTest, ConcurrentScatteringSumsTheWorkers) {
  aperture *transmit = xdc_linear_array(sys, 8, 0.4e-3, 5e-3, 0.05e-3, 1, 2, point3{0, 0, 0.03});
  aperture *receive = xdc_linear_array(sys, 4, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.02});
  const int N = 23;
  std::vector<point3> points = field_points(N);
  std::vector<double> amplitudes;
  for (int i = 0; i < N; i++) amplitudes.push_back(1.0 - 0.05 * i);
  set_sonvar(sys, "threads", 1);
  std::vector<point3> p1 = points;
  std::vector<double> a1 = amplitudes;
  signal_rec *ref = calc_scat(sys, transmit, receive, N, p1.data(), a1.data());
  p1 = points;
  a1 = amplitudes;
  signal_rec **ref_multi = calc_scat_multi(sys, transmit, receive, N, p1.data(), a1.data());
  set_sonvar(sys, "threads", 3);
  std::vector<point3> p2 = points;
  std::vector<double> a2 = amplitudes;
  signal_rec *got = calc_scat_parallel(sys, transmit, receive, N, p2.data(), a2.data());
  p2 = points;
  a2 = amplitudes;
  signal_rec **got_multi =
      calc_scat_multi_parallel(sys, transmit, receive, N, p2.data(), a2.data());
  // The split sum may span more samples than the direct one; compare on
  // the direct run's span and require zeros elsewhere.
  const auto compare = [](const signal_rec *split, const signal_rec *direct, const std::string &w) {
    double peak = 0, error = 0;
    for (int j = 0; j < direct->no_samples; j++)
      peak = std::max(peak, std::fabs(direct->values[j]));
    for (int k = 0; k < split->no_samples; k++) {
      const int j = split->start_sample + k - direct->start_sample;
      const double r = (j >= 0 && j < direct->no_samples) ? direct->values[j] : 0.0;
      error = std::max(error, std::fabs(split->values[k] - r));
    }
    EXPECT_LE(error, 1e-9 * peak) << w;
  };
  compare(got, ref, "calc_scat_parallel");
  for (int j = 0; j < receive->no_elements; j++)
    compare(got_multi[j], ref_multi[j], "calc_scat_multi_parallel element " + std::to_string(j));
  free_signal(sys, ref);
  free_signal(sys, got);
  release(sys, ref_multi, receive->no_elements);
  release(sys, got_multi, receive->no_elements);
  xdc_free(sys, transmit);
  xdc_free(sys, receive);
}

TEST_F(CalculationsParTest, ConcurrentAllPairsSplitEqualsDirect) {
  aperture *ap = xdc_linear_array(sys, 3, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  const int N = 5;
  std::vector<point3> points = field_points(N);
  std::vector<double> amplitudes(N, 1.0);
  set_sonvar(sys, "threads", 1);
  std::vector<point3> p1 = points;
  std::vector<double> a1 = amplitudes;
  signal_rec ***ref = calc_scat_all(sys, ap, ap, N, p1.data(), a1.data(), 2);
  // A split run needs more than 10000 scatterers a thread; threads = 0
  // rounds to one, so split by hand through the worker entry instead.
  std::vector<point3> p2 = points;
  std::vector<double> a2 = amplitudes;
  thread_work work[2] = {};
  for (int w = 0; w < 2; w++) {
    work[w].sys = sys;
    work[w].aperture1 = ap;
    work[w].aperture2 = ap;
    work[w].no_points = w == 0 ? 2 : 3;
    work[w].points = p2.data() + 2 * w;
    work[w].amplitudes = a2.data() + 2 * w;
    work[w].dec_factor = 2;
  }
  pthread_t threads[2] = {th_lib_create_new_thread(calc_scat_all_call, &work[0]),
                          th_lib_create_new_thread(calc_scat_all_call, &work[1])};
  th_lib_wait_for_threads(threads, 2);
  for (int t = 0; t < 3; t++)
    for (int r = 0; r < 3; r++) {
      signal_rec *sum =
          add_responses(sys, work[1].nested_result[t][r], work[0].nested_result[t][r]);
      double peak = 0;
      for (int j = 0; j < ref[t][r]->no_samples; j++)
        peak = std::max(peak, std::fabs(ref[t][r]->values[j]));
      for (int k = 0; k < sum->no_samples; k++) {
        const int j = sum->start_sample + k - ref[t][r]->start_sample;
        const double v = (j >= 0 && j < ref[t][r]->no_samples) ? ref[t][r]->values[j] : 0.0;
        EXPECT_NEAR(sum->values[k], v, 1e-9 * peak) << t << "," << r;
      }
      free_signal(sys, work[1].nested_result[t][r]);
    }
  for (int t = 0; t < 3; t++) {
    release(sys, ref[t], 3);
    release(sys, work[0].nested_result[t], 3);
    free_memory(sys, work[1].nested_result[t]);
  }
  free_memory(sys, ref);
  free_memory(sys, work[0].nested_result);
  free_memory(sys, work[1].nested_result);
  xdc_free(sys, ap);
}

TEST_F(CalculationsParTest, IllegalFunctionCodeIsFatal) {
  aperture *ap = xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  std::vector<point3> points = field_points(30);
  set_sonvar(sys, "threads", 2);
  EXPECT_FATAL(calc_function_parallel(sys, 4, ap, ap, 10, points.data()),
               "^Internal Error 6: Illegal function_code found in calc_function_parallel, module "
               "calculations_par$");
  EXPECT_FATAL(calc_function_parallel(sys, 0, ap, ap, 30, points.data()),
               "^Internal Error 5: Illegal function_code found in calc_function_parallel, module "
               "calculations_par$");
  xdc_free(sys, ap);
}

TEST_F(CalculationsParTest, HugeThreadCountsRunDirectly) {
  // 5 x threads is compared in 64 bits: no overflow turns it negative.
  aperture *ap = xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  std::vector<point3> points = field_points(7);
  set_sonvar(sys, "threads", 2147483647.0);
  signal_rec **got = calc_function_parallel(sys, 1, ap, ap, 7, points.data());
  for (int i = 0; i < 7; i++) EXPECT_NE(got[i], nullptr);
  release(sys, got, 7);
  xdc_free(sys, ap);
}

namespace {

// Virtual memory of this process, bytes.
[[maybe_unused]] long mapped_bytes() {
  long pages = 0;
  FILE *file = fopen("/proc/self/statm", "r");
  if (file == nullptr || fscanf(file, "%ld", &pages) != 1) pages = 0;
  if (file != nullptr) fclose(file);
  return pages * sysconf(_SC_PAGESIZE);
}

}  // namespace

TEST_F(CalculationsParTest, WorkerThatCannotStartIsComputedOnTheCallingThread) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit below allows";
#else
  aperture *ap = xdc_linear_array(sys, 4, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  std::vector<point3> points = field_points(200);
  signal_rec **ref = calc_h(sys, ap, 200, points.data());
  set_sonvar(sys, "threads", 20);
  // With the address space capped, new thread stacks cannot be mapped (a few
  // stacks cached from earlier threads may still serve): the workers that
  // cannot start have their chunks computed on the calling thread, and the
  // result is the same.
  EXPECT_EXITS(
      {
        const rlim_t cap = static_cast<rlim_t>(mapped_bytes() + (2 << 20));
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = cap;
        setrlimit(RLIMIT_AS, &limit);
        signal_rec **got = calc_function_parallel(sys, 1, ap, ap, 200, points.data());
        bool same = true;
        for (int i = 0; i < 200; i++)
          for (int j = 0; j < ref[i]->no_samples; j++)
            same = same && got[i]->start_sample == ref[i]->start_sample &&
                   got[i]->values[j] == ref[i]->values[j];
        exit(same ? 0 : 1);
      },
      0,
      "Sonvar warning: worker thread 19 could not be started \\(error 11\\); its 10 points are "
      "computed on the calling thread\n$");
  release(sys, ref, 200);
  xdc_free(sys, ap);
#endif
}

namespace {

// Signals equal bit for bit: same start, length and every value's bits.
void expect_identical(const signal_rec *got, const signal_rec *ref, const std::string &what) {
  ASSERT_NE(got, nullptr) << what;
  ASSERT_NE(ref, nullptr) << what;
  ASSERT_EQ(got->start_sample, ref->start_sample) << what;
  ASSERT_EQ(got->no_samples, ref->no_samples) << what;
  EXPECT_EQ(std::memcmp(got->values, ref->values, sizeof(double) * ref->no_samples), 0) << what;
}

}  // namespace

// A point's field and a scattering sum must not depend on how the work was
// split: points whose responses need different transform lengths (so that a
// spectrum cached from the first point of a chunk would show), attenuation
// off and on, 1, 2, 4 and 8 threads.
TEST_F(CalculationsParTest, ParallelResultsAreBitIdenticalForEveryThreadCount) {
  aperture *ap = xdc_linear_array(sys, 24, 0.4e-3, 5e-3, 0.05e-3, 1, 2, point3{0, 0, 0.03});
  aperture *receive = xdc_linear_array(sys, 6, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.02});
  const int N = 83;  // above 5 x 8: every thread count splits
  std::vector<point3> points = field_points(N);
  std::vector<double> amplitudes;
  for (int i = 0; i < N; i++) amplitudes.push_back(std::cos(0.7 * i));
  set_sonvar(sys, "freq_att", 0.5 * 100 / 1e6);
  set_sonvar(sys, "att_f0", 3e6);
  set_sonvar(sys, "att", 0.5 * 100 / 1e6 * 3e6);
  for (int att = 0; att <= 1; att++) {
    set_sonvar(sys, "use_att", att);
    std::vector<signal_rec *> ref;
    for (int T : {1, 2, 4, 8}) {
      set_sonvar(sys, "threads", T);
      std::vector<signal_rec *> got;
      for (int code = 2; code <= 3; code++) {
        signal_rec **r = calc_function_parallel(sys, code, ap, receive, N, points.data());
        got.insert(got.end(), r, r + N);
        free_memory(sys, r);
      }
      std::vector<point3> p = points;
      std::vector<double> a = amplitudes;
      got.push_back(calc_scat_parallel(sys, ap, receive, N, p.data(), a.data()));
      for (aperture *rx : {receive, ap}) {
        p = points;
        a = amplitudes;
        signal_rec **r = calc_scat_multi_parallel(sys, ap, rx, N, p.data(), a.data());
        got.insert(got.end(), r, r + rx->no_elements);
        free_memory(sys, r);
      }
      if (T == 1) {
        ref = got;
        continue;
      }
      ASSERT_EQ(got.size(), ref.size());
      for (std::size_t k = 0; k < got.size(); k++) {
        expect_identical(got[k], ref[k],
                         "att " + std::to_string(att) + " T " + std::to_string(T) + " signal " +
                             std::to_string(k));
        free_signal(sys, got[k]);
      }
    }
    for (signal_rec *s : ref) free_signal(sys, s);
  }
  xdc_free(sys, ap);
  xdc_free(sys, receive);
}

// A pulse long enough that every echo takes it by transforms (the pulse
// spectrum kept per worker and transform length, the sums transformed in a
// working signal): the per-element and summed echoes are the same bits on
// 1, 2 and 3 workers (3: the workers finish sibling leaves in changing
// order and merge them as they go), and the per-element echoes add up to
// the summed one.
TEST_F(CalculationsParTest, LongPulseEchoesDoNotDependOnTheWorkers) {
  aperture *ap = xdc_linear_array(sys, 16, 0.4e-3, 5e-3, 0.05e-3, 1, 2, point3{0, 0, 0.03});
  aperture *receive = xdc_linear_array(sys, 6, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.02});
  signal_rec *excitation = alloc_signal(sys, 700, 0);
  for (int j = 0; j < 700; j++) excitation->values[j] = std::sin(0.3 * j + 2e-4 * j * j);
  xdc_excitation(sys, ap, excitation);
  const int N = 83;
  const std::vector<point3> points = field_points(N);
  std::vector<double> amplitudes;
  for (int i = 0; i < N; i++) amplitudes.push_back(std::cos(0.7 * i));
  std::vector<signal_rec *> ref;
  for (int T : {1, 2, 3}) {
    set_sonvar(sys, "threads", T);
    std::vector<signal_rec *> got;
    for (aperture *rx : {receive, ap}) {
      std::vector<point3> p = points;
      std::vector<double> a = amplitudes;
      signal_rec **r = calc_scat_multi_parallel(sys, ap, rx, N, p.data(), a.data());
      got.insert(got.end(), r, r + rx->no_elements);
      free_memory(sys, r);
    }
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    got.push_back(calc_scat_parallel(sys, ap, receive, N, p.data(), a.data()));
    if (T == 1) {
      ref = got;
      continue;
    }
    ASSERT_EQ(got.size(), ref.size());
    for (std::size_t k = 0; k < got.size(); k++) {
      expect_identical(got[k], ref[k], "T " + std::to_string(T) + " signal " + std::to_string(k));
      free_signal(sys, got[k]);
    }
  }
  // The six per-element echoes of the second aperture against the summed
  // echo, within 1e-9 of its peak (the sum may carry zeros beyond it).
  const signal_rec *whole = ref.back();
  signal_rec *sum = alloc_signal(sys, 1, ref[0]->start_sample);
  for (int j = 0; j < receive->no_elements; j++) sum = add_responses(sys, ref[j], sum);
  std::vector<double> expected(sum->no_samples, 0.0);
  for (int j = 0; j < whole->no_samples; j++)
    expected[whole->start_sample - sum->start_sample + j] = whole->values[j];
  sonvar_test::expect_signal_near(sum, sum->start_sample, expected, 1e-9, "sum of elements");
  free_signal(sys, sum);
  for (signal_rec *s : ref) free_signal(sys, s);
  xdc_free(sys, ap);
  xdc_free(sys, receive);
}

// The all-pairs sums: leaves shared out over 1, 2, 4 and 8 workers give the
// same bits (shared and separate apertures, decimated), and a real split
// run of calc_scat_all_parallel equals the direct run and leaves the
// caller's arrays as the workers of a split run do.
TEST_F(CalculationsParTest, ParallelAllPairsSumsDoNotDependOnTheSplit) {
  aperture *ap = xdc_linear_array(sys, 3, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  aperture *receive = xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.02});
  const int N = 45, leaves = scatter_leaves(1);
  for (aperture *rx : {ap, receive}) {
    std::vector<signal_rec *> ref;
    for (int T : {1, 2, 4, 8}) {
      std::vector<point3> p = field_points(N);
      std::vector<double> a(N, 1.0);
      calc_scat_all_order(sys, N, p.data(), a.data());
      std::vector<scatter_partials *> shares;
      for (int w = 0; w < T; w++)
        shares.push_back(pair_leaf_sums(sys, ap, rx, N, p.data(), a.data(), 2, leaves,
                                        w * leaves / T, (w + 1) * leaves / T));
      signal_rec ***r = pair_finish(sys, ap, rx, shares.data(), T, 2);
      std::vector<signal_rec *> got;
      for (int t = 0; t < 3; t++) {
        got.insert(got.end(), r[t], r[t] + rx->no_elements);
        free_memory(sys, r[t]);
      }
      free_memory(sys, r);
      if (T == 1) {
        ref = got;
        continue;
      }
      for (std::size_t k = 0; k < got.size(); k++) {
        expect_identical(got[k], ref[k], "T " + std::to_string(T) + " pair " + std::to_string(k));
        free_signal(sys, got[k]);
      }
    }
    for (signal_rec *s : ref) free_signal(sys, s);
  }
  xdc_free(sys, ap);
  aperture *one = xdc_linear_array(sys, 1, 0.4e-3, 5e-3, 0.05e-3, 1, 1, point3{0, 0, 0.03});
  const int big = 20001;  // above 10000 a thread: two threads split
  std::vector<point3> points;
  for (int i = 0; i < big; i++)
    points.push_back(point3{1e-3 * std::sin(i), 0, 0.02 + 0.01 * std::cos(0.37 * i)});
  std::vector<double> amplitudes(big, 1.0);
  std::vector<signal_rec *> results;
  std::vector<double> split_amplitudes;
  for (int T : {1, 2}) {
    set_sonvar(sys, "threads", T);
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    signal_rec ***r = calc_scat_all_parallel(sys, one, receive, big, p.data(), a.data(), 1);
    results.insert(results.end(), r[0], r[0] + 2);
    free_memory(sys, r[0]);
    free_memory(sys, r);
    if (T == 2) split_amplitudes = a;
  }
  for (int k = 0; k < 2; k++) {
    expect_identical(results[2 + k], results[k], "split run, receive element " + std::to_string(k));
    free_signal(sys, results[k]);
    free_signal(sys, results[2 + k]);
  }
  EXPECT_EQ(split_amplitudes[0], 1.0 / 100e6);  // every amplitude divided by fs once
  EXPECT_EQ(split_amplitudes[big - 1], 1.0 / 100e6);
  xdc_free(sys, one);
  xdc_free(sys, receive);
}

// Per-element echoes of a wide focused aperture: long transmit responses
// and short element responses go by frame spectra, the closest points'
// longer element responses directly. The echoes must add up to the
// whole-aperture echo (found by another route) to rounding, and not
// depend on the thread count.
TEST_F(CalculationsParTest, FramedPerElementEchoesAddUpAndDoNotDependOnThreads) {
  aperture *ap = xdc_linear_array(sys, 64, 0.27e-3, 10e-3, 0.03e-3, 1, 3, point3{0, 0, 0.03});
  const int N = 41;
  std::vector<point3> points;
  std::vector<double> amplitudes;
  for (int i = 0; i < N; i++) {
    points.push_back({(i % 7 - 3) * 2e-3, 0.3e-3 * (i % 3), 0.004 + 0.001 * i});
    amplitudes.push_back(std::cos(0.9 * i));
  }
  std::vector<point3> p = points;
  std::vector<double> a = amplitudes;
  signal_rec *whole = calc_scat(sys, ap, ap, N, p.data(), a.data());
  std::vector<signal_rec *> ref;
  for (int T : {1, 2}) {
    set_sonvar(sys, "threads", T);
    p = points;
    a = amplitudes;
    signal_rec **multi = calc_scat_multi_parallel(sys, ap, ap, N, p.data(), a.data());
    for (int j = 0; j < ap->no_elements; j++) {
      if (T == 1) {
        ref.push_back(multi[j]);
        continue;
      }
      expect_identical(multi[j], ref[j], "T 2, element " + std::to_string(j));
      free_signal(sys, multi[j]);
    }
    free_memory(sys, multi);
  }
  signal_rec *sum = alloc_signal(sys, 1, whole->start_sample);
  for (signal_rec *s : ref) add_responses(sys, s, sum);
  std::vector<double> expected(sum->no_samples, 0.0);
  for (int j = 0; j < whole->no_samples; j++)
    expected[whole->start_sample - sum->start_sample + j] = whole->values[j];
  sonvar_test::expect_signal_near(sum, sum->start_sample, expected, 1e-12, "sum over the elements");
  for (signal_rec *s : ref) free_signal(sys, s);
  free_signal(sys, sum);
  free_signal(sys, whole);
  xdc_free(sys, ap);
}
