// frame_echoes.cpp - the per-element echoes of a batch of scatterers: the
// transmit segments transformed once per scatterer, the element responses
// transformed kLanes at a time, their products added into the element's
// frames, one inverse per touched frame and batch.
#include <algorithm>
#include <climits>

#include "base/simd.h"
#include "field/frame_echoes.h"

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
        const Lanes8 ei = load<Lanes8>(e[t] + kImag + k + 8 * h);
#pragma GCC unroll 2
        for (int n = 0; n < frames; n++) {
          const Lanes8 gr = load<Lanes8>(g[n][t] + k + 8 * h);
          const Lanes8 gi = load<Lanes8>(g[n][t] + kImag + k + 8 * h);
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
        store(f[n] + kImag + k + 8 * h, load<Lanes8>(f[n] + kImag + k + 8 * h) + si[n][h]);
      }
  }
  for (; k < kBins; k++)
    for (int n = 0; n < frames; n++) {
      double sr = 0.0, si = 0.0;
      for (int t = 0; t < terms; t++) {
        sr += e[t][k] * g[n][t][k] - e[t][kImag + k] * g[n][t][kImag + k];
        si += e[t][k] * g[n][t][kImag + k] + e[t][kImag + k] * g[n][t][k];
      }
      f[n][k] += sr;
      f[n][kImag + k] += si;
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

void TransmitBatch::reserve() {
  transmit.reserve(static_cast<std::size_t>(kBatch) * 1024);
  segment_spectra.reserve(kBatchSpectra / sizeof(double) + 16 * kSpectrum);
}

void TransmitBatch::set_transmit(const double *values, int start, int n) {
  Scatterer &g = scatterers.back();
  g.start = start;
  g.samples = n;
  g.transmit = transmit.size();
  g.first_segment = floor_div(g.start, kHop);
  g.segments = floor_div(g.start + g.samples - 1, kHop) - g.first_segment + 1;
  transmit.insert(transmit.end(), values, values + n);
  spectra_bytes += static_cast<std::size_t>(g.segments) * kSpectrum * sizeof(double);
}

void TransmitBatch::lay_out() {
  std::size_t total = 0;
  for (Scatterer &g : scatterers) {
    g.spectra = total;
    total += static_cast<std::size_t>(g.segments) * kSpectrum;
  }
  segment_spectra.resize(total);
}

void TransmitBatch::transform(LaneFrames *work, int part, int parts) {
  // Lane l of group g writes the spectrum of segment g kLanes + l, the
  // segments counted in order across the scatterers.
  int lanes = 0, group = 0;
  const auto run_group = [&] {
    if (group % parts == part) {
      work->forward(segment_spectra.data() + static_cast<std::size_t>(group) * kLanes * kSpectrum,
                    lanes);
      for (int l = 0; l < lanes; l++) work->take_back(l, 0, kHop);
    }
    lanes = 0;
    group++;
  };
  for (const Scatterer &g : scatterers) {
    const double *values = transmit.data() + g.transmit;
    for (int b = 0; b < g.segments; b++) {
      if (group % parts == part) {
        const int a0 = (g.first_segment + b) * kHop;
        const int from = std::max(a0, g.start), to = std::min(a0 + kHop, g.start + g.samples);
        if (to > from) work->put_run(lanes, from - a0, values + (from - g.start), to - from);
      }
      if (++lanes == kLanes) run_group();
    }
  }
  if (lanes > 0) run_group();
}

void TransmitBatch::clear() {
  scatterers.clear();
  transmit.clear();
  spectra_bytes = 0;
}

void FrameEchoes::resize(int elements, int first, int end, int queued, bool own_transmit) {
  pairs_.resize(static_cast<std::size_t>(elements));
  // Room for a batch of typical responses (46 samples an element response,
  // 800 a transmit response), reserved so that a growing batch does not
  // copy them, nor leave the copies in the heap; the pages are used only
  // as they are written.
  const std::size_t scatterers = kBatch;
  samples_.reserve(scatterers * static_cast<std::size_t>(std::min(queued, end - first)) * 64);
  if (own_transmit) own_.reserve();
  for (int j = first; j < end; j++) pairs_[static_cast<std::size_t>(j)].reserve(kBatch);
}

void FrameEchoes::add_pair(int s, int j, const double *values, int start, int n, double factor) {
  std::vector<Pair> &pairs = pairs_[static_cast<std::size_t>(j)];
  // A response longer than a frame's spare room goes in pieces, each a
  // pair of its own.
  // Copied, then scaled in place (a resize would first fill the new values
  // with zeros, one more pass over them).
  const std::size_t offset = samples_.size();
  samples_.insert(samples_.end(), values, values + n);
  double *scaled = samples_.data() + offset;
  for (int i = 0; i < n; i++) scaled[i] *= factor;
  for (int from = 0; from < n; from += kMaxPieceTaps)
    pairs.push_back({s, start + from, std::min(kMaxPieceTaps, n - from), offset + from});
}

void FrameEchoes::begin_run() {
  own_.lay_out();
  own_.transform(&work_, 0, 1);
  tx_ = &own_;
}

void FrameEchoes::run_pairs(EchoSink *sink) {
  for (std::size_t j = 0; j < pairs_.size(); j++) {
    if (pairs_[j].empty()) continue;
    run_element(static_cast<int>(j), pairs_[j], sink);
    pairs_[j].clear();
  }
  samples_.clear();
}

void FrameEchoes::run_element(int j, const std::vector<Pair> &pairs, EchoSink *sink) {
  // The frames the pairs reach and the samples they cover.
  int first = INT_MAX, end = INT_MIN;
  lo_ = INT_MAX;
  hi_ = INT_MIN;
  for (const Pair &pair : pairs) {
    const Scatterer &g = tx_->scatterers[static_cast<std::size_t>(pair.scatterer)];
    const int c = g.first_segment + floor_div(pair.start, kHop);
    first = std::min(first, c);
    end = std::max(end, c + g.segments);
    lo_ = std::min(lo_, pair.start + g.start);
    hi_ = std::max(hi_, pair.start + pair.samples + g.start + g.samples - 1);
  }
  frames_first_ = first;
  frames_count_ = end - first;
  frames_.assign(static_cast<std::size_t>(frames_count_) * kSpectrum, 0.0);
  touched_.assign(static_cast<std::size_t>(frames_count_), 0);
  const int count = static_cast<int>(pairs.size());
  for (int k = 0; k < count; k += kLanes) add_group(pairs.data() + k, std::min(kLanes, count - k));
  drain(j, sink);
}

void FrameEchoes::drain(int j, EchoSink *sink) {
  sink->cover(j, lo_, hi_);
  const double scale = 1.0 / kHalfFrame;  // of the inverse transform
  int first[kLanes];
  const double *spectra[kLanes];
  int lanes = 0;
  for (int f = 0; f < frames_count_; f++) {
    if (touched_[static_cast<std::size_t>(f)]) {
      first[lanes] = (frames_first_ + f) * kHop;
      spectra[lanes++] = frame(frames_first_ + f);
    }
    if (lanes < kLanes && (f < frames_count_ - 1 || lanes == 0)) continue;
    work_.inverse_unscaled(spectra, lanes);
    work_.samples_by_lane(lanes_, scale);
    // Each frame over the samples the pairs cover, frame by frame, added
    // where the sink keeps them, else through the sink.
    for (int l = 0; l < lanes; l++) {
      const int a = std::max(first[l], lo_), b = std::min(first[l] + kFrame, hi_);
      if (b <= a) continue;
      const double *x = lanes_ + l * kFrame + (a - first[l]);
      double *y = sink->samples(j, a, b);
      if (y == nullptr) {
        sink->add(j, a, x, b - a);
        continue;
      }
      for (int k = 0; k < b - a; k++) y[k] += x[k];
    }
    lanes = 0;
  }
}

void FrameEchoes::add_group(const Pair *pairs, int lanes) {
  int first[kLanes];  // frame of each pair's first segment
  int lo = INT_MAX, hi = INT_MIN;
  for (int l = 0; l < lanes; l++) {
    const Pair &pair = pairs[l];
    const Scatterer &g = tx_->scatterers[static_cast<std::size_t>(pair.scatterer)];
    const int q = floor_div(pair.start, kHop);
    const int d = pair.start - q * kHop;
    work_.put_run(l, d, samples_.data() + pair.offset, pair.samples);
    first[l] = g.first_segment + q;
    lo = std::min(lo, first[l]);
    hi = std::max(hi, first[l] + g.segments);
  }
  work_.forward(spectra_, lanes);
  for (int l = 0; l < lanes; l++) {
    const int d = pairs[l].start - floor_div(pairs[l].start, kHop) * kHop;
    work_.take_back(l, d, d + pairs[l].samples);
  }
  // Frames go in twos: each lane whose transmit segments reach either
  // frame is a term of both, with a zero segment for the frame it misses.
  // Its product is then +-0, which leaves a sum (never -0 here) as it
  // is, so each frame gets the same sums as from its own terms alone.
  const double *es[kLanes], *gs[kLanes], *gs1[kLanes];
  for (int c = lo; c < hi; c += 2) {
    int terms = 0, in0 = 0, in1 = 0;
    for (int l = 0; l < lanes; l++) {
      const Scatterer &g = tx_->scatterers[static_cast<std::size_t>(pairs[l].scatterer)];
      const int b = c - first[l];
      const bool at0 = b >= 0 && b < g.segments;
      const bool at1 = c + 1 < hi && b + 1 >= 0 && b + 1 < g.segments;
      if (!at0 && !at1) continue;
      const double *segments = tx_->segment_spectra.data() + g.spectra;
      es[terms] = spectra_ + l * kSpectrum;
      gs[terms] = at0 ? segments + static_cast<std::size_t>(b) * kSpectrum : zero_spectrum_;
      gs1[terms++] = at1 ? segments + static_cast<std::size_t>(b + 1) * kSpectrum : zero_spectrum_;
      in0 += at0;
      in1 += at1;
    }
    if (in0 > 0) touched_[static_cast<std::size_t>(c - frames_first_)] = 1;
    if (in1 > 0) touched_[static_cast<std::size_t>(c + 1 - frames_first_)] = 1;
    if (in0 > 0 && in1 > 0)
      add_products_pair(frame(c), frame(c + 1), es, gs, gs1, terms);
    else if (in0 > 0)
      add_products(frame(c), es, gs, terms);
    else if (in1 > 0)
      add_products(frame(c + 1), es, gs1, terms);
  }
}

}  // namespace sonvar
