// meeting.cpp - the workers of one calculation wait for one another between
// its steps.
#include "threads/meeting.h"

#include "threads/thread_lib.h"

namespace sonvar {

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
  const MutexGuard guard(&mutex_);
  if (broken_) throw MeetingBroken{};
  const uint64_t round = round_;
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
    round_++;
    pthread_cond_broadcast(&met_);
    return;
  }
  while (round_ == round && !broken_) pthread_cond_wait(&met_, &mutex_);
  if (round_ == round) throw MeetingBroken{};
}

void Meeting::leave() {
  const MutexGuard guard(&mutex_);
  broken_ = true;
  pthread_cond_broadcast(&met_);
}

}  // namespace sonvar
