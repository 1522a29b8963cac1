// ledger.h - what a calculation has taken from the signal pool and the heap
// (ledger.cpp), so that a calculation that fails gives all of it back.
//
// The outermost calculation call on a thread opens a ledger
// (SONVAR_ENTER_CALCULATION); the worker threads it starts share it. Every
// signal the pool hands out and every block alloc_memory makes meanwhile is
// noted, and struck off when it comes back. When the calculation fails, the
// signals and blocks still noted go back to the pool and the heap before the
// failure reaches the host; when it succeeds, what is still noted is the
// caller's result and the ledger is dropped. Only calculations keep a
// ledger: they hand nothing they take to an aperture or to the state, so what
// is left of a failed one is theirs alone.
#ifndef SONVAR_POOL_LEDGER_H
#define SONVAR_POOL_LEDGER_H

#include <cstddef>

#include "sonvar.h"
#include "state/host.h"

namespace sonvar {

class CallLedger;

// A signal record as the pool makes it: the public record first, then its
// place in the ledger of the calculation that took it (none: nullptr).
struct PooledSignal {
  signal_rec signal;
  CallLedger *ledger;
  std::size_t slot;
};

inline PooledSignal *pooled(signal_rec *signal) {
  return reinterpret_cast<PooledSignal *>(signal);
}

// Opens the calculation's ledger unless this thread already works for one.
class LedgerScope {
 public:
  explicit LedgerScope(sys_con *sys);
  // Unwinding from a failure: everything still noted goes back.
  ~LedgerScope();
  LedgerScope(const LedgerScope &) = delete;
  LedgerScope &operator=(const LedgerScope &) = delete;

 private:
  CallLedger *owned_;
  int exceptions_;
};

// The pool's and the heap's notes (nothing outside a calculation).
void note_signal(signal_rec *signal);
void forget_signal(signal_rec *signal);
void note_block(void *block);
void forget_block(void *block);

// The ledger this thread works for (nullptr outside a calculation), and
// the adoption of a ledger by a worker thread the calculation starts.
CallLedger *current_ledger();
void adopt_ledger(CallLedger *ledger);

}  // namespace sonvar

// The boundary of a calculation call: SONVAR_ENTER with the ledger.
#define SONVAR_ENTER_CALCULATION(sys) \
  SONVAR_ENTER(sys);                  \
  const sonvar::LedgerScope sonvar_ledger_scope_(sys)

#endif  // SONVAR_POOL_LEDGER_H
