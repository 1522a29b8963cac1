// option_table.h - the named options of a state (option_table.cpp): one
// table gives each option's description (public: sonvar_option_at), how
// set_sonvar stores a value in the state, and how its value reads back.
#ifndef SONVAR_STATE_OPTION_TABLE_H
#define SONVAR_STATE_OPTION_TABLE_H

#include "sonvar.h"

namespace sonvar {

struct OptionEntry {
  sonvar_option info;
  // Stores a value in the state as set_sonvar always has (rounding and
  // clamping included), without side effects: defaults are written so.
  void (*store)(sys_con *sys, double value);
  // What set_sonvar does after storing (a warning, clearing other options),
  // or nullptr.
  void (*after)(sys_con *sys);
  double (*read)(const sys_con *sys);
};

// The entry of a lower-case name, or nullptr.
const OptionEntry *find_option(const char *name);

// Writes every option's default into a new state.
void write_option_defaults(sys_con *sys);

}  // namespace sonvar

#endif  // SONVAR_STATE_OPTION_TABLE_H
