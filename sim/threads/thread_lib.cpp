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

void th_lib_mutex_lock(pthread_mutex_t *mutex) {
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
