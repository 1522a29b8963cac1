// memory.cpp - the locked heap: every heap call of the library runs under
// memory_mutex, so that worker threads allocate at the same time safely.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "general/failure.h"
#include "general/memory.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

void *alloc_checked(sys_con *sys, std::uint64_t count, std::uint64_t size, const char *what) {
  void *block = alloc_memory(sys, count, size);
  if (block == nullptr && count != 0 && size != 0) {
    fail(sys, "Not possible to allocate memory for %s (%" PRIu64 " x %" PRIu64 " bytes)", what,
         count, size);
  }
  return block;
}

SONVAR_CALL void *alloc_memory(sys_con *sys, uint64_t count, uint64_t size) {
  MutexGuard guard(&sys->memory_mutex);
  return calloc(count, size);
}

SONVAR_CALL void free_memory(sys_con *sys, void *block) {
  MutexGuard guard(&sys->memory_mutex);
  free(block);
}

}  // namespace sonvar
