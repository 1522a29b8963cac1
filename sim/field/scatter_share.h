// scatter_share.h - one share of a summed or per-element scattering
// calculation (scatter_share.cpp): what it holds and how it adds the echo
// of one scatterer.
#ifndef SONVAR_FIELD_SCATTER_SHARE_H
#define SONVAR_FIELD_SCATTER_SHARE_H

#include <vector>

#include "dispatch/scratch_block.h"
#include "field/echo_columns.h"
#include "field/element_sums.h"
#include "field/frame_echoes.h"
#include "field/progress.h"
#include "field/pulse.h"
#include "sonvar.h"

namespace sonvar {

// Working signals of the per-element echoes with attenuation.
struct MultiBuffers {
  signal_rec *transmit_spectrum;
  signal_rec *receive_spectrum;
  signal_rec *output;
};

// Everything one share of a scattering calculation holds: the scratch
// block, the pulse and its spectra, and for the per-element echoes the
// working signals. `elements` is 1 for the summed echo.
class ScatterShare {
 public:
  // Per-element echoes are formed for the receive elements [first, end)
  // (end -1: to the last); the others stay absent. With shared_transmit
  // the transmit side of the batches comes from a batch shared with other
  // shares (add_receive, run_shared); only where frames_by_transmit holds.
  ScatterShare(sys_con *sys, aperture *transmit, aperture *receive, bool per_element, int first = 0,
               int end = -1, bool shared_transmit = false);
  ~ScatterShare();
  ScatterShare(const ScatterShare &) = delete;
  ScatterShare &operator=(const ScatterShare &) = delete;

  int elements() const { return elements_; }

  // Adds the echo of scatterer p with amplitude a into sums.
  void add(point3 p, double a, signal_rec **sums);
  void done(int i, int n) { clock_.point_done(sys_, i, n); }

  // The echoes of a finished leaf into its sums, in element order.
  void leaf_done(signal_rec **sums);

  // The frames' echoes go into the columns from now on (else into the
  // share's own sums, which leaf_done hands over).
  void send_to(EchoColumns *columns) { sink_ = columns; }

  // Everything added since the last flush into the columns of the receive
  // elements [first, end): the frames' echoes and the sums with
  // attenuation.
  void flush(signal_rec **sums, EchoColumns *columns);

  // Whether per-element echoes go by frames with each scatterer's transmit
  // response computed on its own: no attenuation, and not one aperture of
  // rectangles on both sides (whose element responses make both sides).
  static bool frames_by_transmit(const sys_con *sys, const aperture *transmit,
                                 const aperture *receive);

  // The transmit response at p (NULL when there is none), for a shared
  // batch; give_back takes it when it has been copied.
  signal_rec *transmit_response(point3 p);
  void give_back(signal_rec *response) { keep_response(sys_, block_, response); }

  // The pairs of the share's receive elements with the next scatterer of a
  // shared batch (its members in order), p with amplitude a; they are made
  // when the batch runs (run_shared).
  void add_receive(point3 p, double a);

  // The segments of a shared batch that part `part` of `parts` transforms.
  void transform_shared(TransmitBatch *batch, int part, int parts) {
    frames_.transform_shared(batch, part, parts);
  }

  // The pairs added since the last run, with the shared batch's transmit
  // side, into the sink.
  void run_shared(const TransmitBatch &batch, EchoSink *sink);

  // The postponed pulse on one per-element sum (which it takes over), as
  // the end of a calculation applies it.
  signal_rec *finish(signal_rec *sum);

 private:
  // The echo of one scatterer for the whole receive aperture, (Rt * Rr)
  // a/fs (with the attenuated pulse already applied when attenuation is
  // on), added into sums[0]; nothing when either path gives no response.
  void add_summed(point3 p, double a, signal_rec **sums);

  // Whether the direct convolution of the two responses costs less than
  // their frames: the transforms of the longer one's segments and the
  // shorter one's pieces, and a product of spectra per piece and segment.
  // Costs are in multiply-adds of the direct sum. A dynamic receive focus
  // leaves Rr a few tens of samples long near the line, and the direct sum
  // takes those.
  static bool direct_is_cheaper(const signal_rec *Rt, const signal_rec *Rr);
  static constexpr double kMacsPerFrameTransform = 3000;
  static constexpr double kMacsPerFrameProduct = 1000;

  // Without attenuation: the convolution summed straight into sums[0], the
  // shorter response as taps.
  void add_direct_echo(const signal_rec *Rt, const signal_rec *Rr, double a, signal_rec **sums);
  void add_transformed_echo(signal_rec *Rt, signal_rec *Rr, double a, signal_rec **sums);
  // Without attenuation, when the direct sum costs more: the longer
  // response as the frames' segmented side, the shorter as the pair, into
  // the share's one sum, which leaf_done adds into sums[0].
  void add_framed_echo(const signal_rec *Rt, const signal_rec *Rr, double a);

  // A new scatterer of the frames' batch (which runs first when full).
  void start_scatterer();
  // The frames' batch into the sink: queued scatterers by blocks of
  // receive elements (run_receive_blocks), else the pairs as queued.
  void run_frames(EchoSink *sink);
  // A scatterer of the batch whose receive side is made when the batch
  // runs: p, the factor a/fs of its pairs and, with batched timings, the
  // receive delays and weights at p.
  void queue_receive(point3 p, double factor);
  // The queued scatterers' pairs made and run kReceiveBlock elements at a
  // time, with the share's own batch or the shared one: the element
  // responses of a block stay in cache from the timings to the frames, and
  // the pairs a batch holds at once stay a few hundred kB. Each element
  // gets the same pairs in the same order as when every element of a
  // scatterer is queued at once, so the same sums.
  void run_receive_blocks(EchoSink *sink, const TransmitBatch *shared = nullptr);
  void add_shared(point3 p, double a);
  void add_framed(point3 p, double a);
  // The receive responses at p of the elements [first, end) one by one
  // (apertures not only of rectangles) into the frames, with factor_.
  void receive_one_by_one(point3 p, int first, int end);
  void add_attenuated(point3 p, double a, signal_rec **sums);
  // The element responses of one aperture of rectangles at a scatterer go
  // into the frames as they are made (each_rectangle_element).
  static void take_receive(void *share, int i, const signal_rec *Rj, bool in_sum);
  static void take_shared(void *share, int i, const signal_rec *Rj, bool in_sum);

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
  bool batched_receive_ = false;  // the receive elements' responses in batches of timings
  signal_rec *pad_ = nullptr;     // the longer response between zeros, summed echoes
  // Without attenuation: the per-element echoes by frames into sink_, the
  // transmit response of the scatterer in hand (its own signal, kept), and
  // the factor a/fs of its pairs.
  FrameEchoes frames_;
  ElementSums sums_;
  EchoSink *sink_ = &sums_;
  signal_rec *transmit_sum_ = nullptr;
  bool transmit_started_ = false;
  double factor_ = 0.0;
  int shared_scatterer_ = -1;  // the batch's scatterer whose pairs are being made, else -1
  struct Queued {
    point3 p;
    double factor;
  };
  static constexpr int kReceiveBlock = 16;
  std::vector<Queued> queued_;        // the batch's scatterers whose pairs are still to make
  std::vector<double> queued_focus_;  // per queued scatterer: receive delays, then weights
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_SCATTER_SHARE_H
