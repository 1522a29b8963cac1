// element_sums.h - the per-element echo sums of one leaf of a scattering
// calculation, kept in buffers of the share that outlive the leaves
// (element_sums.cpp).
#ifndef SONVAR_FIELD_ELEMENT_SUMS_H
#define SONVAR_FIELD_ELEMENT_SUMS_H

#include <vector>

#include "field/frame_echoes.h"
#include "sonvar.h"

namespace sonvar {

// Each element's sum over the samples its pairs covered, in a buffer that
// grows by doubling and is kept from leaf to leaf, so that adding a batch
// never allocates once the buffers have their size; take() hands a leaf's
// sum over as a signal of exactly its span.
class ElementSums : public EchoSink {
 public:
  void resize(int elements) { sums_.resize(static_cast<std::size_t>(elements)); }
  void cover(int j, int lo, int hi) override;
  void add(int j, int start, const double *values, int n) override;
  double *samples(int j, int start, int) override {
    Sum &s = sums_[static_cast<std::size_t>(j)];
    return s.values.data() + (start - s.origin);
  }

  // Element j's sum as a new signal over the samples covered since the last
  // take (NULL when none), and the buffer emptied.
  signal_rec *take(sys_con *sys, int j);

 private:
  struct Sum {
    std::vector<double> values;
    int origin = 0;  // absolute sample of values[0]
    int lo = 0, hi = 0;
    bool spans = false;
  };
  std::vector<Sum> sums_;
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_ELEMENT_SUMS_H
