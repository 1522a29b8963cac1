// ledger.cpp - the ledger of a calculation: the signals and heap blocks it
// holds, given back when it fails.
#include "pool/ledger.h"

#include <exception>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

namespace sonvar {

// The signals (a list whose entries know their place, so that striking one
// off takes constant time) and the blocks of one calculation, shared by its
// threads under one lock, a leaf lock: it is never held while taking
// another.
class CallLedger {
 public:
  explicit CallLedger(sys_con *sys) : sys_(sys) {}

  void note(signal_rec *signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    PooledSignal *p = pooled(signal);
    p->ledger = this;
    p->slot = signals_.size();
    signals_.push_back(signal);
  }

  void forget(signal_rec *signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    PooledSignal *p = pooled(signal);
    signal_rec *last = signals_.back();
    signals_[p->slot] = last;
    pooled(last)->slot = p->slot;
    signals_.pop_back();
    p->ledger = nullptr;
  }

  void note(void *block) {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.insert(block);
  }

  void forget(void *block) {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.erase(block);
  }

  // After a success: the signals left are the caller's and leave the ledger.
  void close() {
    for (signal_rec *signal : signals_) pooled(signal)->ledger = nullptr;
  }

  // After a failure, once every thread of the calculation has ended: the
  // signals left go back to the pool, the blocks to the heap. Nothing may
  // escape: the stack is unwinding.
  void give_back() {
    close();
    for (signal_rec *signal : signals_) {
      try {
        if (signal->in_use) free_signal(sys_, signal);
      } catch (...) {
      }
    }
    for (void *block : blocks_) {
      try {
        free_memory(sys_, block);
      } catch (...) {
      }
    }
  }

 private:
  sys_con *sys_;
  std::mutex mutex_;
  std::vector<signal_rec *> signals_;
  std::unordered_set<void *> blocks_;
};

namespace {

thread_local CallLedger *this_thread_ledger = nullptr;

}  // namespace

CallLedger *current_ledger() {
  return this_thread_ledger;
}

void adopt_ledger(CallLedger *ledger) {
  this_thread_ledger = ledger;
}

LedgerScope::LedgerScope(sys_con *sys) : owned_(nullptr), exceptions_(std::uncaught_exceptions()) {
  if (this_thread_ledger != nullptr || sys == nullptr) return;
  owned_ = new CallLedger(sys);
  this_thread_ledger = owned_;
}

LedgerScope::~LedgerScope() {
  if (owned_ == nullptr) return;
  this_thread_ledger = nullptr;
  if (std::uncaught_exceptions() > exceptions_)
    owned_->give_back();
  else
    owned_->close();
  delete owned_;
}

void note_signal(signal_rec *signal) {
  if (this_thread_ledger != nullptr) this_thread_ledger->note(signal);
}

void forget_signal(signal_rec *signal) {
  // The ledger that took the signal, whichever thread gives it back.
  if (CallLedger *ledger = pooled(signal)->ledger) ledger->forget(signal);
}

void note_block(void *block) {
  if (this_thread_ledger != nullptr && block != nullptr) this_thread_ledger->note(block);
}

void forget_block(void *block) {
  if (this_thread_ledger != nullptr && block != nullptr) this_thread_ledger->forget(block);
}

}  // namespace sonvar
