// results.cpp - the field and scattering calculations as aligned matrices.
//
// The library returns one signal per point, each with its own start sample
// and length. Here they become the columns of one zero-filled matrix that
// starts at the earliest sample of all. The signals are copied as they come
// into one packed buffer (their samples back to back) and go back to the pool
// at once; at the end the buffer is grown to the matrix and every column is
// moved to its place, last column first. As a column's packed samples never
// lie behind its place in the matrix, the move needs no second buffer, and a
// large buffer grows by remapping its pages, not by copying. The peak is the
// matrix plus the signals of one batch of points.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "core.h"

namespace sonvar_py {

namespace {

// A result that does not fit in memory: raised as MemoryError with its size
// and what it was for (pybind11 raises a std::bad_alloc with its text).
class ResultTooLarge : public std::bad_alloc {
 public:
  ResultTooLarge(const std::string &what, size_t values) {
    char size[64];
    const double bytes = 8.0 * static_cast<double>(values);
    std::snprintf(size, sizeof size, "%.3g GB", bytes / 1e9);
    text_ = "not enough memory for " + what + ": " + size + " (" + std::to_string(values) +
            " samples of 8 bytes)";
  }
  const char *what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

class Aligner {
 public:
  // `what` names the result in a MemoryError.
  Aligner(size_t columns, std::string what)
      : start_(columns, 0), length_(columns, 0), offset_(columns, 0), what_(std::move(what)) {}
  ~Aligner() { std::free(buffer_); }
  Aligner(const Aligner &) = delete;
  Aligner &operator=(const Aligner &) = delete;

  // Copies the signal as column j; columns come in increasing order. An
  // absent signal leaves a column of zeros.
  void add(size_t j, const signal_rec *s) {
    offset_[j] = used_;
    if (s == nullptr || s->no_samples <= 0) return;
    const size_t n = static_cast<size_t>(s->no_samples);
    reserve(used_ + n);
    std::memcpy(buffer_ + used_, s->values, n * sizeof(double));
    start_[j] = s->start_sample;
    length_[j] = static_cast<int64_t>(n);
    used_ += n;
  }

  // The matrix of shape (rows, *shape) in column order (each column
  // contiguous), its first sample index and the row count.
  std::pair<py::array, int64_t> finish(const std::vector<py::ssize_t> &shape) {
    int64_t first = std::numeric_limits<int64_t>::max(), last = std::numeric_limits<int64_t>::min();
    for (size_t j = 0; j < start_.size(); j++) {
      if (length_[j] == 0) continue;
      first = std::min(first, start_[j]);
      last = std::max(last, start_[j] + length_[j]);
    }
    if (last < first) first = 0, last = 1;  // nothing anywhere: one row of zeros
    const size_t rows = static_cast<size_t>(last - first);
    const size_t columns = start_.size();
    reserve(std::max<size_t>(rows * columns, 1));
    for (size_t j = columns; j-- > 0;) {
      double *column = buffer_ + j * rows;
      const size_t lead = length_[j] ? static_cast<size_t>(start_[j] - first) : rows;
      const size_t n = static_cast<size_t>(length_[j]);
      if (n) std::memmove(column + lead, buffer_ + offset_[j], n * sizeof(double));
      std::fill(column, column + std::min(lead, rows), 0.0);
      if (lead + n < rows) std::fill(column + lead + n, column + rows, 0.0);
    }
    double *data = buffer_;
    buffer_ = nullptr;
    py::capsule owner(data, [](void *p) { std::free(p); });
    std::vector<py::ssize_t> full{static_cast<py::ssize_t>(rows)};
    full.insert(full.end(), shape.begin(), shape.end());
    std::vector<py::ssize_t> strides;
    py::ssize_t stride = sizeof(double);
    for (py::ssize_t extent : full) {
      strides.push_back(stride);
      stride *= extent;
    }
    return {py::array(py::dtype::of<double>(), full, strides, data, owner), first};
  }

 private:
  void reserve(size_t n) {
    if (n <= capacity_) return;
    size_t grown = std::max(n, capacity_ + capacity_ / 2);
    auto *p = static_cast<double *>(std::realloc(buffer_, grown * sizeof(double)));
    if (p == nullptr) {
      grown = n;
      p = static_cast<double *>(std::realloc(buffer_, grown * sizeof(double)));
    }
    if (p == nullptr) throw ResultTooLarge(what_, n);
    buffer_ = p;
    capacity_ = grown;
  }

  std::vector<int64_t> start_, length_;
  std::vector<size_t> offset_;
  std::string what_;
  double *buffer_ = nullptr;
  size_t used_ = 0, capacity_ = 0;
};

aperture *raw(const AperturePtr &a) {
  return a ? a->get() : nullptr;
}

void check_state(const StatePtr &s, const AperturePtr &a1, const AperturePtr &a2) {
  if (!a1 || a1->state() != s || (a2 && a2->state() != s))
    throw py::value_error("apertures must belong to this simulator");
}

std::vector<double> to_amplitudes(const Array &a, size_t n) {
  if (a.ndim() != 1 || static_cast<size_t>(a.shape(0)) != n)
    throw py::value_error("amplitudes must hold one value per scatterer");
  return std::vector<double>(a.data(), a.data() + n);
}

// Copies the library's signals into the aligner as columns first, first +
// 1, ... and gives every signal back to the pool, also when the copy fails.
void take_signals(sys_con *sys, Aligner *aligner, size_t first, signal_rec *const *signals,
                  size_t count) {
  size_t copied = 0;
  try {
    for (; copied < count; copied++) aligner->add(first + copied, signals[copied]);
  } catch (...) {
    for (size_t k = 0; k < count; k++)
      if (signals[k] != nullptr) free_signal(sys, signals[k]);
    throw;
  }
  for (size_t k = 0; k < count; k++)
    if (signals[k] != nullptr) free_signal(sys, signals[k]);
}

const char *const kFieldCalls[] = {"", "calc_h", "calc_hp", "calc_hhp"};

// Points per library call: all of them up to this many, else four batches.
constexpr size_t kWholeCall = 65536;

py::tuple field(const StatePtr &s, int code, const AperturePtr &a1, const AperturePtr &a2,
                const Array &points_in, py::ssize_t batch) {
  check_state(s, a1, a2);
  if (code < SONVAR_CALC_H || code > SONVAR_CALC_HHP) throw py::value_error("unknown calculation");
  std::vector<point3> points = to_points(points_in, "points");
  const size_t n = points.size();
  if (n == 0) throw py::value_error("points must hold at least one point");
  if (n > 0x7fffffff) throw py::value_error("too many points");
  size_t per_call = batch > 0 ? static_cast<size_t>(batch) : n <= kWholeCall ? n : (n + 3) / 4;
  Aligner aligner(n, std::string("the result of ") + kFieldCalls[code] + " on " +
                         std::to_string(n) + " points");
  sys_con *sys = s->sys();
  for (size_t first = 0; first < n; first += per_call) {
    const int count = static_cast<int>(std::min(per_call, n - first));
    s->calculate([&] {
      signal_rec **signals = calc_function_parallel(sys, code, raw(a1), raw(a2 ? a2 : a1), count,
                                                    points.data() + first);
      take_signals(sys, &aligner, first, signals, static_cast<size_t>(count));
      free_memory(sys, signals);
    });
  }
  s->call([&] { free_signal_memory(sys); });
  auto [matrix, start] = aligner.finish({static_cast<py::ssize_t>(n)});
  return py::make_tuple(matrix, start);
}

// The scatterers and their amplitudes, copied (the library reorders them).
struct Scatterers {
  Scatterers(const Array &points_in, const Array &amplitudes_in)
      : points(to_points(points_in, "points")),
        amplitudes(to_amplitudes(amplitudes_in, points.size())) {
    if (points.empty()) throw py::value_error("points must hold at least one scatterer");
    if (points.size() > 0x7fffffff) throw py::value_error("too many scatterers");
  }
  int count() const { return static_cast<int>(points.size()); }
  std::vector<point3> points;
  std::vector<double> amplitudes;
};

py::tuple scat(const StatePtr &s, const AperturePtr &tx, const AperturePtr &rx,
               const Array &points_in, const Array &amplitudes_in) {
  check_state(s, tx, rx);
  Scatterers sc(points_in, amplitudes_in);
  Aligner aligner(1, "the echo of calc_scat");
  sys_con *sys = s->sys();
  s->calculate([&] {
    signal_rec *echo = calc_scat_parallel(sys, raw(tx), raw(rx), sc.count(), sc.points.data(),
                                          sc.amplitudes.data());
    take_signals(sys, &aligner, 0, &echo, 1);
    free_signal_memory(sys);
  });
  auto [matrix, start] = aligner.finish({});
  return py::make_tuple(matrix, start);
}

py::tuple scat_multi(const StatePtr &s, const AperturePtr &tx, const AperturePtr &rx,
                     const Array &points_in, const Array &amplitudes_in) {
  check_state(s, tx, rx);
  Scatterers sc(points_in, amplitudes_in);
  const int elements = rx->get()->no_elements;
  Aligner aligner(static_cast<size_t>(std::max(elements, 0)),
                  "the echoes of calc_scat_multi on " + std::to_string(elements) + " elements");
  sys_con *sys = s->sys();
  s->calculate([&] {
    signal_rec **echoes = calc_scat_multi_parallel(sys, raw(tx), raw(rx), sc.count(),
                                                   sc.points.data(), sc.amplitudes.data());
    take_signals(sys, &aligner, 0, echoes, static_cast<size_t>(elements));
    free_memory(sys, echoes);
    free_signal_memory(sys);
  });
  auto [matrix, start] = aligner.finish({elements});
  return py::make_tuple(matrix, start);
}

py::tuple scat_all(const StatePtr &s, const AperturePtr &tx, const AperturePtr &rx,
                   const Array &points_in, const Array &amplitudes_in, int decimation) {
  check_state(s, tx, rx);
  if (decimation < 1) throw py::value_error("decimation must be 1 or more");
  Scatterers sc(points_in, amplitudes_in);
  const int nt = tx->get()->no_elements, nr = rx->get()->no_elements;
  const size_t pairs = static_cast<size_t>(std::max(nt, 0)) * static_cast<size_t>(std::max(nr, 0));
  Aligner aligner(pairs, "the echoes of calc_scat_all on " + std::to_string(nt) + " x " +
                             std::to_string(nr) + " element pairs");
  sys_con *sys = s->sys();
  s->calculate([&] {
    signal_rec ***echoes = calc_scat_all_parallel(
        sys, raw(tx), raw(rx), sc.count(), sc.points.data(), sc.amplitudes.data(), decimation);
    // Column t + nt*r holds the pair (t, r): the matrix has shape (rows, nt, nr). The pairs
    // come transmit by transmit; each transmit's receive signals are taken in turn.
    std::vector<signal_rec *> ordered(pairs, nullptr);
    for (int t = 0; t < nt; t++)
      for (int r = 0; r < nr; r++)
        ordered[static_cast<size_t>(t) + static_cast<size_t>(nt) * r] = echoes[t][r];
    for (int t = 0; t < nt; t++) free_memory(sys, echoes[t]);
    free_memory(sys, echoes);
    take_signals(sys, &aligner, 0, ordered.data(), pairs);
    free_signal_memory(sys);
  });
  auto [matrix, start] = aligner.finish({nt, nr});
  return py::make_tuple(matrix, start);
}

// The library's own signals of one call, unaligned: a list of
// (start_sample, samples) or None, for comparing with the matrices.
py::list direct(const StatePtr &s, const std::string &kind, const AperturePtr &a1,
                const AperturePtr &a2, const Array &points_in, const Array &amplitudes_in,
                int decimation) {
  check_state(s, a1, a2);
  std::vector<point3> points = to_points(points_in, "points");
  const int n = static_cast<int>(points.size());
  std::vector<double> amplitudes(points.size(), 1.0);
  if (kind.rfind("scat", 0) == 0) amplitudes = to_amplitudes(amplitudes_in, points.size());
  sys_con *sys = s->sys();
  std::vector<signal_rec *> signals;
  s->calculate([&] {
    if (kind == "h" || kind == "hp" || kind == "hhp") {
      const int code = kind == "h"    ? SONVAR_CALC_H
                       : kind == "hp" ? SONVAR_CALC_HP
                                      : SONVAR_CALC_HHP;
      signal_rec **r =
          calc_function_parallel(sys, code, raw(a1), raw(a2 ? a2 : a1), n, points.data());
      signals.assign(r, r + n);
      free_memory(sys, r);
    } else if (kind == "scat") {
      signals.push_back(
          calc_scat_parallel(sys, raw(a1), raw(a2), n, points.data(), amplitudes.data()));
    } else if (kind == "scat_multi") {
      signal_rec **r =
          calc_scat_multi_parallel(sys, raw(a1), raw(a2), n, points.data(), amplitudes.data());
      signals.assign(r, r + a2->get()->no_elements);
      free_memory(sys, r);
    } else {
      signal_rec ***r = calc_scat_all_parallel(sys, raw(a1), raw(a2), n, points.data(),
                                               amplitudes.data(), decimation);
      for (int t = 0; t < a1->get()->no_elements; t++) {
        for (int k = 0; k < a2->get()->no_elements; k++) signals.push_back(r[t][k]);
        free_memory(sys, r[t]);
      }
      free_memory(sys, r);
    }
  });
  py::list out;
  for (signal_rec *sig : signals) {
    if (sig == nullptr) {
      out.append(py::none());
      continue;
    }
    py::array_t<double> values(sig->no_samples);
    std::memcpy(values.mutable_data(), sig->values,
                sizeof(double) * static_cast<size_t>(sig->no_samples));
    out.append(py::make_tuple(sig->start_sample, values));
    s->call([&] { free_signal(sys, sig); });
  }
  return out;
}

}  // namespace

void bind_calculations(py::module_ &m) {
  using py::arg;
  m.def("field", &field, arg("state"), arg("code"), arg("aperture1"), arg("aperture2"),
        arg("points"), arg("batch") = 0,
        "h, hp or hhp (code 1, 2, 3) at the points: (matrix (rows, points), first sample).");
  m.def("scat", &scat, arg("state"), arg("transmit"), arg("receive"), arg("points"),
        arg("amplitudes"), "The summed echo: (matrix (rows,), first sample).");
  m.def("scat_multi", &scat_multi, arg("state"), arg("transmit"), arg("receive"), arg("points"),
        arg("amplitudes"),
        "The echo per receive element: (matrix (rows, elements), first sample).");
  m.def("scat_all", &scat_all, arg("state"), arg("transmit"), arg("receive"), arg("points"),
        arg("amplitudes"), arg("decimation"),
        "The echo of every element pair: (matrix (rows, transmit, receive), first sample).");
  m.def("direct", &direct, arg("state"), arg("kind"), arg("aperture1"), arg("aperture2"),
        arg("points"), arg("amplitudes"), arg("decimation"),
        "The library's own signals of one call: a list of (start_sample, samples) or None.");
}

}  // namespace sonvar_py
