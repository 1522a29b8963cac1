// scatter_share.h - one share of a summed or per-element scattering
// calculation (scatter_share.cpp): what it holds and how it adds the echo
// of one scatterer.
#ifndef SONVAR_FIELD_SCATTER_SHARE_H
#define SONVAR_FIELD_SCATTER_SHARE_H

#include "dispatch/scratch_block.h"
#include "field/frame_echoes.h"
#include "field/progress.h"
#include "field/pulse.h"
#include "sonvar.h"

namespace sonvar {

// Working signals of the per-element echoes.
struct MultiBuffers {
  signal_rec *transmit_spectrum;
  signal_rec *receive_spectrum;
  signal_rec *output;
  // Without attenuation: the transmit response between zeros, and the pad
  // it has (at least the longest element response of the scatterer).
  signal_rec *padded;
  const double *transmit = nullptr;
  int pad = 0;
};

// Everything one share of a scattering calculation holds: the scratch
// block, the pulse and its spectra, and for the per-element echoes the
// working signals. `elements` is 1 for the summed echo.
class ScatterShare {
 public:
  // Per-element echoes are formed for the receive elements [first, end)
  // (end -1: to the last); the others stay absent.
  ScatterShare(sys_con *sys, aperture *transmit, aperture *receive, bool per_element, int first = 0,
               int end = -1);
  ~ScatterShare();
  ScatterShare(const ScatterShare &) = delete;
  ScatterShare &operator=(const ScatterShare &) = delete;

  int elements() const { return elements_; }

  // Adds the echo of scatterer p with amplitude a into sums.
  void add(point3 p, double a, signal_rec **sums);
  void done(int i, int n) { clock_.point_done(sys_, i, n); }

  // The frame spectra of a finished leaf into its sums, in element order.
  void leaf_done(signal_rec **sums);

  // Everything added since the last flush into the columns of the receive
  // elements [first, end): the frames and the direct sums; the frames'
  // memory goes back.
  void flush(signal_rec **sums, EchoColumns *columns);

  // Room below a frame range that grows downwards (see FrameEchoes).
  void keep_frame_room(int eighths) { frames_.keep_room(eighths); }

  // The postponed pulse on one per-element sum (which it takes over), as
  // the end of a calculation applies it.
  signal_rec *finish(signal_rec *sum);

 private:
  // The echo of one scatterer for the whole receive aperture, (Rt * Rr)
  // a/fs (with the attenuated pulse already applied when attenuation is
  // on), added into sums[0]; nothing when either path gives no response.
  void add_summed(point3 p, double a, signal_rec **sums);

  // Whether the direct convolution of the two responses costs less than
  // the three transforms of their joint length: a dynamic receive focus
  // leaves Rr a few tens of samples long.
  static bool direct_is_cheaper(const signal_rec *Rt, const signal_rec *Rr);

  // Without attenuation: the convolution summed straight into sums[0], the
  // shorter response as taps.
  void add_direct_echo(const signal_rec *Rt, const signal_rec *Rr, double a, signal_rec **sums);
  void add_transformed_echo(signal_rec *Rt, signal_rec *Rr, double a, signal_rec **sums);

  // (Rj * Rt) a/fs into sums[j] directly: two short responses, whose
  // direct convolution costs less than two transforms at the joint length.
  void add_direct(const signal_rec *Rj, const signal_rec *Rt, double a, signal_rec **sum);
  void set_transmit(const signal_rec *Rt);

  // (Rj * Rt) a/fs for element j: by frames when Rj fits one, else
  // directly into sums[j]. frames_ holds Rt as the transmit response.
  void add_pair(int j, const signal_rec *Rj, const signal_rec *Rt, double a, signal_rec **sums);
  void add_shared(point3 p, double a, signal_rec **sums);
  void add_per_element(point3 p, double a, signal_rec **sums);

  sys_con *sys_;
  aperture *transmit_;
  aperture *receive_;
  bool per_element_;
  int elements_;
  int first_, end_;  // the receive elements whose echoes are formed
  calc_memory_block *block_;
  signal_rec *pulse_;
  PulseSpectra spectra_;
  ProgressClock clock_;
  MultiBuffers buffers_{};
  bool shared_ = false;
  bool keep_delays_ = false;
  signal_rec **element_signals_ = nullptr;
  signal_rec *pad_ = nullptr;  // the longer response between zeros, summed echoes
  FrameEchoes frames_;         // per-element echoes by frames, without attenuation
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_SCATTER_SHARE_H
