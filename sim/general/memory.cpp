// memory.cpp - the locked heap: every heap call of the library runs under
// memory_mutex, so that worker threads allocate at the same time safely.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "general/failure.h"
#include "general/memory.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

[[noreturn]] void no_memory(sys_con *sys, std::uint64_t count, std::uint64_t size,
                            const char *what) {
  fail(sys, "Not possible to allocate memory for %s (%" PRIu64 " x %" PRIu64 " bytes)", what, count,
       size);
}

}  // namespace

// Blocks from this size on come zero-filled from calloc: the heap maps them
// afresh (the size at which it starts to, unless it has raised it), and the
// system's pages of a new mapping are zeros without a pass over them.
constexpr std::size_t kMappedBytes = 128 * 1024;

// A zero-filled block taken from the heap under memory_mutex. A smaller
// one is zeroed after the lock is let go: the zeroing is the first touch of
// fresh pages (a page fault each, several microseconds on a virtual
// machine), and under the lock the workers of a calculation waited for one
// another's page faults.
void *heap_block(sys_con *sys, std::uint64_t count, std::uint64_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;  // as calloc refuses it
  const std::size_t bytes = static_cast<std::size_t>(count * size);
  void *block = nullptr;
  {
    MutexGuard guard(&sys->memory_mutex);
    if (bytes >= kMappedBytes) return calloc(bytes, 1);
    block = malloc(bytes);
  }
  if (block != nullptr) memset(block, 0, bytes);
  return block;
}

void *alloc_checked(sys_con *sys, std::uint64_t count, std::uint64_t size, const char *what) {
  void *block = alloc_memory(sys, count, size);
  if (block == nullptr && count != 0 && size != 0) no_memory(sys, count, size, what);
  return block;
}

double *alloc_signal_values(sys_con *sys, std::uint64_t count, const char *what) {
  void *block = heap_block(sys, count, sizeof(double));
  if (block == nullptr && count != 0) no_memory(sys, count, sizeof(double), what);
  return static_cast<double *>(block);
}

SONVAR_CALL void *alloc_memory(sys_con *sys, uint64_t count, uint64_t size) {
  void *block = heap_block(sys, count, size);
  note_block(block);
  return block;
}

SONVAR_CALL void free_memory(sys_con *sys, void *block) {
  forget_block(block);
  MutexGuard guard(&sys->memory_mutex);
  free(block);
}

}  // namespace sonvar
