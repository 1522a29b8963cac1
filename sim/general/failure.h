// failure.h - the library's fatal path (failure.cpp): every failure ends
// in one text handed to the state's failure mode (state/host.cpp).
#ifndef SONVAR_GENERAL_FAILURE_H
#define SONVAR_GENERAL_FAILURE_H

#include <string>

#include "sonvar.h"

namespace sonvar {

/* Prints "Fatal error: <text> " and ends the program with status 255: the
 * default-mode exit for callers outside the library (inside a library call
 * it fails as the calling state's mode says). */
void error_message(const char *text);

/* Writes text unchanged to standard output and ends with status 255 (as
 * error_message, for callers outside the library). */
void print_error_message(const char *text);

/* Returns when 0 <= index < limit; otherwise reports `place` and ends. */
void assert_index(sys_con *sys, int index, int limit, const char *place);

// The one fatal path of the library. `text` is the whole message, exactly as
// the default mode prints it. In the default mode it goes through the
// state's channel and the process ends with status 255; in the throwing and
// returning modes it is thrown as sonvar::Error (with every lock released by
// its guard on the way out). A NULL state stands for the state of the
// library call running on this thread, if any.
[[noreturn]] void print_error_message(sys_con *sys, const char *text);
[[noreturn]] inline void print_error_message(sys_con *sys, const std::string &text) {
  print_error_message(sys, text.c_str());
}
// The same with text wrapped as "Fatal error: <text> \n".
[[noreturn]] void error_message(sys_con *sys, const char *text);

// Formats a fatal message (cut at 255 characters) and fails through the
// library's fatal path, wrapped as error_message wraps it.
[[noreturn]] void fail(sys_con *sys, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace sonvar

#endif  // SONVAR_GENERAL_FAILURE_H
