// failure.h - the library's one failure path (failure.cpp).
//
// Every failure of the library ends in fail_text with the whole text, exactly
// as the default mode prints it; the state's failure mode decides what
// follows (state/host.cpp): in the default mode the text goes through the
// state's channel and the process ends with status 255; in the throwing and
// returning modes it is thrown as sonvar::Error, every lock released by its
// guard on the way out, and the boundary of the public call throws it on or
// returns. A NULL state stands for the state of the library call running on
// this thread, if any.
//
// Inside the library a failure is one call: fail(sys, format, ...) for the
// standard line "Fatal error: <text> \n"; the few reports of several lines
// (the signal pool's, the index checks', an unknown option's) and the
// numbered internal errors, which print as they are, are built first and
// handed to fail_text. error_message and print_error_message are the same two
// for callers without a state.
#ifndef SONVAR_GENERAL_FAILURE_H
#define SONVAR_GENERAL_FAILURE_H

#include <string>

#include "sonvar.h"

namespace sonvar {

// Fails with "Fatal error: <text> \n", the text formatted from `format` and
// cut at 255 characters.
[[noreturn]] void fail(sys_con *sys, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Fails with `text` exactly as it is.
[[noreturn]] void fail_text(sys_con *sys, const std::string &text);

// fail and fail_text for callers without a state (the running call's state,
// or standard output outside a call): "Fatal error: <text> \n" (not cut), and
// the text unchanged.
[[noreturn]] void error_message(const char *text);
[[noreturn]] void print_error_message(const char *text);

// Returns when 0 <= index < limit; otherwise fails with a report that names
// `place` and the index.
void assert_index(sys_con *sys, int index, int limit, const char *place);

// Returns when low <= index <= high (index = high is accepted); otherwise
// fails with a report that names `text` and the index.
void check_index(sys_con *sys, int index, int low, int high, const char *text);

}  // namespace sonvar

#endif  // SONVAR_GENERAL_FAILURE_H
