// messages.cpp - the library's output channel and its formatting helpers.
//
// Worker threads print at the same time, so every run-time message goes
// through print_message under message_mutex (and through the state's sink
// when the host installed one).
#include <cstdarg>
#include <cstdio>

#include "general/messages.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

void print_formatted(sys_con *sys, std::size_t size, const char *format, ...) {
  constexpr std::size_t kMaxLine = 1024;
  char line[kMaxLine];
  if (size > kMaxLine) size = kMaxLine;
  va_list args;
  va_start(args, format);
  vsnprintf(line, size, format, args);
  va_end(args);
  print_message(sys, line);
}

namespace {

void append_list(std::string *out, std::size_t limit, const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return;
  std::size_t kept = static_cast<std::size_t>(length);
  if (limit > 0 && kept > limit - 1) kept = limit - 1;
  const std::size_t at = out->size();
  out->resize(at + static_cast<std::size_t>(length) + 1);
  vsnprintf(&(*out)[at], static_cast<std::size_t>(length) + 1, format, args);
  out->resize(at + kept);
}

}  // namespace

void append_formatted(std::string *out, const char *format, ...) {
  va_list args;
  va_start(args, format);
  append_list(out, 0, format, args);
  va_end(args);
}

void append_cut(std::string *out, std::size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  append_list(out, size, format, args);
  va_end(args);
}

void print_message(sys_con *sys, const char *text) {
  if (sys == nullptr) {
    printf("%s", text);
    fflush(stdout);
    return;
  }
  MutexGuard guard(&sys->message_mutex);
  if (sys->host != nullptr && sys->host->sink != nullptr) {
    sys->host->sink(sys->host->sink_data, text);
    return;
  }
  printf("%s", text);
  fflush(stdout);
}

void sonvar_debug(const char *text) {
  std::string line;
  append_formatted(&line, "Sonvar debug message: %s \n", text);
  print_message(CallScope::current(), line.c_str());
}

}  // namespace sonvar
