// host.cpp - what a host controls on a state: where the library's lines go,
// what a failure does, and the release of the state.
//
// Every fatal condition of the library ends in fail_text(sys, text)
// (general/failure.cpp). By default that writes the text and ends the
// process, as a library for one command-line program would. A host that
// lives on after a failure (an interpreter, a server) asks for the failure as
// an exception or as a return with the text kept on the state; the text is
// the same either way.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "general/failure.h"
#include "general/messages.h"
#include "pool/spare_scratch.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// Defined here, beside their only users, so that every access is a plain
// thread-local access of this file.
thread_local int call_depth = 0;
thread_local sys_con *call_state = nullptr;

}  // namespace

int failure_mode(const sys_con *sys) {
  return sys != nullptr && sys->host != nullptr ? sys->host->failure_mode : SONVAR_FAILURE_EXIT;
}

CallScope::CallScope(sys_con *sys) noexcept : previous_(call_state) {
  if (call_depth++ == 0) call_state = sys;
}

CallScope::~CallScope() {
  --call_depth;
  call_state = previous_;
}

int CallScope::depth() {
  return call_depth;
}

sys_con *CallScope::current() {
  return call_state;
}

std::string failure_text() {
  try {
    throw;
  } catch (const Error &e) {
    return e.what();
  } catch (const std::bad_alloc &) {
    return "Fatal error: Not possible to allocate memory \n";
  } catch (const std::exception &e) {
    return std::string("Fatal error: ") + e.what() + " \n";
  } catch (...) {
    return "Fatal error: Unknown failure \n";
  }
}

namespace {

bool throws(int mode) {
  return mode == SONVAR_FAILURE_THROW || mode == SONVAR_FAILURE_THROW_MESSAGE;
}

bool returns(int mode) {
  return mode == SONVAR_FAILURE_RETURN || mode == SONVAR_FAILURE_RETURN_MESSAGE;
}

// A line of a failure text as the message modes hand it over: without a
// fatal prefix and the blanks around it.
std::string message_line(std::string line) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!line.empty() && blank(line.back())) line.pop_back();
  for (const char *prefix : {"Fatal error: ", "FATAL ERROR: "})
    if (line.rfind(prefix, 0) == 0) line.erase(0, std::char_traits<char>::length(prefix));
  std::size_t lead = 0;
  while (lead < line.size() && blank(line[lead])) lead++;
  return line.substr(lead);
}

// The failure text as the message alone: nothing in it says that the
// program ends, for nothing does.
std::string message_alone(const std::string &text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = message_line(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line == "Program terminated" ||
        line == "Program stopped due to assertion violation")
      continue;
    if (!out.empty()) out += '\n';
    out += line;
  }
  return out.empty() ? message_line(text) : out;
}

}  // namespace

std::string host_text(const sys_con *sys, const std::string &text) {
  const int mode = failure_mode(sys);
  return mode == SONVAR_FAILURE_THROW_MESSAGE || mode == SONVAR_FAILURE_RETURN_MESSAGE
             ? message_alone(text)
             : text;
}

void stop_if_interrupted(sys_con *sys) {
  if (sys != nullptr && sys->host != nullptr &&
      sys->host->interrupt.load(std::memory_order_relaxed) != 0)
    fail(sys, "Calculation interrupted");
}

void settle_failure(sys_con *sys) {
  if (CallScope::depth() > 0) throw;
  const int mode = failure_mode(sys);
  if (throws(mode)) {
    try {
      throw;
    } catch (const Error &) {
      throw;
    } catch (...) {
      throw Error(host_text(sys, failure_text()));
    }
  }
  const std::string text = host_text(sys, failure_text());
  if (returns(mode)) {
    sonvar_host *host = sys->host;
    host->last_error = text;
    if (host->handler != nullptr) host->handler(host->handler_data, host->last_error.c_str());
    return;
  }
  // The library's own failures end the process where they happen in this
  // mode; what arrives here escaped from the standard library.
  fail_text(sys, text);
}

SONVAR_CALL void sonvar_set_output(sys_con *sys, sonvar_output_sink sink, void *user_data) {
  MutexGuard guard(&sys->message_mutex);
  sys->host->sink = sink;
  sys->host->sink_data = sink != nullptr ? user_data : nullptr;
}

SONVAR_CALL void sonvar_discard_output(void *, const char *) {}

SONVAR_CALL void sonvar_set_failure_mode(sys_con *sys, int mode) {
  if (!throws(mode) && !returns(mode)) mode = SONVAR_FAILURE_EXIT;
  sys->host->failure_mode = mode;
}

SONVAR_CALL void sonvar_set_failure_handler(sys_con *sys, sonvar_failure_handler handler,
                                            void *user_data) {
  sys->host->handler = handler;
  sys->host->handler_data = handler != nullptr ? user_data : nullptr;
}

SONVAR_CALL const char *sonvar_last_error(const sys_con *sys) {
  return sys->host->last_error.c_str();
}

SONVAR_CALL void sonvar_clear_error(sys_con *sys) {
  sys->host->last_error.clear();
}

SONVAR_CALL void sonvar_set_interrupt(sys_con *sys, int interrupt) {
  sys->host->interrupt.store(interrupt != 0 ? 1 : 0, std::memory_order_relaxed);
}

SONVAR_CALL void sonvar_free(sys_con *sys) {
  if (sys == nullptr) return;
  free_signal_memory(sys);
  release_spare_scratch(sys);
  th_lib_mutex_destroy(&sys->memory_mutex);
  th_lib_mutex_destroy(&sys->signal_mutex);
  th_lib_mutex_destroy(&sys->message_mutex);
  th_lib_mutex_destroy(&sys->fft_mutex);
  delete sys->host;
  free(sys);
}

}  // namespace sonvar
