// failure.cpp - the library's one failure path: the fatal texts, and the
// index checks that end in them. What follows a failure (the end of the
// process, an exception, a return) is the state's failure mode.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "general/failure.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

void fail_text(sys_con *sys, const std::string &text) {
  if (sys == nullptr) sys = CallScope::current();
  if (failure_mode(sys) == SONVAR_FAILURE_EXIT) {
    print_message(sys, text.c_str());
    exit(-1);
  }
  throw Error(host_text(sys, text));
}

void fail(sys_con *sys, const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fail_text(sys, std::string("Fatal error: ") + text + " \n");
}

void error_message(const char *text) {
  fail_text(nullptr, std::string("Fatal error: ") + text + " \n");
}

void print_error_message(const char *text) {
  fail_text(nullptr, text);
}

void assert_index(sys_con *sys, int index, int limit, const char *place) try {
  SONVAR_ENTER(sys);
  constexpr std::size_t kLine = 256;
  if (index >= 0 && index < limit) return;
  std::string text;
  append_cut(&text, kLine, "Assertion violation at: %s \n", place);
  if (index >= limit)
    append_cut(&text, kLine, "Assertion violation: Index larger than allowed. Is %d can be %d \n",
               index, limit - 1);
  else
    append_cut(&text, kLine, "Assertion violation: Index smaller than allowed. Is %d can be 0 \n",
               index);
  text += "Program stopped due to assertion violation\n";
  fail_text(sys, text);
}
SONVAR_LEAVE_VOID(sys)

void check_index(sys_con *sys, int index, int low, int high, const char *text) try {
  SONVAR_ENTER(sys);
  if (index >= low && index <= high) return;
  std::string message;
  append_cut(&message, 256, "Index violation: %s \n", text);
  if (index > high)
    append_cut(&message, 256, "Assertion violation: Index larger than allowed. Is %d can be %d \n",
               index, high);
  else
    append_cut(&message, 256, "Assertion violation: Index lower than allowed. Is %d can be %d \n",
               index, low);
  message += "Internal index error in program\n";
  fail_text(sys, message);
}
SONVAR_LEAVE_VOID(sys)

}  // namespace sonvar
