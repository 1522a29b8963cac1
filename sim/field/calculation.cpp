// calculation.cpp - what the field and scattering calculations share.
#include "field/calculation.h"
#include "general/memory.h"

namespace sonvar {

signal_rec **new_result_array(sys_con *sys, int n) {
  return alloc_array<signal_rec *>(sys, n > 0 ? n : 1, "the array of result signals");
}

calc_memory_block *new_block(sys_con *sys, aperture *ap1, aperture *ap2, bool excitations) {
  calc_memory_block *block = pre_allocate_memory(sys, ap1, ap2);
  block->apply_excitation = excitations ? 1 : 0;
  return block;
}

void release_if_present(sys_con *sys, signal_rec *signal) {
  if (signal != nullptr) free_signal(sys, signal);
}

void end_calculation(sys_con *sys, const ProgressClock &clock, calc_memory_block *block,
                     signal_rec *pulse) {
  display_final_time(sys, clock.start);
  free_memory_block(sys, block);
  free_signal(sys, pulse);
}

}  // namespace sonvar
