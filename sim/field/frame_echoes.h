// frame_echoes.h - the per-element echo sums of one share of a scattering
// calculation kept as frame spectra (frame_echoes.cpp).
#ifndef SONVAR_FIELD_FRAME_ECHOES_H
#define SONVAR_FIELD_FRAME_ECHOES_H

#include <cstddef>
#include <vector>

#include "field/echo_columns.h"
#include "field/frame_fft.h"
#include "sonvar.h"

namespace sonvar {

// Each receive element's echo sum is kept as the spectra of frames of
// kFrame samples that start every kHop samples on the absolute sample
// axis. The transmit response at a scatterer is cut at multiples of kHop
// into segments, each transformed once and shared by every element. An
// element response starting at sample q kHop + d is transformed with d
// leading zeros; its product with segment b spans at most
// kHop + d + taps - 1 <= 2 kHop + taps - 2 samples and so lies inside frame
// b + q without wrapping round, which lets the product of the spectra be
// added into that frame's spectrum. One inverse transform per frame and
// element at the end of a leaf gives the time signal. The transforms run
// kLanes at a time, one per vector lane.
constexpr int kHop = 192;                             // frame spacing and transmit segment length
constexpr int kMaxBlockTaps = kFrame - 2 * kHop + 2;  // longest element response

// Scatterers whose pairs are gathered before they go into the frames, one
// vector lane each: element by element, so that the element responses are
// transformed side by side and each frame is read and written once per
// group.
constexpr int kGroup = kLanes;

// The per-element echo sums of one share as frame spectra.
class FrameEchoes {
 public:
  void resize(int elements) {
    elements_.resize(static_cast<std::size_t>(elements));
    pairs_.resize(static_cast<std::size_t>(elements));
  }

  // Room kept below a range that grows downwards, in eighths of the range.
  void keep_room(int eighths) { room_eighths_ = eighths; }

  // Forgets the frames' range (after every element was flushed): the next
  // scatterers start frames of their own range in the same memory.
  void restart();

  // Whether the pair of Rj goes by frames: whenever Rj fits a frame's spare
  // room. (Keeping transmit responses under 384 samples on the direct sum
  // measured about 8% slower at 10,000 scatterers of the convex probe: the
  // short ones near the focus cost little either way.)
  static bool suits(const signal_rec *Rj) { return Rj->no_samples <= kMaxBlockTaps; }

  // A new scatterer with transmit response Rt (a full group goes into the
  // frames first).
  void set_transmit(const signal_rec *Rt);

  // Queues (Rj * transmit) factor for element j's frames.
  void add(int j, const signal_rec *Rj, double factor);

  // Every queued pair into the frames.
  void run_group();

  // Adds element j's frames into *sum over the samples its pairs cover and
  // empties them (after run_group).
  void flush(sys_con *sys, int j, signal_rec **sum);

  // The same into column j of a caller's matrix (after run_group).
  void flush(int j, EchoColumns *columns);

 private:
  struct Element {
    int first = 0;  // frame index of frames[0]
    int count = 0;
    std::vector<double> frames;  // count spectra
    std::vector<char> touched;
    bool spans = false;
    int lo = 0, hi = 0;  // samples the pairs cover

    double *frame(int c) { return &frames[static_cast<std::size_t>(c - first) * kSpectrum]; }
    // Frames [c, c + n) exist (zero when new); a range that grows
    // downwards keeps room below (room_eighths / 8 of the range: as much
    // again by default), so that the frames move a few times only. The
    // frames outlive the leaves, emptied as they are flushed.
    void cover(int c, int n, int room_eighths);
    void clear() { spans = false; }
  };

  // A scatterer of the group: its transmit response's segment spectra.
  struct Scatterer {
    int first_segment = 0;
    int segments = 0;
    int start = 0, samples = 0;  // the transmit response's
    std::vector<double> spectra;
  };

  // An element response of the group, its scaled values in samples_.
  struct Pair {
    int scatterer;
    int start;
    int samples;
    std::size_t offset;
  };

  void transform_transmit(Scatterer &g);

  // The touched frames of e, transformed back kLanes at a time: add(l,
  // from, to, s0) takes lane l, the frame from sample s0, over the samples
  // [from, to) of the element's span; then the frames are empty.
  template <typename Add>
  void drain(Element &e, Add add);

  // The group's pairs of one element (at most one per scatterer, so at
  // most kLanes) into its frames.
  void add_to_frames(Element &e, const std::vector<Pair> &pairs);

  std::vector<Element> elements_;
  std::vector<std::vector<Pair>> pairs_;  // per element, in scatterer order
  std::vector<double> samples_;
  Scatterer group_[kGroup];
  int scatterers_ = 0;
  const signal_rec *transmit_ = nullptr;
  LaneFrames work_;
  double lane_[kFrame];  // one lane's samples on their way to a column
  int room_eighths_ = 8;
  double spectra_[kLanes * kSpectrum];
  double zero_spectrum_[kSpectrum] = {};
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_FRAME_ECHOES_H
