// host.h - what a host controls on a state (host.cpp): the record of its
// hooks, the call scope that marks a library call on a thread, and the
// boundary of every public call, where a failure is settled as the state's
// failure mode says.
#ifndef SONVAR_STATE_HOST_H
#define SONVAR_STATE_HOST_H

#include <atomic>
#include <cstdint>
#include <string>

#include "sonvar.h"

/* The host's hooks of a state. The sink is read and changed under
 * message_mutex; the failure fields are changed by the host between calls. */
struct sonvar_host {
  sonvar_output_sink sink = nullptr;
  void *sink_data = nullptr;
  int failure_mode = SONVAR_FAILURE_EXIT;
  sonvar_failure_handler handler = nullptr;
  void *handler_data = nullptr;
  std::string last_error;
  std::atomic<int> interrupt{0};  // set by sonvar_set_interrupt, read by calculations
  // Scratch arrays kept from one calculation to the next
  // (pool/spare_scratch.h), under memory_mutex; empty slots hold nullptr.
  struct spare_array {
    void *block = nullptr;
    std::uint64_t bytes = 0;
  } spare_scratch[16];
};

namespace sonvar {

// Marks a library call on this thread for the whole of its run. Only the
// outermost call of a thread settles a failure; calls it makes itself pass
// failures on. Per-thread bookkeeping of the call nesting, not state.
class CallScope {
 public:
  explicit CallScope(sys_con *sys) noexcept;
  ~CallScope();
  CallScope(const CallScope &) = delete;
  CallScope &operator=(const CallScope &) = delete;
  // Library calls running on this thread, and the state of the outermost.
  static int depth();
  static sys_con *current();

 private:
  sys_con *previous_;
};

// The failure mode of a state (SONVAR_FAILURE_EXIT for a NULL state or one
// without host hooks).
int failure_mode(const sys_con *sys);

// The text a failure hands to the host in the state's mode: unchanged, or
// the message alone in the message modes (see sonvar.h).
std::string host_text(const sys_con *sys, const std::string &text);

// Fails with "Fatal error: Calculation interrupted \n" when the host has
// asked the state's calculations to stop (sonvar_set_interrupt).
void stop_if_interrupted(sys_con *sys);

// Called inside a catch handler at the boundary of a library call. Nested in
// another library call it rethrows; at the outermost call it throws
// sonvar::Error in the throwing mode, records the text and calls the handler
// in the returning mode (and returns), and ends the process in the default
// mode (a failure that is no sonvar::Error, such as an exhausted heap inside
// the standard library, is turned into a fatal text first).
void settle_failure(sys_con *sys);

// Text of the failure being handled (call inside a catch handler).
std::string failure_text();

}  // namespace sonvar

// Marks the definition of a public call of sonvar.h. The definitions sit in
// namespace sonvar with the internals they call; C linkage gives them the
// names sonvar.h declares, and they are exported from the shared library.
#define SONVAR_CALL extern "C" SONVAR_API

// The boundary of a library call: SONVAR_ENTER(sys) first in the body of a
// function-try-block, SONVAR_LEAVE(sys) (or SONVAR_LEAVE_VOID) as its
// handler. A failure at the outermost call returns 0 or NULL (nothing for
// void calls) in the returning mode.
#define SONVAR_ENTER(sys) const sonvar::CallScope sonvar_call_scope_(sys)
#define SONVAR_LEAVE(sys)        \
  catch (...) {                  \
    sonvar::settle_failure(sys); \
    return {};                   \
  }
#define SONVAR_LEAVE_VOID(sys)   \
  catch (...) {                  \
    sonvar::settle_failure(sys); \
  }

#endif  // SONVAR_STATE_HOST_H
