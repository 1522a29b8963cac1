// gaussPulse.cpp - the Gaussian-modulated cosine pulse used as a transducer
// impulse response: cut where the envelope has fallen to -40 dB, bandwidth
// taken at the -6 dB level.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doroRivo.h"

namespace {

constexpr double kFourPiSquared = 39.47841760435743;
constexpr double kTwoPi = 6.283185307179586;

// Variance v of the envelope exp(-t^2 / (2 v)) for centre frequency fc and
// fractional bandwidth bw at the -6 dB level.
double envelope_variance(double bw, double fc, double *a_out) {
  const double ref = std::pow(10.0, -0.3);
  const double a = -(fc * bw) * (fc * bw) / (8 * std::log(ref));
  if (a_out != nullptr) *a_out = a;
  return 1 / (kFourPiSquared * a);
}

double cutoff_time(double v) {
  return std::sqrt(-2 * v * std::log(std::pow(10.0, -2.0)));
}

}  // namespace

int64_t gaussPulseLength(double bw, double fc, int32_t fs) {
  const double tc = cutoff_time(envelope_variance(bw, fc, nullptr));
  const double product = static_cast<double>(fs) * tc;
  if (!(product < 4e18)) return -1;  // NaN or beyond 64 bits: no usable length
  return 2 * static_cast<int64_t>(product);
}

double *gaussPulse(int verbose, double bw, double fc, run_params params, int *num_samples) {
  if (num_samples != nullptr) *num_samples = 0;
  const char *type = params.impulse_type;
  double *pulse = nullptr;
  if (strstr(type, "gaussian") != nullptr) {
    const double ref = std::pow(10.0, -0.3);
    const double delta = std::pow(10.0, -2.0);
    double a = 0;
    const double v = envelope_variance(bw, fc, &a);
    if (verbose) fprintf(stderr, "got gaussian; ref %f, delta %f, a %f\n", ref, delta, a);
    const double tc = cutoff_time(v);
    if (verbose) {
      fprintf(stderr, "tc %g\n", tc);
      fprintf(stderr, "sampling freq %d\n", params.fs);
    }
    const int64_t length = gaussPulseLength(bw, fc, params.fs);
    // An empty or unrepresentable pulse gives no array.
    const int steps = (length > 0 && length <= INT32_MAX) ? static_cast<int>(length) : 0;
    if (verbose) fprintf(stderr, "freq %g, numSteps %d\n", static_cast<double>(params.fs), steps);
    if (steps > 0) {
      pulse = static_cast<double *>(malloc(sizeof(double) * static_cast<size_t>(steps)));
      if (pulse == nullptr) {
        fprintf(stderr, "couldn't allocate space for the pulse (%d samples)\n", steps);
        exit(1);
      }
      const double step_size = 1.0 / params.fs;
      if (verbose) fprintf(stderr, "starting loop, stepSize %e\n", step_size);
      double t = -tc;
      double ye = std::exp(-t * t / (2 * v));
      pulse[0] = std::cos(kTwoPi * fc * t) * ye;
      if (verbose) fprintf(stderr, "impulse %f, ye %f, yc %f\n", t, ye, pulse[0]);
      for (int i = 1; i < steps; i++) {
        t = i * step_size - tc;
        pulse[i] = std::cos(kTwoPi * fc * t) * std::exp(-t * t / (2 * v));
      }
      if (verbose) fprintf(stderr, "finished loop\n");
      if (num_samples != nullptr) *num_samples = steps;
    }
  }
  if (strstr(type, "exp") != nullptr) fprintf(stderr, "got exp\n");
  return pulse;
}
