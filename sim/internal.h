// internal.h - helpers shared by the library's modules (C++ only, not installed).
#ifndef SONVAR_INTERNAL_H
#define SONVAR_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "sonvar.h"

namespace sonvar {

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

// Formats into a buffer of `size` bytes (longer text is cut) and writes it
// with print_message.
void print_formatted(sys_con *sys, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// alloc_memory that never returns NULL for a non-empty request: heap
// exhaustion ends the program through error_message, naming `what`.
void *alloc_checked(sys_con *sys, std::uint64_t count, std::uint64_t size, const char *what);

template <typename T>
T *alloc_array(sys_con *sys, std::uint64_t count, const char *what) {
  return static_cast<T *>(alloc_checked(sys, count, sizeof(T), what));
}

// Stores a value written by several workers at once (all with the same
// value) without a data race.
inline void store_relaxed(int32_t *field, int32_t value) {
  __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

}  // namespace sonvar

#endif  // SONVAR_INTERNAL_H
