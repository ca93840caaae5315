#include "tools/operator_stop.h"

#include <signal.h>

#include <initializer_list>

volatile sig_atomic_t stop_signal = 0;

namespace {

// A second signal ends the tool at once, the way an unhandled one would: a
// service that no longer answers would otherwise keep it waiting for the
// reply to its current request.
void note_signal(int signal) {
  if (stop_signal) {
    std::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  stop_signal = signal;
}

}  // namespace

void stop_on_signals() {
  struct sigaction action = {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

const char* stop_signal_name() {
  switch (stop_signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}
