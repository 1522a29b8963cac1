// oracles.h - independent references the tests compare the library with:
// a direct DFT, ...
#ifndef SONVAR_TEST_ORACLES_H
#define SONVAR_TEST_ORACLES_H

#include <complex>
#include <cstddef>
#include <vector>

namespace sonvar_test {

using cplx = std::complex<long double>;

// X[k] = sum_j x[j] exp(sign 2 pi i j k / N) evaluated directly in long
// double, with the angle reduced modulo N before the sine and cosine.
class DirectDft {
 public:
  explicit DirectDft(int N, int sign = +1) : N_(N), w_(static_cast<std::size_t>(N)) {
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int r = 0; r < N; r++)
      w_[static_cast<std::size_t>(r)] = std::polar(1.0L, sign * 2 * pi * r / N);
  }
  cplx bin(const std::vector<double> &x, int k) const {
    cplx sum = 0;
    std::size_t r = 0;
    for (double v : x) {
      sum += static_cast<long double>(v) * w_[r];
      r = (r + static_cast<std::size_t>(k)) % static_cast<std::size_t>(N_);
    }
    return sum;
  }

 private:
  int N_;
  std::vector<cplx> w_;
};

}  // namespace sonvar_test

#endif  // SONVAR_TEST_ORACLES_H
