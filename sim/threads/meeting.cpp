// meeting.cpp - the workers of one calculation wait for one another between
// its steps.
#include "threads/meeting.h"

#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// A pause between two checks of a watched value.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

Meeting::Meeting() {
  th_lib_mutex_init(&mutex_);
  pthread_cond_init(&met_, nullptr);
}

Meeting::~Meeting() {
  pthread_cond_destroy(&met_);
  th_lib_mutex_destroy(&mutex_);
}

void Meeting::set_workers(int workers) {
  const MutexGuard guard(&mutex_);
  workers_ = workers;
}

void Meeting::wait(void (*once)(void *), void *context) {
  uint64_t round = 0;
  {
    const MutexGuard guard(&mutex_);
    if (broken_) throw MeetingBroken{};
    round = round_.load(std::memory_order_relaxed);
    if (++waiting_ == workers_) {
      waiting_ = 0;
      if (once != nullptr) {
        try {
          once(context);
        } catch (...) {
          broken_ = true;
          pthread_cond_broadcast(&met_);
          throw;
        }
      }
      round_.store(round + 1, std::memory_order_release);
      pthread_cond_broadcast(&met_);
      return;
    }
  }
  for (int k = 0; k < kWatches; k++) {
    if (round_.load(std::memory_order_acquire) != round) return;
    if (broken_.load(std::memory_order_relaxed)) break;
    relax();
  }
  const MutexGuard guard(&mutex_);
  while (round_.load(std::memory_order_relaxed) == round && !broken_)
    pthread_cond_wait(&met_, &mutex_);
  if (round_.load(std::memory_order_relaxed) == round) throw MeetingBroken{};
}

void Meeting::leave() {
  const MutexGuard guard(&mutex_);
  broken_ = true;
  pthread_cond_broadcast(&met_);
}

}  // namespace sonvar
