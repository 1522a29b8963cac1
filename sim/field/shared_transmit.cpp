// shared_transmit.cpp - the transmit side of the channel echoes' batches,
// formed once for all the workers.
#include "field/shared_transmit.h"

#include <algorithm>

#include "general/memory.h"

namespace sonvar {

SharedTransmit::SharedTransmit(sys_con *sys, int n, const point3 *points,
                               const std::vector<int> *order, const std::vector<int> *band_ends)
    : sys_(sys), n_(n), points_(points), order_(order), band_ends_(band_ends) {
  allocating(sys, "the shared transmit responses", [&] {
    slots_.resize(kBatch);
    batch_.reserve();
    members_.reserve(kBatch);
  });
  limit_ = n > 0 ? std::min(band_end(), kBatch) : 0;
}

void SharedTransmit::fill(ScatterShare *share) {
  for (;;) {
    int k = next_.load(std::memory_order_relaxed);
    do {
      if (k >= limit_) return;
    } while (!next_.compare_exchange_weak(k, k + 1, std::memory_order_relaxed));
    const point3 p = points_[(*order_)[static_cast<std::size_t>(k)]];
    signal_rec *Rt = share->transmit_response(p);
    Slot &s = slot(k);
    s.present = Rt != nullptr;
    if (Rt == nullptr) continue;
    s.start = Rt->start_sample;
    try {
      allocating(sys_, "the shared transmit responses",
                 [&] { s.values.assign(Rt->values, Rt->values + Rt->no_samples); });
    } catch (...) {
      free_signal(sys_, Rt);
      throw;
    }
    share->give_back(Rt);
  }
}

void SharedTransmit::compose(void *context) {
  static_cast<SharedTransmit *>(context)->compose_round();
}

void SharedTransmit::compose_round() {
  if (runs_) {  // the last round's batch is done with
    batch_.clear();
    members_.clear();
    begin_ = consumed_;
  }
  // Every position of the window is filled: the batch takes the present
  // ones while there is room, as a share's frames take them one by one.
  const int filled = limit_;
  allocating(sys_, "the shared transmit responses", [&] {
    for (; consumed_ < filled; consumed_++) {
      const Slot &s = slot(consumed_);
      if (!s.present) continue;
      if (batch_.full()) break;
      batch_.start_scatterer();
      batch_.set_transmit(s.values.data(), s.start, static_cast<int>(s.values.size()));
      members_.push_back(consumed_);
    }
  });
  // A batch ends when full and at the end of a band; otherwise the window
  // moves on and the batch grows in the next round.
  const bool band_done = consumed_ == band_end();
  runs_ = batch_.full() || band_done;
  last_ = consumed_ == n_;
  if (runs_) allocating(sys_, "the shared transmit responses", [&] { batch_.lay_out(); });
  if (band_done && !last_) band_++;
  // The window reaches a few scatterers beyond what the last full batch
  // took (the batches change slowly with range), so that few transmit
  // responses wait in the slots; a batch that needs more grows in another
  // round, with twice the window.
  if (!runs_)
    window_ = std::min(kBatch, 2 * window_);
  else if (batch_.full())
    window_ = std::min(kBatch, static_cast<int>(members_.size()) + kSpare);
  limit_ = last_ ? consumed_ : std::min(band_end(), std::max(filled, consumed_ + window_));
  next_.store(filled, std::memory_order_relaxed);
}

}  // namespace sonvar
