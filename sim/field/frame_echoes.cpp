// frame_echoes.cpp - the per-element echo sums kept as frame spectra: the
// transmit segments transformed once per scatterer, the element responses
// of a group of scatterers transformed side by side, their products added
// into the frames, one inverse per frame at the end of a leaf.
#include <algorithm>
#include <climits>

#include "base/simd.h"
#include "field/frame_echoes.h"
#include "signals/summation.h"

namespace sonvar {

namespace {

// f[n] += sum over t < terms of e[t] g[n][t] for each of the `frames`
// frames (spectra as kSpectrum values), the terms summed first, so that
// each frame is read and written once and each e[t] loaded once for all
// frames. Every bin's sums are formed in the same order whatever `frames`.
template <int frames>
SONVAR_LANE_HELPER void add_frame_products(double *const *f, const double *const *e,
                                           const double *const *const *g, int terms) {
  // Two vectors of bins at a time: sums that do not wait on one another.
  int k = 0;
  for (; k + 16 <= kBins; k += 16) {
    Lanes8 sr[frames][2] = {}, si[frames][2] = {};
    for (int t = 0; t < terms; t++) {
#pragma GCC unroll 2
      for (int h = 0; h < 2; h++) {
        const Lanes8 er = load<Lanes8>(e[t] + k + 8 * h);
        const Lanes8 ei = load<Lanes8>(e[t] + kBins + k + 8 * h);
#pragma GCC unroll 2
        for (int n = 0; n < frames; n++) {
          const Lanes8 gr = load<Lanes8>(g[n][t] + k + 8 * h);
          const Lanes8 gi = load<Lanes8>(g[n][t] + kBins + k + 8 * h);
          sr[n][h] += er * gr - ei * gi;
          si[n][h] += er * gi + ei * gr;
        }
      }
    }
#pragma GCC unroll 2
    for (int n = 0; n < frames; n++)
#pragma GCC unroll 2
      for (int h = 0; h < 2; h++) {
        store(f[n] + k + 8 * h, load<Lanes8>(f[n] + k + 8 * h) + sr[n][h]);
        store(f[n] + kBins + k + 8 * h, load<Lanes8>(f[n] + kBins + k + 8 * h) + si[n][h]);
      }
  }
  for (; k < kBins; k++)
    for (int n = 0; n < frames; n++) {
      double sr = 0.0, si = 0.0;
      for (int t = 0; t < terms; t++) {
        sr += e[t][k] * g[n][t][k] - e[t][kBins + k] * g[n][t][kBins + k];
        si += e[t][k] * g[n][t][kBins + k] + e[t][kBins + k] * g[n][t][k];
      }
      f[n][k] += sr;
      f[n][kBins + k] += si;
    }
}

// One frame: f += sum over t of e[t] g[t].
SONVAR_WIDE_VECTOR_CLONES void add_products(double *f, const double *const *e,
                                            const double *const *g, int terms) {
  add_frame_products<1>(&f, e, &g, terms);
}

// Two neighbouring frames whose terms share the element spectra e[t] (f0
// with g0[t], f1 with g1[t]): the same sums as add_products gives each.
SONVAR_WIDE_VECTOR_CLONES void add_products_pair(double *f0, double *f1, const double *const *e,
                                                 const double *const *g0, const double *const *g1,
                                                 int terms) {
  double *const f[2] = {f0, f1};
  const double *const *const g[2] = {g0, g1};
  add_frame_products<2>(f, e, g, terms);
}

int floor_div(int a, int b) {
  const int q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

void FrameEchoes::set_transmit(const signal_rec *Rt) {
  if (scatterers_ == kGroup) run_group();
  transmit_ = Rt;
  group_[scatterers_++].segments = 0;
}

void FrameEchoes::add(int j, const signal_rec *Rj, double factor) {
  Scatterer &g = group_[scatterers_ - 1];
  if (g.segments == 0) transform_transmit(g);
  const std::size_t offset = samples_.size();
  for (int i = 0; i < Rj->no_samples; i++) samples_.push_back(Rj->values[i] * factor);
  pairs_[static_cast<std::size_t>(j)].push_back(
      {scatterers_ - 1, Rj->start_sample, Rj->no_samples, offset});
}

void FrameEchoes::run_group() {
  for (std::size_t j = 0; j < elements_.size(); j++) {
    if (!pairs_[j].empty()) add_to_frames(elements_[j], pairs_[j]);
    pairs_[j].clear();
  }
  samples_.clear();
  scatterers_ = 0;
}

template <typename Add>
void FrameEchoes::drain(Element &e, Add add) {
  int batch[kLanes];
  const double *spectra[kLanes];
  int lanes = 0;
  for (int f = 0; f < e.count; f++) {
    if (e.touched[static_cast<std::size_t>(f)]) {
      batch[lanes] = e.first + f;
      spectra[lanes++] = e.frame(e.first + f);
    }
    if (lanes == kLanes || (f == e.count - 1 && lanes > 0)) {
      work_.inverse(spectra, lanes);
      for (int l = 0; l < lanes; l++) {
        const int s0 = batch[l] * kHop;
        add(l, std::max(s0, e.lo), std::min(s0 + kFrame, e.hi), s0);
        std::fill(e.frame(batch[l]), e.frame(batch[l]) + kSpectrum, 0.0);
        e.touched[static_cast<std::size_t>(batch[l] - e.first)] = 0;
      }
      lanes = 0;
    }
  }
  e.clear();
}

void FrameEchoes::flush(sys_con *sys, int j, signal_rec **sum) {
  Element &e = elements_[static_cast<std::size_t>(j)];
  if (!e.spans) return;
  if (*sum == nullptr)
    *sum = alloc_signal(sys, e.hi - e.lo, e.lo);
  else
    cover_samples(sys, *sum, e.lo, e.hi - e.lo);
  drain(e, [&](int l, int from, int to, int s0) {
    double *y = (*sum)->values + (from - (*sum)->start_sample);
    for (int s = from; s < to; s++) *y++ += work_.get(l, s - s0);
  });
}

void FrameEchoes::flush(int j, EchoColumns *columns) {
  Element &e = elements_[static_cast<std::size_t>(j)];
  if (!e.spans) return;
  columns->cover(j, e.lo, e.hi);
  drain(e, [&](int l, int from, int to, int s0) {
    for (int s = from; s < to; s++) lane_[s - from] = work_.get(l, s - s0);
    columns->add(j, from, lane_, to - from);
  });
}

void FrameEchoes::restart() {
  for (Element &e : elements_) {
    e.frames.clear();
    e.touched.clear();
    e.first = e.count = 0;
  }
}

void FrameEchoes::Element::cover(int c, int n, int room_eighths) {
  if (frames.empty()) {
    first = c;
    count = n;
    frames.assign(static_cast<std::size_t>(n) * kSpectrum, 0.0);
    touched.assign(static_cast<std::size_t>(n), 0);
    return;
  }
  if (c < first) {
    const int more = first - c + count * room_eighths / 8;
    frames.insert(frames.begin(), static_cast<std::size_t>(more) * kSpectrum, 0.0);
    touched.insert(touched.begin(), static_cast<std::size_t>(more), 0);
    count += more;
    first -= more;
  }
  if (c + n > first + count) {
    count = c + n - first;
    frames.resize(static_cast<std::size_t>(count) * kSpectrum, 0.0);
    touched.resize(static_cast<std::size_t>(count), 0);
  }
}

void FrameEchoes::transform_transmit(Scatterer &g) {
  const int s0 = transmit_->start_sample;
  const int n = transmit_->no_samples;
  g.start = s0;
  g.samples = n;
  g.first_segment = floor_div(s0, kHop);
  g.segments = floor_div(s0 + n - 1, kHop) - g.first_segment + 1;
  g.spectra.resize(static_cast<std::size_t>(g.segments) * kSpectrum);
  for (int b0 = 0; b0 < g.segments; b0 += kLanes) {
    const int lanes = std::min(kLanes, g.segments - b0);
    work_.clear();
    for (int l = 0; l < lanes; l++) {
      const int a0 = (g.first_segment + b0 + l) * kHop;
      const int from = std::max(a0, s0), to = std::min(a0 + kHop, s0 + n);
      for (int s = from; s < to; s++) work_.put(l, s - a0, transmit_->values[s - s0]);
    }
    work_.forward(&g.spectra[static_cast<std::size_t>(b0) * kSpectrum], lanes);
  }
}

void FrameEchoes::add_to_frames(Element &e, const std::vector<Pair> &pairs) {
  const int lanes = static_cast<int>(pairs.size());
  int first[kLanes];  // frame of each pair's first segment
  int lo = INT_MAX, hi = INT_MIN;
  work_.clear();
  for (int l = 0; l < lanes; l++) {
    const Pair &pair = pairs[static_cast<std::size_t>(l)];
    const Scatterer &g = group_[pair.scatterer];
    const int q = floor_div(pair.start, kHop);
    const int d = pair.start - q * kHop;
    for (int i = 0; i < pair.samples; i++) work_.put(l, d + i, samples_[pair.offset + i]);
    first[l] = g.first_segment + q;
    lo = std::min(lo, first[l]);
    hi = std::max(hi, first[l] + g.segments);
    const int start = pair.start + g.start;
    const int end = start + pair.samples + g.samples - 1;
    if (!e.spans) {
      e.lo = start;
      e.hi = end;
      e.spans = true;
    } else {
      e.lo = std::min(e.lo, start);
      e.hi = std::max(e.hi, end);
    }
  }
  work_.forward(spectra_, lanes);
  e.cover(lo, hi - lo, room_eighths_);
  // Frames go in twos: each lane whose transmit segments reach either
  // frame is a term of both, with a zero segment for the frame it misses.
  // Its product is then +-0, which leaves a sum (never -0 here) as it
  // is, so each frame gets the same sums as from its own terms alone.
  const double *es[kLanes], *gs[kLanes], *gs1[kLanes];
  for (int c = lo; c < hi; c += 2) {
    int terms = 0, in0 = 0, in1 = 0;
    for (int l = 0; l < lanes; l++) {
      const Scatterer &g = group_[pairs[static_cast<std::size_t>(l)].scatterer];
      const int b = c - first[l];
      const bool at0 = b >= 0 && b < g.segments;
      const bool at1 = c + 1 < hi && b + 1 >= 0 && b + 1 < g.segments;
      if (!at0 && !at1) continue;
      es[terms] = spectra_ + l * kSpectrum;
      gs[terms] = at0 ? &g.spectra[static_cast<std::size_t>(b) * kSpectrum] : zero_spectrum_;
      gs1[terms++] = at1 ? &g.spectra[static_cast<std::size_t>(b + 1) * kSpectrum] : zero_spectrum_;
      in0 += at0;
      in1 += at1;
    }
    if (in0 > 0) e.touched[static_cast<std::size_t>(c - e.first)] = 1;
    if (in1 > 0) e.touched[static_cast<std::size_t>(c + 1 - e.first)] = 1;
    if (in0 > 0 && in1 > 0)
      add_products_pair(e.frame(c), e.frame(c + 1), es, gs, gs1, terms);
    else if (in0 > 0)
      add_products(e.frame(c), es, gs, terms);
    else if (in1 > 0)
      add_products(e.frame(c + 1), es, gs1, terms);
  }
}

}  // namespace sonvar
