// spare_scratch.cpp - the scratch arrays a state keeps between
// calculations. Each array carries its size in a header of 16 bytes before
// the part handed out; the header is the heap block the ledger notes.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "general/failure.h"
#include "general/memory.h"
#include "pool/ledger.h"
#include "pool/spare_scratch.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

constexpr std::uint64_t kHeader = 16;  // keeps the array as aligned as the heap's blocks

using SpareArray = sonvar_host::spare_array;

char *header_of(void *array) {
  return static_cast<char *>(array) - kHeader;
}

std::uint64_t bytes_of(const char *header) {
  std::uint64_t bytes = 0;
  std::memcpy(&bytes, header, sizeof bytes);
  return bytes;
}

// The smallest kept array of at least `bytes`, taken out of its slot, or
// nullptr. Runs under memory_mutex.
char *take_kept(sys_con *sys, std::uint64_t bytes) {
  SpareArray *best = nullptr;
  for (SpareArray &slot : sys->host->spare_scratch)
    if (slot.block != nullptr && slot.bytes >= bytes &&
        (best == nullptr || slot.bytes < best->bytes))
      best = &slot;
  if (best == nullptr) return nullptr;
  char *header = static_cast<char *>(best->block);
  *best = SpareArray{};
  return header;
}

// Keeps `header` in an empty slot, else in place of a smaller kept array;
// returns what is left over for the heap (nullptr when nothing). Runs under
// memory_mutex.
char *keep(sys_con *sys, char *header) {
  SpareArray *smallest = nullptr;
  for (SpareArray &slot : sys->host->spare_scratch) {
    if (slot.block == nullptr) {
      slot = SpareArray{header, bytes_of(header)};
      return nullptr;
    }
    if (smallest == nullptr || slot.bytes < smallest->bytes) smallest = &slot;
  }
  if (smallest->bytes >= bytes_of(header)) return header;
  char *dropped = static_cast<char *>(smallest->block);
  *smallest = SpareArray{header, bytes_of(header)};
  return dropped;
}

}  // namespace

void *take_scratch(sys_con *sys, std::uint64_t bytes, const char *what) {
  char *header = nullptr;
  if (sys->host != nullptr) {
    MutexGuard guard(&sys->memory_mutex);
    header = take_kept(sys, bytes);
  }
  if (header != nullptr) {
    std::memset(header + kHeader, 0, bytes);
  } else {
    header = static_cast<char *>(heap_block(sys, 1, kHeader + bytes));
    if (header == nullptr) fail(sys, "Not possible to allocate memory for %s", what);
    std::memcpy(header, &bytes, sizeof bytes);
  }
  note_block(header);
  return header + kHeader;
}

void give_back_scratch(sys_con *sys, void *array) {
  if (array == nullptr) return;
  char *header = header_of(array);
  forget_block(header);
  MutexGuard guard(&sys->memory_mutex);
  char *left = sys->host != nullptr ? keep(sys, header) : header;
  free(left);
}

void release_spare_scratch(sys_con *sys) {
  if (sys->host == nullptr) return;
  MutexGuard guard(&sys->memory_mutex);
  for (SpareArray &slot : sys->host->spare_scratch) {
    free(slot.block);
    slot = SpareArray{};
  }
}

SpareScratchCount spare_scratch_count(sys_con *sys) {
  SpareScratchCount count{0, 0};
  if (sys->host == nullptr) return count;
  MutexGuard guard(&sys->memory_mutex);
  for (const SpareArray &slot : sys->host->spare_scratch)
    if (slot.block != nullptr) count.arrays++, count.bytes += slot.bytes;
  return count;
}

}  // namespace sonvar
