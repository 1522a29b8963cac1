// shared_transmit.h - the transmit side of the channel echoes' batches,
// formed once for all the workers (shared_transmit.cpp).
#ifndef SONVAR_FIELD_SHARED_TRANSMIT_H
#define SONVAR_FIELD_SHARED_TRANSMIT_H

#include <atomic>
#include <vector>

#include "field/frame_echoes.h"
#include "field/scatter_share.h"
#include "sonvar.h"

namespace sonvar {

// The workers of the channel echoes each form the echoes of their own
// receive elements, but every scatterer's transmit response is computed
// once, by whichever worker claims it, and every batch's segment spectra
// once, shared out by groups. The scatterers are taken in plan order (the
// order of `order`, in bands that end at `band_ends`); a batch takes them
// as one share's frames would, so that the echoes come out the same. The
// workers go through rounds, meeting twice in each:
//
//   fill (each worker claims and computes transmit responses of the window)
//   meet, the last one running compose
//   when the round runs a batch: transform (each its groups), meet, then
//   each worker adds its receive elements' pairs and runs them.
//
// Between the meetings the shared state is only read, except the window's
// slots, which fill writes one claimed position at a time.
class SharedTransmit {
 public:
  // Scatterers the window reaches beyond the last batch's count.
  static constexpr int kSpare = 4;

  SharedTransmit(sys_con *sys, int n, const point3 *points, const std::vector<int> *order,
                 const std::vector<int> *band_ends);

  // Computes the transmit responses of unclaimed positions of the window
  // by `share` until none is left.
  void fill(ScatterShare *share);

  // The meeting's step: the batch of the round composed from the window
  // and laid out (context: the SharedTransmit).
  static void compose(void *context);

  // What the round composed (valid until the next meeting).
  bool runs() const { return runs_; }
  bool last() const { return last_; }
  TransmitBatch *batch() { return &batch_; }
  // The plan positions the batch covers, [begin, end), and the position of
  // each of its scatterers.
  int begin() const { return begin_; }
  int end() const { return consumed_; }
  const std::vector<int> &members() const { return members_; }

 private:
  // A transmit response at one position of the window.
  struct Slot {
    bool present = false;
    int start = 0;
    std::vector<double> values;
  };
  Slot &slot(int k) { return slots_[static_cast<std::size_t>(k % kBatch)]; }
  void compose_round();
  int band_end() const { return (*band_ends_)[static_cast<std::size_t>(band_)]; }

  sys_con *sys_;
  int n_;
  const point3 *points_;
  const std::vector<int> *order_;
  const std::vector<int> *band_ends_;
  std::vector<Slot> slots_;   // position k in slot k % kBatch
  std::atomic<int> next_{0};  // the next position to claim
  int limit_ = 0;             // the end of the window
  int consumed_ = 0;          // positions taken into batches
  int band_ = 0;
  int begin_ = 0;
  int window_ = kBatch;  // positions the window reaches beyond consumed_
  bool runs_ = false;
  bool last_ = false;
  TransmitBatch batch_;
  std::vector<int> members_;
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_SHARED_TRANSMIT_H
