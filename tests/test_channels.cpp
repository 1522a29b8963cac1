// Channel echoes: per-element echoes added into a caller's matrix.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

class ChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys = sonvar_test::quiet_state();
    set_sonvar(sys, "show_times", 0);
  }
  void TearDown() override { sonvar_test::release_state(sys); }

  // A linear array steered by hand (delays growing along x) with a window
  // on transmit, and the same array unfocused and unapodized on receive.
  void make_apertures(int elements, double width = 0.25e-3) {
    for (aperture **ap : {&tx, &rx}) {
      *ap = xdc_linear_array(sys, elements, width, 4e-3, 0.05e-3, 1, 2, point3{0, 0, 0.02});
      signal_rec *impulse = alloc_signal(sys, 31, 0);
      signal_rec *excitation = alloc_signal(sys, 11, 0);
      for (int k = 0; k < 31; k++)
        impulse->values[k] = std::sin(2 * M_PI * 5e6 * k / sys->fs) * std::sin(M_PI * k / 30);
      for (int k = 0; k < 11; k++) excitation->values[k] = std::sin(2 * M_PI * 5e6 * k / sys->fs);
      xdc_impulse(sys, *ap, impulse);
      xdc_excitation(sys, *ap, excitation);
    }
    double *delays = static_cast<double *>(alloc_memory(sys, elements, sizeof(double)));
    double *weights = static_cast<double *>(alloc_memory(sys, elements, sizeof(double)));
    double *zeros = static_cast<double *>(alloc_memory(sys, elements, sizeof(double)));
    double *ones = static_cast<double *>(alloc_memory(sys, elements, sizeof(double)));
    for (int i = 0; i < elements; i++) {
      delays[i] = tx->elements[i].center.x * std::sin(0.15) / sys->c;
      weights[i] = 0.5 + 0.5 * std::cos(M_PI * (i - (elements - 1) / 2.0) / elements);
      zeros[i] = 0.0;
      ones[i] = 1.0;
    }
    const double t0 = 0.0;
    xdc_focus_times(sys, tx, 1, &t0, &delays);
    xdc_apodization(sys, tx, 1, &t0, &weights);
    xdc_focus_times(sys, rx, 1, &t0, &zeros);
    xdc_apodization(sys, rx, 1, &t0, &ones);
  }

  void make_scatterers(int n) {
    for (int i = 0; i < n; i++) {
      points.push_back(point3{-6e-3 + 12e-3 * std::fmod(0.618 * i, 1.0),
                              -1e-3 + 2e-3 * std::fmod(0.31 * i, 1.0),
                              5e-3 + 25e-3 * std::fmod(0.4142 * i, 1.0)});
      amplitudes.push_back(std::cos(0.9 * i));
    }
  }

  // calc_scat_multi's echoes, each with its start.
  std::vector<signal_rec *> reference() {
    std::vector<point3> p = points;
    std::vector<double> a = amplitudes;
    signal_rec **r = calc_scat_multi(sys, tx, rx, static_cast<int>(p.size()), p.data(), a.data());
    std::vector<signal_rec *> out(r, r + rx->no_elements);
    free_memory(sys, r);
    return out;
  }

  // The samples [lo, hi) the echoes cover, and their peak.
  static void extent(const std::vector<signal_rec *> &echoes, int64_t *lo, int64_t *hi,
                     double *peak) {
    *lo = 1 << 30;
    *hi = -(1 << 30);
    *peak = 0.0;
    for (signal_rec *s : echoes) {
      *lo = std::min<int64_t>(*lo, s->start_sample);
      *hi = std::max<int64_t>(*hi, s->start_sample + s->no_samples);
      for (int k = 0; k < s->no_samples; k++) *peak = std::max(*peak, std::fabs(s->values[k]));
    }
  }

  // Rows [first, first + rows) around the echoes with `margin` samples on
  // either side; returns their peak.
  static double rows_around(const std::vector<signal_rec *> &echoes, int64_t margin, int64_t *first,
                            int64_t *rows) {
    int64_t lo = 0, hi = 0;
    double peak = 0.0;
    extent(echoes, &lo, &hi, &peak);
    *first = lo - margin;
    *rows = hi - lo + 2 * margin;
    return peak;
  }

  // The matrix of the channel echoes over [first, first + rows).
  std::vector<double> channels(int64_t first, int64_t rows, int64_t *dropped) {
    std::vector<double> out(static_cast<std::size_t>(rows * rx->no_elements), 0.0);
    *dropped = calc_scat_channels(sys, tx, rx, static_cast<int>(points.size()), points.data(),
                                  amplitudes.data(), out.data(), first, rows, rows);
    return out;
  }

  // The matrix on 1 thread, after checking that 2 and 3 threads give it to
  // the bit, every echo inside.
  std::vector<double> on_1_to_3_threads(int64_t first, int64_t rows) {
    std::vector<double> one;
    for (int T : {1, 2, 3}) {
      set_sonvar(sys, "threads", T);
      int64_t dropped = -2;
      std::vector<double> out = channels(first, rows, &dropped);
      EXPECT_EQ(dropped, 0) << T;
      if (T == 1)
        one = out;
      else
        EXPECT_EQ(out, one) << T << " threads";
    }
    return one;
  }

  void free_apertures() {
    xdc_free(sys, tx);
    xdc_free(sys, rx);
  }

  sys_con *sys = nullptr;
  aperture *tx = nullptr;
  aperture *rx = nullptr;
  std::vector<point3> points;
  std::vector<double> amplitudes;
};

// Every column equals calc_scat_multi's echo of its element to 1e-12 of
// the peak, zeros around it; attenuation off and on; 70 elements on one
// thread; elements 3 mm wide have responses too long for
// the frames (summed directly).
TEST_F(ChannelsTest, ColumnsEqualThePerElementEchoes) {
  make_scatterers(150);
  for (double width : {0.25e-3, 3e-3}) {
    make_apertures(width < 1e-3 ? 70 : 8, width);
    for (int att = 0; att <= 1; att++) {
      set_sonvar(sys, "use_att", att);
      set_sonvar(sys, "freq_att", 50e-6);
      set_sonvar(sys, "att_f0", 5e6);
      std::vector<signal_rec *> ref = reference();
      int64_t first = 0, rows = 0;
      const double peak = rows_around(ref, 40, &first, &rows);
      int64_t dropped = -2;
      std::vector<double> out = channels(first, rows, &dropped);
      EXPECT_EQ(dropped, 0);
      double error = 0.0;
      for (int j = 0; j < rx->no_elements; j++) {
        std::vector<double> expected(static_cast<std::size_t>(rows), 0.0);
        for (int k = 0; k < ref[j]->no_samples; k++)
          expected[ref[j]->start_sample - first + k] = ref[j]->values[k];
        for (int64_t k = 0; k < rows; k++)
          error = std::max(error, std::fabs(out[j * rows + k] - expected[k]));
        free_signal(sys, ref[j]);
      }
      EXPECT_LE(error, 1e-12 * peak) << "width " << width << ", attenuation " << att;
    }
    free_apertures();
  }
}

// The matrix does not depend on the thread count (the receive elements are
// shared out, each formed in one order); a short matrix keeps what falls
// inside and counts what it drops.
TEST_F(ChannelsTest, ConcurrentWorkersGiveTheSameMatrixAndCountDroppedSamples) {
  make_apertures(70);
  make_scatterers(120);
  std::vector<signal_rec *> ref = reference();
  int64_t first = 0, rows = 0;
  rows_around(ref, 30, &first, &rows);
  const std::vector<double> one = on_1_to_3_threads(first, rows);
  // Cut at the middle of the echoes: the rows kept are unchanged.
  const int64_t cut = rows / 2;
  int64_t dropped = 0;
  std::vector<double> part = channels(first, cut, &dropped);
  int64_t outside = 0;
  for (int j = 0; j < rx->no_elements; j++) {
    for (int64_t k = 0; k < cut; k++) EXPECT_EQ(part[j * cut + k], one[j * rows + k]);
    for (int64_t k = cut; k < rows; k++) outside += one[j * rows + k] != 0.0;
  }
  EXPECT_GE(dropped, outside);
  EXPECT_GT(outside, 0);
  for (signal_rec *s : ref) free_signal(sys, s);
  free_apertures();
}

// The workers share each scatterer's transmit response; scatterers with
// none (the transmit apodization is zero for paths of 13 to 19 mm, a run
// of more than a batch of them) are skipped alike: 2 and 3 threads give
// 1 thread's matrix to the bit, and it holds echoes from both sides of the
// gap.
TEST_F(ChannelsTest, ConcurrentWorkersSharingTransmitResponsesSkipScatterersWithoutOne) {
  make_apertures(40);
  make_scatterers(700);
  const int elements = tx->no_elements;
  const double times[3] = {0.0, 13e-3 / sys->c, 19e-3 / sys->c};
  double *lines[3];
  for (int m = 0; m < 3; m++) {
    lines[m] = static_cast<double *>(alloc_memory(sys, elements, sizeof(double)));
    for (int i = 0; i < elements; i++) lines[m][i] = m == 1 ? 0.0 : 1.0;
  }
  xdc_apodization(sys, tx, 3, times, lines);
  std::vector<signal_rec *> ref = reference();
  int64_t first = 0, rows = 0;
  rows_around(ref, 30, &first, &rows);
  const std::vector<double> one = on_1_to_3_threads(first, rows);
  // Echoes before and after the gap (two-way paths of 26 to 38 mm lie in it).
  const int64_t gap_lo = static_cast<int64_t>(std::floor(26e-3 / sys->c * sys->fs)) - first;
  const int64_t gap_hi = static_cast<int64_t>(std::ceil(38e-3 / sys->c * sys->fs)) - first;
  double before = 0.0, after = 0.0;
  for (int j = 0; j < rx->no_elements; j++)
    for (int64_t k = 0; k < rows; k++) {
      if (k < gap_lo) before = std::max(before, std::fabs(one[j * rows + k]));
      if (k > gap_hi) after = std::max(after, std::fabs(one[j * rows + k]));
    }
  EXPECT_GT(before, 0.0);
  EXPECT_GT(after, 0.0);
  for (signal_rec *s : ref) free_signal(sys, s);
  free_apertures();
}

// An interrupted call fails with the interruption's text on 1 to 3
// threads (each worker stops, none waits for the others for ever) and
// leaves the matrix as it was, to the bit; the state then calculates.
TEST_F(ChannelsTest, ConcurrentWorkersInterruptedKeepThePriorMatrix) {
  make_apertures(20);
  make_scatterers(200);
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN);
  const int64_t rows = 6000;
  std::vector<double> prior(static_cast<std::size_t>(rows * rx->no_elements));
  for (std::size_t k = 0; k < prior.size(); k++) prior[k] = std::sin(0.01 * static_cast<double>(k));
  for (int T : {1, 2, 3}) {
    set_sonvar(sys, "threads", T);
    std::vector<double> out = prior;
    sonvar_set_interrupt(sys, 1);
    EXPECT_EQ(calc_scat_channels(sys, tx, rx, static_cast<int>(points.size()), points.data(),
                                 amplitudes.data(), out.data(), 0, rows, rows),
              -1);
    sonvar_set_interrupt(sys, 0);
    EXPECT_EQ(std::string(sonvar_last_error(sys)), "Fatal error: Calculation interrupted \n");
    EXPECT_EQ(out, prior) << T << " threads";
    int64_t dropped = -2;
    channels(0, rows, &dropped);
    EXPECT_EQ(dropped, 0) << T << " threads";
  }
  free_apertures();
}

// The call adds into the matrix: scatterers B added into a matrix holding
// the echoes of scatterers A equal the sum of the two echoes formed in
// zero matrices, to 1e-12 of the peak; the echoes overlap in time; with
// and without attenuation (the pulse applied at the end or per echo), on
// one and two threads.
TEST_F(ChannelsTest, MatrixHoldingEchoesIsAddedTo) {
  make_apertures(20);
  make_scatterers(60);
  const std::vector<point3> all = points;
  const std::vector<double> all_amplitudes = amplitudes;
  auto select = [&](int parity) {
    points.clear();
    amplitudes.clear();
    for (std::size_t i = parity; i < all.size(); i += 2) {
      points.push_back(all[i]);
      amplitudes.push_back(all_amplitudes[i]);
    }
  };
  set_sonvar(sys, "freq_att", 50e-6);
  set_sonvar(sys, "att_f0", 5e6);
  std::vector<signal_rec *> ref = reference();
  int64_t first = 0, rows = 0;
  rows_around(ref, 40, &first, &rows);
  for (signal_rec *s : ref) free_signal(sys, s);
  const std::size_t size = static_cast<std::size_t>(rows * rx->no_elements);
  for (int att = 0; att <= 1; att++) {
    set_sonvar(sys, "use_att", att);
    for (int T : {1, 2}) {
      set_sonvar(sys, "threads", T);
      int64_t dropped = 0;
      select(0);
      const std::vector<double> a = channels(first, rows, &dropped);
      ASSERT_EQ(dropped, 0);
      select(1);
      const std::vector<double> b = channels(first, rows, &dropped);
      ASSERT_EQ(dropped, 0);
      std::vector<double> both = a;
      EXPECT_EQ(calc_scat_channels(sys, tx, rx, static_cast<int>(points.size()), points.data(),
                                   amplitudes.data(), both.data(), first, rows, rows),
                0);
      double peak = 0.0, error = 0.0;
      for (std::size_t k = 0; k < size; k++) {
        peak = std::max(peak, std::fabs(a[k] + b[k]));
        error = std::max(error, std::fabs(both[k] - (a[k] + b[k])));
      }
      EXPECT_GT(peak, 0.0);
      EXPECT_LE(error, 1e-12 * peak) << "attenuation " << att << ", " << T << " threads";
    }
  }
  free_apertures();
}

// Bad matrices fail naming the call; in the returning mode the call gives -1.
TEST_F(ChannelsTest, BadMatrixIsRefused) {
  make_apertures(4);
  make_scatterers(5);
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN);
  std::vector<double> out(40, 0.0);
  struct Case {
    double *out;
    int64_t rows, stride;
    const char *text;
  } cases[] = {
      {out.data(), -1, 10, "calc_scat_channels: rows -1 is negative"},
      {out.data(), 10, 9, "calc_scat_channels: the column stride 9 is below the rows 10"},
      {nullptr, 10, 10, "calc_scat_channels: the matrix is NULL"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(calc_scat_channels(sys, tx, rx, 5, points.data(), amplitudes.data(), c.out, 0, c.rows,
                                 c.stride),
              -1);
    EXPECT_EQ(std::string(sonvar_last_error(sys)), std::string("Fatal error: ") + c.text + " \n");
  }
  free_apertures();
}

}  // namespace
