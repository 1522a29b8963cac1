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

#include "general/failure.h"
#include "general/messages.h"
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

void settle_failure(sys_con *sys) {
  if (CallScope::depth() > 0) throw;
  const int mode = failure_mode(sys);
  if (mode == SONVAR_FAILURE_THROW) {
    try {
      throw;
    } catch (const Error &) {
      throw;
    } catch (...) {
      throw Error(failure_text());
    }
  }
  const std::string text = failure_text();
  if (mode == SONVAR_FAILURE_RETURN) {
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
  if (mode != SONVAR_FAILURE_THROW && mode != SONVAR_FAILURE_RETURN) mode = SONVAR_FAILURE_EXIT;
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

SONVAR_CALL void sonvar_free(sys_con *sys) {
  if (sys == nullptr) return;
  free_signal_memory(sys);
  th_lib_mutex_destroy(&sys->memory_mutex);
  th_lib_mutex_destroy(&sys->signal_mutex);
  th_lib_mutex_destroy(&sys->message_mutex);
  th_lib_mutex_destroy(&sys->fft_mutex);
  delete sys->host;
  free(sys);
}

}  // namespace sonvar
