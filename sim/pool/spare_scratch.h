// spare_scratch.h - the large scratch arrays of the calculations, which the
// state keeps from one calculation to the next (spare_scratch.cpp).
//
// A calculation's rectangle columns and timing columns (field/rect_columns.h)
// run to megabytes for an aperture of thousands of rectangles. Freed at the
// end of every call, they return to the top of the heap, which the C
// library then gives back to the system and takes again on the next call:
// a calculation of one point spent most of its time so. Given back here
// instead, they wait, under memory_mutex, for the next calculation of the
// same state, on whatever thread it runs. xdc_free and sonvar_free release
// them (free_signal_memory, which hosts call after every calculation, does
// not).
#ifndef SONVAR_POOL_SPARE_SCRATCH_H
#define SONVAR_POOL_SPARE_SCRATCH_H

#include <cstdint>

#include "sonvar.h"

namespace sonvar {

// A zero-filled array of `bytes` (16-byte aligned): a kept one of the
// state's when one is large enough, else a new one; heap exhaustion fails
// through fail(), naming `what`. The calculation's ledger notes it, so a
// failing calculation gives it back to the heap. Give it back with
// give_back_scratch.
void *take_scratch(sys_con *sys, std::uint64_t bytes, const char *what);

template <typename T>
T *take_scratch_array(sys_con *sys, std::uint64_t count, const char *what) {
  return static_cast<T *>(take_scratch(sys, count * sizeof(T), what));
}

// Keeps an array from take_scratch for the state's next calculation; NULL
// is allowed.
void give_back_scratch(sys_con *sys, void *array);

// Releases every array the state keeps to the heap.
void release_spare_scratch(sys_con *sys);

// The arrays the state keeps and their bytes (for the tests).
struct SpareScratchCount {
  int arrays;
  std::uint64_t bytes;
};
SpareScratchCount spare_scratch_count(sys_con *sys);

}  // namespace sonvar

#endif  // SONVAR_POOL_SPARE_SCRATCH_H
