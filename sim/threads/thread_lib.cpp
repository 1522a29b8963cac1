// thread_lib.cpp - the library's thin layer over POSIX threads. The rest of
// the library names no threading interface directly.
#include <cerrno>
#include <cstdio>
#include <new>

#include "general/messages.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// A new thread works for the calculation of the thread that starts it: it
// adopts that thread's ledger (pool/ledger.h) before running the worker.
struct ThreadStart {
  void *(*worker)(void *);
  void *argument;
  CallLedger *ledger;
};

void *run_adopted(void *start) {
  const ThreadStart s = *static_cast<ThreadStart *>(start);
  delete static_cast<ThreadStart *>(start);
  adopt_ledger(s.ledger);
  void *result = s.worker(s.argument);
  adopt_ledger(nullptr);
  return result;
}

}  // namespace

pthread_t th_lib_create_new_thread(void *(*worker)(void *), void *argument) {
  pthread_t handle{};
  th_lib_start_thread(&handle, worker, argument);
  return handle;
}

int th_lib_start_thread(pthread_t *handle, void *(*worker)(void *), void *argument) {
  auto *start = new (std::nothrow) ThreadStart{worker, argument, current_ledger()};
  if (start == nullptr) return ENOMEM;
  pthread_t started{};
  const int status = pthread_create(&started, nullptr, run_adopted, start);
  if (status == 0)
    *handle = started;
  else
    delete start;
  return status;
}

void th_lib_wait_for_threads(pthread_t *threads, int count) {
  for (int i = 0; i < count; i++) {
    const int code = pthread_join(threads[i], nullptr);
    if (code > 0) {
      char line[128];
      snprintf(line, sizeof line, "Thread %d returned with error code %d\n", i, code);
      print_message(CallScope::current(), line);
    }
  }
}

void th_lib_mutex_init(pthread_mutex_t *mutex) {
  pthread_mutex_init(mutex, nullptr);
}

void th_lib_mutex_destroy(pthread_mutex_t *mutex) {
  pthread_mutex_destroy(mutex);
}

namespace {

// Tries before a waiting thread goes to sleep on a held mutex: about 40 us
// of pauses. The library's locks are held for a heap call or a few counter
// updates, but a heap call that grows the heap takes a page fault or two
// inside the lock (7 to 17 us each on a virtual machine), and a worker
// that slept on it and was woken again lost more than the wait itself:
// with two workers computing hp, 4,000 sleeps a map and 10 % of the time.
constexpr int kSpinTries = 2000;

// Tells the processor the thread is spinning (frees the core's resources
// for a sibling and leaves the loop without a memory-order stall).
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

}  // namespace

void th_lib_mutex_lock(pthread_mutex_t *mutex) {
  for (int k = 0; k < kSpinTries; k++) {
    if (pthread_mutex_trylock(mutex) == 0) return;
    spin_pause();
  }
  pthread_mutex_lock(mutex);
}

int th_lib_mutex_unlock(pthread_mutex_t *mutex) {
  return pthread_mutex_unlock(mutex);
}

int th_lib_rw_mutex_init(pthread_rwlock_t *lock) {
  return pthread_rwlock_init(lock, nullptr);
}

int th_lib_rw_mutex_lock(pthread_rwlock_t *lock) {
  return pthread_rwlock_rdlock(lock);
}

int th_lib_rw_mutex_unlock(pthread_rwlock_t *lock) {
  return pthread_rwlock_unlock(lock);
}

}  // namespace sonvar
