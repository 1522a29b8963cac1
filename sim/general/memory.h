// memory.h - heap blocks that never come back NULL (memory.cpp) and the
// guard that turns a container's allocation failure into a library failure.
// alloc_memory and free_memory themselves are public calls (sonvar.h).
#ifndef SONVAR_GENERAL_MEMORY_H
#define SONVAR_GENERAL_MEMORY_H

#include <cstdint>
#include <new>
#include <stdexcept>

#include "general/failure.h"
#include "sonvar.h"

namespace sonvar {

// A zero-filled heap block (taken under memory_mutex) that no calculation's ledger
// notes (pool/ledger.h): the pool's records and value arrays, which the pool
// keeps after a calculation. NULL when the heap is exhausted.
void *heap_block(sys_con *sys, std::uint64_t count, std::uint64_t size);

// The value array of a pool signal (count doubles), made where a
// calculation replaces a signal's array: not noted, as the signal owns it;
// heap exhaustion fails through fail(), naming `what`.
double *alloc_signal_values(sys_con *sys, std::uint64_t count, const char *what);

// alloc_memory that never returns NULL for a non-empty request: heap
// exhaustion fails through fail(), naming `what`.
void *alloc_checked(sys_con *sys, std::uint64_t count, std::uint64_t size, const char *what);

template <typename T>
T *alloc_array(sys_con *sys, std::uint64_t count, const char *what) {
  return static_cast<T *>(alloc_checked(sys, count, sizeof(T), what));
}

// Runs `body`; an allocation failure inside it (std::bad_alloc from a
// container) ends in fail() naming `what`, so that no C++ exception leaves
// the library.
template <typename Body>
auto allocating(sys_con *sys, const char *what, Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    fail(sys, "Not possible to allocate memory for %s", what);
  } catch (const std::length_error &) {
    fail(sys, "Not possible to allocate memory for %s (too many items)", what);
  }
}

}  // namespace sonvar

#endif  // SONVAR_GENERAL_MEMORY_H
