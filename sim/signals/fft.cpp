// fft.cpp - the radix-2 FFT of the library (complex and real), packed
// spectra and their products, and convolution by transforms (with a cached
// spectrum shared by threads under fft_mutex).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "base/constants.h"
#include "general/failure.h"
#include "general/memory.h"
#include "signals/direct.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// One step of the twiddle recurrence w <- w + w (wpr + i wpi), with
// wpr = -2 sin^2(theta/2) and wpi = sin(theta): a rotation by theta without
// a sine or cosine per twiddle.
inline void rotate_twiddle(double *wr, double *wi, double wpr, double wpi) {
  const double old = *wr;
  *wr = old * wpr - *wi * wpi + old;
  *wi = *wi * wpr + old * wpi + *wi;
}

// Puts the nn complex values of data in bit-reversed order.
void bit_reverse(double *data, int nn) {
  const int n = nn << 1;
  int j = 0;
  for (int i = 0; i < n; i += 2) {
    if (j > i) {
      std::swap(data[j], data[i]);
      std::swap(data[j + 1], data[i + 1]);
    }
    int m = nn;
    while (m >= 2 && j >= m) {
      j -= m;
      m >>= 1;
    }
    j += m;
  }
}

// One butterfly: the complex values a and b (re, im) become a + w b and
// a - w b, w = wr + i wi.
inline void butterfly(double wr, double wi, double *a, double *b) {
  const double tempr = wr * b[0] - wi * b[1];
  const double tempi = wr * b[1] + wi * b[0];
  b[0] = a[0] - tempr;
  b[1] = a[1] - tempi;
  a[0] += tempr;
  a[1] += tempi;
}

// One stage twiddle by twiddle, each over every block: for the narrow
// first stages, whose blocks hold one or two butterflies.
void stage_by_twiddle(double *data, int n, int mmax, const double *twiddles) {
  const int istep = mmax << 1;
  for (int m = 0; m < mmax; m += 2) {
    const double wr = twiddles[m], wi = twiddles[m + 1];
    for (int i = m; i < n; i += istep) butterfly(wr, wi, data + i, data + i + mmax);
  }
}

// The butterfly stages of the transform, from blocks of `block` complex
// values (already transformed, in bit-reversed order) up to the whole.
// Each stage starts its twiddle recurrence afresh, so starting at a later
// stage gives the same twiddles as running every stage.
void butterfly_stages(double *data, int nn, int isign, int block) {
  const int n = nn << 1;
  // Twiddles of the widest stage: the stages' recurrences fill them once
  // per stage, in the order the loops below used to form them.
  std::vector<double> twiddles(static_cast<std::size_t>(std::max(n / 2, 2)));
  // mmax: length, in reals, of the transforms a stage combines; the
  // butterflies of the stage span mmax/2 complex values (mmax reals).
  for (int mmax = 2 * block; n > mmax; mmax <<= 1) {
    const int istep = mmax << 1;
    const double theta = kTruncatedTwoPi / (isign * mmax);
    const double half_sine = std::sin(0.5 * theta);
    const double wpr = -2.0 * half_sine * half_sine;
    const double wpi = std::sin(theta);
    double wr = 1.0;
    double wi = 0.0;
    for (int m = 0; m < mmax; m += 2) {
      twiddles[m] = wr;
      twiddles[m + 1] = wi;
      rotate_twiddle(&wr, &wi, wpr, wpi);
    }
    // The butterflies of a stage touch separate values, so their order does
    // not change the result: block by block, each block's values in
    // memory order, with the twiddle of each from the table.
    if (mmax <= 4) {
      stage_by_twiddle(data, n, mmax, twiddles.data());
      continue;
    }
    for (int i0 = 0; i0 < n; i0 += istep) {
      double *lower = data + i0;
      double *upper = data + i0 + mmax;
      for (int m = 0; m < mmax; m += 2)
        butterfly(twiddles[m], twiddles[m + 1], lower + m, upper + m);
    }
  }
}

// Bit reversal of the lowest `bits` bits of v.
int reverse_bits(int v, int bits) {
  int r = 0;
  for (int b = 0; b < bits; b++, v >>= 1) r = (r << 1) | (v & 1);
  return r;
}

// The forward complex transform of nn values of which only the first
// `nonzero` can differ from zero (a zero-padded signal). A sub-transform
// over the inputs j = r (mod M) with M >= nonzero holds at most the one
// input r, so its transform is that value in every bin: the stages that
// form those sub-transforms would only add and subtract zeros, and are
// replaced by filling each block with its value. The remaining stages run
// as in four1, so the result is the same.
void four1_padded(double *data, int nn, int isign, int nonzero) {
  int block = 1;  // complex values per sub-transform filled directly
  while (block < nn && nn / (2 * block) >= nonzero) block *= 2;
  if (block == 1) {
    four1(data, nn, isign);
    return;
  }
  const int blocks = nn / block;
  int bits = 0;
  while ((1 << bits) < blocks) bits++;
  const std::vector<double> inputs(data, data + 2 * nonzero);
  for (int b = 0; b < blocks; b++) {
    const int r = reverse_bits(b, bits);
    const double re = r < nonzero ? inputs[2 * r] : 0.0;
    const double im = r < nonzero ? inputs[2 * r + 1] : 0.0;
    double *first = data + 2 * static_cast<std::ptrdiff_t>(b) * block;
    for (int k = 0; k < block; k++) {
      first[2 * k] = re;
      first[2 * k + 1] = im;
    }
  }
  butterfly_stages(data, nn, isign, block);
}

bool is_power_of_two(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

// Stops the program when N cannot hold a transform of `samples` values.
void check_transform_length(sys_con *sys, int N, int samples, const char *where) {
  if (N >= 4 && is_power_of_two(N) && samples <= N) return;
  fail(sys, "%s: a signal of %d samples cannot be transformed with length %d", where, samples, N);
}

void realft_forward_padded(double *data, int n, int samples);

// Copies s into values[0 .. N-1], zero-padded, and transforms it.
void transform_padded(const signal_rec *s, int N, double *values) {
  std::copy(s->values, s->values + s->no_samples, values);
  std::fill(values + s->no_samples, values + N, 0.0);
  realft_forward_padded(values, N / 2, s->no_samples);
}

}  // namespace

SONVAR_CALL void four1(double *data, int nn, int isign) {
  bit_reverse(data, nn);
  butterfly_stages(data, nn, isign, 1);
}

namespace {

// Splits (or, backwards, merges) the transforms of the even and the odd
// samples, bins k and n - k together; bin n/2 needs no change.
void realft_split(double *data, int n, double c2, double theta) {
  const double c1 = 0.5;
  const double half_sine = std::sin(0.5 * theta);
  const double wpr = -2.0 * half_sine * half_sine;
  const double wpi = std::sin(theta);
  double wr = 1.0 + wpr;
  double wi = wpi;
  for (int k = 1; k < n / 2; k++) {
    const int i1 = 2 * k;
    const int i2 = i1 + 1;
    const int i3 = 2 * (n - k);
    const int i4 = i3 + 1;
    const double h1r = c1 * (data[i1] + data[i3]);
    const double h1i = c1 * (data[i2] - data[i4]);
    const double h2r = -c2 * (data[i2] + data[i4]);
    const double h2i = c2 * (data[i1] - data[i3]);
    data[i1] = h1r + wr * h2r - wi * h2i;
    data[i2] = h1i + wr * h2i + wi * h2r;
    data[i3] = h1r - wr * h2r + wi * h2i;
    data[i4] = -h1i + wr * h2i + wi * h2r;
    rotate_twiddle(&wr, &wi, wpr, wpi);
  }
}

// The forward real transform once the complex transform is formed.
void realft_forward_finish(double *data, int n) {
  realft_split(data, n, -0.5, kPi / n);
  const double z0 = data[0];
  data[0] = z0 + data[1];  // DC
  data[1] = z0 - data[1];  // Nyquist
}

// Forward real transform of 2n samples of which only the first `samples`
// can differ from zero.
void realft_forward_padded(double *data, int n, int samples) {
  four1_padded(data, n, 1, (samples + 1) / 2);
  realft_forward_finish(data, n);
}

}  // namespace

SONVAR_CALL void realft(double *data, int n, int isign) {
  if (isign == 1) {
    four1(data, n, 1);
    realft_forward_finish(data, n);
    return;
  }
  realft_split(data, n, 0.5, -(kPi / n));
  const double c1 = 0.5;
  const double z0 = data[0];
  data[0] = c1 * (z0 + data[1]);
  data[1] = c1 * (z0 - data[1]);
  four1(data, n, -1);
}

SONVAR_CALL int Find_N(int n1, int n2) {
  constexpr int kLargest = 1 << 30;
  const int needed = std::max(n1, n2);
  // The call has no state: the failure goes to the running call's.
  if (needed > kLargest) fail(nullptr, "Find_N: no transform length holds %d samples", needed);
  int N = 4;
  while (N < needed) N <<= 1;
  return N;
}

SONVAR_CALL signal_rec *Find_FFT(sys_con *sys, signal_rec *s, int N) try {
  SONVAR_ENTER(sys);
  check_transform_length(sys, N, s->no_samples, "Find_FFT");
  signal_rec *spectrum = alloc_signal(sys, N, s->start_sample);
  allocating(sys, "the twiddle factors of a transform",
             [&] { transform_padded(s, N, spectrum->values); });
  return spectrum;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *Find_FFT_reuse(sys_con *sys, signal_rec *dest, signal_rec *s, int N) try {
  SONVAR_ENTER(sys);
  check_transform_length(sys, N, s->no_samples, "Find_FFT_reuse");
  extend_signal(sys, dest, N, s->start_sample);
  allocating(sys, "the twiddle factors of a transform",
             [&] { transform_padded(s, N, dest->values); });
  return dest;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *Multiply_FFTs(sys_con *sys, signal_rec *A, signal_rec *B) try {
  SONVAR_ENTER(sys);
  const int length = std::min(A->no_samples, B->no_samples);
  signal_rec *out = alloc_signal(sys, length, A->start_sample + B->start_sample);
  return Multiply_FFTs_fast(sys, A, B, out);
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *Multiply_FFTs_fast(sys_con *sys, signal_rec *A, signal_rec *B,
                                           signal_rec *out) try {
  SONVAR_ENTER(sys);
  const int NA = A->no_samples;
  const int NB = B->no_samples;
  const int Nc = std::min(NA, NB);
  // The longer spectrum is read at every (longer/shorter)-th bin, the bin of
  // the same frequency. When out is A or B, bin k is written only after
  // bins k and above have been read, so the product can be formed in place.
  const int step_a = NA / Nc;
  const int step_b = NB / Nc;
  extend_signal(sys, out, Nc, A->start_sample + B->start_sample);
  const double *a = A->values;
  const double *b = B->values;
  double *y = out->values;
  y[0] = a[0] * b[0];  // DC meets DC
  y[1] = a[1] * b[1];  // Nyquist meets Nyquist
  for (int k = 1; k < Nc / 2; k++) {
    const double ar = a[2 * k * step_a];
    const double ai = a[2 * k * step_a + 1];
    const double br = b[2 * k * step_b];
    const double bi = b[2 * k * step_b + 1];
    y[2 * k] = ar * br - ai * bi;
    y[2 * k + 1] = ar * bi + ai * br;
  }
  // The sum of products approximates the convolution integral: times 1/fs.
  const double per_sample = 1.0 / sys->fs;
  for (int j = 0; j < Nc; j++) y[j] *= per_sample;
  return out;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *Inverse_FFT(signal_rec *S, int n_out) {
  const int N = S->no_samples;
  // The call has no state: the failure goes to the running call's.
  if (n_out < 1 || n_out > N)
    fail(nullptr, "Inverse_FFT: cannot keep %d samples of a transform of length %d", n_out, N);
  const double factor = 2.0 / N;
  for (int j = 0; j < N; j++) S->values[j] *= factor;
  // The call has no state: an allocation failure takes the default fatal path.
  allocating(nullptr, "the twiddle factors of an inverse transform",
             [&] { realft(S->values, N / 2, -1); });
  S->no_samples = n_out;
  return S;
}

SONVAR_CALL signal_rec *fast_convolute(sys_con *sys, signal_rec *a, signal_rec *b) try {
  SONVAR_ENTER(sys);
  if (a == nullptr || b == nullptr) return zeros_like_present(sys, a, b);
  // Two signals: as fast_dft_convolute without a cache (the products of
  // the spectra are the same in either order).
  if (a != b) return fast_dft_convolute(sys, a, b, nullptr);
  const int length = 2 * a->no_samples;
  // N >= 2 na, so the circular product is the linear convolution; one
  // transform for the squared spectrum.
  signal_rec *A = Find_FFT(sys, a, Find_N(length, 0));
  Multiply_FFTs_fast(sys, A, A, A);
  return Inverse_FFT(A, length - 1);
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *fast_dft_convolute(sys_con *sys, signal_rec *a, signal_rec *b,
                                           signal_rec **cached) try {
  SONVAR_ENTER(sys);
  if (a == nullptr || b == nullptr) return zeros_like_present(sys, a, b);
  const int length = a->no_samples + b->no_samples;
  const int N = Find_N(length, 0);
  signal_rec *A = Find_FFT(sys, a, N);
  if (cached == nullptr) {
    signal_rec *B = Find_FFT(sys, b, N);
    Multiply_FFTs_fast(sys, A, B, A);
    free_signal(sys, B);
    return Inverse_FFT(A, length - 1);
  }
  {
    // The cached spectrum may be shared by worker threads: it is checked,
    // renewed and read by one thread at a time.
    MutexGuard guard(&sys->fft_mutex);
    if (*cached == nullptr || (*cached)->no_samples < length) {
      signal_rec *renewed = Find_FFT(sys, b, N);
      if (*cached != nullptr) free_signal(sys, *cached);
      *cached = renewed;
    }
    Multiply_FFTs_fast(sys, A, *cached, A);
  }
  return Inverse_FFT(A, length - 1);
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *fast_fft_convolute(sys_con *sys, signal_rec *a, signal_rec *b,
                                           signal_rec *spec_a, signal_rec *spec_b,
                                           signal_rec *out) try {
  SONVAR_ENTER(sys);
  if (a == nullptr || b == nullptr) return Convolute_fast(sys, a, b, out);  // zeros
  const int length = a->no_samples + b->no_samples;
  const int N = Find_N(length, 0);
  Find_FFT_reuse(sys, spec_a, a, N);
  // spec_b may already hold b's spectrum, possibly longer: used unchanged.
  if (spec_b->no_samples < length) Find_FFT_reuse(sys, spec_b, b, N);
  Multiply_FFTs_fast(sys, spec_a, spec_b, out);
  return Inverse_FFT(out, length - 1);
}
SONVAR_LEAVE(sys)

}  // namespace sonvar
