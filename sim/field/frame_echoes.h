// frame_echoes.h - the per-element echoes of a batch of scatterers formed
// as frame spectra and handed on as time samples (frame_echoes.cpp).
#ifndef SONVAR_FIELD_FRAME_ECHOES_H
#define SONVAR_FIELD_FRAME_ECHOES_H

#include <cstddef>
#include <new>
#include <vector>

#include "field/echo_sink.h"
#include "field/frame_fft.h"
#include "sonvar.h"

namespace sonvar {

// The echo of a pair, (Rj * Rt) a/fs, is formed in frames of kFrame
// samples that start every kHop samples on the absolute sample axis. The
// transmit response Rt of a scatterer is cut at multiples of kHop into
// segments, each transformed once and shared by every element. An element
// response (or a piece of kMaxPieceTaps samples of a longer one) starting
// at sample q kHop + d is transformed with d leading zeros; its product
// with segment b spans at most kHop + d + taps - 1 <= 2 kHop + taps - 2
// samples and so lies inside frame b + q without wrapping round, which lets
// the product of the spectra be added into that frame's spectrum. The
// transforms run kLanes at a time, one per vector lane.
constexpr int kHop = 192;                             // frame spacing and transmit segment length
constexpr int kMaxPieceTaps = kFrame - 2 * kHop + 2;  // longest piece of an element response

// Scatterers gathered before their pairs go into the frames. The pairs of
// one element are then taken together: its frames stay in the first-level
// cache while the batch's element responses go in kLanes at a time, and
// are transformed back once per batch. A batch ends at kBatch scatterers,
// or earlier once its transmit segment spectra (22 bytes per sample of
// transmit response, about 20 kB a scatterer of a focused convex probe,
// 60 kB of a plane wave from a linear array) reach kBatchSpectra bytes:
// they stay in the second-level cache while the elements go by, and the
// memory of a batch stays a few MB. Where a batch ends depends on the
// scatterers alone, not on the receive elements a share takes.
constexpr int kBatch = 64;
constexpr std::size_t kBatchSpectra = 1536 * 1024;

// Allocation on 64-byte boundaries, so that spectra are read by whole
// aligned vectors.
template <typename T>
struct CacheAligned {
  using value_type = T;
  CacheAligned() = default;
  template <typename U>
  explicit CacheAligned(const CacheAligned<U> &) {}
  T *allocate(std::size_t n) {
    return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t(64)));
  }
  void deallocate(T *p, std::size_t) { ::operator delete(p, std::align_val_t(64)); }
  bool operator==(const CacheAligned &) const { return true; }
  bool operator!=(const CacheAligned &) const { return false; }
};
using AlignedDoubles = std::vector<double, CacheAligned<double>>;

// The transmit side of a batch: its scatterers' transmit responses, cut
// into segments and transformed. A share owns one; the workers of the
// channel echoes share one, each transforming some of its segments.
struct TransmitBatch {
  // A scatterer of the batch: its transmit response and segment spectra.
  struct Scatterer {
    int start = 0, samples = 0;  // the transmit response's
    std::size_t transmit = 0;    // its first value in `transmit`
    int first_segment = 0;       // segment index of its first sample
    int segments = 0;            // segments it spans
    std::size_t spectra = 0;     // its first segment spectrum in `segment_spectra`
  };

  // Room for a batch of typical transmit responses.
  void reserve();

  // Whether the batch is complete (the next scatterer needs a run first).
  bool full() const {
    return static_cast<int>(scatterers.size()) == kBatch || spectra_bytes >= kBatchSpectra;
  }

  // A new scatterer; its transmit response comes with set_transmit.
  void start_scatterer() { scatterers.emplace_back(); }

  // The last scatterer's transmit response: n values from absolute sample
  // `start` (copied).
  void set_transmit(const double *values, int start, int n);

  // Where each scatterer's segment spectra go; sizes segment_spectra.
  void lay_out();

  // The spectra of the segments, kLanes at a time in order across the
  // scatterers: the groups g with g % parts == part, by `work`. Each group
  // comes out the same whichever part transforms it.
  void transform(LaneFrames *work, int part, int parts);

  // Empty again (the buffers are kept).
  void clear();

  std::vector<Scatterer> scatterers;
  std::size_t spectra_bytes = 0;  // of the segments
  std::vector<double> transmit;
  AlignedDoubles segment_spectra;
};

// The per-element echoes of one share of a scattering calculation without
// attenuation. Its buffers live as long as the share and are reused from
// batch to batch.
class FrameEchoes {
 public:
  // Sized for the receive elements of a share, with room for a batch of
  // pairs of `queued` elements of [first, end) (the pairs queued at once);
  // with own_transmit false the transmit side comes from a shared batch
  // (run_shared) and gets no room here.
  void resize(int elements, int first, int end, int queued, bool own_transmit);

  // Whether the batch is complete (the next scatterer needs a run first).
  bool full() const { return own_.full(); }

  // A new scatterer of the batch; its transmit response comes with
  // set_transmit, before or after its pairs.
  void start_scatterer() { own_.start_scatterer(); }

  // The last scatterer's transmit response Rt (copied).
  void set_transmit(const signal_rec *Rt) {
    own_.set_transmit(Rt->values, Rt->start_sample, Rt->no_samples);
  }

  // Queues (Rj * Rt) factor for element j, Rj the n values from absolute
  // sample `start` (copied), Rt the last scatterer's transmit response.
  void add(int j, const double *values, int start, int n, double factor) {
    add_pair(static_cast<int>(own_.scatterers.size()) - 1, j, values, start, n, factor);
  }

  // The same for scatterer s of the batch the pairs will run with.
  void add_pair(int s, int j, const double *values, int start, int n, double factor);

  // Every queued pair into the sink, element by element in index order;
  // then the batch is empty.
  void run_batch(EchoSink *sink) {
    if (own_.scatterers.empty()) return;
    begin_run();
    run_queued(sink);
    end_run();
  }

  // The same in steps, for pairs queued a block of elements at a time
  // (add_pair) once the batch's transmit side is complete: begin_run
  // transforms the transmit segments, each run_queued runs the pairs
  // queued since the last, end_run empties the batch.
  void begin_run();
  void run_queued(EchoSink *sink) { run_pairs(sink); }
  void end_run() { own_.clear(); }

  // The segments of a shared batch that part `part` of `parts` transforms.
  void transform_shared(TransmitBatch *batch, int part, int parts) {
    batch->transform(&work_, part, parts);
  }

  // Every queued pair with the transmit side of `batch` (its segments
  // transformed) into the sink, as run_batch; the batch stays as it is.
  void run_shared(const TransmitBatch &batch, EchoSink *sink) {
    begin_shared(batch);
    run_queued(sink);
    end_shared();
  }

  // The same in steps: run_queued takes the transmit side of `batch` from
  // begin_shared to end_shared.
  void begin_shared(const TransmitBatch &batch) { tx_ = &batch; }
  void end_shared() { tx_ = &own_; }

 private:
  using Scatterer = TransmitBatch::Scatterer;

  // A pair (or a piece of one) of an element: its scaled values in samples_.
  struct Pair {
    int scatterer;
    int start;
    int samples;
    std::size_t offset;
  };

  // The queued pairs with the transmit side of tx_, element by element.
  void run_pairs(EchoSink *sink);

  // The pairs of one element into its frames, transformed back into the
  // sink.
  void run_element(int j, const std::vector<Pair> &pairs, EchoSink *sink);

  // Up to kLanes pairs of the element in hand into the frames.
  void add_group(const Pair *pairs, int lanes);

  // The touched frames of the element in hand into the sink over [lo, hi).
  void drain(int j, EchoSink *sink);

  double *frame(int c) {
    return frames_.data() + static_cast<std::size_t>(c - frames_first_) * kSpectrum;
  }

  TransmitBatch own_;
  const TransmitBatch *tx_ = &own_;       // the transmit side of the pairs being run
  std::vector<std::vector<Pair>> pairs_;  // per element, in scatterer order
  std::vector<double> samples_;
  // The frames of the element in hand and the samples its pairs cover.
  AlignedDoubles frames_;
  std::vector<char> touched_;
  int frames_first_ = 0;
  int frames_count_ = 0;
  int lo_ = 0, hi_ = 0;
  alignas(64) LaneFrames work_;
  alignas(64) double spectra_[kLanes * kSpectrum];
  alignas(64) double zero_spectrum_[kSpectrum] = {};
  alignas(64) double lanes_[kLanes * kFrame];  // the samples of a group of frames, lane by lane
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_FRAME_ECHOES_H
