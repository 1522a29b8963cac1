// scatter_share.cpp - one share of a summed or per-element scattering
// calculation: the echo of each scatterer added into the share's sums, by
// the direct sum, by transforms, or by frames.
#include <algorithm>

#include "field/attenuation.h"
#include "field/calculation.h"
#include "field/point_response.h"
#include "field/rect_response.h"
#include "field/scatter_share.h"
#include "field/scattering.h"
#include "general/memory.h"
#include "field/focusing.h"
#include "signals/direct.h"

namespace sonvar {

namespace {

// (echo * pulse)/fs with the pulse filtered for the echo's own distance; the
// echo goes back to the pool and the filtered one takes its place.
signal_rec *replace_by_attenuated_echo(sys_con *sys, signal_rec *echo, signal_rec *pulse,
                                       PulseSpectra *spectra) {
  signal_rec *A = Attenuate_pulse(
      sys, pulse, spectra->attenuation(sys, pulse, echo->start_sample, echo->no_samples, 0),
      echo->start_sample, echo->no_samples, 0);
  signal_rec *filtered = fast_dft_convolute(sys, echo, pulse, &A);
  free_signal(sys, A);
  free_signal(sys, echo);
  return filtered;
}

bool only_rectangles(const aperture *ap) {
  return ap->uses_rectangles && !ap->uses_triangles && !ap->uses_lines;
}

void scale_values(signal_rec *signal, double factor) {
  for (int j = 0; j < signal->no_samples; j++) signal->values[j] *= factor;
}

}  // namespace

ScatterShare::ScatterShare(sys_con *sys, aperture *transmit, aperture *receive, bool per_element,
                           int first, int end, bool shared_transmit)
    : sys_(sys),
      transmit_(transmit),
      receive_(receive),
      per_element_(per_element),
      elements_(per_element ? receive->no_elements : 1),
      first_(per_element ? first : 0),
      end_(end < 0 || !per_element ? elements_ : end),
      block_(new_block(sys, transmit, receive, true)),
      pulse_(two_way_pulse(sys, transmit, receive)) {
  if (!per_element) {
    // The summed echo's longer responses go by frames into one sum.
    if (!sys->use_att)
      allocating(sys, "the frame spectra of the echoes", [&] {
        frames_.resize(1, 0, 1, 1, true);
        sums_.resize(1);
      });
    return;
  }
  const bool rectangles_only = only_rectangles(receive);
  if (sys->use_att) {
    buffers_ = MultiBuffers{alloc_signal(sys, 1024, 0), alloc_signal(sys, 1024, 0),
                            alloc_signal(sys, 1024, 0)};
    // The receive delays and weights at a scatterer are the same for every
    // element: found by the first element's response, kept by the others
    // (only the rectangle response keeps them).
    keep_delays_ = rectangles_only;
    return;
  }
  // One aperture of rectangles: each element's signal at a scatterer serves
  // as the element's receive response and as its part of the transmit
  // response, so every element is computed once.
  shared_ = transmit == receive && rectangles_only;
  batched_receive_ = rectangles_only;
  // Pairs are queued for every element of a scatterer at once where they
  // come with its transmit response, else a block of elements at a time.
  const int queued = shared_ ? end_ - first_ : kReceiveBlock;
  allocating(sys, "the frame spectra of the echoes", [&] {
    frames_.resize(elements_, first_, end_, queued, !shared_transmit);
    sums_.resize(elements_);
    queued_.reserve(kBatch);
  });
  transmit_sum_ = alloc_signal(sys, 1024, 0);
}

ScatterShare::~ScatterShare() {
  if (per_element_ && sys_->use_att) {
    free_signal(sys_, buffers_.transmit_spectrum);
    free_signal(sys_, buffers_.receive_spectrum);
    free_signal(sys_, buffers_.output);
  }
  release_if_present(sys_, transmit_sum_);
  if (pad_ != nullptr) free_signal(sys_, pad_);
  spectra_.release(sys_);
  end_calculation(sys_, clock_, block_, pulse_);
}

bool ScatterShare::frames_by_transmit(const sys_con *sys, const aperture *transmit,
                                      const aperture *receive) {
  return !sys->use_att && !(transmit == receive && only_rectangles(receive));
}

void ScatterShare::add(point3 p, double a, signal_rec **sums) {
  if (!per_element_)
    add_summed(p, a, sums);
  else if (sys_->use_att)
    add_attenuated(p, a, sums);
  else if (shared_)
    add_shared(p, a);
  else
    add_framed(p, a);
}

void ScatterShare::leaf_done(signal_rec **sums) {
  if (sys_->use_att) return;
  allocating(sys_, "the frame spectra of the echoes", [&] { run_frames(sink_); });
  for (int j = first_; j < end_; j++) {
    signal_rec *sum = sums_.take(sys_, j);
    if (sums[j] == nullptr) {
      sums[j] = sum;
    } else if (sum != nullptr) {
      add_responses(sys_, sum, sums[j]);
      free_signal(sys_, sum);
    }
  }
}

void ScatterShare::flush(signal_rec **sums, EchoColumns *columns) {
  if (!sys_->use_att)
    allocating(sys_, "the frame spectra of the echoes", [&] { run_frames(columns); });
  for (int j = first_; j < end_; j++) {
    if (sums[j] == nullptr) continue;
    columns->cover_rows(j, sums[j]->start_sample, sums[j]->start_sample + sums[j]->no_samples);
    columns->add_rows(j, sums[j]->start_sample, sums[j]->values, sums[j]->no_samples);
    free_signal(sys_, sums[j]);
    sums[j] = nullptr;
  }
}

signal_rec *ScatterShare::finish(signal_rec *sum) {
  return finish_with_pulse(sys_, sum, pulse_, &spectra_);
}

void ScatterShare::add_summed(point3 p, double a, signal_rec **sums) {
  signal_rec *Rt = calc_response_mem(sys_, block_, transmit_, p.x, p.y, p.z);
  signal_rec *Rr =
      transmit_ == receive_ ? Rt : calc_response_mem(sys_, block_, receive_, p.x, p.y, p.z);
  if (Rt != nullptr && Rr != nullptr) {
    if (sys_->use_att)
      add_transformed_echo(Rt, Rr, a, sums);
    else if (direct_is_cheaper(Rt, Rr))
      add_direct_echo(Rt, Rr, a, sums);
    else
      add_framed_echo(Rt, Rr, a);
  }
  keep_response(sys_, block_, Rt);
  if (Rr != Rt) keep_response(sys_, block_, Rr);
}

bool ScatterShare::direct_is_cheaper(const signal_rec *Rt, const signal_rec *Rr) {
  const int taps = std::min(Rt->no_samples, Rr->no_samples);
  const int other = std::max(Rt->no_samples, Rr->no_samples);
  const double direct = static_cast<double>(taps) * (taps + other - 1);
  const int pieces = (taps + kMaxPieceTaps - 1) / kMaxPieceTaps;
  const int segments = other / kHop + 2;  // at most, whatever the start
  return direct <= kMacsPerFrameTransform * (pieces + segments) +
                       kMacsPerFrameProduct * static_cast<double>(pieces) * segments;
}

void ScatterShare::add_framed_echo(const signal_rec *Rt, const signal_rec *Rr, double a) {
  const signal_rec *segmented = Rt->no_samples >= Rr->no_samples ? Rt : Rr;
  const signal_rec *pieces = segmented == Rt ? Rr : Rt;
  start_scatterer();
  allocating(sys_, "the frame spectra of the echoes", [&] {
    frames_.set_transmit(segmented);
    frames_.add(0, pieces->values, pieces->start_sample, pieces->no_samples, a / sys_->fs);
  });
}

void ScatterShare::add_direct_echo(const signal_rec *Rt, const signal_rec *Rr, double a,
                                   signal_rec **sums) {
  const signal_rec *taps = Rr->no_samples <= Rt->no_samples ? Rr : Rt;
  const signal_rec *other = taps == Rr ? Rt : Rr;
  add_direct_convolution(sys_, &pad_, &sums[0], taps, other, a / sys_->fs);
}

void ScatterShare::add_transformed_echo(signal_rec *Rt, signal_rec *Rr, double a,
                                        signal_rec **sums) {
  signal_rec *Q = fast_convolute(sys_, Rt, Rr);
  if (sys_->use_att) Q = replace_by_attenuated_echo(sys_, Q, pulse_, &spectra_);
  scale_values(Q, a);
  if (sums[0] == nullptr) {
    sums[0] = Q;
  } else {
    add_responses(sys_, Q, sums[0]);
    free_signal(sys_, Q);
  }
}

void ScatterShare::start_scatterer() {
  allocating(sys_, "the frame spectra of the echoes", [&] {
    if (frames_.full()) run_frames(sink_);
    frames_.start_scatterer();
  });
}

void ScatterShare::take_shared(void *context, int i, const signal_rec *Rj, bool in_sum) {
  auto *share = static_cast<ScatterShare *>(context);
  sys_con *sys = share->sys_;
  if (in_sum) {
    // The transmit response is the sum of the elements in the order the
    // aperture's response adds them, so it has the same values.
    if (!share->transmit_started_) {
      share->start_scatterer();
      signal_rec *sum = share->transmit_sum_;
      extend_signal(sys, sum, Rj->no_samples, Rj->start_sample);
      std::copy(Rj->values, Rj->values + Rj->no_samples, sum->values);
      share->transmit_started_ = true;
    } else {
      add_responses(sys, const_cast<signal_rec *>(Rj), share->transmit_sum_);
    }
  }
  // Without a transmit response (no element weighted) nothing is echoed.
  if (!share->transmit_started_ || i < share->first_ || i >= share->end_) return;
  allocating(sys, "the frame spectra of the echoes", [&] {
    share->frames_.add(i, Rj->values, Rj->start_sample, Rj->no_samples, share->factor_);
  });
}

void ScatterShare::add_shared(point3 p, double a) {
  factor_ = a / sys_->fs;
  transmit_started_ = false;
  each_rectangle_element(sys_, block_, receive_, p.x, p.y, p.z, take_shared, this);
  if (transmit_started_)
    allocating(sys_, "the frame spectra of the echoes",
               [&] { frames_.set_transmit(transmit_sum_); });
}

void ScatterShare::take_receive(void *context, int i, const signal_rec *Rj, bool) {
  auto *share = static_cast<ScatterShare *>(context);
  allocating(share->sys_, "the frame spectra of the echoes", [&] {
    if (share->shared_scatterer_ >= 0)
      share->frames_.add_pair(share->shared_scatterer_, i, Rj->values, Rj->start_sample,
                              Rj->no_samples, share->factor_);
    else
      share->frames_.add(i, Rj->values, Rj->start_sample, Rj->no_samples, share->factor_);
  });
}

signal_rec *ScatterShare::transmit_response(point3 p) {
  block_->single_element = 0;
  return calc_response_mem(sys_, block_, transmit_, p.x, p.y, p.z);
}

void ScatterShare::add_receive(point3 p, double a) {
  allocating(sys_, "the frame spectra of the echoes", [&] { queue_receive(p, a / sys_->fs); });
}

void ScatterShare::add_framed(point3 p, double a) {
  signal_rec *Rt = transmit_response(p);
  if (Rt == nullptr) return;
  start_scatterer();
  allocating(sys_, "the frame spectra of the echoes", [&] {
    frames_.set_transmit(Rt);
    queue_receive(p, a / sys_->fs);
  });
  keep_response(sys_, block_, Rt);
}

void ScatterShare::queue_receive(point3 p, double factor) {
  queued_.push_back({p, factor});
  if (!batched_receive_) return;
  const int n = receive_->no_elements;
  find_delays_and_apodization(sys_, receive_, block_->delays, block_->apodizations, p.x, p.y, p.z);
  queued_focus_.insert(queued_focus_.end(), block_->delays, block_->delays + n);
  queued_focus_.insert(queued_focus_.end(), block_->apodizations, block_->apodizations + n);
}

void ScatterShare::run_frames(EchoSink *sink) {
  if (queued_.empty())
    frames_.run_batch(sink);
  else
    run_receive_blocks(sink);
}

void ScatterShare::run_shared(const TransmitBatch &batch, EchoSink *sink) {
  if (queued_.empty())
    frames_.run_shared(batch, sink);
  else
    run_receive_blocks(sink, &batch);
}

void ScatterShare::run_receive_blocks(EchoSink *sink, const TransmitBatch *shared) {
  if (shared != nullptr)
    frames_.begin_shared(*shared);
  else
    frames_.begin_run();
  const std::size_t n = static_cast<std::size_t>(receive_->no_elements);
  for (int first = first_; first < end_; first += kReceiveBlock) {
    const int end = std::min(end_, first + kReceiveBlock);
    for (std::size_t s = 0; s < queued_.size(); s++) {
      const point3 p = queued_[s].p;
      shared_scatterer_ = static_cast<int>(s);
      factor_ = queued_[s].factor;
      if (batched_receive_) {
        // Only the block's elements are read.
        const double *focus = queued_focus_.data() + 2 * n * s;
        std::copy(focus + first, focus + end, block_->delays + first);
        std::copy(focus + n + first, focus + n + end, block_->apodizations + first);
        each_rectangle_element_of(sys_, block_, receive_, first, end, p.x, p.y, p.z, take_receive,
                                  this);
      } else {
        receive_one_by_one(p, first, end);
      }
    }
    shared_scatterer_ = -1;
    frames_.run_queued(sink);
  }
  if (shared != nullptr)
    frames_.end_shared();
  else
    frames_.end_run();
  queued_.clear();
  queued_focus_.clear();
}

void ScatterShare::receive_one_by_one(point3 p, int first, int end) {
  block_->single_element = 1;
  for (int j = first; j < end; j++) {
    block_->element_index = j;
    signal_rec *Rj = calc_response_mem(sys_, block_, receive_, p.x, p.y, p.z);
    if (Rj == nullptr) continue;  // this element receives nothing from here
    take_receive(this, j, Rj, false);
    keep_response(sys_, block_, Rj);
  }
  block_->single_element = 0;
}

void ScatterShare::add_attenuated(point3 p, double a, signal_rec **sums) {
  block_->single_element = 0;
  signal_rec *Rt = calc_response_mem(sys_, block_, transmit_, p.x, p.y, p.z);
  if (Rt == nullptr) return;
  Find_FFT_reuse(sys_, buffers_.transmit_spectrum, Rt, Find_N(4 * Rt->no_samples, 0));
  block_->single_element = 1;
  for (int j = first_; j < end_; j++) {
    block_->element_index = j;
    signal_rec *Rj = calc_response_mem(sys_, block_, receive_, p.x, p.y, p.z);
    block_->delays_current = keep_delays_ ? 1 : 0;
    if (Rj == nullptr) continue;  // this element receives nothing from here
    signal_rec *out = fast_fft_convolute(sys_, Rj, Rt, buffers_.receive_spectrum,
                                         buffers_.transmit_spectrum, buffers_.output);
    out = replace_by_attenuated_echo(sys_, out, pulse_, &spectra_);
    scale_values(out, a);
    if (sums[j] == nullptr) {
      sums[j] = out;
      buffers_.output = alloc_signal(sys_, 1024, 0);
    } else {
      add_responses(sys_, out, sums[j]);
      buffers_.output = out;
    }
    keep_response(sys_, block_, Rj);
  }
  block_->delays_current = 0;
  block_->single_element = 0;
  keep_response(sys_, block_, Rt);
}

}  // namespace sonvar
