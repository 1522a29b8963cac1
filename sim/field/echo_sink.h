// echo_sink.h - where the per-element echoes of a batch of scatterers go:
// the sums of a leaf (element_sums.h) or the columns of a caller's matrix
// (echo_columns.h).
#ifndef SONVAR_FIELD_ECHO_SINK_H
#define SONVAR_FIELD_ECHO_SINK_H

namespace sonvar {

class EchoSink {
 public:
  // Element j's echo covers at least the absolute samples [lo, hi).
  virtual void cover(int j, int lo, int hi) = 0;
  // Adds n values to element j's echo from absolute sample `start`
  // (within what cover asked for).
  virtual void add(int j, int start, const double *values, int n) = 0;
  // Where element j's echo at absolute sample `start` is kept, when the
  // samples [start, end) (within what cover asked for) can be added there
  // directly; else NULL, and add takes them.
  virtual double *samples(int j, int start, int end) = 0;

 protected:
  ~EchoSink() = default;
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_ECHO_SINK_H
