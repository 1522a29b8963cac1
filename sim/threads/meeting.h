// meeting.h - where the workers of one calculation wait for one another
// between its steps (meeting.cpp).
#ifndef SONVAR_THREADS_MEETING_H
#define SONVAR_THREADS_MEETING_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace sonvar {

// Thrown by Meeting::wait in the workers that are left waiting once one has
// broken the meeting (it failed): they stop, and the failing worker reports.
struct MeetingBroken {};

// A reusable meeting of a set number of workers: each wait returns once
// every worker has come, the last to come first running the step that is
// done once for all. Nothing a worker wrote before its wait is read by
// another before that wait returns.
class Meeting {
 public:
  Meeting();
  ~Meeting();
  Meeting(const Meeting &) = delete;
  Meeting &operator=(const Meeting &) = delete;

  // How many workers meet; set once, before the first wait can complete
  // (workers that come earlier wait for it).
  void set_workers(int workers);

  // Waits for the others; the last to come runs once(context) (unless
  // NULL) before the others go on. Throws MeetingBroken when the meeting
  // is or becomes broken; when `once` throws, the meeting breaks and the
  // exception goes on in that worker.
  void wait(void (*once)(void *), void *context);

  // A worker that fails: the others stop waiting (MeetingBroken).
  void leave();

 private:
  // A waiting worker first watches the round for this many checks (a few
  // to some tens of microseconds) before it sleeps: the others mostly come
  // that soon, and waking a sleeping thread costs about as much, twice per
  // batch of echoes.
  static constexpr int kWatches = 1024;

  pthread_mutex_t mutex_;
  pthread_cond_t met_;
  int workers_ = 0;  // 0: not set yet
  int waiting_ = 0;
  std::atomic<uint64_t> round_{0};  // written under the mutex
  std::atomic<bool> broken_{false};
};

}  // namespace sonvar

#endif  // SONVAR_THREADS_MEETING_H
