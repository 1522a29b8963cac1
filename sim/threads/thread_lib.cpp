// thread_lib.cpp - the library's thin layer over POSIX threads. The rest of
// the library names no threading interface directly.
#include <cstdio>

#include "general/messages.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

pthread_t th_lib_create_new_thread(void *(*worker)(void *), void *argument) {
  pthread_t handle{};
  pthread_create(&handle, nullptr, worker, argument);
  return handle;
}

int th_lib_start_thread(pthread_t *handle, void *(*worker)(void *), void *argument) {
  pthread_t started{};
  const int status = pthread_create(&started, nullptr, worker, argument);
  if (status == 0) *handle = started;
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
