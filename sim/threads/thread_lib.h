// thread_lib.h - the library's thin layer over POSIX threads
// (thread_lib.cpp), the guard that every lock of the library is taken with
// and the relaxed store of a value several workers write alike.
#ifndef SONVAR_THREADS_THREAD_LIB_H
#define SONVAR_THREADS_THREAD_LIB_H

#include <pthread.h>

#include <cstdint>

namespace sonvar {

/* Starts a thread running worker(argument); the creation status is not
 * examined (see th_lib_start_thread for a checked start). */
pthread_t th_lib_create_new_thread(void *(*worker)(void *), void *argument);

/* Starts a thread and returns the platform status (0 on success); the handle
 * is written only on success. */
int th_lib_start_thread(pthread_t *handle, void *(*worker)(void *), void *argument);

/* Joins the handles in array order; join errors are reported (on standard
 * output) and skipped. */
void th_lib_wait_for_threads(pthread_t *threads, int count);

void th_lib_mutex_init(pthread_mutex_t *mutex);
void th_lib_mutex_destroy(pthread_mutex_t *mutex);
// Takes the mutex: a short spin of tries first (locks are held briefly),
// then asleep until it is free.
void th_lib_mutex_lock(pthread_mutex_t *mutex);
int th_lib_mutex_unlock(pthread_mutex_t *mutex);
int th_lib_rw_mutex_init(pthread_rwlock_t *lock);
int th_lib_rw_mutex_lock(pthread_rwlock_t *lock);
int th_lib_rw_mutex_unlock(pthread_rwlock_t *lock);

// Holds a state mutex for the lifetime of the guard (the thread library's
// calls, so that every lock of the library goes through one place).
class MutexGuard {
 public:
  explicit MutexGuard(pthread_mutex_t *mutex) : mutex_(mutex) { th_lib_mutex_lock(mutex_); }
  ~MutexGuard() { th_lib_mutex_unlock(mutex_); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;

 private:
  pthread_mutex_t *mutex_;
};

// Stores a value written by several workers at once (all with the same
// value) without a data race.
inline void store_relaxed(int32_t *field, int32_t value) {
  __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

}  // namespace sonvar

#endif  // SONVAR_THREADS_THREAD_LIB_H
