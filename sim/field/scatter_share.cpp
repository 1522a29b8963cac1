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

void scale_values(signal_rec *signal, double factor) {
  for (int j = 0; j < signal->no_samples; j++) signal->values[j] *= factor;
}

}  // namespace

ScatterShare::ScatterShare(sys_con *sys, aperture *transmit, aperture *receive, bool per_element,
                           int first, int end)
    : sys_(sys),
      transmit_(transmit),
      receive_(receive),
      per_element_(per_element),
      elements_(per_element ? receive->no_elements : 1),
      first_(per_element ? first : 0),
      end_(end < 0 || !per_element ? elements_ : end),
      block_(new_block(sys, transmit, receive, true)),
      pulse_(two_way_pulse(sys, transmit, receive)) {
  if (!per_element) return;
  allocating(sys, "the frame spectra of the echoes", [&] { frames_.resize(elements_); });
  buffers_ = MultiBuffers{alloc_signal(sys, 1024, 0), alloc_signal(sys, 1024, 0),
                          alloc_signal(sys, 1024, 0), alloc_signal(sys, 1024, 0)};
  // One aperture of rectangles, no attenuation: each element's signal at
  // a scatterer serves as the element's receive response and as its part
  // of the transmit response, so every element is computed once.
  shared_ = transmit == receive && receive->uses_rectangles && !receive->uses_triangles &&
            !receive->uses_lines && !sys->use_att;
  if (shared_) element_signals_ = new_result_array(sys, elements_);
  // The receive delays and weights at a scatterer are the same for every
  // element: found by the first element's response, kept by the others
  // (only the rectangle response keeps them).
  keep_delays_ = receive->uses_rectangles && !receive->uses_triangles && !receive->uses_lines;
}

ScatterShare::~ScatterShare() {
  if (per_element_) {
    free_signal(sys_, buffers_.transmit_spectrum);
    free_signal(sys_, buffers_.receive_spectrum);
    free_signal(sys_, buffers_.output);
    free_signal(sys_, buffers_.padded);
    if (element_signals_ != nullptr) free_memory(sys_, element_signals_);
  }
  if (pad_ != nullptr) free_signal(sys_, pad_);
  spectra_.release(sys_);
  end_calculation(sys_, clock_, block_, pulse_);
}

void ScatterShare::add(point3 p, double a, signal_rec **sums) {
  if (!per_element_)
    add_summed(p, a, sums);
  else if (shared_)
    add_shared(p, a, sums);
  else
    add_per_element(p, a, sums);
}

void ScatterShare::leaf_done(signal_rec **sums) {
  if (!per_element_) return;
  allocating(sys_, "the frame spectra of the echoes", [&] { frames_.run_group(); });
  for (int j = 0; j < elements_; j++) frames_.flush(sys_, j, &sums[j]);
}

void ScatterShare::flush(signal_rec **sums, EchoColumns *columns) {
  allocating(sys_, "the frame spectra of the echoes", [&] { frames_.run_group(); });
  for (int j = first_; j < end_; j++) {
    frames_.flush(j, columns);
    if (sums[j] == nullptr) continue;
    columns->cover(j, sums[j]->start_sample, sums[j]->start_sample + sums[j]->no_samples);
    columns->add(j, sums[j]->start_sample, sums[j]->values, sums[j]->no_samples);
    free_signal(sys_, sums[j]);
    sums[j] = nullptr;
  }
  frames_.restart();
}

signal_rec *ScatterShare::finish(signal_rec *sum) {
  return finish_with_pulse(sys_, sum, pulse_, &pad_);
}

void ScatterShare::add_summed(point3 p, double a, signal_rec **sums) {
  signal_rec *Rt = calc_response_mem(sys_, block_, transmit_, p.x, p.y, p.z);
  signal_rec *Rr =
      transmit_ == receive_ ? Rt : calc_response_mem(sys_, block_, receive_, p.x, p.y, p.z);
  if (Rt != nullptr && Rr != nullptr) {
    if (!sys_->use_att && direct_is_cheaper(Rt, Rr))
      add_direct_echo(Rt, Rr, a, sums);
    else
      add_transformed_echo(Rt, Rr, a, sums);
  }
  release_if_present(sys_, Rt);
  if (Rr != Rt) release_if_present(sys_, Rr);
}

bool ScatterShare::direct_is_cheaper(const signal_rec *Rt, const signal_rec *Rr) {
  const int taps = std::min(Rt->no_samples, Rr->no_samples);
  const int other = std::max(Rt->no_samples, Rr->no_samples);
  return direct_costs_less(taps, other, kMacsPerThreeTransformSteps);
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

void ScatterShare::add_direct(const signal_rec *Rj, const signal_rec *Rt, double a,
                              signal_rec **sum) {
  if (buffers_.transmit == nullptr || Rj->no_samples > buffers_.pad) {
    buffers_.pad = std::max(2 * Rj->no_samples, 64);
    buffers_.transmit = pad_samples(sys_, buffers_.padded, Rt, buffers_.pad);
  }
  add_scaled_convolution(sys_, sum, Rj, Rt, buffers_.transmit, a / sys_->fs);
}

void ScatterShare::set_transmit(const signal_rec *Rt) {
  allocating(sys_, "the frame spectra of the echoes", [&] { frames_.set_transmit(Rt); });
}

void ScatterShare::add_pair(int j, const signal_rec *Rj, const signal_rec *Rt, double a,
                            signal_rec **sums) {
  if (FrameEchoes::suits(Rj))
    allocating(sys_, "the frame spectra of the echoes", [&] { frames_.add(j, Rj, a / sys_->fs); });
  else
    add_direct(Rj, Rt, a, &sums[j]);
}

void ScatterShare::add_shared(point3 p, double a, signal_rec **sums) {
  signal_rec *Rt =
      rectangle_elements_and_sum(sys_, block_, receive_, p.x, p.y, p.z, element_signals_);
  buffers_.transmit = nullptr;
  if (Rt != nullptr) set_transmit(Rt);
  for (int j = 0; j < elements_; j++) {
    signal_rec *Rj = element_signals_[j];
    if (Rj == nullptr) continue;
    if (Rt != nullptr && j >= first_ && j < end_) add_pair(j, Rj, Rt, a, sums);
    free_signal(sys_, Rj);
  }
  release_if_present(sys_, Rt);
}

void ScatterShare::add_per_element(point3 p, double a, signal_rec **sums) {
  block_->single_element = 0;
  signal_rec *Rt = calc_response_mem(sys_, block_, transmit_, p.x, p.y, p.z);
  if (Rt == nullptr) return;
  buffers_.transmit = nullptr;
  if (!sys_->use_att) set_transmit(Rt);
  if (sys_->use_att)
    Find_FFT_reuse(sys_, buffers_.transmit_spectrum, Rt, Find_N(4 * Rt->no_samples, 0));
  block_->single_element = 1;
  for (int j = first_; j < end_; j++) {
    block_->element_index = j;
    signal_rec *Rj = calc_response_mem(sys_, block_, receive_, p.x, p.y, p.z);
    block_->delays_current = keep_delays_ ? 1 : 0;
    if (Rj == nullptr) continue;  // this element receives nothing from here
    if (!sys_->use_att) {
      add_pair(j, Rj, Rt, a, sums);
    } else {
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
    }
    free_signal(sys_, Rj);
  }
  block_->delays_current = 0;
  block_->single_element = 0;
  free_signal(sys_, Rt);
}

}  // namespace sonvar
