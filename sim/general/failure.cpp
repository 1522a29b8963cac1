// failure.cpp - the fatal texts of the library and the index assertion.
// How a failure ends (the process, an exception, a return) is the state's
// failure mode (state/host.cpp).
#include <cstdarg>
#include <cstdio>
#include <string>

#include "general/failure.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

void fail(sys_con *sys, const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  error_message(sys, text);
}


void print_error_message(const char *text) {
  print_error_message(nullptr, text);
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
  print_error_message(sys, text);
}
SONVAR_LEAVE_VOID(sys)

void error_message(const char *text) {
  error_message(nullptr, text);
}

}  // namespace sonvar
