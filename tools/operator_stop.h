// Stopping a field engineer's tool cleanly on SIGINT (Ctrl-C), SIGTERM or
// SIGHUP. A tool killed between two scan requests would leave the scan
// service grabbed by its client id, and every other client (the upgrade
// page among them) refused until that id runs again. So the handler only
// notes the signal; the tool's scan client, watching the note
// (j5_scan_client_t::stop_when), starts no further request, and the tool
// gives the service back from its normal flow, says so on standard error
// and exits with status 1. A request already under way is finished first
// (system calls resume after the handler); a second signal ends the tool
// at once.
#ifndef TOOLS_OPERATOR_STOP_H
#define TOOLS_OPERATOR_STOP_H

#include <csignal>

// The signal that asked the tool to stop; 0 while none has.
extern volatile sig_atomic_t stop_signal;

// Installs the handler for SIGINT, SIGTERM and SIGHUP.
void stop_on_signals();

// "SIGINT", "SIGTERM" or "SIGHUP".
const char* stop_signal_name();

#endif
