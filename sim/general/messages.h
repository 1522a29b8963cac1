// messages.h - the library's output: every line goes through the state's
// channel under message_mutex (messages.cpp).
#ifndef SONVAR_GENERAL_MESSAGES_H
#define SONVAR_GENERAL_MESSAGES_H

#include <cstddef>
#include <string>

#include "sonvar.h"

namespace sonvar {

/* Prints "Sonvar debug message: <text> " on standard output. */
void sonvar_debug(const char *text);

/* Writes text unchanged through the state's channel under message_mutex
 * (standard output, flushed, unless a sink is installed). A NULL state
 * writes to standard output without a lock. */
void print_message(sys_con *sys, const char *text);

// Formats into a buffer of `size` bytes (longer text is cut) and writes it
// with print_message.
void print_formatted(sys_con *sys, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends formatted text of any length to `out`.
void append_formatted(std::string *out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// The same cut, as print_formatted cuts, to size - 1 characters.
void append_cut(std::string *out, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace sonvar

#endif  // SONVAR_GENERAL_MESSAGES_H
